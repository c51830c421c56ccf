#include "simulated_platform.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace ksv::test {
namespace {

constexpr std::uint32_t kFaultStartError = kErrorGenFailure;  // maps to no specific code
constexpr std::uint16_t kSerialFiller = 0xAAAA;  // what lies past a serial's terminator
constexpr std::uint8_t kLateCompletionByte = 0xEE;

std::uintptr_t Key(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

}  // namespace

std::vector<std::uint16_t> Units(const std::string& text) {
  std::vector<std::uint16_t> units;
  for (char c : text) {
    units.push_back(static_cast<unsigned char>(c));
  }
  return units;
}

SimInterface Module(std::string path, std::uint16_t vendor, std::uint16_t product,
                    const std::string& serial) {
  SimInterface i;
  i.path = std::move(path);
  i.ids = {vendor, product};
  i.serial = Units(serial);
  return i;
}

SimInterface OtherDevice(std::string path, std::uint16_t vendor, std::uint16_t product) {
  SimInterface i;
  i.path = std::move(path);
  i.ids = {vendor, product};
  i.serial = Units("OTHER");
  return i;
}

SimulatedPlatform::SimulatedPlatform(std::vector<SimInterface> list)
    : interfaces(std::move(list)) {}

// --- Bookkeeping ------------------------------------------------------------------------------

void SimulatedPlatform::Record(Op op, int interface_index, std::uint32_t value) {
  trace_.push_back({op, interface_index, value});
  if (before_operation) {
    before_operation(trace_.back());
  }
}

bool SimulatedPlatform::Step(Op op, int interface_index, std::uint32_t value,
                             bool counts_for_faults) {
  Record(op, interface_index, value);
  if (throw_on && *throw_on == op) {
    throw_on.reset();
    throw std::runtime_error("simulated platform failure");
  }
  if (!counts_for_faults) {
    return false;
  }
  ++operations_;
  const bool fails = fail_operation != 0 && operations_ == fail_operation;
  if (fails && fail_throws) {
    throw std::runtime_error("simulated platform failure");
  }
  return fails;
}

void SimulatedPlatform::ReleaseError(const std::string& what) { release_errors_.push_back(what); }

std::vector<TraceEntry> SimulatedPlatform::trace() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return trace_;
}

std::size_t SimulatedPlatform::CountOps(Op op) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(trace_.begin(), trace_.end(),
                                                [op](const TraceEntry& e) { return e.op == op; }));
}

std::uint64_t SimulatedPlatform::operations() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return operations_;
}

std::vector<std::string> SimulatedPlatform::release_errors() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return release_errors_;
}

std::size_t SimulatedPlatform::open_lists() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return lists_.size();
}
std::size_t SimulatedPlatform::open_path_blocks() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return blocks_.size();
}
std::size_t SimulatedPlatform::open_events() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return events_.size();
}
std::size_t SimulatedPlatform::open_handles() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return handles_.size();
}

std::size_t SimulatedPlatform::held_walk_locks() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return walk_locks_.size();
}

std::vector<int> SimulatedPlatform::open_handle_interfaces() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<int> out;
  for (const auto& entry : handles_) {
    out.push_back(entry.second);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::size_t SimulatedPlatform::unfinished_transfers() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(transfers_.begin(), transfers_.end(), [](const auto& entry) {
        const Transfer& t = entry.second;
        return !t.finished;
      }));
}

bool SimulatedPlatform::Balanced(std::size_t handles_kept) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return lists_.empty() && blocks_.empty() && events_.empty() && walk_locks_.empty() &&
         handles_.size() == handles_kept && release_errors_.empty() && unfinished_transfers() == 0;
}

std::string SimulatedPlatform::Describe() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::ostringstream out;
  out << "lists " << lists_.size() << ", path blocks " << blocks_.size() << ", events "
      << events_.size() << ", walk locks " << walk_locks_.size() << ", handles " << handles_.size()
      << ", unfinished transfers " << unfinished_transfers() << ", release errors "
      << release_errors_.size();
  for (const auto& e : release_errors_) {
    out << "\n  " << e;
  }
  return out.str();
}

int SimulatedPlatform::InterfaceOf(DeviceHandle h) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = handles_.find(Key(h));
  return it == handles_.end() ? -1 : it->second;
}

std::vector<std::uint8_t> SimulatedPlatform::last_written(int interface_index) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return interface_index < 0 ? std::vector<std::uint8_t>{}
                             : devices_.LastWritten(static_cast<std::size_t>(interface_index));
}

