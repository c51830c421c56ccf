#include "simulator/simulated_hid_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "core/module_mode.h"

namespace ksv {
namespace {

constexpr std::size_t kMostQueuedReplies = 64;  // as hidraw's per-reader queue

std::uintptr_t Key(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

}  // namespace

// A transfer's bookkeeping, kept in its record's storage: a record belongs to the thread that
// started the transfer, so nothing else ever touches it.
struct SimulatedHidPlatform::Transfer {
  std::uint8_t* buffer;  // a read's destination
  std::uintptr_t handle;
  std::uint32_t size;
  std::uint32_t count;  // bytes moved, once finished
  bool started;
  bool is_read;
  bool finished;
  bool left;                       // a read that ended because the device left
  std::uint32_t system_error = 0;  // a read that ended with this error
};

namespace {

template <typename T>
T Load(const TransferRecord& record) {
  static_assert(std::is_trivially_copyable_v<T>, "kept as bytes");
  static_assert(sizeof(T) <= sizeof(TransferRecord::storage), "fits the record");
  T t{};
  std::memcpy(&t, record.storage.data(), sizeof t);
  return t;
}

template <typename T>
void Store(TransferRecord& record, const T& t) {
  std::memcpy(record.storage.data(), &t, sizeof t);
}

}  // namespace

namespace {

class SteadyTime final : public SimulatedTime {
 public:
  Clock::duration Delay(std::uint32_t delay_ms) const override {
    return std::chrono::milliseconds(delay_ms);
  }
  bool WaitUntil(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                 Clock::time_point wake) const override {
    changed.wait_until(lock, wake);
    return true;
  }
};

}  // namespace

const SimulatedTime& RealTime() {
  static const SteadyTime time;
  return time;
}

SimulatedHidPlatform::SimulatedHidPlatform(std::vector<SimulatedDevice> devices,
                                           const SimulatedTime& time)
    : time_(time), devices_(devices.size()) {
  for (std::size_t i = 0; i < devices.size(); ++i) {
    devices_[i].description = std::move(devices[i]);
  }
}

SimulatedHidPlatform::DeviceState* SimulatedHidPlatform::StateOf(DeviceHandle h) {
  const auto it = handles_.find(Key(h));
  return it == handles_.end() ? nullptr : &devices_[it->second];
}

// --- Interface lists --------------------------------------------------------------------------

HidClass SimulatedHidPlatform::GetHidClass() {
  HidClass cls;
  cls.bytes.fill(0x4D);
  return cls;
}

InterfaceListToken SimulatedHidPlatform::OpenInterfaceList(const HidClass&) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::uintptr_t token = next_token_ += 16;
  std::vector<std::size_t>& present = lists_[token];
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (!devices_[i].gone) {
      present.push_back(i);
    }
  }
  return reinterpret_cast<InterfaceListToken>(token);
}

InterfaceLookup SimulatedHidPlatform::GetInterfaceAt(InterfaceListToken list, const HidClass&,
                                                     std::uint32_t index, InterfaceRecord& out) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = lists_.find(Key(list));
  if (it == lists_.end()) {
    return InterfaceLookup::kFailed;
  }
  if (index >= it->second.size()) {
    return InterfaceLookup::kEnd;
  }
  const std::uint64_t device = it->second[index];
  std::memcpy(out.bytes.data(), &device, sizeof device);
  return InterfaceLookup::kFound;
}

PathBlock SimulatedHidPlatform::GetInterfacePath(InterfaceListToken list,
                                                 const InterfaceRecord& record) {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t device = 0;
  std::memcpy(&device, record.bytes.data(), sizeof device);
  if (lists_.count(Key(list)) == 0 || device >= devices_.size()) {
    return {};
  }
  const DeviceState& state = devices_[static_cast<std::size_t>(device)];
  if (state.gone) {
    return {};  // gone since the list was made
  }
  const std::string& path = state.description.path;
  char* block = new char[path.size() + 1];
  std::memcpy(block, path.c_str(), path.size() + 1);
  return {block, block};
}

