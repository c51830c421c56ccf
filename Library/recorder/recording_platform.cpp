#include "recorder/recording_platform.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ksv {
namespace {

std::uintptr_t Key(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string HexId(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
  return text;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A serial number's UTF-16 units as a JSON string (UTF-8; a lone surrogate becomes U+FFFD, which
// the simulator reads back as one unit as well).
std::string JsonString(const std::u16string& units) {
  std::string out = "\"";
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      AppendUtf8(out, c);
    }
  }
  return out + "\"";
}

std::optional<std::u16string> SerialOf(const SerialUnits& units) {
  return std::u16string(units.begin(), std::find(units.begin(), units.end(), 0));
}

}  // namespace

RecordingPlatform::RecordingPlatform(HidPlatform& wrapped, std::string file)
    : wrapped_(wrapped), file_(std::move(file)) {
  Save();  // a run that finds nothing still leaves its (empty) recording
}

template <typename T>
void RecordingPlatform::Learn(std::optional<T>& known, const std::optional<T>& seen) {
  if (seen && known != seen) {
    known = seen;
    changed_ = true;  // the file is written whole after the walk
  }
}

RecordingPlatform::Interface& RecordingPlatform::InterfaceAt(const std::string& path,
                                                             InterfaceListToken list) {
  const auto [it, added] = by_path_.emplace(path, interfaces_.size());
  if (added) {
    interfaces_.push_back(Interface{path, std::nullopt, std::nullopt, false});
    auto place = order_.end();
    if (list != nullptr) {
      const auto last = walk_last_.find(list);
      place = last == walk_last_.end() ? order_.begin()
                                       : std::find(order_.begin(), order_.end(), last->second) + 1;
    }
    order_.insert(place, it->second);
    changed_ = true;
  }
  if (list != nullptr) {
    walk_last_[list] = it->second;
  }
  return interfaces_[it->second];
}

std::size_t RecordingPlatform::PlaceOf(std::size_t seen) const {
  return static_cast<std::size_t>(std::find(order_.begin(), order_.end(), seen) - order_.begin());
}

std::string RecordingPlatform::StepLine(const Step& step) const {
  return "{\"module\": " + std::to_string(PlaceOf(step.seen)) + ", " + step.rest + "}";
}

void RecordingPlatform::EndCommand(std::uintptr_t handle, const std::string& outcome) {
  const auto it = commands_.find(handle);
  if (it == commands_.end()) {
    return;
  }
  const Command& command = it->second;
  std::size_t length = kCommandBytes;
  while (length > 1 && command.bytes[length - 1] == 0) {
    --length;  // a command's trailing zeros are implied
  }
  const Step step{command.seen,
                  "\"command\": \"" + Hex(command.bytes.data(), length) + "\", " + outcome};
  commands_.erase(it);
  Append(step);
}

void RecordingPlatform::ReplyArrived(std::uintptr_t handle, const std::uint8_t* bytes,
                                     std::uint32_t count, Clock::time_point at) {
  const auto it = commands_.find(handle);
  if (it == commands_.end() || count == 0) {
    return;
  }
  const auto delay =
      std::chrono::duration_cast<std::chrono::milliseconds>(at - it->second.written).count();
  EndCommand(handle, "\"reply\": \"" + Hex(bytes, count) +
                         "\", \"delay_ms\": " + std::to_string(std::max<long long>(delay, 0)));
}

namespace {

// What follows the last step: the steps' and the document's ends.
constexpr char kTail[] = "\n]}\n";
constexpr long kTailBytes = sizeof kTail - 1;

}  // namespace

std::string RecordingPlatform::Text() const {
  // Every interface is listed, so that a step's module number never changes; one whose IDs were
  // never seen is written as 0000:0000, which no mode takes for a module.
  std::string text = "{\"modules\": [";
  for (std::size_t n = 0; n < order_.size(); ++n) {
    const Interface& i = interfaces_[order_[n]];
    const DeviceIdentity ids = i.ids.value_or(DeviceIdentity{});
    text += n == 0 ? "\n" : ",\n";
    text += "  {\"vendor\": \"" + HexId(ids.vendor) + "\", \"product\": \"" + HexId(ids.product) +
            "\", \"serial\": " + (i.serial ? JsonString(*i.serial) : "null") +
            ", \"reply\": \"conversation\"" + (i.held ? ", \"busy\": true" : "") + "}";
  }
  text += "\n],\n\"steps\": [";
  for (std::size_t n = 0; n < steps_.size(); ++n) {
    text += (n == 0 ? "\n" : ",\n") + StepLine(steps_[n]);
  }
  return text + kTail;
}

