// KSVHidApi for C++17: the seven functions of KSVHidApi.h with owned handles, typed results and
// errors in the standard library's idiom. Header-only; link KSVHidApi (and KSVHidWatch for
// ksv::Watch) as for the C header, through the CMake target KSVHidApi::KSVHidApi or pkg-config.
//
//   ksv::Module module = ksv::Module::open("KSV-0815");        // throws ksv::module_not_found
//   const std::uint8_t command[] = {0x10, 0x01};
//   ksv::Reply reply = module.exchange(command, sizeof command);  // throws ksv::exchange_error
//
// Threads: as in C. Any function may be called from any thread; exchanges on different modules
// may run at the same time, exchanges on one module one at a time. A Module closes its handle when
// it is destroyed: not while an exchange on it runs.
//
// An exchange allocates nothing and throws only for a result that comes without reply bytes; the
// overloads that take a std::error_code throw nothing.
#ifndef KSVHIDAPI_HPP
#define KSVHIDAPI_HPP

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>
#if __cplusplus >= 202002L
#include <span>
#endif

#include "KSVHidApi.h"
#include "KSVHidWatch.h"

namespace ksv {

// An exchange's result; the values are the C header's.
enum class result : int {
  report_id_1 = KSVHID_REPORT_ID_1,
  report_id_2 = KSVHID_REPORT_ID_2,
  report_id_3 = KSVHID_REPORT_ID_3,
  other_report_id = KSVHID_OTHER_REPORT_ID,
  wrong_length = KSVHID_WRONG_LENGTH,
  timed_out = KSVHID_TIMED_OUT,
  wait_failed = KSVHID_WAIT_FAILED,
  invalid_function = KSVHID_INVALID_FUNCTION,
  file_not_found = KSVHID_FILE_NOT_FOUND,
  path_not_found = KSVHID_PATH_NOT_FOUND,
  access_denied = KSVHID_ACCESS_DENIED,
  invalid_handle = KSVHID_INVALID_HANDLE,
  not_enough_memory = KSVHID_NOT_ENOUGH_MEMORY,
  out_of_memory = KSVHID_OUT_OF_MEMORY,
  write_protect = KSVHID_WRITE_PROTECT,
  write_fault = KSVHID_WRITE_FAULT,
  read_fault = KSVHID_READ_FAULT,
  invalid_parameter = KSVHID_INVALID_PARAMETER,
  open_failed = KSVHID_OPEN_FAILED,
  other_error = KSVHID_OTHER_ERROR,
};

// The results as error codes: the category's name is "KSVHidApi", its messages the C header's
// meanings.
inline const std::error_category& result_category() noexcept {
  class category final : public std::error_category {
   public:
    const char* name() const noexcept override { return "KSVHidApi"; }
    std::string message(int value) const override {
      const char* meaning = KSVHidResultMeaning(value);
      return meaning != nullptr ? meaning : "unknown result " + std::to_string(value);
    }
  };
  static const category instance;
  return instance;
}

inline std::error_code make_error_code(result r) noexcept {
  return {static_cast<int>(r), result_category()};
}

}  // namespace ksv

namespace std {
template <>
struct is_error_code_enum<ksv::result> : true_type {};
}  // namespace std

namespace ksv {

inline constexpr std::size_t command_bytes = KSVHID_COMMAND_BYTES;
inline constexpr std::size_t reply_bytes = KSVHID_REPLY_BYTES;

// What an exchange gave when a reply arrived.
struct Reply {
  ksv::result result;
  std::array<std::uint8_t, reply_bytes> data;

  // A reply with report ID 1, 2 or (mode 1) 3; the other two with reply bytes are not accepted.
  bool accepted() const noexcept {
    return result == ksv::result::report_id_1 || result == ksv::result::report_id_2 ||
           result == ksv::result::report_id_3;
  }
};

// No free module has the serial number asked for.
class module_not_found : public std::runtime_error {
 public:
  explicit module_not_found(std::string_view serial)
      : std::runtime_error("no free module with serial number \"" + std::string(serial) + "\""),
        serial_(serial) {}
  const std::string& serial() const noexcept { return serial_; }

 private:
  std::string serial_;
};

// An exchange whose result came without reply bytes; code() is that result.
class exchange_error : public std::system_error {
 public:
  explicit exchange_error(ksv::result r) : std::system_error(make_error_code(r)) {}
  ksv::result result() const noexcept { return static_cast<ksv::result>(code().value()); }
};

struct version_info {
  int major = 0;
  int minor = 0;
  int build = 0;
};

inline version_info version() {
  version_info v;
  GetKestrovanHIDversion(&v.major, &v.minor, &v.build);
  return v;
}

// Selects the module mode 0..3; false (and mode 0) for any other value.
inline bool set_mode(int mode) { return SetModuleMode(mode) == 1; }

inline int module_count() { return GetKestrovanHIDnumber(); }

// The serial number texts of the modules in walk order, every byte kept; a module whose serial
// number cannot be read, or that left during the walk, is left out.
inline std::vector<std::string> list_modules() {
  std::vector<std::string> serials;
  const int count = GetKestrovanHIDnumber();
  for (int ordinal = 0; ordinal < count; ++ordinal) {
    char serial[KSVHID_SERIAL_BUFFER_BYTES] = {};
    if (GetKestrovanHIDName(ordinal, serial) == 1) {
      serials.emplace_back(serial);
    }
  }
  return serials;
}

// One open module; closed when destroyed. Move-only.
class Module {
 public:
  // Opens the first free module whose serial number text is `serial`.
  static Module open(std::string_view serial) {
    std::optional<Module> module = try_open(serial);
    if (!module) {
      throw module_not_found(serial);
    }
    return std::move(*module);
  }

