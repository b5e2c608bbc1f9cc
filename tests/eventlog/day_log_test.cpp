// The day file: header blocks, loading, saving, day changes and file failures.
#include "event_log_fixture.h"

namespace tervalo {
namespace {

using testing::RecordBuilder;

const std::string kRuler(83, '-');
const std::string kBanner = "Tervalo v0.22 has started from 15/03/2010 09:41:07";

std::vector<std::string> healthyBlock(int n) {
  return {"Device" + std::to_string(n) + " information :",
          "Model# RAID Bridge " + std::to_string(n),
          "Mirror, F/W Rev. 090619.1.B0F",
          "Configured Capacity : 465 GB(976773168 Sectors)",
          "  P0 is present.(SATA2)",
          "    Serial no.: \"S1Z3A0B1            \"",
          "    Capacity : 465 GB(976773168 Sectors)",
          "  P1 is present.(SATA2)",
          "    Serial no.: \"W2X4C5D6            \"",
          "    Capacity : 465 GB(976773168 Sectors)"};
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class DayLogTest : public testing::EventLogFixture {
 protected:
  DayLogTest() {
    for (int p = 0; p < 4; ++p) setRecord(p, RecordBuilder().healthyMirror());
  }
};

TEST_F(DayLogTest, FirstPassWithoutDayFileWritesBannerAndBlocks) {
  console.device.controllerCount = 3;
  const auto lines = pass(0x05);  // pages 1 and 3
  const auto want = concat({{kRuler, kBanner}, healthyBlock(1), healthyBlock(3), {kRuler}});
  EXPECT_EQ(lines, want);
  std::string bytes;
  for (const auto& l : want) bytes += l + "\r\n";
  EXPECT_EQ(fileBytes("100315.log"), bytes);
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"100315.log"}) << "no temporary file is left behind";
}

TEST_F(DayLogTest, FirstPassKeepsAnExistingDayFileByteForByte) {
  const std::string earlier = "earlier start\r\nD1 P0 was removed, 15/03/2010 08:00:00\r\nno line end";
  writeFile("100315.log", earlier);
  pass();
  const std::string bytes = fileBytes("100315.log");
  ASSERT_GE(bytes.size(), earlier.size());
  EXPECT_EQ(bytes.substr(0, earlier.size() + 2), earlier + "\r\n");
  EXPECT_EQ(fileLines("100315.log"),
            concat({{"earlier start", "D1 P0 was removed, 15/03/2010 08:00:00", "no line end", kRuler, kBanner},
                    healthyBlock(1), {kRuler}}));
}

TEST_F(DayLogTest, PagesOutsideTheControllerCountGetNoBlock) {
  console.device.controllerCount = 1;
  EXPECT_EQ(pass(0x0F), concat({{kRuler, kBanner}, healthyBlock(1), {kRuler}}));
}

TEST_F(DayLogTest, FirstPassesWithEmptyMaskEachWriteBannerAndRulers) {
  EXPECT_EQ(pass(0), (std::vector<std::string>{kRuler, kBanner, kRuler}));
  clock.advance(4);
  EXPECT_EQ(pass(0), (std::vector<std::string>{kRuler, "Tervalo v0.22 has started from 15/03/2010 09:41:11", kRuler}));
  EXPECT_EQ(fileLines("100315.log").size(), 6u);
}

TEST_F(DayLogTest, SteadyPassesWriteNothing) {
  start();
  const int creates = io->creates;
  EXPECT_TRUE(pass().empty());
  EXPECT_TRUE(pass(0).empty());
  EXPECT_EQ(io->creates, creates);
}

TEST_F(DayLogTest, MidnightStartsANewFileWithoutBanner) {
  start();
  const std::string day15 = fileBytes("100315.log");
  clock.set({2010, 3, 16, 0, 0, 0});
  setRecord(0, RecordBuilder().healthyMirror().portState(0x24).activity(0x01).progress(0));
  const auto lines = pass();
  // The header pass compares no ports; a port change in it waits for the next pass.
  EXPECT_EQ(lines, concat({{kRuler, "Device1 information :", "Model# RAID Bridge 1", "Mirror, F/W Rev. 090619.1.B0F",
                            "Configured Capacity : 465 GB(976773168 Sectors)", "  P0 is absent. ",
                            "  P1 is present.(SATA2)", "    Serial no.: \"W2X4C5D6            \"",
                            "    Capacity : 465 GB(976773168 Sectors)", kRuler, "D1 P1 --> P0 0%, 16/03/2010"}}));
  EXPECT_EQ(fileLines("100316.log"), lines);
  EXPECT_EQ(fileBytes("100315.log"), day15);
  clock.advance(4);
  EXPECT_EQ(pass(), (std::vector<std::string>{"D1 P0 was removed, 16/03/2010 00:00:04"}));
}

TEST_F(DayLogTest, DeletedDayFileStartsAgainWithoutBanner) {
  console.device.controllerCount = 2;
  start(0x03);
  std::filesystem::remove(dir / "100315.log");
  clock.advance(4);
  const auto lines = pass(0x02);
  EXPECT_EQ(lines, concat({{kRuler}, healthyBlock(2), {kRuler}}));
  EXPECT_EQ(console.eventLog.buffer.lines(), lines);
  EXPECT_EQ(fileLines("100315.log"), lines);
}

TEST_F(DayLogTest, FailedSaveLeavesThePreviousDayFileIntact) {
  start();
  const std::string before = fileBytes("100315.log");
  io->failAfterBytes = static_cast<long>(before.size()) + 10;  // the disk fills up half-way
  setRecord(0, RecordBuilder().healthyMirror().portState(0x24));
  EXPECT_EQ(pass(), (std::vector<std::string>{at("D1 P0 was removed, ")}));
  EXPECT_EQ(fileBytes("100315.log"), before);
  EXPECT_EQ(folderEntries(), std::vector<std::string>{"100315.log"}) << "no temporary file is left behind";
  // Steady pass: nothing to write, nothing lost from memory.
  EXPECT_TRUE(pass().empty());
  EXPECT_EQ(console.eventLog.buffer.lineCount(), splitLogText(before).size() + 1);
  // The next changing pass writes everything.
  io->failAfterBytes = -1;
  setRecord(0, RecordBuilder().healthyMirror());
  pass();
  EXPECT_EQ(fileLines("100315.log"), console.eventLog.buffer.lines());
  EXPECT_EQ(fileLines("100315.log").size(), splitLogText(before).size() + 4);
}

TEST_F(DayLogTest, UnwritableDayFileKeepsEveryLineUntilAWriteSucceeds) {
  io->refuseCreate = true;
  const auto header = pass();
  console.monitor.firstPass = false;
  EXPECT_FALSE(std::filesystem::exists(dir / "100315.log"));
  clock.advance(4);
  setRecord(0, RecordBuilder().healthyMirror().portState(0x24));
  pass();  // the file is still missing: the buffer is not restarted
  clock.advance(4);
  EXPECT_TRUE(pass().empty());
  io->refuseCreate = false;
  setRecord(0, RecordBuilder().healthyMirror());
  pass();
  const auto all = console.eventLog.buffer.lines();
  EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(header.size())), header);
  EXPECT_EQ(all[header.size()], "D1 P0 was removed, 15/03/2010 09:41:11");
  EXPECT_EQ(fileLines("100315.log"), all);
}

