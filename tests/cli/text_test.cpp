// ksvhid's text handling: what it accepts on the command line and how it shows bytes.
#include "text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ksv::tool {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<Bytes> Hex(const std::vector<std::string>& args) {
  std::string error;
  auto bytes = ParseHexBytes(args, error);
  EXPECT_EQ(bytes.has_value(), error.empty()) << error;
  return bytes;
}

TEST(HexBytesTest, PairsPerArgumentWithOptionalPrefix) {
  EXPECT_EQ(Hex({"01", "a0FF"}), Bytes({0x01, 0xA0, 0xFF}));
  EXPECT_EQ(Hex({"0x0102", "0XfE"}), Bytes({0x01, 0x02, 0xFE}));
  EXPECT_EQ(Hex({"00"}), Bytes({0x00}));
}

TEST(HexBytesTest, RejectsWhatIsNotWholeBytes) {
  for (const std::string bad : {"", "0", "123", "0x", "0x1", "g0", "01 02", "-1", "0x0x01"}) {
    std::string error;
    EXPECT_FALSE(ParseHexBytes({"01", bad}, error)) << bad;
    EXPECT_NE(error.find("bad hex bytes"), std::string::npos) << bad;
  }
}

TEST(IntegerTest, DecimalWithinBoundsOnly) {
  EXPECT_EQ(ParseInteger("0", 0, 3), 0);
  EXPECT_EQ(ParseInteger("3", 0, 3), 3);
  EXPECT_EQ(ParseInteger("1000000", 1, 1000000), 1000000);
  for (const char* bad : {"4", "-1", "+1", "", " 1", "1x", "0x1", "99999999999999999999"}) {
    EXPECT_FALSE(ParseInteger(bad, 0, 3)) << bad;
  }
}

TEST(SerialTextTest, ShowsOnlyPrintableAscii) {
  EXPECT_EQ(EscapeSerial("KSV-0001 a~"), "KSV-0001 a~");
  EXPECT_EQ(EscapeSerial("a\\b"), "a\\\\b");
  EXPECT_EQ(EscapeSerial(std::string("\x01\x1f\x7f\x80\xb5\xff\n\x1b", 8)),
            "\\x01\\x1f\\x7f\\x80\\xb5\\xff\\x0a\\x1b");
}

TEST(SerialTextTest, EveryByteComesBackFromItsEscapedForm) {
  std::string all;
  for (int b = 1; b < 256; ++b) {
    all += static_cast<char>(b);
  }
  const std::string shown = EscapeSerial(all);
  for (char c : shown) {
    EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << "raw byte " << static_cast<int>(c);
  }
  std::string error;
  EXPECT_EQ(UnescapeSerial(shown, error), all) << error;
}

