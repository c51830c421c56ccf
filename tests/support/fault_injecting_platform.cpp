#include "fault_injecting_platform.h"

#include <algorithm>
#include <atomic>
#include <sstream>
#include <stdexcept>

namespace ksv::test {
namespace {

constexpr std::uint32_t kFaultStartError = kErrorGenFailure;  // maps to no specific code
constexpr std::uint16_t kSerialFiller = 0xAAAA;  // what lies past a serial's terminator
constexpr std::uint8_t kLateCompletionByte = 0xEE;

std::uintptr_t Key(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uint64_t NextLayer() {
  static std::atomic<std::uint64_t> layers{0};
  return ++layers;
}

// Past the terminator lies filler, not zeros: a reader that looks beyond it is caught.
void FillPastTerminator(SerialUnits& units) {
  const auto end = std::find(units.begin(), units.end(), 0);
  std::fill(end == units.end() ? end : end + 1, units.end(), kSerialFiller);
}

// Takes one acquisition off the books; a release of what is not on them is a defect.
template <typename Books>
bool Released(Books& books, const void* value, std::vector<std::string>& errors, const char* what) {
  const auto it = books.find(Key(value));
  if (it == books.end()) {
    errors.push_back(std::string(what) + " released twice or never handed out");
    return false;
  }
  books.erase(it);
  return true;
}

}  // namespace

SimulatedDevice Module(std::string path, std::uint16_t vendor, std::uint16_t product,
                       const std::string& serial) {
  SimulatedDevice d;
  d.path = std::move(path);
  d.ids = {vendor, product};
  d.serial.emplace(serial.begin(), serial.end());
  return d;
}

SimulatedDevice OtherDevice(std::string path, std::uint16_t vendor, std::uint16_t product) {
  return Module(std::move(path), vendor, product, "OTHER");
}

// The trace names a device by its place in the wrapped platform's list as it is now.
FaultInjectingPlatform::FaultInjectingPlatform(HidPlatform& wrapped)
    : wrapped_(wrapped), layer_(NextLayer()) {
  const InterfaceList list(wrapped_, wrapped_.OpenInterfaceList(wrapped_.GetHidClass()));
  known_paths_ = list ? PathsOf(list.get()) : std::vector<std::string>{};
}

// The paths of a wrapped list's interfaces ("" where one cannot be had), in its order.
std::vector<std::string> FaultInjectingPlatform::PathsOf(InterfaceListToken list) {
  std::vector<std::string> paths;
  const HidClass cls = wrapped_.GetHidClass();
  for (std::uint32_t i = 0;; ++i) {
    InterfaceRecord record;
    const InterfaceLookup lookup = wrapped_.GetInterfaceAt(list, cls, i, record);
    if (lookup == InterfaceLookup::kEnd) {
      return paths;
    }
    const OwnedPathBlock path(wrapped_, lookup == InterfaceLookup::kFound
                                            ? wrapped_.GetInterfacePath(list, record)
                                            : PathBlock{});
    paths.emplace_back(path ? path.get().text : "");
  }
}

int FaultInjectingPlatform::IndexOf(const std::string& path) const {
  const auto it = std::find(known_paths_.begin(), known_paths_.end(), path);
  return path.empty() || it == known_paths_.end() ? -1
                                                  : static_cast<int>(it - known_paths_.begin());
}

// --- Bookkeeping ------------------------------------------------------------------------------

bool FaultInjectingPlatform::Step(Op op, int interface_index, std::uint32_t value,
                                  bool counts_for_faults) {
  trace_.push_back({op, interface_index, value});
  if (before_operation) {
    before_operation(trace_.back());
  }
  if (throw_on == op) {
    throw_on.reset();
    throw std::runtime_error("injected platform failure");
  }
  const bool fails = counts_for_faults && ++operations_ == fail_operation;
  if (fails && fail_throws) {
    throw std::runtime_error("injected platform failure");
  }
  return fails;
}

DeviceFaults& FaultInjectingPlatform::faults(const std::string& path) {
  const Guard lock(mutex_);
  return faults_[path];
}

std::size_t FaultInjectingPlatform::CountOps(Op op) const {
  return static_cast<std::size_t>(std::count_if(trace_.begin(), trace_.end(),
                                                [op](const TraceEntry& e) { return e.op == op; }));
}

std::size_t FaultInjectingPlatform::UnfinishedTransfers() const {
  return static_cast<std::size_t>(std::count_if(transfers_.begin(), transfers_.end(),
                                                [](const auto& t) { return !t.second.finished; }));
}

bool FaultInjectingPlatform::Balanced(std::size_t handles_kept) const {
  const Guard lock(mutex_);
  return lists_.empty() && blocks_.empty() && events_.empty() && walk_locks_.empty() &&
         holders_.empty() && handles_.size() == handles_kept && release_errors_.empty() &&
         UnfinishedTransfers() == 0;
}

std::string FaultInjectingPlatform::Describe() const {
  const Guard lock(mutex_);
  std::ostringstream out;
  out << "lists " << lists_.size() << ", path blocks " << blocks_.size() << ", events "
      << events_.size() << ", walk locks " << walk_locks_.size() << ", holder looks "
      << holders_.size() << ", handles " << handles_.size() << ", unfinished transfers "
      << UnfinishedTransfers();
  for (const std::string& e : release_errors_) {
    out << "; " << e;
  }
  return out.str();
}

std::string FaultInjectingPlatform::PathOf(DeviceHandle h) const {
  const Guard lock(mutex_);
  const auto it = handles_.find(Key(h));
  return it == handles_.end() ? "" : it->second;
}

// --- Interface lists --------------------------------------------------------------------------

HidClass FaultInjectingPlatform::GetHidClass() {
  const Guard lock(mutex_);
  Step(Op::kGetHidClass, -1, 0, false);
  return wrapped_.GetHidClass();
}

// The list shows the interfaces present when it was built: a device that arrives or leaves
// afterwards shifts nothing in it.
InterfaceListToken FaultInjectingPlatform::OpenInterfaceList(const HidClass& cls) {
  const Guard lock(mutex_);
  if (Step(Op::kOpenInterfaceList, -1, 0, true)) {
    return nullptr;
  }
  const InterfaceListToken list = wrapped_.OpenInterfaceList(cls);
  if (list != nullptr) {
    const std::vector<std::string> paths = PathsOf(list);
    std::vector<std::uint32_t>& shown = lists_[Key(list)];
    for (std::uint32_t i = 0; i < paths.size(); ++i) {
      if (!faults_[paths[i]].absent) {
        shown.push_back(i);
      }
    }
  }
  return list;
}

InterfaceLookup FaultInjectingPlatform::GetInterfaceAt(InterfaceListToken list, const HidClass& cls,
                                                       std::uint32_t index, InterfaceRecord& out) {
  const Guard lock(mutex_);
  if (Step(Op::kGetInterfaceAt, -1, index, true)) {
    return InterfaceLookup::kFailed;
  }
  const auto it = lists_.find(Key(list));
  if (it == lists_.end()) {
    release_errors_.push_back("GetInterfaceAt on a list that is not open");
    return InterfaceLookup::kFailed;
  }
  const std::vector<std::uint32_t>& shown = it->second;
  return index < shown.size() ? wrapped_.GetInterfaceAt(list, cls, shown[index], out)
                              : InterfaceLookup::kEnd;
}

PathBlock FaultInjectingPlatform::GetInterfacePath(InterfaceListToken list,
                                                   const InterfaceRecord& record) {
  const Guard lock(mutex_);
  const bool open = lists_.count(Key(list)) == 1;
  OwnedPathBlock block(wrapped_, open ? wrapped_.GetInterfacePath(list, record) : PathBlock{});
  const std::string path = block ? block.get().text : "";
  if (!open) {
    release_errors_.push_back("GetInterfacePath on a list that is not open");
  }
  if (Step(Op::kGetInterfacePath, IndexOf(path), 0, true) || !block || faults_[path].absent ||
      faults_[path].path_unreadable) {
    return {};  // gone since the list was built, or its path cannot be read
  }
  blocks_.insert(Key(block.get().block));
  return block.release();
}

void FaultInjectingPlatform::ReleasePathBlock(PathBlock block) {
  const Guard lock(mutex_);
  Step(Op::kReleasePathBlock, -1, 0, false);
  if (Released(blocks_, block.block, release_errors_, "path block")) {
    wrapped_.ReleasePathBlock(block);
  }
}

void FaultInjectingPlatform::CloseInterfaceList(InterfaceListToken list) {
  const Guard lock(mutex_);
  Step(Op::kCloseInterfaceList, -1, 0, false);
  if (Released(lists_, list, release_errors_, "interface list")) {
    wrapped_.CloseInterfaceList(list);
  }
}

// --- Devices ----------------------------------------------------------------------------------

DeviceHandle FaultInjectingPlatform::OpenDevicePath(const char* path) {
  const Guard lock(mutex_);
  const DeviceFaults& f = faults_[path];
  if (Step(Op::kOpenDevicePath, IndexOf(path), 0, true) || f.absent || f.refuses_open) {
    return InvalidDeviceHandle();
  }
  const DeviceHandle h = wrapped_.OpenDevicePath(path);
  if (!IsNoDevice(h)) {
    handles_[Key(h)] = path;
  }
  return h;
}

std::uint32_t FaultInjectingPlatform::OpenRefusal(const char* path) {
  const Guard lock(mutex_);
  Step(Op::kOpenRefusal, IndexOf(path), 0, false);
  const DeviceFaults& f = faults_[path];
  return f.absent         ? kErrorFileNotFound
         : f.refuses_open ? kErrorAccessDenied
                          : wrapped_.OpenRefusal(path);
}

Description FaultInjectingPlatform::DescribeInterface(const char* path, InterfaceFacts& facts,
                                                      SerialUnits* units) {
  const Guard lock(mutex_);
  const bool tells_any = tells != Telling::kNothing;
  if (Step(Op::kDescribeInterface, IndexOf(path), units != nullptr ? 1 : 0, tells_any) ||
      !tells_any) {
    return Description::kOpenToTell;
  }
  const DeviceFaults& f = faults_[path];
  if (f.absent || f.ids_unreadable) {
    return f.absent ? Description::kGone : Description::kOpenToTell;
  }
  const bool all = tells == Telling::kAll;
  const Description description = wrapped_.DescribeInterface(path, facts, all ? units : nullptr);
  if (description != Description::kDescribed) {
    return description;
  }
  if (!all) {
    facts = InterfaceFacts{facts.ids};
    return Description::kIdentified;
  }
  facts.accessible = facts.accessible && !f.refuses_open;
  if (facts.serial_read) {
    FillPastTerminator(*units);
  }
  return description;
}

HoldersToken FaultInjectingPlatform::ReadHolders() {
  const Guard lock(mutex_);
  if (Step(Op::kReadHolders, -1, 0, true)) {
    return nullptr;
  }
  const HoldersToken holders = wrapped_.ReadHolders();
  if (holders != nullptr) {
    holders_.insert(Key(holders));
  }
  return holders;
}

Holding FaultInjectingPlatform::HolderOf(HoldersToken holders, const char* path,
                                         const InterfaceFacts& facts) {
  const Guard lock(mutex_);
  Step(Op::kHolderOf, IndexOf(path), 0, false);
  if (holders_.count(Key(holders)) == 0) {
    release_errors_.push_back("holders asked of a look not handed out");
    return {};
  }
  Holding holding = wrapped_.HolderOf(holders, path, facts);
  const DeviceFaults& f = faults_[path];
  if (holding.held && f.holder != 0) {
    holding.holder = f.holder;
  }
  return holding;
}

void FaultInjectingPlatform::ReleaseHolders(HoldersToken holders) {
  const Guard lock(mutex_);
  Step(Op::kReleaseHolders, -1, 0, false);
  if (Released(holders_, holders, release_errors_, "holders")) {
    wrapped_.ReleaseHolders(holders);
  }
}

WalkLockToken FaultInjectingPlatform::LockMachineWalks(std::uint32_t limit_ms) {
  const Guard lock(mutex_);
  const bool own = tells != Telling::kAll;
  if (Step(Op::kLockMachineWalks, -1, limit_ms, own)) {
    return nullptr;
  }
  const WalkLockToken token = own ? reinterpret_cast<WalkLockToken>(next_token_ += 16)
                                  : wrapped_.LockMachineWalks(limit_ms);
  if (token != nullptr) {
    walk_locks_[Key(token)] = own;
  }
  return token;
}

void FaultInjectingPlatform::UnlockMachineWalks(WalkLockToken token) {
  const Guard lock(mutex_);
  Step(Op::kUnlockMachineWalks, -1, 0, false);
  const auto it = walk_locks_.find(Key(token));
  const bool wrapped = it != walk_locks_.end() && !it->second;
  if (Released(walk_locks_, token, release_errors_, "walk lock") && wrapped) {
    wrapped_.UnlockMachineWalks(token);
  }
}

std::optional<DeviceIdentity> FaultInjectingPlatform::GetDeviceIds(DeviceHandle h) {
  const Guard lock(mutex_);
  const std::string path = PathOf(h);
  if (Step(Op::kGetDeviceIds, IndexOf(path), 0, true) || path.empty() ||
      faults_[path].ids_unreadable) {
    return std::nullopt;
  }
  return wrapped_.GetDeviceIds(h);
}

bool FaultInjectingPlatform::GetSerialUnits(DeviceHandle h, SerialUnits& units) {
  const Guard lock(mutex_);
  const std::string path = PathOf(h);
  if (Step(Op::kGetSerialUnits, IndexOf(path), 0, true) || path.empty() ||
      !wrapped_.GetSerialUnits(h, units)) {
    return false;
  }
  FillPastTerminator(units);
  return true;
}

bool FaultInjectingPlatform::Close(DeviceHandle h) {
  const Guard lock(mutex_);
  Step(Op::kClose, InterfaceOf(h), 0, false);
  return Released(handles_, h, release_errors_, "device handle") && wrapped_.Close(h);
}

std::uint64_t FaultInjectingPlatform::DeviceKey(DeviceHandle h) {
  const Guard lock(mutex_);
  Step(Op::kDeviceKey, InterfaceOf(h), 0, false);
  const std::uint64_t key = wrapped_.DeviceKey(h);
  return key == 0 ? 0 : layer_ << 32 | key;
}

// --- Transfers --------------------------------------------------------------------------------

EventToken FaultInjectingPlatform::CreateCompletionEvent() {
  const Guard lock(mutex_);
  if (Step(Op::kCreateCompletionEvent, -1, 0, true)) {
    return nullptr;
  }
  const EventToken event = wrapped_.CreateCompletionEvent();
  if (event != nullptr) {
    events_.insert(Key(event));
  }
  return event;
}

void FaultInjectingPlatform::CloseEvent(EventToken event) {
  const Guard lock(mutex_);
  Step(Op::kCloseEvent, -1, 0, false);
  if (Released(events_, event, release_errors_, "event")) {
    wrapped_.CloseEvent(event);
  }
}

bool FaultInjectingPlatform::Pending(TransferRecord& record) const {
  const auto it = transfers_.find(Key(&record));
  return it != transfers_.end() && !it->second.finished;
}

std::uint32_t FaultInjectingPlatform::DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch,
                                                         std::uint32_t n, TransferRecord& record) {
  const Guard lock(mutex_);
  const std::string path = PathOf(h);
  DeviceFaults& f = faults_[path];
  if (Step(Op::kDiscardQueuedInput, IndexOf(path), static_cast<std::uint32_t>(f.queued.size()),
           true)) {
    return kFaultStartError;
  }
  if (Pending(record)) {
    release_errors_.push_back("discard given a record whose transfer was still pending");
  }
  if (f.discard_error) {
    return *f.discard_error;
  }
  for (; !f.queued.empty(); f.queued.pop_front()) {
    // Each stale report passes through the scratch buffer, as a draining read delivers it.
    std::copy_n(f.queued.front().begin(), std::min<std::size_t>(f.queued.front().size(), n),
                scratch);
  }
  return wrapped_.DiscardQueuedInput(h, scratch, n, record);
}

StartOutcome FaultInjectingPlatform::StartTransfer(DeviceHandle h, std::uint8_t* bytes,
                                                   std::uint32_t n, TransferRecord& record,
                                                   bool is_read) {
  const Guard lock(mutex_);
  const std::string path = PathOf(h);
  if (Step(is_read ? Op::kStartRead : Op::kStartWrite, IndexOf(path), n, true)) {
    return {false, kFaultStartError, 0};
  }
  if (Pending(record)) {
    release_errors_.push_back("transfer record reused while its transfer was still pending");
  }
  transfers_.erase(Key(&record));
  DeviceFaults& f = faults_[path];
  const Start start = is_read ? f.read : f.write;
  if (const std::optional<std::uint32_t> error = is_read ? f.read_error : f.write_error) {
    return {false, *error, 0};
  }
  if (!is_read) {
    written_[path].assign(bytes, bytes + n);
  }
  Transfer t{Key(h), is_read, true, start == Start::kNever, false, false, 0, bytes, n};
  // A transfer that never ends is not passed on: the device never sees it.
  if (is_read && !t.never && !f.queued.empty()) {
    const std::vector<std::uint8_t>& report = f.queued.front();
    t.count = static_cast<std::uint32_t>(std::min<std::size_t>(report.size(), n));
    std::copy_n(report.begin(), t.count, bytes);
    f.queued.pop_front();
    t.finished = start == Start::kAtOnce;
  } else if (!t.never) {
    t.own = false;
    // A read that finishes at once is waited for here, with an event of its own if it has none.
    const EventToken given = record.event;
    CompletionEvent own_event;
    if (given == nullptr && start == Start::kAtOnce) {
      own_event = CompletionEvent(wrapped_, wrapped_.CreateCompletionEvent());
      record.event = own_event.get();
    }
    StartOutcome outcome = is_read ? wrapped_.StartRead(h, bytes, n, record)
                                   : wrapped_.StartWrite(h, bytes, n, record);
    if (start == Start::kAtOnce && outcome.error == kIoPending &&
        wrapped_.WaitCompletion(h, record, 0) == kWaitSignalled) {
      outcome = {true, 0, wrapped_.GetCompletedCount(h, record)};
    }
    record.event = given;
    if (!outcome.completed && outcome.error != kIoPending) {
      return outcome;
    }
    t.finished = outcome.completed && start != Start::kPending;
    t.count = outcome.count;
  }
  transfers_[Key(&record)] = t;
  return t.finished ? StartOutcome{true, 0, t.count} : StartOutcome{false, kIoPending, 0};
}

StartOutcome FaultInjectingPlatform::StartWrite(DeviceHandle h, const std::uint8_t* bytes,
                                                std::uint32_t n, TransferRecord& record) {
  // A write never stores through its buffer; the cast only lets one routine serve both.
  return StartTransfer(h, const_cast<std::uint8_t*>(bytes), n, record, false);
}

StartOutcome FaultInjectingPlatform::StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                               TransferRecord& record) {
  return StartTransfer(h, bytes, n, record, true);
}

