#include <gtest/gtest.h>

#include "eventlog/log_buffer.h"
#include "eventlog/log_file.h"
#include "eventlog/log_lines.h"
#include "eventlog/log_time.h"
#include "support/status_record_builder.h"

namespace tervalo {
namespace {

using testing::RecordBuilder;

const std::string ts = "15/03/2010 11:02:55";

TEST(LogLinesTest, EventLinesByteForByte) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {portRemovedLine(1, 0, ts), "D1 P0 was removed, 15/03/2010 11:02:55"},
      {portRemovedLine(4, 1, ts), "D4 P1 was removed, 15/03/2010 11:02:55"},
      {portInitializedLine(1, 0, 2, ts), "D1 P0 was initialized (SATA2), 15/03/2010 11:02:55"},
      {portInitializedLine(2, 1, 3, ts), "D2 P1 was initialized, (SATA3), 15/03/2010 11:02:55"},
      {portFailedLine(1, 0, "15/03/2010 11:03:10"), "D1 P0 was failed, Capacity too small.15/03/2010 11:03:10"},
      {portFailedLine(3, 1, ts), "D3 P1 was failed, Capacity too small.15/03/2010 11:02:55"},
      {portInsertedLine(1, 0, ts), "D1 P0 was inserted, 15/03/2010 11:02:55"},
      {portInsertedLine(1, 1, ts), "D1 P1 was inserted, 15/03/2010 11:02:55"},
      {eventSerialLine(" S1Z3 "), "  Serial no.: \" S1Z3 \""},
      {eventCapacityLine(976773168), "  Capacity : 465 GB(976773168 Sectors)"},
      {scanProgressLine(2, 1, 37, ts), "D2 P1 Scan 37%, 15/03/2010 11:02:55"},
      {scanProgressLine(1, 0, 0, ts), "D1 P0 Scan 0%, 15/03/2010 11:02:55"},
      {rebuildProgressLine(1, 0, 5, ts), "D1 P1 --> P0 5%, 15/03/2010 11:02:55"},
      {rebuildProgressLine(1, 1, 100, ts), "D1 P0 --> P1 100%, 15/03/2010 11:02:55"},
      {rebuildDoneLine(1, 0, ts), "D1 P1 --> P0 Done, 15/03/2010 11:02:55"},
      {rebuildDoneLine(1, 1, ts), "D1 P0 --> P1 Done, 15/03/2010 11:02:55"},
      {scanDoneLine(1, 1, ts), "D1 P1 Scan Done, 15/03/2010 11:02:55"},
      {scanAbortedLine(1, 0, ts), "D1 P0 Scan User Abort, 15/03/2010 11:02:55"},
      {bothPortsGoodLine(3, ts), "D3 P0 OK, P1 OK, 15/03/2010 11:02:55"},
      {badSectorFoundLine(1, 0, ts), "D1 P0 Bad Sector was found. 15/03/2010 11:02:55"},
      {badSectorFoundLine(1, 1, ts), "D1 P1 Bad Sector was found. 15/03/2010 11:02:55"},
      {badSectorAddressLine(0xFFFFFFFFu), "  LBA: 4294967295"},
      {rulerLine(), std::string(83, '-')},
      {startBannerLine("Tervalo v0.22", "15/03/2010 09:41:07"), "Tervalo v0.22 has started from 15/03/2010 09:41:07"},
      {deviceHeadingLine(1), "Device1 information :"},
      {configuredCapacityLine(1953525168), "Configured Capacity : 931 GB(1953525168 Sectors)"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(LogLinesTest, DeviceBlock) {
  const Sector record = RecordBuilder().healthyMirror().portState(0x81).sataGeneration(0x23).serial(1, "");
  const Sector identify = testing::makeIdentify("090619.1", "RAID Bridge");
  const std::vector<std::string> want{
      "Device2 information :",
      "Model# RAID Bridge",
      "Mirror, F/W Rev. 090619.1.B0F",
      "Configured Capacity : 465 GB(976773168 Sectors)",
      "P0 was inserted.",
      "  P1 was failed, Capacity too small.",
      "    Serial no.: \"                    \"",
      "    Capacity : 465 GB(976773168 Sectors)",
  };
  EXPECT_EQ(deviceBlockLines(2, record, identify), want);
}

TEST(LogLinesTest, HeaderPortLinesByPortState) {
  const Sector base = RecordBuilder().healthyMirror();
  struct Case {
    std::uint8_t portState;
    std::vector<std::string> p0, p1;
  };
  const std::vector<std::string> present0{"  P0 is present.(SATA2)", "    Serial no.: \"S1Z3A0B1            \"",
                                          "    Capacity : 465 GB(976773168 Sectors)"};
  const std::vector<Case> cases{
      {0x06, {"  P0 is absent. "}, {}},  // absent outranks initialized
      {0x22, present0, {"  P1 is present.(SATA2)", "    Serial no.: \"W2X4C5D6            \"",
                        "    Capacity : 465 GB(976773168 Sectors)"}},
      {0x0A, present0, {}},
      {0x41, {"P0 was inserted."}, {"  P1 is absent. "}},
      {0x10, {}, {"P1 was inserted."}},
  };
  for (const auto& c : cases) {
    Sector r = base;
    r[kPortStateOffset] = c.portState;
    EXPECT_EQ(headerPortLines(r, 0), c.p0) << int{c.portState};
    EXPECT_EQ(headerPortLines(r, 1), c.p1) << int{c.portState};
  }
}

TEST(LogLinesTest, DeviceTextsFromOddIdentifyData) {
  Sector record = RecordBuilder().healthyMirror();
  record[kP0SerialOffset + 1] = 0;  // first character NUL: empty serial
  record[kSystemRaidModeOffset] = 0x3F;
  const auto block = deviceBlockLines(1, record, testing::makeIdentify("12345678", std::string(40, ' ')));
  EXPECT_EQ(block[1], "Model# " + std::string(6, ' '));
  EXPECT_EQ(block[2], "Bypass, F/W Rev. 12345678.B0F");
  EXPECT_EQ(block[5], "    Serial no.: \"\"");
  record[kSystemRaidModeOffset] = 4;
  EXPECT_EQ(deviceBlockLines(1, record, testing::makeIdentify("1", "X"))[2], "Undefine, F/W Rev. 1       .B0F");
}

TEST(LogTimeTest, StampsAndDayNames) {
  const TimeStampFormat format{"%d/%m/%Y", "%H:%M:%S"};
  EXPECT_EQ(formatTimeStamp({2010, 3, 15, 9, 41, 7}, format), "15/03/2010 09:41:07");
  EXPECT_EQ(formatTimeStamp({2010, 3, 16, 0, 0, 0}, format), "16/03/2010");
  EXPECT_EQ(formatTimeStamp({2010, 3, 16, 0, 0, 1}, format), "16/03/2010 00:00:01");
  EXPECT_EQ(formatTimeStamp({2010, 3, 15, 9, 41, 7}, {"%Y-%m-%d", "%I:%M:%S %p"}), "2010-03-15 09:41:07 AM");
  EXPECT_EQ(formatTimeStamp({2010, 3, 15, 9, 41, 7}, {"%a %d", "%T"}), "Mon 15 09:41:07");
  EXPECT_EQ(dayFileName({2010, 3, 15, 23, 59, 59}), "100315.log");
  EXPECT_EQ(dayFileName({2000, 12, 1}), "001201.log");
  const TimeStampFormat locale = localeTimeStampFormat();
  EXPECT_FALSE(locale.shortDate.empty());
  EXPECT_FALSE(locale.longTime.empty());
}

TEST(LogBufferTest, SplitsAtEveryLineEndAndStopsAtNul) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases{
      {"", {}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},
      {"a\rb\nc\r\n\r\nd", {"a", "b", "c", "", "d"}},
      {"a\n\rb", {"a", "", "b"}},  // LF then a lone CR: two line ends
      {"\r\n", {""}},
      {std::string("a\r\nb\0c\r\nd", 9), {"a", "b"}},
      {"\xe9t\xe9\r\n", {"\xe9t\xe9"}},
  };
  for (const auto& [bytes, lines] : cases) EXPECT_EQ(splitLogText(bytes), lines);
}

TEST(LogBufferTest, FileTextEndsEveryLineWithCrLf) {
  LogBuffer buffer;
  EXPECT_EQ(buffer.toFileText(), "");
  buffer.append("one");
  buffer.append("");
  buffer.append("three");
  EXPECT_EQ(buffer.toFileText(), "one\r\n\r\nthree\r\n");
  EXPECT_EQ(splitLogText(buffer.toFileText()), buffer.lines());
}

TEST(LogBufferTest, LogTextIsSingleBytePrintable) {
  EXPECT_EQ(toLogText("plain ASCII ~!"), "plain ASCII ~!");
  EXPECT_EQ(toLogText(std::string("a\0b\tc\r\nd\x7f", 9)), "a?b?c??d?");
  EXPECT_EQ(toLogText("\x80\x81\x8d\x8f\x90\x9d\x9f\xa0\xe9\xff"), "\x80?????\x9f\xa0\xe9\xff");
}

TEST(LogFolderTest, PicksTheFirstUsableFolder) {
  LogFolderEnvironment env{"/opt/tervalo/bin", "/home/u/.state", "/home/u", [](const auto&) { return true; }};
  EXPECT_EQ(pickLogFolder(std::filesystem::path("/var/log/t"), env), "/var/log/t");
  EXPECT_EQ(pickLogFolder(std::nullopt, env), "/opt/tervalo/bin");
  env.isWritable = [](const auto&) { return false; };
  EXPECT_EQ(pickLogFolder(std::nullopt, env), "/home/u/.state/tervalo");
  env.xdgStateHome = "relative/state";  // not absolute: ignored
  EXPECT_EQ(pickLogFolder(std::nullopt, env), "/home/u/.local/state/tervalo");
  env.xdgStateHome.clear();
  env.home.clear();
  EXPECT_EQ(pickLogFolder(std::nullopt, env), "");
  EXPECT_FALSE(executableFolder().empty());
}

}  // namespace
}  // namespace tervalo
