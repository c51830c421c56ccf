// One command out, one reply back, over an open device handle.
//
// A reply that comes after its exchange gave up is never taken for a later command's: the module
// then owes that reply (owed_replies.h), and the next exchange with it, on this handle or on a
// later one, first waits for the owed reply and drops it, for at most kOwedReplyGraceMs after the
// time-out. A reply later than that is taken as lost.
//
// Threads: an exchange on a module that owes nothing takes no lock. Exchanges on one handle must
// be issued one at a time (two at once would each take the other's reply); exchanges on different
// handles may run at the same time on different threads, since every wait sees only its own
// transfer's completion event. The thread that starts a transfer is the one that cancels it.
#pragma once

#include <cstdint>

#include "exchange/owed_replies.h"
#include "exchange/report.h"
#include "platform/hid_platform.h"

namespace ksv {

// The export's exchange uses report ID 1.
inline constexpr std::uint8_t kCommandReportId = 1;

// Each direction waits this long for its transfer before cancelling it.
inline constexpr std::uint32_t kWaitLimitMs = 2000;

// How long after a time-out the module's late reply is still waited for: a reply that has not come
// within twice the wait limit of its command is taken as lost. Only the exchange right after a
// time-out can take longer than two wait limits, and by at most this much.
inline constexpr std::uint32_t kOwedReplyGraceMs = 2000;

// When the module behind the handle owes replies (`owed`), first reads and drops them, waiting
// until their grace has passed at most; a read or wait that fails there ends the exchange with its
// result, nothing written. Then discards the input reports already queued on the handle (a discard
// that fails gives its error's result, nothing written), writes report `report_id` with the 63
// command bytes, waits for the write, reads one 64-byte input report, waits for it and gives the
// result code. The 63 reply bytes go to `reply` whenever the read completed, whatever its
// classification, and nowhere when the transfer failed. A transfer that times out or whose wait
// fails is cancelled, and the exchange waits until the platform no longer touches its record and
// buffer before it returns; the handle stays usable. A read that timed out or whose wait failed
// after the command was written leaves its reply owed. Everything acquired is released before it
// returns; nothing is allocated on the heap.
ExchangeResult ExchangeReport(HidPlatform& platform, OwedReplies& owed, DeviceHandle handle,
                              std::uint8_t report_id, const char* command, char* reply);

// The exchange export's exchange: report ID 1, 63 payload bytes, the process's ledger.
int SendReceive(HidPlatform& platform, DeviceHandle handle, const char* command, char* reply);

}  // namespace ksv
