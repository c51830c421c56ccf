// Time and heap allocations of one exchange, against a module that lives in this process and
// answers at once, so that what is measured is the library's own work.
//
// Counters: allocs_per_exchange is the number of global operator new calls per exchange (the bar
// is 0); the time column is the library's time per exchange.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <benchmark/benchmark.h>

#include "api/guard.h"
#include "exchange/exchange.h"
#include "recorder/recording_platform.h"

namespace {

std::atomic<std::uint64_t> g_allocations{0};

}  // namespace

// Every global allocation of this program is counted.
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using ksv::DeviceHandle;
using ksv::EventToken;
using ksv::StartOutcome;
using ksv::TransferRecord;

// A module that takes every write and answers every read with a full report with ID 1. With
// `pending` set, each transfer is started (997) and finishes at its wait, as an overlapped
// transfer to a quick device does; otherwise each finishes within its start.
class InstantModule final : public ksv::HidPlatform {
 public:
  explicit InstantModule(bool pending) : pending_(pending) {
    reply_.fill(0x42);
    reply_[0] = 1;
  }

  ksv::HidClass GetHidClass() override { return {}; }
  ksv::InterfaceListToken OpenInterfaceList(const ksv::HidClass&) override { return nullptr; }
  ksv::InterfaceLookup GetInterfaceAt(ksv::InterfaceListToken, const ksv::HidClass&, std::uint32_t,
                                      ksv::InterfaceRecord&) override {
    return ksv::InterfaceLookup::kEnd;
  }
  ksv::PathBlock GetInterfacePath(ksv::InterfaceListToken, const ksv::InterfaceRecord&) override {
    return {};
  }
  void ReleasePathBlock(ksv::PathBlock) override {}
  void CloseInterfaceList(ksv::InterfaceListToken) override {}
  DeviceHandle OpenDevicePath(const char*) override {
    return reinterpret_cast<DeviceHandle>(std::uintptr_t{0x100});
  }
  std::optional<ksv::DeviceIdentity> GetDeviceIds(DeviceHandle) override { return {}; }
  bool GetSerialUnits(DeviceHandle, ksv::SerialUnits&) override { return false; }
  bool Close(DeviceHandle) override { return true; }
  std::uint64_t DeviceKey(DeviceHandle h) override { return reinterpret_cast<std::uintptr_t>(h); }
  std::uint32_t OpenRefusal(const char*) override { return ksv::kErrorFileNotFound; }
  ksv::Description DescribeInterface(const char*, ksv::InterfaceFacts&,
                                     ksv::SerialUnits*) override {
    return ksv::Description::kGone;
  }
  ksv::HoldersToken ReadHolders() override { return nullptr; }
  ksv::Holding HolderOf(ksv::HoldersToken, const char*, const ksv::InterfaceFacts&) override {
    return {};
  }
  void ReleaseHolders(ksv::HoldersToken) override {}
  ksv::WalkLockToken LockMachineWalks(std::uint32_t) override { return nullptr; }
  void UnlockMachineWalks(ksv::WalkLockToken) override {}

  EventToken CreateCompletionEvent() override { return &event_; }
  void CloseEvent(EventToken) override {}

  // The module answers each command at once, so nothing is ever left queued.
  std::uint32_t DiscardQueuedInput(DeviceHandle, std::uint8_t*, std::uint32_t,
                                   TransferRecord&) override {
    return 0;
  }
  StartOutcome StartWrite(DeviceHandle, const std::uint8_t* bytes, std::uint32_t n,
                          TransferRecord&) override {
    benchmark::DoNotOptimize(bytes[n - 1]);
    return pending_ ? StartOutcome{false, ksv::kIoPending, 0} : StartOutcome{true, 0, n};
  }
  StartOutcome StartRead(DeviceHandle, std::uint8_t* bytes, std::uint32_t n,
                         TransferRecord&) override {
    if (pending_) {
      read_buffer_ = bytes;
      read_size_ = n;
      return {false, ksv::kIoPending, 0};
    }
    std::memcpy(bytes, reply_.data(), n);
    return {true, 0, n};
  }
  std::uint32_t WaitCompletion(DeviceHandle, TransferRecord&, std::uint32_t) override {
    return ksv::kWaitSignalled;
  }
  void CancelPending(DeviceHandle) override {}
  std::uint32_t GetCompletedCount(DeviceHandle, TransferRecord&) override {
    std::memcpy(read_buffer_, reply_.data(), read_size_);
    return read_size_;
  }
  void AwaitCancelled(DeviceHandle, TransferRecord&) override {}

