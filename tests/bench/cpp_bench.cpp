// An exchange through ksv::Module against the same exchange through the C function, both over the
// simulator library's built-in module that answers at once: what the C++ interface adds.
#include <array>
#include <cstdint>

#include <benchmark/benchmark.h>

#include "KSVHidApi.hpp"

namespace {

constexpr char kSerial[] = "KSV-SIM-0001";

void BM_CExchange(benchmark::State& state) {
  KSVHidHandle handle = nullptr;
  if (OpenKestrovanHID(&handle, kSerial) != 1) {
    state.SkipWithError("the simulated module did not open");
    return;
  }
  std::array<char, KSVHID_COMMAND_BYTES> command{0x10, 0x20};
  std::array<char, KSVHID_REPLY_BYTES> reply{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(SendReceiveKestrovanHID(handle, command.data(), reply.data()));
    benchmark::DoNotOptimize(reply.data());
  }
  CloseKestrovanHID(handle);
}

void BM_ModuleExchange(benchmark::State& state) {
  ksv::Module module = ksv::Module::open(kSerial);
  const std::uint8_t command[] = {0x10, 0x20};
  std::error_code error;
  for (auto _ : state) {
    ksv::Reply reply = module.exchange(command, sizeof command, error);
    benchmark::DoNotOptimize(reply);
  }
}

BENCHMARK(BM_CExchange);
BENCHMARK(BM_ModuleExchange);
BENCHMARK(BM_CExchange);
BENCHMARK(BM_ModuleExchange);

}  // namespace

BENCHMARK_MAIN();