void SimulatedHidPlatform::ReleasePathBlock(PathBlock block) {
  delete[] static_cast<char*>(block.block);
}

void SimulatedHidPlatform::CloseInterfaceList(InterfaceListToken list) {
  const std::lock_guard<std::mutex> lock(mutex_);
  lists_.erase(Key(list));
}

// --- Devices ----------------------------------------------------------------------------------

DeviceHandle SimulatedHidPlatform::OpenDevicePath(const char* path) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    DeviceState& device = devices_[i];
    const SimulatedDevice& d = device.description;
    if (d.path != path || device.gone) {
      continue;
    }
    if (device.open || d.busy) {
      break;  // opened exclusively: no second open
    }
    device.open = true;
    DropArrived(device, Clock::now());  // a new handle starts with an empty input buffer
    const std::uintptr_t token = next_token_ += 16;
    handles_[token] = i;
    return reinterpret_cast<DeviceHandle>(token);
  }
  return InvalidDeviceHandle();
}

// Replies that have arrived are input of the handle open then; those still under way are the
// device's, and come to whichever handle is open when they arrive.
void SimulatedHidPlatform::DropArrived(DeviceState& device, Clock::time_point now) {
  while (!device.replies.empty() && device.replies.front().readable_at <= now) {
    device.replies.pop_front();
  }
}

std::uint64_t SimulatedHidPlatform::DeviceKey(DeviceHandle h) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(Key(h));
  return it == handles_.end() ? 0 : it->second + 1;
}

// The refusal OpenDevicePath would meet now, without opening anything.
std::uint32_t SimulatedHidPlatform::OpenRefusal(const char* path) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const DeviceState& device : devices_) {
    const SimulatedDevice& d = device.description;
    if (d.path != path || device.gone) {
      continue;
    }
    return device.open || d.busy ? kErrorSharingViolation : 0;
  }
  return kErrorFileNotFound;
}

std::optional<DeviceIdentity> SimulatedHidPlatform::GetDeviceIds(DeviceHandle h) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const DeviceState* device = StateOf(h);
  if (device == nullptr) {
    return std::nullopt;
  }
  return device->description.ids;
}

bool SimulatedHidPlatform::GetSerialUnits(DeviceHandle h, SerialUnits& units) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const DeviceState* device = StateOf(h);
  if (device == nullptr || !device->description.serial) {
    return false;
  }
  const std::u16string& serial = *device->description.serial;
  units.fill(0);
  std::copy_n(serial.begin(), std::min(serial.size(), units.size()), units.begin());
  return true;
}

// Described as a system that keeps the IDs, the serial number and the holder apart from the
// device, as Linux does: the node is the device's index + 1.
Description SimulatedHidPlatform::DescribeInterface(const char* path, InterfaceFacts& facts,
                                                    SerialUnits* units) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t index = 0; index < devices_.size(); ++index) {
    const DeviceState& device = devices_[index];
    const SimulatedDevice& d = device.description;
    if (d.path != path || device.gone) {
      continue;
    }
    facts.ids = d.ids;
    facts.accessible = true;
    facts.node = {index + 1, 0};
    facts.serial_read = units != nullptr && d.serial.has_value();
    if (facts.serial_read) {
      units->fill(0);
      std::copy_n(d.serial->begin(), std::min(d.serial->size(), units->size()), units->begin());
    }
    return Description::kDescribed;
  }
  return Description::kGone;
}

// A look at the holders: which devices were held (open here, or busy elsewhere) when it was taken.
HoldersToken SimulatedHidPlatform::ReadHolders() {
  const std::lock_guard<std::mutex> lock(mutex_);
  auto* held = new (std::nothrow) std::vector<bool>();
  try {
    for (const DeviceState& device : devices_) {
      held->push_back(device.open || device.description.busy);
    }
  } catch (const std::bad_alloc&) {
    delete held;
    return nullptr;
  }
  return held;
}

Holding SimulatedHidPlatform::HolderOf(HoldersToken holders, const char*,
                                       const InterfaceFacts& facts) {
  const std::vector<bool>& held = *static_cast<const std::vector<bool>*>(holders);
  const std::uint64_t index = facts.node[0] - 1;
  return index < held.size() && held[static_cast<std::size_t>(index)] ? Holding{true, 0}
                                                                      : Holding{};
}

