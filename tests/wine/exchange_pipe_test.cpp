// SendReceiveKestrovanHID through KSVHidApi.dll over real overlapped I/O. A message-mode named pipe
// stands in for a module: the test opens the client end for overlapped I/O and passes it as the
// device handle, and a thread of the test serves the other end, reading each 64-byte output
// report and answering as scripted.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "wine_check.h"

using ksv::test::LoadedDll;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr DWORD kReportBytes = 64;
constexpr DWORD kPayloadBytes = 63;
constexpr char kUntouched = 0x5A;

// One scripted turn of the module.
struct Turn {
  enum Kind { kAnswer, kEcho, kSilent } kind = kAnswer;
  Bytes reply;                 // kAnswer: the input report to send (any length)
  DWORD delay_ms = 0;          // before answering
  std::function<void()> hold;  // called before answering, when set
};

Turn Answer(Bytes reply, DWORD delay_ms = 0) {
  return {Turn::kAnswer, std::move(reply), delay_ms, {}};
}
Turn Echo(DWORD delay_ms = 0) { return {Turn::kEcho, {}, delay_ms, {}}; }
Turn Silent() { return {Turn::kSilent, {}, 0, {}}; }

// A full input report: the ID, then 0x80, 0x81, ...
Bytes FullReply(std::uint8_t id) {
  Bytes reply(kReportBytes);
  reply[0] = id;
  for (DWORD i = 1; i < kReportBytes; ++i) {
    reply[i] = static_cast<std::uint8_t>(0x80 + i - 1);
  }
  return reply;
}

// What the reply buffer should hold after `received` arrived: bytes 1.. of it, zero after.
std::string PayloadOf(const Bytes& received) {
  std::string payload(kPayloadBytes, '\0');
  for (std::size_t i = 1; i < received.size() && i <= kPayloadBytes; ++i) {
    payload[i - 1] = static_cast<char>(received[i]);
  }
  return payload;
}

std::string Command(char tag) {
  std::string command(kPayloadBytes, '\0');
  for (DWORD i = 0; i < kPayloadBytes; ++i) {
    command[i] = static_cast<char>(tag + static_cast<char>(i % 16));
  }
  command[5] = '\0';  // command bytes are taken as they are, zero bytes included
  return command;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The module: a named pipe whose client end is the device handle.
class PipeModule {
 public:
  // `inbound_buffer`: the pipe's buffer towards the module (a tiny one makes writes wait for the
  // module to read).
  explicit PipeModule(DWORD inbound_buffer = 4096) {
    static std::atomic<int> serial{0};
    name_ = "\\\\.\\pipe\\ksvhid-exchange-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(serial++);
    server_ = CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX,
                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                               inbound_buffer, 0, nullptr);
    KSV_CHECK(server_ != INVALID_HANDLE_VALUE);
    device_ = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    KSV_CHECK(device_ != INVALID_HANDLE_VALUE);
    DWORD mode = PIPE_READMODE_MESSAGE;
    KSV_CHECK(SetNamedPipeHandleState(device_, &mode, nullptr, nullptr));
    const BOOL connected = ConnectNamedPipe(server_, nullptr);
    KSV_CHECK(connected || GetLastError() == ERROR_PIPE_CONNECTED);
  }
  ~PipeModule() {
    CloseDevice();  // ends a module still waiting for a request
    if (thread_.joinable()) {
      thread_.join();
    }
    CloseHandle(server_);
  }
  PipeModule(const PipeModule&) = delete;
  PipeModule& operator=(const PipeModule&) = delete;

  bool ok() const { return server_ != INVALID_HANDLE_VALUE && device_ != INVALID_HANDLE_VALUE; }
  HANDLE device() const { return device_; }

  void CloseDevice() {
    if (device_ != INVALID_HANDLE_VALUE) {
      CloseHandle(device_);
      device_ = INVALID_HANDLE_VALUE;
    }
  }

  // Serves the turns in order on a thread of its own; with `repeat`, over and over until the
  // device end is closed.
  void Serve(std::vector<Turn> turns, bool repeat = false) {
    thread_ = std::thread([this, turns = std::move(turns), repeat] {
      for (std::size_t i = 0; i < turns.size() || (repeat && !turns.empty()); ++i) {
        const Turn& turn = turns[i % turns.size()];
        Bytes request(256);
        DWORD got = 0;
        if (!ReadFile(server_, request.data(), static_cast<DWORD>(request.size()), &got, nullptr)) {
          return;  // the device end was closed
        }
        request.resize(got);
        requests_.push_back(request);
        if (turn.kind == Turn::kSilent) {
          continue;
        }
        Sleep(turn.delay_ms);
        if (turn.hold) {
          turn.hold();
        }
        const Bytes& reply = turn.kind == Turn::kEcho ? request : turn.reply;
        DWORD written = 0;
        if (!WriteFile(server_, reply.data(), static_cast<DWORD>(reply.size()), &written,
                       nullptr)) {
          return;
        }
      }
    });
  }

  // Sends an input report now, before any request.
  bool Queue(const Bytes& reply) {
    DWORD written = 0;
    return WriteFile(server_, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr) !=
           FALSE;
  }

  // The requests the module read; valid once the serving thread has ended.
  const std::vector<Bytes>& Finish() {
    if (thread_.joinable()) {
      thread_.join();
    }
    return requests_;
  }

 private:
  std::string name_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
  HANDLE device_ = INVALID_HANDLE_VALUE;
  std::thread thread_;
  std::vector<Bytes> requests_;
};

