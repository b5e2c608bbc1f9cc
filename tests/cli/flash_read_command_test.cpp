#include <gtest/gtest.h>

#include <algorithm>

#include "cli_scenario.h"
#include "sim/simulated_host.h"
#include "support/cli_run.h"

namespace tervalo::cli {
namespace {

using sim::AccessPath;
using testing::CliRun;
using testing::runCli;
using testing::TempFolder;

// A plain disk and one controller on `path` whose flash carries patches that no other flash
// has.
sim::Scenario flashScenario(AccessPath path) {
  sim::Scenario s;
  s.name = "flash read";
  s.addPlainDisk(0);
  sim::ControllerConfig c = sim::healthyMirrorController(path);
  std::vector<std::uint8_t> pattern(0x3000);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 31 + (i >> 8));
  c.flash.patches.push_back({0x1200, pattern});
  c.flash.patches.push_back({0x7FFF0, std::vector<std::uint8_t>(16, 0x5A)});
  s.addController(3, c);
  return s;
}

const AccessPath kPaths[] = {AccessPath::Mailbox, AccessPath::Ata, AccessPath::VendorSingle, AccessPath::VendorDouble};

TEST(FlashReadCommand, BackupEqualsTheFlashByteForByte) {
  for (AccessPath path : kPaths) {
    TempFolder dir;
    const sim::Scenario scenario = flashScenario(path);
    const std::string out = dir.file("backup.bin");
    const CliRun r = runCli({dir.simulateArg(scenario), "flash", "read", "-o", out});
    ASSERT_EQ(r.code, 0) << sim::accessPathId(path) << ": " << r.err;
    EXPECT_NE(r.out.find("Read 524288 bytes of flash from Device1 into"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;

    const sim::SimulatedHost reference(scenario);
    const auto expected = reference.flashContents(3);
    ASSERT_EQ(expected.size(), 0x80000u);
    EXPECT_TRUE(testing::readFileBytes(out) == expected) << sim::accessPathId(path);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"backup.bin", "scenario.json"}));
  }
}

TEST(FlashReadCommand, SizeOptionReadsThatMuch) {
  TempFolder dir;
  const sim::Scenario scenario = flashScenario(AccessPath::Ata);
  const CliRun r = runCli({dir.simulateArg(scenario), "flash", "read", "--size", "1000", "-o", dir.file("b.bin")});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto expected = sim::SimulatedHost(scenario).flashContents(3);
  EXPECT_TRUE(testing::readFileBytes(dir.file("b.bin")) == std::vector<std::uint8_t>(expected.begin(), expected.begin() + 1000));
}

TEST(FlashReadCommand, PulledDriveMidReadLeavesNoFile) {
  struct Case {
    AccessPath path;
    sim::RequestKind step;
    sim::FaultEffect effect;
    const char* text;
  };
  const Case cases[] = {
      {AccessPath::Mailbox, sim::RequestKind::SpiReadOrder, sim::FaultEffect::Vanish, "Write Error at Sec_CNT=1 LBA="},
      {AccessPath::Ata, sim::RequestKind::SpiReadOrder, sim::FaultEffect::Vanish, "VU command 0x88 FEA 0x01 Read Error"},
      {AccessPath::Ata, sim::RequestKind::WindowRead, sim::FaultEffect::Fail, "Read Error for LBA = 60 and sector count = 1"},
      {AccessPath::VendorSingle, sim::RequestKind::VendorRead, sim::FaultEffect::Vanish, "Read SPI Error USB"},
      {AccessPath::VendorDouble, sim::RequestKind::VendorRead, sim::FaultEffect::Fail, "Read SPI Error USB"},
  };
  for (const auto& c : cases) {
    TempFolder dir;
    sim::Scenario scenario = flashScenario(c.path);
    scenario.faults.push_back(sim::FaultSpec{3, c.step, 100, 1, c.effect, 0});
    const CliRun r = runCli({dir.simulateArg(scenario), "flash", "read", "-o", dir.file("backup.bin")});
    EXPECT_NE(r.code, 0) << sim::accessPathId(c.path);
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Flash read failed; no backup written."), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"scenario.json"}) << sim::accessPathId(c.path);
  }
}

TEST(FlashReadCommand, FailedReadLeavesAnEarlierBackupAlone) {
  TempFolder dir;
  sim::Scenario scenario = flashScenario(AccessPath::Mailbox);
  scenario.faults.push_back(sim::FaultSpec{3, sim::RequestKind::WindowRead, 7, 1, sim::FaultEffect::Fail, 0});
  std::ofstream(dir.file("backup.bin")) << "earlier backup";
  const CliRun r = runCli({dir.simulateArg(scenario), "flash", "read", "-o", dir.file("backup.bin")});
  EXPECT_NE(r.code, 0);
  const auto kept = testing::readFileBytes(dir.file("backup.bin"));
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "earlier backup");
  EXPECT_EQ(dir.entries().size(), 2u);
}

TEST(FlashReadCommand, UnwritableTargetAndBadArguments) {
  TempFolder dir;
  const std::string sim = dir.simulateArg(flashScenario(AccessPath::Mailbox));
  const CliRun noFolder = runCli({sim, "flash", "read", "-o", dir.file("missing/backup.bin")});
  EXPECT_NE(noFolder.code, 0);
  EXPECT_NE(noFolder.err.find("Cannot write"), std::string::npos) << noFolder.err;
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"scenario.json"});

  const CliRun noOutput = runCli({sim, "flash", "read"});
  EXPECT_NE(noOutput.code, 0);
  EXPECT_NE(noOutput.err.find("--output"), std::string::npos) << noOutput.err;

  const CliRun noDevice = runCli({sim, "flash", "read", "--device", "2", "-o", dir.file("b.bin")});
  EXPECT_NE(noDevice.code, 0);
  EXPECT_NE(noDevice.err.find("No device 2: 1 controller found"), std::string::npos) << noDevice.err;

  const CliRun badSize = runCli({sim, "flash", "read", "--size", "0", "-o", dir.file("b.bin")});
  EXPECT_NE(badSize.code, 0);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"scenario.json"});
}

}  // namespace
}  // namespace tervalo::cli