void SimulatedHidPlatform::ReleaseHolders(HoldersToken holders) {
  delete static_cast<std::vector<bool>*>(holders);
}

// The simulated modules live in this process: walks of other processes cannot hide them.
WalkLockToken SimulatedHidPlatform::LockMachineWalks(std::uint32_t) { return nullptr; }
void SimulatedHidPlatform::UnlockMachineWalks(WalkLockToken) {}

bool SimulatedHidPlatform::Close(DeviceHandle h) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(Key(h));
  if (it == handles_.end()) {
    return false;
  }
  DeviceState& device = devices_[it->second];
  device.open = false;
  DropArrived(device, Clock::now());  // the closed handle's input goes with it
  handles_.erase(it);
  changed_.notify_all();  // a wait on the closed handle ends
  return true;
}

// --- Transfers --------------------------------------------------------------------------------

// Replies whose delay has passed are input that arrived; a reply still under way is not, and the
// next read receives it.
std::uint32_t SimulatedHidPlatform::DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch,
                                                       std::uint32_t n, TransferRecord&) {
  const std::lock_guard<std::mutex> lock(mutex_);
  DeviceState* device = StateOf(h);
  if (device == nullptr) {
    return kErrorInvalidHandle;
  }
  const Clock::time_point now = Clock::now();
  for (std::uint32_t discarded = 0; discarded < kMaxDiscardedReports && !device->replies.empty() &&
                                    device->replies.front().readable_at <= now;
       ++discarded) {
    // Each stale report passes through the scratch buffer, as a draining read delivers it.
    const QueuedReply& report = device->replies.front();
    std::copy_n(report.bytes.begin(), std::min(report.count, n), scratch);
    device->replies.pop_front();
  }
  return 0;
}

// Every wait looks at its own record; each event is still a token of its own, as a system's
// events are, so that a caller can tell them apart.
EventToken SimulatedHidPlatform::CreateCompletionEvent() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return reinterpret_cast<EventToken>(next_token_ += 16);
}

void SimulatedHidPlatform::CloseEvent(EventToken) {}

SimulatedHidPlatform::Clock::time_point SimulatedHidPlatform::ReadableAt(
    const DeviceState& device, Clock::time_point now, std::uint32_t delay_ms) const {
  const Clock::time_point due = now + time_.Delay(delay_ms);
  return device.replies.empty() ? due : std::max(due, device.replies.back().readable_at);
}

namespace {

// The reply a device gives to an output report (report ID first); nothing from a silent device.
std::optional<std::array<std::uint8_t, kSimulatedReportBytes>> ReplyTo(const SimulatedDevice& d,
                                                                       const std::uint8_t* bytes,
                                                                       std::uint32_t n) {
  if (d.reply == SimulatedReply::kSilent) {
    return std::nullopt;
  }
  std::array<std::uint8_t, kSimulatedReportBytes> reply{};
  reply[0] = d.report_id;
  for (std::size_t i = 1; i < reply.size(); ++i) {
    const std::uint8_t sent = i < n ? bytes[i] : 0;
    switch (d.reply) {
      case SimulatedReply::kPlusOne:
        reply[i] = static_cast<std::uint8_t>(sent + 1);
        break;
      case SimulatedReply::kInvert:
        reply[i] = static_cast<std::uint8_t>(~sent);
        break;
      case SimulatedReply::kFixed:
        reply[i] = i - 1 < d.payload.size() ? d.payload[i - 1] : 0;
        break;
      default:  // kEcho
        reply[i] = sent;
        break;
    }
  }
  return reply;
}

}  // namespace