 private:
  bool pending_;
  int event_ = 0;
  std::array<std::uint8_t, ksv::kPayloadLength + 1> reply_{};
  std::uint8_t* read_buffer_ = nullptr;
  std::uint32_t read_size_ = 0;
};

// Where the module exchanged with owes nothing: no module owes, or another one does.
enum class Owing { kNone, kAnother };

void Run(benchmark::State& state, bool pending, bool through_barrier, Owing owing = Owing::kNone) {
  InstantModule module(pending);
  const auto handle = reinterpret_cast<DeviceHandle>(std::uintptr_t{0x100});
  ksv::OwedReplies owed;
  if (owing == Owing::kAnother) {
    owed.Owe(0x200, ksv::OwedClock::now() + std::chrono::hours(1));
  }
  std::array<char, ksv::kPayloadLength> command{};
  std::array<char, ksv::kPayloadLength> reply{};
  command.fill(0x17);

  const std::uint64_t before = g_allocations.load(std::memory_order_relaxed);
  for (auto _ : state) {
    const int result =
        through_barrier
            ? ksv::CallGuarded(
                  ksv::kResultOther,
                  [&] { return ksv::SendReceive(module, handle, command.data(), reply.data()); })
            : ksv::ExchangeReport(module, owed, handle, ksv::kCommandReportId, command.data(),
                                  reply.data());
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(reply.data());
    if (result != 1) {
      state.SkipWithError("the exchange did not give 1");
      break;
    }
  }
  const std::uint64_t allocations = g_allocations.load(std::memory_order_relaxed) - before;
  state.counters["allocs_per_exchange"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

void BM_ExchangeCompletedAtOnce(benchmark::State& state) { Run(state, false, false); }
void BM_ExchangeCompletedAtWait(benchmark::State& state) { Run(state, true, false); }
void BM_SendReceive(benchmark::State& state) { Run(state, false, true); }
void BM_ExchangeBesideAnOwingModule(benchmark::State& state) {
  Run(state, false, false, Owing::kAnother);
}

// Through the recorder, which appends every step to its file: the recorder's own cost per
// exchange (a hidraw round trip on uhid takes about 0.6 ms, over USB about 12 ms).
void BM_ExchangeThroughRecorder(benchmark::State& state) {
  InstantModule module(false);
  const std::string file = "/tmp/ksvhid-bench-recording.json";
  ksv::RecordingPlatform recorder(module, file);
  ksv::OwedReplies owed;
  const auto handle = recorder.OpenDevicePath("bench");
  std::array<char, ksv::kPayloadLength> command{};
  std::array<char, ksv::kPayloadLength> reply{};
  for (auto _ : state) {
    command[0] = static_cast<char>(state.iterations());
    const int result = ksv::ExchangeReport(recorder, owed, handle, ksv::kCommandReportId,
                                           command.data(), reply.data());
    benchmark::DoNotOptimize(result);
  }
  std::remove(file.c_str());
}

BENCHMARK(BM_ExchangeCompletedAtOnce);
BENCHMARK(BM_ExchangeCompletedAtWait);
BENCHMARK(BM_SendReceive);
BENCHMARK(BM_ExchangeBesideAnOwingModule);
BENCHMARK(BM_ExchangeThroughRecorder);

}  // namespace

BENCHMARK_MAIN();
