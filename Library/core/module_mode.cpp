#include "core/module_mode.h"

#include <atomic>

namespace ksv {
namespace {

std::atomic<ModuleMode> g_mode{kDefaultMode};

constexpr DeviceIdentity kPrimaryStandard{kVendorPrimary, kProductStandard};
constexpr DeviceIdentity kSecondaryStandard{kVendorSecondary, kProductStandard};
constexpr DeviceIdentity kPrimaryLenient{kVendorPrimary, kProductLenient};

}  // namespace

int SetModuleMode(int mode) {
  const bool valid = mode >= kDefaultMode && mode <= kSecondaryVendorMode;
  g_mode.store(valid ? mode : kDefaultMode, std::memory_order_relaxed);
  return valid ? 1 : 0;
}

ModuleMode CurrentMode() { return g_mode.load(std::memory_order_relaxed); }

ModeIdentities IdentitiesFor(ModuleMode mode) {
  switch (mode) {
    case kLenientMode:
      return {kPrimaryLenient, {}, 1};
    case kPrimaryVendorMode:
      return {kPrimaryStandard, {}, 1};
    case kSecondaryVendorMode:
      return {kSecondaryStandard, {}, 1};
    default:
      return {kPrimaryStandard, kSecondaryStandard, 2};
  }
}

bool RequiresFullReply(ModuleMode mode) { return mode != kLenientMode; }

bool AcceptsReportId3(ModuleMode mode) { return mode == kLenientMode; }

}  // namespace ksv