bool SimulatedHidPlatform::TryFinishRead(Transfer& t, DeviceState& device, Clock::time_point now) {
  if (device.gone) {
    t.count = 0;  // a removed device ends the read at once, with nothing, in error
    t.finished = true;
    t.left = true;
    return true;
  }
  if (device.replies.empty() || device.replies.front().readable_at > now) {
    return false;
  }
  const QueuedReply& reply = device.replies.front();
  t.count = std::min(reply.count, t.size);
  std::copy_n(reply.bytes.begin(), t.count, t.buffer);
  t.system_error = reply.system_error;
  device.replies.pop_front();
  t.finished = true;
  return true;
}

StartOutcome SimulatedHidPlatform::Start(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                         TransferRecord& record, bool is_read) {
  const std::lock_guard<std::mutex> lock(mutex_);
  DeviceState* device = StateOf(h);
  if (device == nullptr) {
    return {false, kErrorInvalidHandle, 0};
  }
  Transfer t{bytes, Key(h), n, 0, true, is_read, false, false};
  if (is_read) {
    Store(record, t);  // it finishes in its wait, or in the completion query
    return {false, kIoPending, 0};
  }
  if (device->gone) {
    return {false, kErrorDeviceNotConnected, 0};
  }
  const SimulatedDevice& d = device->description;
  if (d.unplug_after && ++device->exchanges > *d.unplug_after) {
    device->gone = true;  // it leaves now: the read that follows finds it gone
  } else if (d.reply == SimulatedReply::kConversation) {
    Converse(*device, bytes, n);
  } else if (const auto answer = ReplyTo(d, bytes, n)) {
    Queue(*device, answer->data(), std::min(d.length, kSimulatedReportBytes), d.delay_ms);
  }
  t.finished = true;
  t.count = n;
  changed_.notify_all();
  Store(record, t);
  return {true, 0, n};
}

void SimulatedHidPlatform::Queue(DeviceState& device, const std::uint8_t* bytes,
                                 std::uint32_t count, std::uint32_t delay_ms) {
  if (device.replies.size() == kMostQueuedReplies) {
    device.replies.pop_front();
  }
  QueuedReply reply;
  reply.count = std::min(count, kSimulatedReportBytes);
  std::copy_n(bytes, reply.count, reply.bytes.begin());
  reply.readable_at = ReadableAt(device, Clock::now(), delay_ms);
  device.replies.push_back(reply);
}

namespace {

// The first byte at which `command` (the output report's bytes after its ID) differs from the
// step's under its mask; nothing when it matches.
std::optional<std::size_t> FirstDifference(const ConversationStep& step, const std::uint8_t* bytes,
                                           std::uint32_t n) {
  for (std::size_t i = 0; i < ConversationStep::kCommandBytes; ++i) {
    const std::uint8_t sent = i + 1 < n ? bytes[i + 1] : 0;
    if (((sent ^ step.command[i]) & step.mask[i]) != 0) {
      return i;
    }
  }
  return std::nullopt;
}

std::string Hex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", byte);
  return text;
}

}  // namespace

// The step that the command meets does what it says; a command that meets none gets no reply, as
// a module that ignores a command it does not know, and one line says where it went astray.
void SimulatedHidPlatform::Converse(DeviceState& device, const std::uint8_t* bytes,
                                    std::uint32_t n) {
  const SimulatedDevice& d = device.description;
  const std::uint32_t command = ++device.commands;
  const ConversationStep* step = nullptr;
  std::string astray;
  if (d.lookup) {
    const auto match = std::find_if(d.steps.begin(), d.steps.end(), [&](const auto& s) {
      return !FirstDifference(s, bytes, n).has_value();
    });
    step = match == d.steps.end() ? nullptr : &*match;
    astray = "matches none of the " + std::to_string(d.steps.size()) + " steps";
  } else if (device.next_step >= d.steps.size()) {
    astray = "comes after the last step (" + std::to_string(d.steps.size()) + ")";
  } else if (const auto differs = FirstDifference(d.steps[device.next_step], bytes, n)) {
    const std::size_t i = *differs;
    astray = "does not match step " + std::to_string(device.next_step + 1) + ": command byte " +
             std::to_string(i) + " is " + Hex(i + 1 < n ? bytes[i + 1] : 0) + ", the step has " +
             Hex(d.steps[device.next_step].command[i]);
  } else {
    step = &d.steps[device.next_step++];
  }
  if (step == nullptr) {
    std::fprintf(stderr, "KSVHidApi simulator: %s: command %u %s; no reply\n", d.path.c_str(),
                 static_cast<unsigned>(command), astray.c_str());
    return;
  }
  switch (step->outcome) {
    case ConversationStep::Outcome::kReply:
      Queue(device, step->reply.data(), static_cast<std::uint32_t>(step->reply.size()),
            step->delay_ms);
      break;
    case ConversationStep::Outcome::kLeaves:
      device.gone = true;
      break;
    case ConversationStep::Outcome::kSystemError:
      Queue(device, nullptr, 0, step->delay_ms);
      device.replies.back().system_error = step->system_error;
      break;
    case ConversationStep::Outcome::kSilent:
      break;
  }
}

