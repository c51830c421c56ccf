// The recorder library's platform: the system's, behind the recording layer, recording into the
// file that KSVHID_RECORD names. Without it the recorder records nothing and says so once on
// standard error; either way it gives exactly the library's results.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "recorder/recording_platform.h"

namespace ksv {
namespace {

std::string RecordingFile() {
  const char* file = std::getenv("KSVHID_RECORD");
  if (file == nullptr || *file == '\0') {
    std::fprintf(stderr, "KSVHidApi recorder: KSVHID_RECORD is not set; nothing is recorded\n");
    std::fflush(stderr);
    return {};
  }
  return file;
}

}  // namespace

HidPlatform& NativePlatform() {
  // Made once, even when the first calls come from several threads at the same time.
  static RecordingPlatform platform(SystemPlatform(), RecordingFile());
  return platform;
}

}  // namespace ksv
