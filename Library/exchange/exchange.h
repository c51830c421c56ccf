// One command out, one reply back, over an open device handle.
//
// Threads: an exchange takes no lock. Exchanges on one handle must be issued one at a time (two at
// once would each take the other's reply); exchanges on different handles may run at the same
// time on different threads, since every wait sees only its own transfer's completion event. The
// thread that starts a transfer is the one that cancels it.
#pragma once

#include <cstdint>

#include "exchange/report.h"
#include "platform/hid_platform.h"

namespace ksv {

// The export's exchange uses report ID 1.
inline constexpr std::uint8_t kCommandReportId = 1;

// Each direction waits this long for its transfer before cancelling it.
inline constexpr std::uint32_t kWaitLimitMs = 2000;

// Discards the input reports already queued on the handle (a discard that fails gives its error's
// result, nothing written), writes report `report_id` with the 63 command bytes, waits for the
// write, reads one 64-byte input report, waits for it and gives the result code. The 63 reply
// bytes go to `reply` whenever the read completed, whatever its classification, and nowhere when
// the transfer failed. A transfer that times out or whose wait fails is cancelled, and the exchange
// waits until the platform no longer touches its record and buffer before it returns; the handle
// stays usable. Everything acquired is released before it returns; nothing is allocated on the
// heap.
ExchangeResult ExchangeReport(HidPlatform& platform, DeviceHandle handle, std::uint8_t report_id,
                              const char* command, char* reply);

// The exchange export's exchange: report ID 1, 63 payload bytes.
int SendReceive(HidPlatform& platform, DeviceHandle handle, const char* command, char* reply);

}  // namespace ksv