StartOutcome SimulatedHidPlatform::StartWrite(DeviceHandle h, const std::uint8_t* bytes,
                                              std::uint32_t n, TransferRecord& record) {
  // A write never stores through its buffer; the cast only lets one routine serve both.
  return Start(h, const_cast<std::uint8_t*>(bytes), n, record, false);
}

StartOutcome SimulatedHidPlatform::StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                             TransferRecord& record) {
  return Start(h, bytes, n, record, true);
}

std::uint32_t SimulatedHidPlatform::WaitCompletion(DeviceHandle, TransferRecord& record,
                                                   std::uint32_t limit_ms) {
  Transfer t = Load<Transfer>(record);
  if (record.event == nullptr || !t.started) {
    return kWaitFailed;  // nothing to wait on, as a wait on no event fails
  }
  std::unique_lock<std::mutex> lock(mutex_);
  Clock::time_point now = Clock::now();
  const Clock::time_point deadline = now + std::chrono::milliseconds(limit_ms);
  for (;;) {
    DeviceState* device = StateOf(reinterpret_cast<DeviceHandle>(t.handle));
    if (!t.finished && device == nullptr) {
      t.finished = true;  // the handle was closed: the transfer ends with nothing
      t.count = 0;
    }
    if (!t.finished && t.is_read) {
      TryFinishRead(t, *device, now);
    }
    if (t.finished) {
      Store(record, t);
      return kWaitSignalled;
    }
    if (now >= deadline) {
      return kWaitTimedOut;
    }
    Clock::time_point wake = deadline;
    if (t.is_read && !device->replies.empty()) {
      wake = std::min(wake, device->replies.front().readable_at);
    }
    if (!time_.WaitUntil(changed_, lock, wake)) {
      return kWaitTimedOut;
    }
    now = Clock::now();
  }
}

void SimulatedHidPlatform::CancelPending(DeviceHandle) {
  // Nothing is queued on a transfer's behalf: a read that was not completed took nothing, and a
  // reply that arrives later stays in the device's queue.
}

std::uint32_t SimulatedHidPlatform::GetCompletedCount(DeviceHandle, TransferRecord& record) {
  Transfer t = Load<Transfer>(record);
  if (!t.started) {
    return 0;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  while (!t.finished) {
    DeviceState* device = StateOf(reinterpret_cast<DeviceHandle>(t.handle));
    const Clock::time_point now = Clock::now();
    if (device == nullptr) {
      t.finished = true;  // the handle was closed: nothing moved
      t.count = 0;
    } else if (!TryFinishRead(t, *device, now)) {
      if (device->replies.empty()) {
        t.finished = true;  // nothing will come: waiting would never end
        t.count = 0;
      } else {
        time_.WaitUntil(changed_, lock, device->replies.front().readable_at);
      }
    }
  }
  Store(record, t);
  if (t.left) {
    record.error = kErrorDeviceNotConnected;
  } else if (t.system_error != 0) {
    record.error = t.system_error;
  }
  return t.count;
}

void SimulatedHidPlatform::AwaitCancelled(DeviceHandle, TransferRecord& record) {
  Transfer t = Load<Transfer>(record);
  t.finished = true;
  t.count = 0;
  Store(record, t);
}

}  // namespace ksv
