// One command out, one reply back, over an open device handle.
//
// Threads: an exchange takes no lock. Exchanges on one handle must be issued one at a time (two at
// once would each take the other's reply); exchanges on different handles may run at the same
// time on different threads, since every wait sees only its own transfer's completion event. The
// thread that starts a transfer is the one that cancels it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exchange/report.h"
#include "platform/hid_platform.h"

namespace ksv {

// The export's exchange: report ID 1 and 63 payload bytes each way.
inline constexpr std::uint8_t kCommandReportId = 1;
inline constexpr std::size_t kPayloadLength = 63;

// Each direction waits this long for its transfer before cancelling it.
inline constexpr std::uint32_t kWaitLimitMs = 2000;

// Writes report `report_id` with the L command bytes, waits for the write, reads one input report
// of L+1 bytes, waits for it and gives the result code. The L reply bytes go to `reply` whenever
// the read completed, whatever its classification, and nowhere when the transfer failed. A
// transfer that times out or whose wait fails is cancelled, and the exchange waits until the
// platform no longer touches its record and buffer before it returns; the handle stays usable.
// Everything acquired is released before it returns; nothing is allocated on the heap.
template <std::size_t L>
ExchangeResult ExchangeReport(HidPlatform& platform, DeviceHandle handle, std::uint8_t report_id,
                              const char* command, char* reply);

extern template ExchangeResult ExchangeReport<kPayloadLength>(HidPlatform&, DeviceHandle,
                                                              std::uint8_t, const char*, char*);

// The exchange export: report ID 1, 63 payload bytes, any C++ exception turned into -255.
int SendReceive(HidPlatform& platform, DeviceHandle handle, const char* command, char* reply);

}  // namespace ksv
