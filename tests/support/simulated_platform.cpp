#include "simulated_platform.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace ksv::sim {
namespace {

constexpr std::uint32_t kFaultStartError = 31;   // ERROR_GEN_FAILURE, maps to no specific code
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
  return fail_operation != 0 && operations_ == fail_operation;
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
  return lists_.empty() && blocks_.empty() && events_.empty() && handles_.size() == handles_kept &&
         release_errors_.empty() && unfinished_transfers() == 0;
}

std::string SimulatedPlatform::Describe() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::ostringstream out;
  out << "lists " << lists_.size() << ", path blocks " << blocks_.size() << ", events "
      << events_.size() << ", handles " << handles_.size() << ", unfinished transfers "
      << unfinished_transfers() << ", release errors " << release_errors_.size();
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
  const auto it = written_.find(interface_index);
  return it == written_.end() ? std::vector<std::uint8_t>{} : it->second;
}

SimInterface* SimulatedPlatform::InterfaceAtHandle(DeviceHandle h) {
  const auto it = handles_.find(Key(h));
  if (it == handles_.end()) {
    return nullptr;
  }
  return &interfaces[static_cast<std::size_t>(it->second)];
}

// --- Interface lists --------------------------------------------------------------------------

HidClass SimulatedPlatform::GetHidClass() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Step(Op::kGetHidClass, -1, 0, false);
  HidClass cls;
  cls.bytes.fill(0x4D);
  return cls;
}

InterfaceListToken SimulatedPlatform::OpenInterfaceList(const HidClass&) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kOpenInterfaceList, -1, 0, true)) {
    return nullptr;
  }
  std::vector<std::uint32_t> present;
  for (std::uint32_t i = 0; i < interfaces.size(); ++i) {
    if (interfaces[i].present) {
      present.push_back(i);
    }
  }
  const std::uintptr_t token = next_token_ += 16;
  lists_[token] = std::move(present);
  return reinterpret_cast<InterfaceListToken>(token);
}

InterfaceLookup SimulatedPlatform::GetInterfaceAt(InterfaceListToken list, const HidClass&,
                                                  std::uint32_t index, InterfaceRecord& out) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kGetInterfaceAt, -1, index, true)) {
    return InterfaceLookup::kFailed;
  }
  const auto it = lists_.find(Key(list));
  if (it == lists_.end()) {
    ReleaseError("GetInterfaceAt on a list that is not open");
    return InterfaceLookup::kFailed;
  }
  if (index >= it->second.size()) {
    return InterfaceLookup::kEnd;
  }
  std::memcpy(out.bytes.data(), &it->second[index], sizeof index);
  return InterfaceLookup::kFound;
}

PathBlock SimulatedPlatform::GetInterfacePath(InterfaceListToken list,
                                              const InterfaceRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::uint32_t index = 0;
  std::memcpy(&index, record.bytes.data(), sizeof index);
  if (Step(Op::kGetInterfacePath, static_cast<int>(index), 0, true)) {
    return {};
  }
  if (lists_.count(Key(list)) == 0 || index >= interfaces.size()) {
    ReleaseError("GetInterfacePath with a list or record that was not handed out");
    return {};
  }
  if (!interfaces[index].present || interfaces[index].path_unreadable) {
    return {};  // gone since the list was built, or its path cannot be read
  }
  const std::string& path = interfaces[index].path;
  char* block = new char[path.size() + 1];
  std::memcpy(block, path.c_str(), path.size() + 1);
  blocks_.insert(Key(block));
  return {block, block};
}

void SimulatedPlatform::ReleasePathBlock(PathBlock block) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Record(Op::kReleasePathBlock, -1, 0);
  if (blocks_.erase(Key(block.block)) == 0) {
    ReleaseError("path block released twice or never handed out");
    return;
  }
  delete[] static_cast<char*>(block.block);
}

void SimulatedPlatform::CloseInterfaceList(InterfaceListToken list) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Record(Op::kCloseInterfaceList, -1, 0);
  if (lists_.erase(Key(list)) == 0) {
    ReleaseError("interface list closed twice or never handed out");
  }
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
  const SimInterface& target = interfaces[static_cast<std::size_t>(index)];
  const bool already_open = std::any_of(handles_.begin(), handles_.end(),
                                        [index](const auto& e) { return e.second == index; });
  if (!target.present || target.refuses_open || target.held_elsewhere || already_open) {
    return InvalidDeviceHandle();  // exclusive access: no second open
  }
  const std::uintptr_t token = next_token_ += 16;
  handles_[token] = index;
  return reinterpret_cast<DeviceHandle>(token);
}

// The refusal OpenDevicePath would meet now, without opening anything.
std::uint32_t SimulatedPlatform::OpenRefusal(const char* path) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const auto it = std::find_if(interfaces.begin(), interfaces.end(),
                               [path](const SimInterface& i) { return i.path == path; });
  const int index = it == interfaces.end() ? -1 : static_cast<int>(it - interfaces.begin());
  Step(Op::kOpenRefusal, index, 0, false);
  if (index < 0) {
    return kErrorFileNotFound;
  }
  const bool already_open = std::any_of(handles_.begin(), handles_.end(),
                                        [index](const auto& e) { return e.second == index; });
  if (it->refuses_open) {
    return kErrorAccessDenied;
  }
  return it->held_elsewhere || already_open ? kErrorSharingViolation : 0;
}

