#include "discovery/candidate.h"

namespace ksv {
namespace {

// Opens `path` and reads the IDs on the handle into `candidate`, and the serial-number string
// that `query` asks for into `units`; the handle when the IDs are wanted.
Device OpenAndCheck(HidPlatform& platform, const char* path, const ModeIdentities& wanted,
                    SerialQuery query, SerialUnits* units, Candidate& candidate) {
  Device device(platform, platform.OpenDevicePath(path));
  if (!device) {
    candidate.verdict = Verdict::kOpenRefused;
    return Device{};
  }
  candidate.ids = platform.GetDeviceIds(device.get());
  const bool accepted = candidate.ids && Accepts(wanted, *candidate.ids);
  if (units != nullptr &&
      (query == SerialQuery::kAny || (accepted && query != SerialQuery::kNone))) {
    candidate.serial_read = platform.GetSerialUnits(device.get(), *units);
  }
  if (!candidate.ids) {
    candidate.verdict = Verdict::kIdsUnreadable;
    return Device{};  // `device` closes the handle
  }
  if (!accepted) {
    candidate.verdict = Verdict::kOtherIds;
    return Device{};
  }
  candidate.verdict = Verdict::kModule;
  return device;
}

Verdict VerdictOf(const InterfaceFacts& facts, const ModeIdentities& wanted) {
  if (!Accepts(wanted, facts.ids)) {
    return Verdict::kOtherIds;
  }
  if (!facts.accessible) {
    return Verdict::kAccessDenied;
  }
  return facts.held ? Verdict::kHeld : Verdict::kModule;
}

}  // namespace

bool Accepts(const ModeIdentities& wanted, DeviceIdentity ids) {
  return ids == wanted.first || (wanted.count > 1 && ids == wanted.second);
}

Candidate ExamineCandidate(HidPlatform& platform, const char* path, SerialQuery query,
                           SerialUnits& units) {
  Candidate candidate;
  candidate.wanted = IdentitiesFor(CurrentMode());
  // The serial-number string is read with the description only when it may be wanted: a module's
  // is, and which candidate is a module shows only from the description itself.
  InterfaceFacts facts;
  const Description description =
      platform.DescribeInterface(path, facts, query == SerialQuery::kNone ? nullptr : &units);
  if (description == Description::kGone) {
    candidate.described = true;  // refused as an open of it would be
    return candidate;
  }
  if (description == Description::kDescribed) {
    candidate.described = true;
    candidate.ids = facts.ids;
    candidate.verdict = VerdictOf(facts, candidate.wanted);
    candidate.holder = facts.held ? facts.holder : 0;
    candidate.serial_read = query != SerialQuery::kNone && facts.serial_read;
    return candidate;
  }
  candidate.device = OpenAndCheck(platform, path, candidate.wanted, query, &units, candidate);
  return candidate;
}

Device OpenMatchingDevice(HidPlatform& platform, const char* path, const ModeIdentities& wanted) {
  Candidate ignored;
  return OpenAndCheck(platform, path, wanted, SerialQuery::kNone, nullptr, ignored);
}

Device OpenCandidate(HidPlatform& platform, const char* path) {
  return OpenMatchingDevice(platform, path, IdentitiesFor(CurrentMode()));
}

}  // namespace ksv