void RecordingPlatform::Save() {
  changed_ = false;
  if (file_.empty()) {
    return;
  }
  out_.reset();
  const std::string part = file_ + ".part";
  std::FILE* out = std::fopen(part.c_str(), "wb");
  if (out == nullptr) {
    return;  // nothing to be done from inside a call; the recording stays as it was
  }
  const std::string text = Text();
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (std::fclose(out) != 0 || !written) {
    std::remove(part.c_str());
    return;
  }
#ifdef _WIN32
  MoveFileExA(part.c_str(), file_.c_str(), MOVEFILE_REPLACE_EXISTING);
#else
  std::rename(part.c_str(), file_.c_str());
#endif
  out_.reset(std::fopen(file_.c_str(), "r+b"));
}

void RecordingPlatform::Append(const Step& step) {
  steps_.push_back(step);
  if (changed_ || !out_) {
    Save();
    return;
  }
  // Over the old tail: one write, flushed, so that the file is whole again after it.
  const std::string text = (steps_.size() == 1 ? "\n" : ",\n") + StepLine(step) + kTail;
  if (std::fseek(out_.get(), -kTailBytes, SEEK_END) != 0 ||
      std::fwrite(text.data(), 1, text.size(), out_.get()) != text.size() ||
      std::fflush(out_.get()) != 0) {
    Save();
  }
}

// --- Interfaces, as the walks see them ---------------------------------------------------------

HidClass RecordingPlatform::GetHidClass() { return wrapped_.GetHidClass(); }

InterfaceListToken RecordingPlatform::OpenInterfaceList(const HidClass& cls) {
  return wrapped_.OpenInterfaceList(cls);
}

InterfaceLookup RecordingPlatform::GetInterfaceAt(InterfaceListToken list, const HidClass& cls,
                                                  std::uint32_t index, InterfaceRecord& out) {
  return wrapped_.GetInterfaceAt(list, cls, index, out);
}

PathBlock RecordingPlatform::GetInterfacePath(InterfaceListToken list,
                                              const InterfaceRecord& record) {
  const PathBlock block = wrapped_.GetInterfacePath(list, record);
  if (block.text != nullptr) {
    const std::lock_guard<std::mutex> lock(mutex_);
    InterfaceAt(block.text, list);
  }
  return block;
}

void RecordingPlatform::ReleasePathBlock(PathBlock block) { wrapped_.ReleasePathBlock(block); }

void RecordingPlatform::CloseInterfaceList(InterfaceListToken list) {
  wrapped_.CloseInterfaceList(list);
  const std::lock_guard<std::mutex> lock(mutex_);
  walk_last_.erase(list);
  if (changed_) {
    Save();
  }
}

Description RecordingPlatform::DescribeInterface(const char* path, InterfaceFacts& facts,
                                                 SerialUnits* units) {
  const Description description = wrapped_.DescribeInterface(path, facts, units);
  if (description == Description::kDescribed || description == Description::kIdentified) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Interface& i = InterfaceAt(path);
    Learn(i.ids, std::optional(facts.ids));
    if (units != nullptr && facts.serial_read) {
      Learn(i.serial, SerialOf(*units));
    }
  }
  return description;
}

HoldersToken RecordingPlatform::ReadHolders() { return wrapped_.ReadHolders(); }

Holding RecordingPlatform::HolderOf(HoldersToken holders, const char* path,
                                    const InterfaceFacts& facts) {
  const Holding holding = wrapped_.HolderOf(holders, path, facts);
  const std::lock_guard<std::mutex> lock(mutex_);
  Interface& i = InterfaceAt(path);
  // A module this process holds open is held by the program itself, which the replay plays with
  // its own opens; only a holder elsewhere makes it busy.
  const std::size_t index = by_path_.at(path);
  const bool own = std::any_of(handles_.begin(), handles_.end(),
                               [&](const auto& handle) { return handle.second == index; });
  if (!own && i.held != holding.held) {
    i.held = holding.held;
    changed_ = true;
  }
  return holding;
}

void RecordingPlatform::ReleaseHolders(HoldersToken holders) { wrapped_.ReleaseHolders(holders); }

WalkLockToken RecordingPlatform::LockMachineWalks(std::uint32_t limit_ms) {
  return wrapped_.LockMachineWalks(limit_ms);
}

void RecordingPlatform::UnlockMachineWalks(WalkLockToken token) {
  wrapped_.UnlockMachineWalks(token);
}

// --- Devices ------------------------------------------------------------------------------------

DeviceHandle RecordingPlatform::OpenDevicePath(const char* path) {
  const DeviceHandle h = wrapped_.OpenDevicePath(path);
  if (!IsNoDevice(h)) {
    const std::lock_guard<std::mutex> lock(mutex_);
    InterfaceAt(path);
    handles_[Key(h)] = by_path_.at(path);
  }
  return h;
}

