// Report framing, reply classification and error mapping, as tables.
#include "exchange/report.h"

#include <cerrno>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "fill_markers.h"
#include "platform/linux/linux_errno.h"

namespace ksv {
namespace {

using test::kL;

Report ReplyWithId(std::uint8_t id) {
  Report report{};
  report[0] = id;
  return report;
}

TEST(BuildOutputReportTest, IdFirstThenEveryCommandByteAsItIs) {
  // Exactly L command bytes: a read past them would show under the address sanitizer.
  std::array<char, kL> command{};
  for (std::size_t i = 0; i < kL; ++i) {
    command[i] = static_cast<char>(i * 7);  // byte 0 is zero, and values above 127 occur
  }
  const Report report = BuildOutputReport(0x01, command.data());
  EXPECT_EQ(report[0], 0x01);
  for (std::size_t i = 0; i < kL; ++i) {
    EXPECT_EQ(report[i + 1], static_cast<std::uint8_t>(i * 7)) << "byte " << i + 1;
  }
  EXPECT_EQ(BuildOutputReport(0xA5, command.data())[0], 0xA5);
}

TEST(ExtractReplyTest, GivesEverythingAfterTheReportIdAndWritesNothingElse) {
  Report report{};
  for (std::size_t i = 0; i < report.size(); ++i) {
    report[i] = static_cast<std::uint8_t>(0xFF - i);
  }
  // One guard byte on each side of the 63 reply bytes.
  std::array<char, kL + 2> reply{};
  reply.fill('\x5A');
  ExtractReply(report, reply.data() + 1);
  for (std::size_t i = 0; i < kL; ++i) {
    EXPECT_EQ(static_cast<std::uint8_t>(reply[i + 1]), report[i + 1]) << "byte " << i;
  }
  EXPECT_EQ(reply.front(), '\x5A');
  EXPECT_EQ(reply.back(), '\x5A');
}

struct ClassifyRow {
  std::uint32_t count;
  std::uint8_t id;
  ExchangeResult expected;
};

// Modes 0, 2 and 3: the reply must fill all 64 bytes, and report ID 3 is not accepted.
constexpr ClassifyRow kStrictRows[] = {
    {64, 1, 1},     {64, 2, 0},   {64, 3, -15}, {64, 0, -15}, {64, 4, -15},
    {64, 255, -15}, {10, 1, -16}, {10, 2, -16}, {10, 3, -16}, {0, 0, -16},
    {63, 1, -16},   {65, 1, -16}, {1, 2, -16},
};

// Mode 1: any length, classified by report ID alone; ID 3 accepted.
constexpr ClassifyRow kLenientRows[] = {
    {64, 1, 1}, {64, 2, 0}, {64, 3, 3}, {64, 0, -15}, {64, 4, -15}, {64, 255, -15},
    {10, 3, 3}, {10, 1, 1}, {1, 2, 0},  {0, 0, -15},  {65, 1, 1},
};

TEST(ClassifyReplyTest, StrictModes) {
  for (ModuleMode mode : {0, 2, 3}) {
    for (const ClassifyRow& row : kStrictRows) {
      EXPECT_EQ(ClassifyReply(mode, row.count, ReplyWithId(row.id)), row.expected)
          << "mode " << mode << ", " << row.count << " bytes, report ID " << int{row.id};
    }
  }
}

TEST(ClassifyReplyTest, LenientMode) {
  for (const ClassifyRow& row : kLenientRows) {
    EXPECT_EQ(ClassifyReply(1, row.count, ReplyWithId(row.id)), row.expected)
        << row.count << " bytes, report ID " << int{row.id};
  }
}

TEST(MapTransferErrorTest, EveryMappedNumberAndSomeOthers) {
  const struct {
    std::uint32_t error;
    ExchangeResult expected;
  } rows[] = {
      {1, -3},
      {2, -4},
      {3, -5},
      {4, -1},
      {5, -6},
      {6, -7},
      {8, -8},
      {10, -2},
      {14, -9},
      {19, -10},
      {29, -11},
      {30, -12},
      {87, -13},
      {110, -14},
      // Unmapped: no code of their own.
      {0, -255},
      {7, -255},
      {9, -255},
      {11, -255},
      {31, -255},
      {258, -255},
      {997, -255},
      {0xFFFFFFFF, -255},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(MapTransferError({TransferEnd::kSystemError, 0, row.error}), row.expected)
        << "error " << row.error;
  }
  // The exchange's own wait outcomes, whatever number rides along.
  EXPECT_EQ(MapTransferError({TransferEnd::kTimedOut, 0, 0}), kResultTimedOut);
  EXPECT_EQ(MapTransferError({TransferEnd::kFailedWait, 0, 997}), kResultWaitFailed);
}

// The Linux errno translation, read through to the result code (tabled in
// docs/linux-and-windows.md).
TEST(LinuxErrnoTest, EachErrnoGivesItsResultInEachDirection) {
  using D = TransferDirection;
  const struct {
    int error;
    ExchangeResult write, read;
  } rows[] = {
      {EBADF, -7, -7},         {EACCES, -6, -6},    {EPERM, -6, -6},         {ENOMEM, -8, -8},
      {ENOBUFS, -9, -9},       {EINVAL, -13, -13},  {EMFILE, -1, -1},        {ENFILE, -1, -1},
      {ETIMEDOUT, -1, -1},     {EAGAIN, -1, -255},  {EWOULDBLOCK, -1, -255}, {EIO, -11, -12},
      {EPIPE, -11, -12},       {EPROTO, -11, -12},  {ENODEV, -255, -255},    {ENXIO, -255, -255},
      {ESHUTDOWN, -255, -255}, {EINTR, -255, -255}, {EFAULT, -255, -255},    {0, -255, -255},
  };
  for (const auto& row : rows) {
    const auto result = [&row](D direction) {
      return MapTransferError({TransferEnd::kSystemError, 0, WindowsErrorOf(row.error, direction)});
    };
    EXPECT_EQ(result(D::kWrite), row.write) << "errno " << row.error << " on a write";
    EXPECT_EQ(result(D::kRead), row.read) << "errno " << row.error << " on a read";
  }
}

}  // namespace
}  // namespace ksv
