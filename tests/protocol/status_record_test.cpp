#include "protocol/status_record.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/status_record_builder.h"

namespace tervalo {
namespace {

using testing::RecordBuilder;

TEST(StatusRecordTest, RaidModeTexts) {
  const std::vector<std::pair<std::uint8_t, std::string>> cases{
      {0, "Striping"}, {1, "Mirror"}, {2, "NRAID"}, {3, "JBOD"}, {0x3F, "Bypass"},
      {4, "Undefine"}, {0x3E, "Undefine"}, {0x40, "Undefine"}, {0xFF, "Undefine"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(raidModeText(code), text) << int{code};
}

TEST(StatusRecordTest, AtaStringsSwapPairsAndStopAtNul) {
  const std::vector<std::uint8_t> serial{0x53, 0x31, 0x5A, 0x33, ' ', 'A'};
  EXPECT_EQ(decodeAtaString(serial), "1S3ZA ");
  const std::vector<std::uint8_t> withNul{'B', 'A', 0, 'C', 'E', 'D'};
  EXPECT_EQ(decodeAtaString(withNul), "ABC");  // character 3 is byte 2, which is NUL
  const std::vector<std::uint8_t> leadingNul{'X', 0, 'Y', 'Z'};
  EXPECT_EQ(decodeAtaString(leadingNul), "");
  const std::vector<std::uint8_t> blanks(6, ' ');
  EXPECT_EQ(decodeAtaString(blanks), "      ");  // no trimming by itself
}

TEST(StatusRecordTest, ModelTrimmingKeepsSixCharacters) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {std::string(40, ' '), "      "},
      {"WDC WD5000AAKS" + std::string(26, ' '), "WDC WD5000AAKS"},
      {"AB" + std::string(38, ' '), "AB    "},
      {"  X", "  X"},
      {"", ""},
      {"ABCDEFG ", "ABCDEFG"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(trimModelNumber(in), out) << '"' << in << '"';
}

TEST(StatusRecordTest, CapacitiesAre40BitSectorCounts) {
  const Sector r = RecordBuilder().arrayCapacity(0xE8E088B0).portCapacity(0, 0xFF'0000'0001).portCapacity(1, 976773168);
  const StatusRecordView v(r);
  EXPECT_EQ(v.arrayCapacity(), 3907029168u);
  EXPECT_EQ(capacityGigabytes(v.arrayCapacity()), 1863u);
  EXPECT_EQ(capacityMegabytes(v.arrayCapacity()), 1907729u);
  EXPECT_EQ(v.portCapacity(0), 0xFF'0000'0001u);  // the fifth byte counts
  EXPECT_EQ(capacityGigabytes(v.portCapacity(1)), 465u);
}

TEST(StatusRecordTest, PortStatePrecedence) {
  using PC = PortCondition;
  struct Case {
    std::uint8_t state;
    PC p0, p1;
  };
  const std::vector<Case> cases{
      {0x0A, PC::Initialized, PC::None},  // 0x02 outranks 0x08
      {0x22, PC::Initialized, PC::Initialized},
      {0x06, PC::Absent, PC::None},
      {0x09, PC::Failed, PC::None},
      {0x01, PC::Inserted, PC::None},
      {0x24, PC::Absent, PC::Initialized},
      {0xF0, PC::None, PC::Absent},
      {0xA0, PC::None, PC::Initialized},
      {0x90, PC::None, PC::Failed},
      {0x10, PC::None, PC::Inserted},
      {0x00, PC::None, PC::None},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(portCondition(c.state, 0), c.p0) << std::hex << int{c.state};
    EXPECT_EQ(portCondition(c.state, 1), c.p1) << std::hex << int{c.state};
  }
}

TEST(StatusRecordTest, FieldsAtTheirOffsets) {
  const Sector r = RecordBuilder()
                       .healthyMirror()
                       .activity(0x85)
                       .progress(37)
                       .sataGeneration(0x31)
                       .settingFlags(0xF5)
                       .spiRaidMode(0x3F)
                       .serial(1, "ABCDEFGHIJKLMNOPQRST");
  const StatusRecordView v(r);
  EXPECT_EQ(v.portState(), 0x22);
  EXPECT_EQ(v.activity(), 0x85);
  EXPECT_EQ(v.progress(), 37);
  EXPECT_EQ(v.sataGenerationOf(0), 1);
  EXPECT_EQ(v.sataGenerationOf(1), 3);
  EXPECT_EQ(v.spiRaidMode(), 0x3F);
  EXPECT_EQ(v.systemRaidMode(), kRaidMirror);
  EXPECT_EQ(v.serial(0), "S1Z3A0B1            ");  // 20 characters, not trimmed
  EXPECT_EQ(v.serial(1), "ABCDEFGHIJKLMNOPQRST");  // the whole field, no terminator needed
  EXPECT_EQ(v.model(0), "ST3500418AS" + std::string(29, ' '));
  EXPECT_TRUE(v.buzzerOn());
  EXPECT_FALSE(v.autoScanOn());
  EXPECT_TRUE(v.scheduleBackupOn());
}

TEST(StatusRecordTest, SettingSource) {
  const std::vector<std::pair<std::uint8_t, std::string>> cases{
      {0xF0, "Jumper"}, {0xF7, "Jumper"}, {0x10, "SPI"}, {0x13, "SPI"}, {0x00, "UnKnown"}, {0x20, "UnKnown"}, {0xE0, "UnKnown"}};
  for (const auto& [flags, text] : cases) {
    const Sector r = RecordBuilder().settingFlags(flags);
    EXPECT_EQ(settingSourceText(StatusRecordView(r).settingSource()), text) << std::hex << int{flags};
  }
}

TEST(StatusRecordTest, FirmwareBuild) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"B0F", "B0F"}, {"B0G", "C00"}, {"Z9A", "Z9A"}, {"A00", "A00"}, {"a0F", "C00"},
      {"B0f", "C00"}, {"0AB", "C00"}, {std::string("\0\0\0", 3), "C00"}, {"[00", "C00"}};
  for (const auto& [field, text] : cases) {
    const Sector r = RecordBuilder().firmwareBuild(field);
    EXPECT_EQ(FirmwareBuildText(r), text) << field;
    EXPECT_EQ(StatusRecordView(r).firmwareBuildSet(), text == field) << field;
  }
}

TEST(StatusRecordTest, BadSectorRingIsIndexedModuloTen) {
  RecordBuilder b;
  for (unsigned e = 0; e < 10; ++e) b.badSectorEntry(e, 0xF0000000u + e);
  b.badSectorCount(17);
  const Sector r = b;
  const StatusRecordView v(r);
  EXPECT_EQ(v.badSectorCount(), 17);
  EXPECT_EQ(v.badSectorLba(0), 0xF0000000u);
  EXPECT_EQ(v.badSectorLba(7), 0xF0000007u);
  EXPECT_EQ(v.badSectorLba(16), 0xF0000006u);
  EXPECT_EQ(v.badSectorLba(255), 0xF0000005u);
  EXPECT_EQ(r[kBadSectorLbasOffset + 4 * 9 + 3], 0xF0);  // entry 9 ends at the record's last byte
}

TEST(StatusRecordTest, IdentifyBlock) {
  const Sector id = testing::makeIdentify("090619.A", "RAID Bridge Array");
  EXPECT_EQ(identifyFirmwareRevision(id), "090619.A");
  EXPECT_EQ(identifyModelNumber(id), "RAID Bridge Array" + std::string(23, ' '));
  EXPECT_EQ(trimModelNumber(identifyModelNumber(id)), "RAID Bridge Array");
}

TEST(StatusRecordTest, ScanSupportFromRevision) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"090619.1", true},  {"090618.1", false}, {"100315.A", true}, {"123.4567", true},
      {"12A.4567", false}, {"ABCDEFGH", false}, {"09061A.1", false}, {"1234.567", false},
      {"", false},         {"090", false},      {"999999.x", true}, {"000.0000", true}};
  for (const auto& [revision, supported] : cases) EXPECT_EQ(scanSupportedByRevision(revision), supported) << revision;
}

}  // namespace
}  // namespace tervalo