std::optional<DeviceIdentity> RecordingPlatform::GetDeviceIds(DeviceHandle h) {
  const std::optional<DeviceIdentity> ids = wrapped_.GetDeviceIds(h);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (const auto it = handles_.find(Key(h)); ids && it != handles_.end()) {
    Learn(interfaces_[it->second].ids, ids);
  }
  return ids;
}

bool RecordingPlatform::GetSerialUnits(DeviceHandle h, SerialUnits& units) {
  const bool read = wrapped_.GetSerialUnits(h, units);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (const auto it = handles_.find(Key(h)); read && it != handles_.end()) {
    Learn(interfaces_[it->second].serial, SerialOf(units));
  }
  return read;
}

bool RecordingPlatform::Close(DeviceHandle h) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    handles_.erase(Key(h));
    EndCommand(Key(h), "\"silent\": true");  // a write that was never taken
  }
  return wrapped_.Close(h);
}

std::uint64_t RecordingPlatform::DeviceKey(DeviceHandle h) { return wrapped_.DeviceKey(h); }

std::uint32_t RecordingPlatform::OpenRefusal(const char* path) {
  return wrapped_.OpenRefusal(path);
}

// --- Transfers: each command and what followed it -----------------------------------------------

std::uint32_t RecordingPlatform::DiscardQueuedInput(DeviceHandle h, std::uint8_t* scratch,
                                                    std::uint32_t n, TransferRecord& record) {
  return wrapped_.DiscardQueuedInput(h, scratch, n, record);
}

EventToken RecordingPlatform::CreateCompletionEvent() { return wrapped_.CreateCompletionEvent(); }

void RecordingPlatform::CloseEvent(EventToken event) { wrapped_.CloseEvent(event); }

StartOutcome RecordingPlatform::StartWrite(DeviceHandle h, const std::uint8_t* bytes,
                                           std::uint32_t n, TransferRecord& record) {
  const Clock::time_point at = Clock::now();
  const StartOutcome start = wrapped_.StartWrite(h, bytes, n, record);
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(Key(h));
  if (it == handles_.end()) {
    return start;
  }
  // A command that got no outcome before the next one (its write was never taken) had no reply.
  EndCommand(Key(h), "\"silent\": true");
  if (start.completed || start.error == kIoPending || start.error == kErrorDeviceNotConnected) {
    Command command{it->second, {}, at};
    std::copy_n(bytes + 1, std::min<std::size_t>(n > 0 ? n - 1 : 0, kCommandBytes),
                command.bytes.begin());
    commands_[Key(h)] = command;
    if (start.error == kErrorDeviceNotConnected) {
      EndCommand(Key(h), "\"leaves\": true");
    }
  }
  return start;
}

StartOutcome RecordingPlatform::StartRead(DeviceHandle h, std::uint8_t* bytes, std::uint32_t n,
                                          TransferRecord& record) {
  const StartOutcome start = wrapped_.StartRead(h, bytes, n, record);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (commands_.count(Key(h)) == 0) {
    return start;  // a read for no command of the recording (a reply owed from before)
  }
  if (start.completed) {
    ReplyArrived(Key(h), bytes, start.count, Clock::now());
  } else if (start.error == kIoPending) {
    reads_[&record] = Read{Key(h), bytes, Clock::now()};
  }
  return start;
}

std::uint32_t RecordingPlatform::WaitCompletion(DeviceHandle h, TransferRecord& record,
                                                std::uint32_t limit_ms) {
  const std::uint32_t wait = wrapped_.WaitCompletion(h, record, limit_ms);
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = reads_.find(&record);
  if (it != reads_.end()) {
    if (wait == kWaitSignalled) {
      it->second.ended = Clock::now();
    } else {
      EndCommand(it->second.handle, "\"silent\": true");
      reads_.erase(it);
    }
  }
  return wait;
}

void RecordingPlatform::CancelPending(DeviceHandle h) { wrapped_.CancelPending(h); }

std::uint32_t RecordingPlatform::GetCompletedCount(DeviceHandle h, TransferRecord& record) {
  const std::uint32_t count = wrapped_.GetCompletedCount(h, record);
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto it = reads_.find(&record);
  if (it != reads_.end()) {
    const Read read = it->second;
    reads_.erase(it);
    if (record.error == kErrorDeviceNotConnected) {
      EndCommand(read.handle, "\"leaves\": true");
    } else if (record.error != 0) {
      EndCommand(read.handle, "\"system_error\": " + std::to_string(record.error));
    } else {
      ReplyArrived(read.handle, read.buffer, count, read.ended);
    }
  }
  return count;
}

void RecordingPlatform::AwaitCancelled(DeviceHandle h, TransferRecord& record) {
  wrapped_.AwaitCancelled(h, record);
}

}  // namespace ksv