namespace {

SimulatedStart StartOf(Completion completion) {
  switch (completion) {
    case Completion::kAtOnce:
      return SimulatedStart::kAtOnce;
    case Completion::kNever:
      return SimulatedStart::kNever;
    default:
      return SimulatedStart::kPending;
  }
}

// A scripted interface as the simulated platform describes a device.
SimulatedDevice DeviceOf(const SimInterface& i) {
  SimulatedDevice d;
  d.path = i.path;
  d.ids = i.ids;
  if (i.serial) {
    d.serial = std::u16string(i.serial->begin(), i.serial->end());
  }
  d.refuses_open = i.refuses_open;
  d.busy = i.held_elsewhere;
  d.ids_unreadable = i.ids_unreadable;
  d.present = i.present;
  d.path_unreadable = i.path_unreadable;
  if (i.discard_error != 0) {
    d.discard_error = i.discard_error;
  }
  d.write_start = StartOf(i.write.completion);
  if (i.write.completion == Completion::kFailStart) {
    d.write_error = i.write.error;
  }
  const ReadBehaviour& read = i.read;
  d.read_start = StartOf(read.completion);
  if (read.completion == Completion::kFailStart) {
    d.read_error = read.error;
  }
  if (read.completion == Completion::kNever) {
    d.reply = SimulatedReply::kSilent;
  } else if (read.echo) {
    d.reply = SimulatedReply::kEcho;
    d.report_id = read.echo_id;
  } else {
    // The scripted bytes, whatever the command: report ID first, as many as there are.
    d.reply = SimulatedReply::kFixed;
    d.report_id = read.reply.empty() ? 0 : read.reply[0];
    d.payload.assign(read.reply.begin() + (read.reply.empty() ? 0 : 1), read.reply.end());
    d.length = static_cast<std::uint32_t>(std::min<std::size_t>(read.reply.size(), 64));
  }
  return d;
}

}  // namespace

void SimulatedPlatform::Sync() {
  std::vector<SimulatedDevice> devices;
  devices.reserve(interfaces.size());
  for (const SimInterface& i : interfaces) {
    devices.push_back(DeviceOf(i));
  }
  devices_.SetDevices(std::move(devices));
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    devices_.SetQueuedInput(i, interfaces[i].queued);
  }
}

void SimulatedPlatform::Settle() {
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    interfaces[i].queued = devices_.QueuedInput(i);
  }
}

// --- Interface lists --------------------------------------------------------------------------

HidClass SimulatedPlatform::GetHidClass() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Step(Op::kGetHidClass, -1, 0, false);
  return devices_.GetHidClass();
}

InterfaceListToken SimulatedPlatform::OpenInterfaceList(const HidClass& cls) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kOpenInterfaceList, -1, 0, true)) {
    return nullptr;
  }
  Sync();
  InterfaceListToken list = devices_.OpenInterfaceList(cls);
  lists_.insert(Key(list));
  return list;
}

InterfaceLookup SimulatedPlatform::GetInterfaceAt(InterfaceListToken list, const HidClass& cls,
                                                  std::uint32_t index, InterfaceRecord& out) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kGetInterfaceAt, -1, index, true)) {
    return InterfaceLookup::kFailed;
  }
  if (lists_.count(Key(list)) == 0) {
    ReleaseError("GetInterfaceAt on a list that is not open");
    return InterfaceLookup::kFailed;
  }
  return devices_.GetInterfaceAt(list, cls, index, out);
}

PathBlock SimulatedPlatform::GetInterfacePath(InterfaceListToken list,
                                              const InterfaceRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::uint64_t index = 0;
  std::memcpy(&index, record.bytes.data(), sizeof index);
  if (Step(Op::kGetInterfacePath, static_cast<int>(index), 0, true)) {
    return {};
  }
  if (lists_.count(Key(list)) == 0 || index >= interfaces.size()) {
    ReleaseError("GetInterfacePath with a list or record that was not handed out");
    return {};
  }
  Sync();
  const PathBlock block = devices_.GetInterfacePath(list, record);
  if (block.block != nullptr) {
    blocks_.insert(Key(block.block));
  }
  return block;
}

void SimulatedPlatform::ReleasePathBlock(PathBlock block) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Record(Op::kReleasePathBlock, -1, 0);
  if (blocks_.erase(Key(block.block)) == 0) {
    ReleaseError("path block released twice or never handed out");
    return;
  }
  devices_.ReleasePathBlock(block);
}

void SimulatedPlatform::CloseInterfaceList(InterfaceListToken list) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Record(Op::kCloseInterfaceList, -1, 0);
  if (lists_.erase(Key(list)) == 0) {
    ReleaseError("interface list closed twice or never handed out");
    return;
  }
  devices_.CloseInterfaceList(list);
}

// --- Devices ----------------------------------------------------------------------------------

