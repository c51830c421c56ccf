// Transfers on a hidraw descriptor, in the start / wait / complete model of the platform table.
//
// hidraw has no overlapped I/O, and it needs none: a write is synchronous in the kernel, and an
// input report that nobody has read yet stays in the descriptor's queue, not in a buffer the kernel
// writes into later. So:
//   - a write is done whole when it is started, and reported completed; its wait returns at once;
//   - a read is only recorded when it is started (where the report should go: "started", 997);
//   - the wait is poll() on the descriptor, limited to the wait's time;
//   - the completion is the read() itself, made once poll() saw a report (or the device leave);
//   - cancelling does nothing: an unread report is not lost and no buffer is held by the kernel,
//     so there is nothing to call off and nothing to wait for;
//   - discarding queued input reads without blocking until EAGAIN.
// A read or write that fails with an error a removal can cause (EIO, ENODEV, EPROTO, ...) is
// reported as kErrorDeviceNotConnected when the descriptor's device is gone: poll() on the
// descriptor then reports POLLHUP, which hidraw sets once it has taken the device away.
#pragma once

#include <cstdint>

#include "platform/hid_platform.h"

namespace ksv {

// Reads and drops the reports queued on the (non-blocking) descriptor: 0 when none is left, else
// the error number of the failure that ended it.
std::uint32_t DiscardQueued(int fd, std::uint8_t* scratch, std::uint32_t n);

// Writes n bytes at once.
StartOutcome WriteAll(int fd, const std::uint8_t* bytes, std::uint32_t n, TransferRecord& record);

// Records where a read of up to n bytes delivers its report; always "started".
StartOutcome BeginRead(int fd, std::uint8_t* bytes, std::uint32_t n, TransferRecord& record);

// Waits up to `limit_ms` for the record's read to have a report (or an error) to take.
std::uint32_t AwaitReport(TransferRecord& record, std::uint32_t limit_ms);

// The record's transfer made and finished: the bytes a read delivered; `record.error` set when it
// failed.
std::uint32_t FinishTransfer(TransferRecord& record);

}  // namespace ksv