struct Outcome {
  int result = 0;
  std::string reply;
  double seconds = 0;
};

Outcome Exchange(const LoadedDll& api, HANDLE device, const std::string& command) {
  Outcome out;
  out.reply.assign(kPayloadBytes, kUntouched);
  const Clock::time_point start = Clock::now();
  out.result = api.SendReceiveKestrovanHID(device, command.data(), &out.reply[0]);
  out.seconds = SecondsSince(start);
  return out;
}

bool Untouched(const std::string& reply) { return reply == std::string(kPayloadBytes, kUntouched); }

Bytes OutputReport(const std::string& command) {
  Bytes report{1};
  report.insert(report.end(), command.begin(), command.end());
  return report;
}

// Replies of each form, in the modes where they are read differently.
void CheckReplies(const LoadedDll& api) {
  Bytes short_id1 = {1, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
  Bytes short_id3 = short_id1;
  short_id3[0] = 3;
  const struct {
    int mode;
    Bytes reply;
    DWORD delay_ms;
    int expected;
  } rows[] = {
      {0, FullReply(1), 0, 1}, {0, FullReply(2), 0, 0},   {0, FullReply(3), 0, -15},
      {1, FullReply(3), 0, 3}, {0, short_id1, 0, -16},    {1, short_id1, 0, 1},
      {1, short_id3, 0, 3},    {2, FullReply(7), 0, -15}, {3, FullReply(1), 1000, 1},
  };
  PipeModule module;
  if (!module.ok()) {
    return;
  }
  std::vector<Turn> turns;
  for (const auto& row : rows) {
    turns.push_back(Answer(row.reply, row.delay_ms));
  }
  module.Serve(turns);

  std::vector<std::string> commands;
  for (const auto& row : rows) {
    const std::string command = Command(static_cast<char>('a' + commands.size()));
    commands.push_back(command);
    KSV_CHECK_EQ(api.SetModuleMode(row.mode), 1);
    const Outcome out = Exchange(api, module.device(), command);
    if (out.result != row.expected) {
      std::printf("mode %d, %zu-byte reply with ID %d:\n", row.mode, row.reply.size(),
                  row.reply[0]);
    }
    KSV_CHECK_EQ(out.result, row.expected);
    KSV_CHECK(out.reply == PayloadOf(row.reply));
  }
  api.SetModuleMode(0);

  const std::vector<Bytes>& requests = module.Finish();
  KSV_CHECK_EQ(requests.size(), commands.size());
  for (std::size_t i = 0; i < requests.size() && i < commands.size(); ++i) {
    KSV_CHECK(requests[i] == OutputReport(commands[i]));  // 64 bytes, report ID 1 first
  }
}

// The read's wait runs out; the read is cancelled, the reply buffer keeps what it held, and the
// next exchange on the handle works.
void CheckModuleThatNeverAnswers(const LoadedDll& api) {
  PipeModule module;
  if (!module.ok()) {
    return;
  }
  module.Serve({Silent(), Answer(FullReply(1))});
  const Outcome silent = Exchange(api, module.device(), Command('s'));
  KSV_CHECK_EQ(silent.result, -1);
  KSV_CHECK(Untouched(silent.reply));
  std::printf("no answer: -1 after %.2f s\n", silent.seconds);
  KSV_CHECK(silent.seconds >= 1.9 && silent.seconds < 5.0);

  const Outcome next = Exchange(api, module.device(), Command('n'));
  KSV_CHECK_EQ(next.result, 1);
  KSV_CHECK(next.reply == PayloadOf(FullReply(1)));
  KSV_CHECK_EQ(module.Finish().size(), 2);
}

// Input that answered nothing of this handle's current command is never taken as its reply: a
// reply that arrives after its exchange timed out, and messages queued before any command.
void CheckStaleRepliesAreDiscarded(const LoadedDll& api) {
  {
    PipeModule module;
    if (!module.ok()) {
      return;
    }
    module.Serve({Answer(FullReply(3), 2500), Answer(FullReply(1)), Answer(FullReply(2))});
    const Outcome late = Exchange(api, module.device(), Command('l'));
    KSV_CHECK_EQ(late.result, -1);
    KSV_CHECK(Untouched(late.reply));
    Sleep(1000);  // the late reply has arrived
    const Outcome next = Exchange(api, module.device(), Command('m'));
    KSV_CHECK_EQ(next.result, 1);
    KSV_CHECK(next.reply == PayloadOf(FullReply(1)));
    const Outcome after = Exchange(api, module.device(), Command('n'));
    KSV_CHECK_EQ(after.result, 0);
    KSV_CHECK(after.reply == PayloadOf(FullReply(2)));
    KSV_CHECK_EQ(module.Finish().size(), 3);
  }
  PipeModule module;
  if (!module.ok()) {
    return;
  }
  KSV_CHECK(module.Queue(FullReply(3)));
  KSV_CHECK(module.Queue(FullReply(2)));
  module.Serve({Answer(FullReply(1))});
  const Outcome out = Exchange(api, module.device(), Command('q'));
  KSV_CHECK_EQ(out.result, 1);
  KSV_CHECK(out.reply == PayloadOf(FullReply(1)));
  KSV_CHECK_EQ(module.Finish().size(), 1);
}

// The module never reads, and its buffer is too small for a report: the write's wait runs out.
// A reply arrives while the write waits (after the exchange discarded what was queued before
// it), so a read started after the write would complete at once: the -1 and the reply still
// being there afterwards show that no read was started.
void CheckWriteThatNeverCompletes(const LoadedDll& api) {
  PipeModule module(1);
  if (!module.ok()) {
    return;
  }
  std::thread arrives([&module] {
    Sleep(500);
    KSV_CHECK(module.Queue(FullReply(2)));
  });
  const Outcome out = Exchange(api, module.device(), Command('w'));
  arrives.join();
  KSV_CHECK_EQ(out.result, -1);
  KSV_CHECK(Untouched(out.reply));
  std::printf("write never completes: -1 after %.2f s\n", out.seconds);
  KSV_CHECK(out.seconds >= 1.9 && out.seconds < 5.0);

  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Bytes queued(256);
  DWORD got = 0;
  if (!ReadFile(module.device(), queued.data(), static_cast<DWORD>(queued.size()), &got,
                &overlapped)) {
    KSV_CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    if (WaitForSingleObject(overlapped.hEvent, 2000) != WAIT_OBJECT_0) {
      CancelIo(module.device());
    }
    GetOverlappedResult(module.device(), &overlapped, &got, TRUE);
  }
  CloseHandle(overlapped.hEvent);
  queued.resize(got);
  KSV_CHECK(queued == FullReply(2));
}

void CheckNoDevice(const LoadedDll& api) {
  const Outcome null_handle = Exchange(api, nullptr, Command('0'));
  KSV_CHECK_EQ(null_handle.result, -7);
  KSV_CHECK(Untouched(null_handle.reply));

  PipeModule module;
  if (!module.ok()) {
    return;
  }
  const HANDLE closed = module.device();
  module.CloseDevice();
  const Outcome closed_handle = Exchange(api, closed, Command('c'));
  KSV_CHECK_EQ(closed_handle.result, -7);
  KSV_CHECK(Untouched(closed_handle.reply));
}

// Two threads, two modules, one of them slow: each thread gets its own replies and results. The
// slow module holds each answer until the quick thread has finished a batch of exchanges (or for
// at most 1.5 s), so every quick exchange runs while a slow read waits. Were the completion events
// shared between transfers, one thread's completions would end the other's waits early (a wrong
// count, a reply taken too soon) and leave its own waits to run out.
void CheckTwoThreadsAtOnce(const LoadedDll& api) {
  constexpr int kSlowExchanges = 4;
  constexpr int kBatch = 20;
  constexpr int kMaxQuickExchanges = 5000;
  PipeModule slow;
  PipeModule quick;
  if (!slow.ok() || !quick.ok()) {
    return;
  }
  std::atomic<int> quick_count{0};
  std::vector<Turn> slow_turns;
  for (int i = 1; i <= kSlowExchanges; ++i) {
    Turn turn = Echo();
    turn.hold = [&quick_count, target = i * kBatch] {
      const Clock::time_point start = Clock::now();
      while (quick_count.load() < target && SecondsSince(start) < 1.5) {
        Sleep(1);
      }
    };
    slow_turns.push_back(std::move(turn));
  }
  slow.Serve(slow_turns);
  quick.Serve({Echo()}, true);

  struct Record {
    int result;
    bool own_reply;
  };
  std::vector<Record> slow_records;
  std::vector<Record> quick_records;
  std::atomic<bool> slow_done{false};
  const auto exchange = [&api](HANDLE device, int i, char tag, std::vector<Record>& out) {
    const std::string command = Command(static_cast<char>(tag + i % 32));
    const Outcome o = Exchange(api, device, command);
    out.push_back({o.result, o.reply == command});
  };
  std::thread slow_thread([&] {
    for (int i = 0; i < kSlowExchanges; ++i) {
      exchange(slow.device(), i, 'A', slow_records);
    }
    slow_done = true;
  });
  std::thread quick_thread([&] {
    for (int i = 0; i < kMaxQuickExchanges && !slow_done; ++i) {
      exchange(quick.device(), i, 'a', quick_records);
      ++quick_count;
    }
  });
  slow_thread.join();
  quick_thread.join();
  std::printf("two threads: %zu slow and %zu quick exchanges\n", slow_records.size(),
              quick_records.size());

  for (const auto* records : {&slow_records, &quick_records}) {
    int ones = 0;
    int own = 0;
    for (const Record& r : *records) {
      ones += r.result == 1 ? 1 : 0;
      own += r.own_reply ? 1 : 0;
    }
    KSV_CHECK_EQ(ones, records->size());
    KSV_CHECK_EQ(own, records->size());
  }
  KSV_CHECK_EQ(slow_records.size(), kSlowExchanges);
  // Every slow answer waited for a full batch of quick exchanges.
  KSV_CHECK(quick_records.size() >= kSlowExchanges * kBatch);
  KSV_CHECK_EQ(slow.Finish().size(), kSlowExchanges);
  quick.CloseDevice();
  KSV_CHECK_EQ(quick.Finish().size(), quick_records.size());
}

}  // namespace

int main() {
  LoadedDll api;
  if (!ksv::test::LoadDll(api)) {
    return ksv::test::Finish("exchange_pipe_test");
  }
  CheckReplies(api);
  CheckModuleThatNeverAnswers(api);
  CheckStaleRepliesAreDiscarded(api);
  CheckWriteThatNeverCompletes(api);
  CheckNoDevice(api);
  CheckTwoThreadsAtOnce(api);
  return ksv::test::Finish("exchange_pipe_test");
}
