#include "imagebuilder/parse_number.h"

#include <gtest/gtest.h>

#include "imagebuilder/goto_position.h"

namespace tervalo {
namespace {

TEST(ParseNumber, ReadsHexWithTrailingHAndStrictDecimalOtherwise) {
  struct Case {
    const char* text;
    bool ok;
    std::int32_t value;
  };
  const Case cases[] = {
      {"H", true, 0},
      {"h", true, 0},
      {"1G2H", true, 1},  // reading stops at the first non-hex digit
      {"1FFH", true, 0x1FF},
      {"1ffh", true, 0x1FF},
      {"200H", true, 0x200},
      {"3Ah", true, 0x3A},
      {"FFFFFFFFH", true, -1},
      {"100000000H", true, 0},     // wraps in 32 bits
      {"123456789H", true, 0x23456789},
      {"-5H", true, 0},            // the sign is no hex digit
      {"512", true, 512},
      {"0", true, 0},
      {"-1", true, -1},
      {"-2147483648", true, INT32_MIN},
      {"2147483647", true, INT32_MAX},
      {"+7", true, 7},
      {"", false, 0},
      {"abc", false, 0},
      {"12a", false, 0},
      {" 12", false, 0},
      {"12 ", false, 0},
      {"-", false, 0},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"0x10", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ParsedNumber n = ParseNumber(c.text);
    EXPECT_EQ(n.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(n.value, c.value);
      EXPECT_TRUE(n.error.empty());
    } else {
      EXPECT_EQ(n.error, std::string("'") + c.text + "' is not a valid integer value");
    }
  }
}

TEST(GotoPosition, ConvertsByteWordAndSectorPositions) {
  struct Case {
    GotoUnit unit;
    const char* text;
    std::int32_t sector;
  };
  const Case cases[] = {
      {GotoUnit::Byte, "1FFH", 1},   {GotoUnit::Byte, "0", 1},     {GotoUnit::Byte, "200H", 2},
      {GotoUnit::Byte, "512", 2},    {GotoUnit::Word, "255", 1},   {GotoUnit::Word, "256", 2},
      {GotoUnit::Sector, "0", 0},    {GotoUnit::Sector, "77", 77},
      {GotoUnit::Byte, "-1", 8388608},  // taken unsigned: 0xFFFFFFFF / 512 + 1
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ParsedNumber n = ParseNumber(c.text);
    ASSERT_TRUE(n);
    EXPECT_EQ(sectorFromPosition(c.unit, static_cast<std::uint32_t>(n.value)), c.sector);
    // Confirmed dialog: GotoMode is the unit alone.
    EXPECT_EQ(currentSectorAfterGoto(static_cast<std::uint8_t>(c.unit), static_cast<std::uint32_t>(n.value)),
              c.sector);
  }
}

TEST(GotoPosition, CancelledOrUnconfirmedDialogChangesNothing) {
  EXPECT_EQ(currentSectorAfterGoto(0, 512), std::nullopt);     // CANCEL
  EXPECT_EQ(currentSectorAfterGoto(0x11, 512), std::nullopt);  // closed by the frame
  EXPECT_EQ(currentSectorAfterGoto(0x13, 5), std::nullopt);
  EXPECT_EQ(currentSectorAfterGoto(0x02, 512), 3);
}

}  // namespace
}  // namespace tervalo