TEST(SerialTextTest, TypedEscapes) {
  std::string error;
  EXPECT_EQ(UnescapeSerial("A\\x41\\xB5\\\\z", error), std::string("AA\xb5\\z"));
  for (const char* bad : {"\\", "a\\q", "\\x", "\\x4", "\\xg1", "a\\x00b", "\\X41"}) {
    error.clear();
    EXPECT_FALSE(UnescapeSerial(bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_TRUE(UnescapeSerial(std::string(255, 'S'), error));
  EXPECT_FALSE(UnescapeSerial(std::string(256, 'S'), error));
  // The limit counts bytes, not characters typed.
  std::string escaped;
  for (int i = 0; i < 256; ++i) {
    escaped += "\\x41";
  }
  EXPECT_FALSE(UnescapeSerial(escaped, error));
}

TEST(HexDumpTest, SixtyThreeBytesInFourRows) {
  std::vector<std::uint8_t> bytes(63, 0);
  bytes[0] = 'H';
  bytes[1] = 'i';
  bytes[17] = 0xFF;
  bytes[62] = 0x7E;
  const std::string dump = HexDump(bytes.data(), bytes.size());
  EXPECT_EQ(dump,
            "  00   48 69 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |Hi..............|\n"
            "  10   00 ff 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|\n"
            "  20   00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |................|\n"
            "  30   00 00 00 00 00 00 00 00  00 00 00 00 00 00 7e     |..............~|\n");
  EXPECT_EQ(HexString(bytes.data(), 3), "486900");
}

TEST(JsonStringTest, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("\x01\n\x7f", 3)), "\"\\u0001\\u000a\\u007f\"");
  EXPECT_EQ(JsonString(""), "\"\"");
}

TEST(Utf8TextTest, WellFormedCharactersShownAndEscapedForJson) {
  // A device path: shown with its characters, in JSON as \u escapes; bytes that are not
  // well-formed UTF-8, C1 controls, overlong forms and surrogates as EscapeSerial shows them.
  const struct {
    std::string utf8;
    std::string shown;
    std::string json;
  } rows[] = {
      {R"(\\?\hid#ksv-)"
       "\xC5\x82"
       "-1",
       R"(\\\\?\\hid#ksv-)"
       "\xC5\x82"
       "-1",
       R"("\\\\\\\\?\\\\hid#ksv-\u0142-1")"},
      {"\xE2\x82\xAC\xF0\x9F\x94\x8C", "\xE2\x82\xAC\xF0\x9F\x94\x8C", R"("\u20ac\ud83d\udd0c")"},
      {"\xC5", R"(\xc5)", R"("\\xc5")"},
      {"\xC2\x85\x01", R"(\xc2\x85\x01)", R"("\\xc2\\x85\\x01")"},
      {"\xC0\xAF\xED\xA0\x80", R"(\xc0\xaf\xed\xa0\x80)", R"("\\xc0\\xaf\\xed\\xa0\\x80")"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ShowUtf8(row.utf8), row.shown) << row.json;
    EXPECT_EQ(JsonText(ShowUtf8(row.utf8)), row.json);
  }
  EXPECT_EQ(JsonText("\xC5\x01"), R"("\u00c5\u0001")");
}

TEST(ResultTest, EveryCodeHasItsOwnNameAndReplyRule) {
  const std::vector<int> codes{1,  0,  3,   -1,  -2,  -3,  -4,  -5,  -6,  -7,
                               -8, -9, -10, -11, -12, -13, -14, -15, -16, -255};
  std::vector<std::string> names;
  for (int code : codes) {
    names.push_back(ResultName(code));
    EXPECT_NE(names.back(), "unknown result") << code;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
  EXPECT_EQ(ResultName(2), "unknown result");
  EXPECT_EQ(ResultName(1), "reply (report ID 1)");
  EXPECT_EQ(ResultName(0), "reply (report ID 2)");
  EXPECT_EQ(ResultName(-1), "timed out");

  for (int code : codes) {
    const bool accepted = code == 1 || code == 0 || code == 3;
    EXPECT_EQ(ReplyAccepted(code), accepted) << code;
    // A reply with a foreign report ID or length arrived, so its bytes were written.
    EXPECT_EQ(ReplyWritten(code), accepted || code == -15 || code == -16) << code;
  }
}

TEST(RoundTripTest, MinMedianMax) {
  EXPECT_FALSE(Summarise({}));
  const auto odd = Summarise({5.0, 1.0, 3.0});
  ASSERT_TRUE(odd);
  EXPECT_DOUBLE_EQ(odd->min_ms, 1.0);
  EXPECT_DOUBLE_EQ(odd->median_ms, 3.0);
  EXPECT_DOUBLE_EQ(odd->max_ms, 5.0);
  const auto even = Summarise({4.0, 1.0, 2.0, 10.0});
  ASSERT_TRUE(even);
  EXPECT_DOUBLE_EQ(even->median_ms, 3.0);
  const auto one = Summarise({2.5});
  ASSERT_TRUE(one);
  EXPECT_DOUBLE_EQ(one->min_ms, 2.5);
  EXPECT_DOUBLE_EQ(one->max_ms, 2.5);
}

}  // namespace
}  // namespace ksv::tool