DeviceHandle SimulatedPlatform::OpenDevicePath(const char* path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int index = -1;
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    if (interfaces[i].path == path) {
      index = static_cast<int>(i);
      break;
    }
  }
  if (Step(Op::kOpenDevicePath, index, 0, true) || index < 0) {
    return InvalidDeviceHandle();
  }
  Sync();
  const DeviceHandle h = devices_.OpenDevicePath(path);
  Settle();
  if (!IsNoDevice(h)) {
    handles_[Key(h)] = devices_.DeviceOf(h);
  }
  return h;
}

std::uint32_t SimulatedPlatform::OpenRefusal(const char* path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = std::find_if(interfaces.begin(), interfaces.end(),
                               [path](const SimInterface& i) { return i.path == path; });
  const int index = it == interfaces.end() ? -1 : static_cast<int>(it - interfaces.begin());
  Step(Op::kOpenRefusal, index, 0, false);
  Sync();
  return devices_.OpenRefusal(path);
}

Description SimulatedPlatform::DescribeInterface(const char* path, InterfaceFacts& facts,
                                                 SerialUnits* units) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = std::find_if(interfaces.begin(), interfaces.end(),
                               [path](const SimInterface& i) { return i.path == path; });
  const int index = it == interfaces.end() ? -1 : static_cast<int>(it - interfaces.begin());
  if (Step(Op::kDescribeInterface, index, units != nullptr ? 1 : 0, describes) || !describes) {
    return Description::kOpenToTell;
  }
  if (index < 0) {
    return Description::kGone;
  }
  Sync();
  const Description description = devices_.DescribeInterface(path, facts, units);
  if (description != Description::kDescribed) {
    return description;
  }
  facts.holder = it->held_elsewhere ? it->holder : 0;
  if (facts.serial_read) {
    // Past the terminator lies filler, not zeros, as GetSerialUnits leaves it.
    for (std::size_t i = it->serial->size() + 1; i < units->size(); ++i) {
      (*units)[i] = kSerialFiller;
    }
  }
  return Description::kDescribed;
}

WalkLockToken SimulatedPlatform::LockMachineWalks(std::uint32_t limit_ms) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kLockMachineWalks, -1, limit_ms, !describes) || describes) {
    return nullptr;
  }
  const std::uintptr_t token = next_token_ += 16;
  walk_locks_.insert(token);
  return reinterpret_cast<WalkLockToken>(token);
}

void SimulatedPlatform::UnlockMachineWalks(WalkLockToken token) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Record(Op::kUnlockMachineWalks, -1, 0);
  if (walk_locks_.erase(Key(token)) == 0) {
    ReleaseError("walk lock released twice or never handed out");
  }
}

std::optional<DeviceIdentity> SimulatedPlatform::GetDeviceIds(DeviceHandle h) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const int index = InterfaceOf(h);
  if (Step(Op::kGetDeviceIds, index, 0, true) || index < 0) {
    return std::nullopt;
  }
  Sync();
  return devices_.GetDeviceIds(h);
}

bool SimulatedPlatform::GetSerialUnits(DeviceHandle h, SerialUnits& units) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const int index = InterfaceOf(h);
  if (Step(Op::kGetSerialUnits, index, 0, true) || index < 0) {
    return false;
  }
  Sync();
  if (!devices_.GetSerialUnits(h, units)) {
    return false;
  }
  // Past the terminator lies filler, not zeros: a reader that looks beyond it is caught.
  const std::size_t n = interfaces[static_cast<std::size_t>(index)].serial->size();
  for (std::size_t i = n + 1; i < units.size(); ++i) {
    units[i] = kSerialFiller;
  }
  return true;
}

bool SimulatedPlatform::Close(DeviceHandle h) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Record(Op::kClose, InterfaceOf(h), 0);
  if (handles_.erase(Key(h)) == 0) {
    ReleaseError("device handle closed twice or never handed out");
    return false;
  }
  Sync();
  const bool closed = devices_.Close(h);
  Settle();
  return closed;
}

// --- Transfers --------------------------------------------------------------------------------

EventToken SimulatedPlatform::CreateCompletionEvent() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kCreateCompletionEvent, -1, 0, true) || events_fail) {
    return nullptr;
  }
  // Tokens of this layer, one per event, so that each release can be accounted for; the
  // simulated platform takes any non-null token.
  const std::uintptr_t token = next_token_ += 16;
  events_.insert(token);
  return reinterpret_cast<EventToken>(token);
}

void SimulatedPlatform::CloseEvent(EventToken event) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Record(Op::kCloseEvent, -1, 0);
  if (events_.erase(Key(event)) == 0) {
    ReleaseError("event closed twice or never handed out");
  }
}

SimulatedPlatform::Transfer* SimulatedPlatform::TransferOf(TransferRecord& record) {
  const auto it = transfers_.find(Key(&record));
  return it == transfers_.end() ? nullptr : &it->second;
}

