// The text of a simulation file, as a user or a recording hands it to the simulator: it is taken
// whole, with every value in its range, or refused with one line that names the file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "simulator/simulated_hid_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto devices = ksv::ParseSimulation(text, "fuzz.json", error);
  KSV_FUZZ_CHECK(devices.has_value() == error.empty());
  KSV_FUZZ_CHECK(error.empty() ||
                 (error.rfind("fuzz.json: ", 0) == 0 && error.find('\n') == std::string::npos));
  if (!devices) {
    return 0;
  }
  for (const ksv::SimulatedDevice& d : *devices) {
    KSV_FUZZ_CHECK(d.length <= ksv::kSimulatedReportBytes && d.payload.size() < 64);
    KSV_FUZZ_CHECK(d.delay_ms <= ksv::kSimulatedLongestDelayMs);
    KSV_FUZZ_CHECK((d.reply == ksv::SimulatedReply::kConversation) || d.steps.empty());
    for (const ksv::ConversationStep& step : d.steps) {
      const bool replies = step.outcome == ksv::ConversationStep::Outcome::kReply;
      KSV_FUZZ_CHECK(replies ? !step.reply.empty() && step.reply.size() <= 64 : step.reply.empty());
      KSV_FUZZ_CHECK(step.delay_ms <= ksv::kSimulatedLongestDelayMs);
    }
  }
  return 0;
}