std::uint32_t FaultInjectingPlatform::WaitCompletion(DeviceHandle h, TransferRecord& record,
                                                     std::uint32_t limit_ms) {
  const Guard lock(mutex_);
  if (Step(Op::kWaitCompletion, InterfaceOf(h), limit_ms, true)) {
    return kWaitFailed;
  }
  if (wait_result) {
    return *wait_result;
  }
  const auto it = transfers_.find(Key(&record));
  if (it == transfers_.end() || events_.count(Key(record.event)) == 0) {
    return kWaitFailed;  // nothing to wait on, as a wait on no event fails
  }
  Transfer& t = it->second;
  const std::uint32_t wait = !t.own    ? wrapped_.WaitCompletion(h, record, limit_ms)
                             : t.never ? kWaitTimedOut
                                       : kWaitSignalled;
  t.finished = t.finished || wait == kWaitSignalled;
  return wait;
}

void FaultInjectingPlatform::CancelPending(DeviceHandle h) {
  const Guard lock(mutex_);
  Step(Op::kCancelPending, InterfaceOf(h), 0, false);
  for (auto& entry : transfers_) {
    entry.second.cancelled = entry.second.cancelled || entry.second.handle == Key(h);
  }
  wrapped_.CancelPending(h);
}

std::uint32_t FaultInjectingPlatform::GetCompletedCount(DeviceHandle h, TransferRecord& record) {
  const Guard lock(mutex_);
  const std::string path = PathOf(h);
  Step(Op::kGetCompletedCount, IndexOf(path), 0, false);
  const auto it = transfers_.find(Key(&record));
  if (it == transfers_.end()) {
    return 0;
  }
  Transfer& t = it->second;
  if (!t.finished && t.never && !t.cancelled) {
    release_errors_.push_back("completion query on a transfer that never ends: it would wait");
  }
  t.finished = true;
  const std::uint32_t count = t.own ? t.count : wrapped_.GetCompletedCount(h, record);
  const std::optional<std::uint32_t>& end_error = faults_[path].read_end_error;
  if (!t.is_read || !end_error.has_value()) {
    return count;
  }
  record.error = end_error.value();
  return 0;
}

void FaultInjectingPlatform::AwaitCancelled(DeviceHandle h, TransferRecord& record) {
  const Guard lock(mutex_);
  Step(Op::kAwaitCancelled, InterfaceOf(h), 0, false);
  const auto it = transfers_.find(Key(&record));
  if (it == transfers_.end()) {
    return;
  }
  Transfer& t = it->second;
  if (!t.own) {
    wrapped_.AwaitCancelled(h, record);
  }
  if (!t.finished && t.is_read) {
    // A late completion may still write into the cancelled read's buffer.
    std::fill_n(t.buffer, t.size, kLateCompletionByte);
  }
  t.finished = true;
}

}  // namespace ksv::test
