// Report framing, reply classification and error mapping, as tables.
#include "exchange/report.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace ksv {
namespace {

constexpr std::size_t kL = 63;

Report<kL> ReplyWithId(std::uint8_t id) {
  Report<kL> report{};
  report[0] = id;
  return report;
}

TEST(BuildOutputReportTest, IdFirstThenEveryCommandByteAsItIs) {
  // Exactly L command bytes: a read past them would show under the address sanitizer.
  std::array<char, kL> command{};
  for (std::size_t i = 0; i < kL; ++i) {
    command[i] = static_cast<char>(i * 7);  // byte 0 is zero, and values above 127 occur
  }
  const Report<kL> report = BuildOutputReport<kL>(0x01, command.data());
  EXPECT_EQ(report[0], 0x01);
  for (std::size_t i = 0; i < kL; ++i) {
    EXPECT_EQ(report[i + 1], static_cast<std::uint8_t>(i * 7)) << "byte " << i + 1;
  }
  EXPECT_EQ(BuildOutputReport<kL>(0xA5, command.data())[0], 0xA5);
}

TEST(ExtractReplyTest, GivesEverythingAfterTheReportId) {
  Report<kL> report{};
  for (std::size_t i = 0; i < report.size(); ++i) {
    report[i] = static_cast<std::uint8_t>(0xFF - i);
  }
  const std::array<char, kL> payload = ExtractReply<kL>(report);
  for (std::size_t i = 0; i < kL; ++i) {
    EXPECT_EQ(static_cast<std::uint8_t>(payload[i]), report[i + 1]) << "byte " << i;
  }
}

TEST(ExtractReplyTest, OtherPayloadLengths) {
  Report<3> small{{9, 'a', 'b', 'c'}};
  const std::array<char, 3> payload = ExtractReply<3>(small);
  EXPECT_EQ(std::string(payload.begin(), payload.end()), "abc");
  const char command[3] = {'x', 'y', 'z'};
  EXPECT_EQ(BuildOutputReport<3>(2, command), (Report<3>{{2, 'x', 'y', 'z'}}));
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
      EXPECT_EQ(ClassifyReply<kL>(mode, row.count, ReplyWithId(row.id)), row.expected)
          << "mode " << mode << ", " << row.count << " bytes, report ID " << int{row.id};
    }
  }
}

TEST(ClassifyReplyTest, LenientMode) {
  for (const ClassifyRow& row : kLenientRows) {
    EXPECT_EQ(ClassifyReply<kL>(1, row.count, ReplyWithId(row.id)), row.expected)
        << row.count << " bytes, report ID " << int{row.id};
  }
}

TEST(ClassifyReplyTest, FullLengthFollowsThePayloadLength) {
  const Report<7> report{{1}};
  EXPECT_EQ(ClassifyReply<7>(0, 8, report), 1);
  EXPECT_EQ(ClassifyReply<7>(0, 64, report), -16);
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
    EXPECT_EQ(MapTransferError(row.error), row.expected) << "error " << row.error;
  }
  // The exchange's own wait outcomes share the numbers 4 and 10.
  EXPECT_EQ(MapTransferError(kErrorWaitTimedOut), kResultTimedOut);
  EXPECT_EQ(MapTransferError(kErrorWaitFailed), kResultWaitFailed);
}

}  // namespace
}  // namespace ksv
