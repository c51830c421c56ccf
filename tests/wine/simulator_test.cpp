// The simulator DLL as an application meets it under plain Wine: loaded by path with
// LoadLibrary, called through its seven exports, its version resource naming it the simulator.
#include <windows.h>

#include <string>
#include <vector>

#include "simulator_scenarios.h"
#include "wine_check.h"

namespace {

std::string ProgramFolder() {
  char path[MAX_PATH + 1] = {};
  const std::string program(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  return program.substr(0, program.find_last_of("\\/"));
}

// The FileDescription in the DLL's version resource.
std::string Description(const std::string& dll) {
  DWORD ignored = 0;
  std::vector<char> data(GetFileVersionInfoSizeA(dll.c_str(), &ignored));
  char* text = nullptr;
  UINT length = 0;
  if (data.empty() ||
      !GetFileVersionInfoA(dll.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
      !VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\FileDescription",
                      reinterpret_cast<void**>(&text), &length)) {
    return {};
  }
  return text;
}

}  // namespace

int main() {
  const ksv::test::SimulatorRun run{ProgramFolder() + "\\..\\simulator\\KSVHidApi.dll",
                                    ProgramFolder()};
  KSV_CHECK_MSG(Description(run.library).find("simulator") != std::string::npos,
                Description(run.library).c_str());
  for (const auto& check : {ksv::test::CheckBuiltInSet, ksv::test::CheckFileDescribedSet,
                            ksv::test::CheckExclusivity, ksv::test::CheckBadFiles}) {
    for (const std::string& failure : check(run)) {
      KSV_CHECK_MSG(false, failure.c_str());
    }
    ++ksv::test::g_checks;
  }
  return ksv::test::Finish("simulator_test");
}