TEST_F(DayLogTest, FolderIsCreatedWhenMissing) {
  console.eventLog.folder = dir / "state" / "tervalo";
  pass();
  EXPECT_TRUE(std::filesystem::exists(dir / "state" / "tervalo" / "100315.log"));
}

TEST_F(DayLogTest, ClockSetBackJoinsTheExistingDayFile) {
  const std::string day15 = "D1 P0 was removed, 15/03/2010 18:00:00\r\n";
  writeFile("100315.log", day15);
  clock.set({2010, 3, 16, 8, 0, 0});
  start();
  const std::string day16 = fileBytes("100316.log");
  clock.set({2010, 3, 15, 23, 0, 0});  // set back across midnight
  setRecord(0, RecordBuilder().healthyMirror().portState(0x24));
  pass();
  EXPECT_EQ(console.eventLog.buffer.lines(),
            (std::vector<std::string>{"D1 P0 was removed, 15/03/2010 18:00:00", "D1 P0 was removed, 15/03/2010 23:00:00"}));
  EXPECT_EQ(fileLines("100315.log"),
            (std::vector<std::string>{"D1 P0 was removed, 15/03/2010 18:00:00", "D1 P0 was removed, 15/03/2010 23:00:00"}));
  EXPECT_EQ(fileBytes("100316.log"), day16);
  // Forward again: day 16's file is joined the same way.
  clock.set({2010, 3, 16, 8, 1, 0});
  setRecord(0, RecordBuilder().healthyMirror());
  pass();
  const auto lines16 = fileLines("100316.log");
  ASSERT_EQ(lines16.size(), splitLogText(day16).size() + 3);
  EXPECT_EQ(fileBytes("100316.log").substr(0, day16.size()), day16);
  EXPECT_EQ(lines16[lines16.size() - 3], "D1 P0 was initialized (SATA2), 16/03/2010 08:01:00");
}

TEST_F(DayLogTest, UnreadableDayFileIsNeverWrittenOver) {
  writeFile("100315.log", "precious\r\n");
  io->refuseRead = true;
  start();
  setRecord(0, RecordBuilder().healthyMirror().portState(0x24));
  pass();
  EXPECT_EQ(fileBytes("100315.log"), "precious\r\n");
  io->refuseRead = false;
  // Readable again: its lines first, then everything the buffer could not save.
  setRecord(0, RecordBuilder().healthyMirror());
  pass();
  const auto lines = fileLines("100315.log");
  ASSERT_GT(lines.size(), 4u);
  EXPECT_EQ(lines[0], "precious");
  EXPECT_EQ(lines[1], kRuler);
  EXPECT_EQ(lines[2], kBanner);
}

TEST_F(DayLogTest, DeviceTextsBecomeSingleBytePrintable) {
  Sector record = RecordBuilder().healthyMirror();
  record[kP0SerialOffset + 1] = 0x01;  // character 0
  record[kP0SerialOffset + 0] = 0x81;  // character 1
  record[kP0SerialOffset + 3] = 0xE9;  // character 2, e acute in the single-byte set
  record[kP0SerialOffset + 2] = '\n';  // character 3
  setRecord(0, record);
  console.device.identifyData[1] = testing::makeIdentify("0906\x0d.1", "Bridge\x7f");
  const auto lines = pass();
  EXPECT_EQ(lines[3], "Model# Bridge?");
  EXPECT_EQ(lines[4], "Mirror, F/W Rev. 0906?.1 .B0F");
  EXPECT_EQ(lines[7], "    Serial no.: \"??\xe9?A0B1            \"");
  EXPECT_EQ(fileLines("100315.log").size(), lines.size());
}

TEST_F(DayLogTest, WithoutFolderTheLogStaysInMemory) {
  console.eventLog.folder.clear();
  start();
  EXPECT_EQ(console.eventLog.buffer.lineCount(), 13u);
  setRecord(0, RecordBuilder().healthyMirror().portState(0x24));
  EXPECT_EQ(pass().size(), 1u);
  EXPECT_EQ(io->creates, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

}  // namespace
}  // namespace tervalo
