#include "platform/utf16_from_utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ksv {
namespace {

std::vector<std::uint16_t> Decode(const std::string& text, std::size_t capacity = 256) {
  std::vector<std::uint16_t> out(capacity + 1, 0x7777);  // one guard unit past the capacity
  const std::size_t n = Utf16FromUtf8(text.data(), text.size(), out.data(), capacity);
  EXPECT_EQ(out[capacity], 0x7777) << "wrote past the capacity";
  out.resize(n);
  return out;
}

using Units = std::vector<std::uint16_t>;

TEST(Utf16FromUtf8Test, WellFormedText) {
  EXPECT_EQ(Decode("KSV-1"), (Units{'K', 'S', 'V', '-', '1'}));
  EXPECT_EQ(Decode("\xC5\x81UK"), (Units{0x0141, 'U', 'K'}));  // narrows to 'A' later
  EXPECT_EQ(Decode("\xE2\x82\xAC"), (Units{0x20AC}));
  EXPECT_EQ(Decode("\xF0\x9F\x98\x80!"), (Units{0xD83D, 0xDE00, '!'}));  // a surrogate pair
  EXPECT_EQ(Decode(""), Units{});
}

TEST(Utf16FromUtf8Test, MalformedBytesBecomeReplacementsAndDecodingGoesOn) {
  constexpr std::uint16_t R = 0xFFFD;
  EXPECT_EQ(Decode("\xFF"
                   "A"),
            (Units{R, 'A'}));  // invalid lead byte
  EXPECT_EQ(Decode("\x80"
                   "A"),
            (Units{R, 'A'}));                   // lone continuation byte
  EXPECT_EQ(Decode("A\xC5"), (Units{'A', R}));  // cut off at the end
  EXPECT_EQ(Decode("\xE2\x82"
                   "A"),
            (Units{R, 'A'}));                         // cut off before a new character
  EXPECT_EQ(Decode("\xC0\x80"), (Units{R}));          // overlong zero
  EXPECT_EQ(Decode("\xED\xA0\x80"), (Units{R}));      // an encoded surrogate
  EXPECT_EQ(Decode("\xF4\x90\x80\x80"), (Units{R}));  // beyond U+10FFFF
}

TEST(Utf16FromUtf8Test, StopsAtCapacityWithoutSplittingAPair) {
  EXPECT_EQ(Decode("ABCDE", 3), (Units{'A', 'B', 'C'}));
  EXPECT_EQ(Decode("AB\xF0\x9F\x98\x80", 3), (Units{'A', 'B'}));
  EXPECT_EQ(Decode(std::string(300, 'x')).size(), 256u);
}

}  // namespace
}  // namespace ksv