std::optional<DeviceIdentity> SimulatedPlatform::GetDeviceIds(DeviceHandle h) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const int index = InterfaceOf(h);
  if (Step(Op::kGetDeviceIds, index, 0, true) || index < 0) {
    return std::nullopt;
  }
  const SimInterface& target = interfaces[static_cast<std::size_t>(index)];
  if (target.ids_unreadable) {
    return std::nullopt;
  }
  return target.ids;
}

bool SimulatedPlatform::GetSerialUnits(DeviceHandle h, SerialUnits& units) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const int index = InterfaceOf(h);
  if (Step(Op::kGetSerialUnits, index, 0, true) || index < 0) {
    return false;
  }
  const SimInterface& target = interfaces[static_cast<std::size_t>(index)];
  if (!target.serial) {
    return false;
  }
  units.fill(kSerialFiller);
  const std::size_t n = std::min(target.serial->size(), units.size());
  std::copy_n(target.serial->begin(), n, units.begin());
  if (n < units.size()) {
    units[n] = 0;
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
  return true;
}

// --- Transfers --------------------------------------------------------------------------------

EventToken SimulatedPlatform::CreateCompletionEvent() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Step(Op::kCreateCompletionEvent, -1, 0, true) || events_fail) {
    return nullptr;
  }
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

void SimulatedPlatform::Deliver(Transfer& t) {
  if (t.is_read) {
    t.count = static_cast<std::uint32_t>(std::min<std::size_t>(t.deliver.size(), t.size));
    std::copy_n(t.deliver.begin(), t.count, t.buffer);
  }
  t.finished = true;
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
  SimInterface* target = InterfaceAtHandle(h);
  if (target == nullptr) {
    return {false, kErrorInvalidHandle, 0};
  }
  Transfer t;
  t.interface_index = index;
  t.is_read = is_read;
  t.buffer = bytes;
  t.size = n;
  if (is_read && !target->queued.empty()) {
    t.completion = Completion::kAtOnce;  // a report is waiting: the read takes it at once
    t.deliver = target->queued.front();
    target->queued.erase(target->queued.begin());
  } else if (is_read) {
    const ReadBehaviour& behaviour = target->read;
    t.completion = behaviour.completion;
    if (behaviour.completion == Completion::kFailStart) {
      return {false, behaviour.error, 0};
    }
    t.deliver = behaviour.reply;
    if (behaviour.echo) {
      t.deliver = written_[index];
      if (!t.deliver.empty()) {
        t.deliver[0] = behaviour.echo_id;
      }
    }
  } else {
    const WriteBehaviour& behaviour = target->write;
    t.completion = behaviour.completion;
    if (behaviour.completion == Completion::kFailStart) {
      return {false, behaviour.error, 0};
    }
    written_[index].assign(bytes, bytes + n);
    t.count = n;
  }
  Transfer& stored = transfers_[Key(&record)] = t;
  if (stored.completion == Completion::kAtOnce) {
    Deliver(stored);
    return {true, 0, stored.count};
  }
  return {false, kIoPending, 0};
}

std::uint32_t SimulatedPlatform::DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch,
                                                    std::uint32_t n, TransferRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  SimInterface* target = InterfaceAtHandle(h);
  const auto queued = static_cast<std::uint32_t>(target != nullptr ? target->queued.size() : 0);
  if (Step(Op::kDiscardQueuedInput, InterfaceOf(h), queued, true)) {
    return kFaultStartError;
  }
  if (Transfer* previous = TransferOf(record); previous != nullptr && !previous->finished) {
    ReleaseError("discard given a record whose transfer was still pending");
  }
  if (target == nullptr) {
    return kErrorInvalidHandle;
  }
  if (target->discard_error != 0) {
    return target->discard_error;
  }
  // Each stale report passes through the scratch buffer, as a draining read delivers it.
  for (const std::vector<std::uint8_t>& report : target->queued) {
    std::copy_n(report.begin(), std::min<std::size_t>(report.size(), n), scratch);
  }
  target->queued.clear();
  return 0;
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
  if (t->finished) {
    return kWaitSignalled;
  }
  if (t->completion == Completion::kPending) {
    Deliver(*t);
    return kWaitSignalled;
  }
  return kWaitTimedOut;
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
}

std::uint32_t SimulatedPlatform::GetCompletedCount(DeviceHandle h, TransferRecord& record) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Step(Op::kGetCompletedCount, InterfaceOf(h), 0, false);
  Transfer* t = TransferOf(record);
  if (t == nullptr) {
    return 0;
  }
  if (!t->finished) {
    if (t->completion == Completion::kNever && !t->cancelled) {
      ReleaseError("completion query on a transfer that never ends: it would wait for ever");
    }
    if (t->completion == Completion::kPending) {
      Deliver(*t);
    }
    t->finished = true;
  }
  return t->count;
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
    if (SimInterface* target = InterfaceAtHandle(h); target != nullptr && target->late_replies) {
      target->queued.push_back(t->deliver);  // the reply comes after the exchange gave up
    }
  }
  t->finished = true;
}

}  // namespace ksv::sim