StartOutcome SimulatedPlatform::Start(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                      TransferRecord& record, bool is_read) {
  const int index = InterfaceOf(h);
  const Op op = is_read ? Op::kStartRead : Op::kStartWrite;
  if (Step(op, index, n, true)) {
    return {false, kFaultStartError, 0};
  }
  if (Transfer* previous = TransferOf(record); previous != nullptr && !previous->finished) {
    ReleaseError("transfer record reused while its transfer was still pending");
  }
  Sync();
  const StartOutcome start =
      is_read ? devices_.StartRead(h, bytes, n, record) : devices_.StartWrite(h, bytes, n, record);
  Settle();
  if (!start.completed && start.error != kIoPending) {
    transfers_.erase(Key(&record));
    return start;
  }
  Transfer& t = transfers_[Key(&record)] = Transfer{};
  t.interface_index = index;
  t.is_read = is_read;
  const SimInterface& target = interfaces[static_cast<std::size_t>(index)];
  t.completion = is_read ? target.read.completion : target.write.completion;
  t.finished = start.completed;
  t.buffer = bytes;
  t.size = n;
  return start;
}

std::uint32_t SimulatedPlatform::DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch,
                                                    std::uint32_t n, TransferRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const int index = InterfaceOf(h);
  const auto queued = static_cast<std::uint32_t>(
      index >= 0 ? interfaces[static_cast<std::size_t>(index)].queued.size() : 0);
  if (Step(Op::kDiscardQueuedInput, index, queued, true)) {
    return kFaultStartError;
  }
  if (Transfer* previous = TransferOf(record); previous != nullptr && !previous->finished) {
    ReleaseError("discard given a record whose transfer was still pending");
  }
  Sync();
  const std::uint32_t result = devices_.DiscardQueuedInput(h, scratch, n, record);
  Settle();
  return result;
}

StartOutcome SimulatedPlatform::StartWrite(DeviceHandle h, const std::uint8_t* bytes,
                                           std::uint32_t n, TransferRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // The write never stores through its buffer; the cast only lets one routine serve both.
  return Start(h, const_cast<std::uint8_t*>(bytes), n, record, false);
}

StartOutcome SimulatedPlatform::StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                          TransferRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return Start(h, bytes, n, record, true);
}

std::uint32_t SimulatedPlatform::WaitCompletion(DeviceHandle h, TransferRecord& record,
                                                std::uint32_t limit_ms) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kWaitCompletion, InterfaceOf(h), limit_ms, true)) {
    return kWaitFailed;
  }
  if (wait_result) {
    return *wait_result;
  }
  Transfer* t = TransferOf(record);
  if (record.event == nullptr || events_.count(Key(record.event)) == 0 || t == nullptr) {
    return kWaitFailed;  // nothing to wait on, as a wait on no event fails
  }
  Sync();
  const std::uint32_t wait = devices_.WaitCompletion(h, record, limit_ms);
  Settle();
  if (wait == kWaitSignalled) {
    t->finished = true;
  }
  return wait;
}

void SimulatedPlatform::CancelPending(DeviceHandle h) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Step(Op::kCancelPending, InterfaceOf(h), 0, false);
  for (auto& entry : transfers_) {
    Transfer& t = entry.second;
    if (!t.finished && t.interface_index == InterfaceOf(h)) {
      t.cancelled = true;
    }
  }
  devices_.CancelPending(h);
}

std::uint32_t SimulatedPlatform::GetCompletedCount(DeviceHandle h, TransferRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Step(Op::kGetCompletedCount, InterfaceOf(h), 0, false);
  Transfer* t = TransferOf(record);
  if (t == nullptr) {
    return 0;
  }
  if (!t->finished && t->completion == Completion::kNever && !t->cancelled) {
    ReleaseError("completion query on a transfer that never ends: it would wait for ever");
  }
  t->finished = true;
  Sync();
  const std::uint32_t count = devices_.GetCompletedCount(h, record);
  const ReadBehaviour& read = interfaces[static_cast<std::size_t>(t->interface_index)].read;
  if (t->is_read && read.completion == Completion::kPending) {
    record.error = read.error;
  }
  Settle();
  return count;
}

void SimulatedPlatform::AwaitCancelled(DeviceHandle h, TransferRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Step(Op::kAwaitCancelled, InterfaceOf(h), 0, false);
  Transfer* t = TransferOf(record);
  if (t == nullptr) {
    return;
  }
  if (!t->finished && t->is_read && t->buffer != nullptr) {
    // A late completion may still write into the cancelled read's buffer.
    std::fill_n(t->buffer, t->size, kLateCompletionByte);
    SimInterface& target = interfaces[static_cast<std::size_t>(t->interface_index)];
    if (target.late_replies) {
      target.queued.push_back(target.read.reply);  // the reply comes after the exchange gave up
    }
  }
  t->finished = true;
  devices_.AwaitCancelled(h, record);
}

}  // namespace ksv::test
