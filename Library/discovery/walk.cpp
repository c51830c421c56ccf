#include "discovery/walk.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "discovery/candidate.h"
#include "discovery/serial.h"
#include "discovery/visit.h"

namespace ksv {
namespace {

// Compares two serial number texts exactly and case-sensitively, ending at the first zero byte of
// either; the terminator is part of it, so a prefix never matches a longer text.
bool SameSerial(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// Opens the module at `path` that was described as one, and hands it back only when the handle
// shows the mode's IDs and the serial number text `serial`: the node may have been taken over by
// another device since it was described.
Device OpenDescribedModule(HidPlatform& platform, const char* path, const char* serial) {
  Device device = OpenCandidate(platform, path);
  SerialText text{};
  if (!device || !ReadSerialNarrow(platform, device.get(), text.data()) ||
      !SameSerial(text.data(), serial)) {
    return Device{};
  }
  return device;
}

}  // namespace

int CountModules(HidPlatform& platform) {
  int count = 0;
  SerialUnits unused{};
  VisitInterfaces(platform, VisitScope::kWalk, [&](const InterfaceVisit& v) {
    count += v.Examine(SerialQuery::kNone, unused).verdict == Verdict::kModule ? 1 : 0;
    return false;
  });
  return count;
}

int NameModule(HidPlatform& platform, int ordinal, char* serial) {
  if (ordinal < 0) {
    return 0;
  }
  int match = 0;
  bool named = false;
  SerialUnits units{};
  VisitInterfaces(platform, VisitScope::kWalk, [&](const InterfaceVisit& v) {
    // Only the module at the requested ordinal is asked for its serial number, and the walk ends
    // there, named or not: no later module moves up into its ordinal.
    const bool at_ordinal = match == ordinal;
    const Candidate candidate =
        v.Examine(at_ordinal ? SerialQuery::kModule : SerialQuery::kNone, units);
    if (candidate.verdict != Verdict::kModule) {
      return false;
    }
    if (!at_ordinal) {
      ++match;
      return false;
    }
    if (candidate.serial_read) {
      NarrowSerialUnits(units, serial);
      named = true;
    }
    return true;
  });
  return named ? 1 : 0;
}

int OpenModuleBySerial(HidPlatform& platform, DeviceHandle* out, const char* serial) {
  bool opened = false;
  SerialUnits units{};
  VisitInterfaces(platform, VisitScope::kWalk, [&](const InterfaceVisit& v) {
    Candidate candidate = v.Examine(SerialQuery::kModule, units);
    if (candidate.verdict != Verdict::kModule || !candidate.serial_read) {
      return false;
    }
    SerialText text{};
    NarrowSerialUnits(units, text.data());
    if (!SameSerial(text.data(), serial)) {
      return false;
    }
    Device module = candidate.described ? OpenDescribedModule(platform, v.path, serial)
                                        : std::move(candidate.device);
    if (!module) {
      return false;
    }
    *out = module.release();
    opened = true;
    return true;
  });
  return opened ? 1 : 0;
}

int CloseModule(HidPlatform& platform, DeviceHandle handle) {
  if (IsNoDevice(handle)) {
    return 0;
  }
  // A handle the platform can tell is not one of its open devices is left alone.
  return platform.Close(handle) ? 1 : 0;
}

}  // namespace ksv