  static std::optional<Module> try_open(std::string_view serial) {
    const std::string text(serial);  // zero-terminated for the C call
    KSVHidHandle handle = nullptr;
    if (OpenKestrovanHID(&handle, text.c_str()) != 1) {
      return std::nullopt;
    }
    return Module(handle);
  }

  Module(Module&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Module& operator=(Module&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  ~Module() { close(); }

  // Sends `size` command bytes (at most 63, zero-padded) and gives the reply; a result without
  // reply bytes is reported in `error` and gives a Reply whose data is all zero.
  Reply exchange(const std::uint8_t* command, std::size_t size, std::error_code& error) noexcept {
    Reply reply{ksv::result::other_error, {}};
    if (size > command_bytes) {
      error = std::make_error_code(std::errc::invalid_argument);
      return reply;
    }
    std::array<char, command_bytes> sent{};
    for (std::size_t i = 0; i < size; ++i) {
      sent[i] = static_cast<char>(command[i]);
    }
    std::array<char, reply_bytes> received{};
    const int code = SendReceiveKestrovanHID(handle_, sent.data(), received.data());
    reply.result = static_cast<ksv::result>(code);
    if (!KSVHidResultHasReply(code)) {
      error = make_error_code(reply.result);
      return reply;
    }
    for (std::size_t i = 0; i < reply_bytes; ++i) {
      reply.data[i] = static_cast<std::uint8_t>(received[i]);
    }
    error.clear();
    return reply;
  }

  // The same, throwing exchange_error for a result without reply bytes (and
  // std::invalid_argument for more than 63 command bytes).
  Reply exchange(const std::uint8_t* command, std::size_t size) {
    std::error_code error;
    Reply reply = exchange(command, size, error);
    if (error == std::errc::invalid_argument) {
      throw std::invalid_argument("a command has at most 63 bytes");
    }
    if (error) {
      throw exchange_error(reply.result);
    }
    return reply;
  }

#if __cplusplus >= 202002L
  Reply exchange(std::span<const std::uint8_t> command) {
    return exchange(command.data(), command.size());
  }
  Reply exchange(std::span<const std::uint8_t> command, std::error_code& error) noexcept {
    return exchange(command.data(), command.size(), error);
  }
#endif

  KSVHidHandle native_handle() const noexcept { return handle_; }

 private:
  explicit Module(KSVHidHandle handle) noexcept : handle_(handle) {}
  void close() noexcept {
    if (handle_ != nullptr) {
      CloseKestrovanHID(std::exchange(handle_, nullptr));
    }
  }

  KSVHidHandle handle_ = nullptr;
};

// A module that arrived or left, as a Watch reports it.
struct WatchEvent {
  bool arrived = false;             // false: it left
  int free = KSVHID_WATCH_UNKNOWN;  // KSVHID_WATCH_FREE, _HELD or _UNKNOWN, at arrival
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string serial;  // empty when unreadable
};

// Modules of one mode arriving and leaving (KSVHidWatch.h); closed when destroyed. Move-only.
class Watch {
 public:
  explicit Watch(int mode = 0) {
    const int opened = KSVHidWatchOpen(mode, &handle_);
    if (opened == KSVHID_WATCH_BAD_MODE) {
      throw std::invalid_argument("a module mode is 0..3");
    }
    if (opened != 1) {
      throw std::runtime_error("the system refused to watch for modules");
    }
  }
  Watch(Watch&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Watch& operator=(Watch&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch() { close(); }

  // The next event, waiting at most `timeout`; nothing when none came. Throws std::logic_error
  // for a watch that is closed or already waited on by another thread.
  std::optional<WatchEvent> next(std::chrono::milliseconds timeout) {
    KSVHidWatchEvent event{};
    const int got = KSVHidWatchNext(handle_, static_cast<int>(timeout.count()), &event);
    if (got == 0) {
      return std::nullopt;
    }
    if (got != 1) {
      throw std::logic_error(got == KSVHID_WATCH_BUSY ? "another thread waits on this watch"
                                                      : "the watch is closed");
    }
    return WatchEvent{event.kind == KSVHID_WATCH_ARRIVED, event.free, event.vendor_id,
                      event.product_id, event.serial};
  }

  // How the watch learns of modules on this system.
  std::string method() const {
    const char* method = KSVHidWatchMethod(handle_);
    return method != nullptr ? method : "";
  }

 private:
  void close() noexcept {
    if (handle_ != nullptr) {
      KSVHidWatchClose(std::exchange(handle_, nullptr));
    }
  }

  KSVHidWatchHandle handle_ = nullptr;
};

}  // namespace ksv

#endif  // KSVHIDAPI_HPP
