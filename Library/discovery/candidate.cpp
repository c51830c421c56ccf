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

// The verdict on a candidate that the description gives without an open, and the holder of a held
// one into `candidate`; nothing when only an open can tell. The holders are looked at only for an
// accessible interface with the wanted IDs.
std::optional<Verdict> DescribedVerdict(HidPlatform& platform, const char* path,
                                        Description description, const InterfaceFacts& facts,
                                        Candidate& candidate, WalkHolders& holders) {
  if (!Accepts(candidate.wanted, facts.ids)) {
    return Verdict::kOtherIds;
  }
  if (description != Description::kDescribed) {
    return std::nullopt;  // the IDs alone: an open shows access and holder
  }
  if (!facts.accessible) {
    return Verdict::kAccessDenied;
  }
  const HoldersToken look = holders.Look();
  if (look == nullptr) {
    return std::nullopt;
  }
  const Holding holding = platform.HolderOf(look, path, facts);
  candidate.holder = holding.held ? holding.holder : 0;
  return holding.held ? Verdict::kHeld : Verdict::kModule;
}

}  // namespace

bool Accepts(const ModeIdentities& wanted, DeviceIdentity ids) {
  return ids == wanted.first || (wanted.count > 1 && ids == wanted.second);
}

Candidate ExamineCandidate(HidPlatform& platform, const char* path, SerialQuery query,
                           SerialUnits& units, WalkHolders& holders) {
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
  if (description != Description::kOpenToTell) {
    if (const std::optional<Verdict> verdict =
            DescribedVerdict(platform, path, description, facts, candidate, holders)) {
      candidate.described = true;
      candidate.ids = facts.ids;
      candidate.verdict = *verdict;
      candidate.serial_read = query != SerialQuery::kNone && facts.serial_read;
      return candidate;
    }
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
