#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/bytes.h"
#include "sim/scenario.h"
#include "support/cli_run.h"

namespace tervalo {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::runCli;
using Bytes8 = std::vector<std::uint8_t>;

void writeFile(const fs::path& p, const Bytes8& bytes) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes8 readFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes8(std::istreambuf_iterator<char>(f), {});
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The demo's enclosures (Device1 a healthy mirror, Device2 rebuilding), an image the upgrade
// accepts and scenario files with faults.
struct FlashCli : ::testing::Test {
  fs::path dir;
  std::string image;

  void SetUp() override {
    dir = fs::path(::testing::TempDir()) /
          ("tervalo_flash_cli_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    Bytes8 bytes = sim::buildDefaultFirmwareImage(0x80000);
    for (std::uint32_t a = 0xC000; a < 0x78000; ++a) bytes[a] = static_cast<std::uint8_t>(a * 31 >> 3);
    image = path("new.bin");
    writeFile(image, bytes);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string path(const char* name) const { return (dir / name).string(); }

  // The demo with one fault on Device1 (drive 1), as a scenario file.
  std::string demoWithFault(const char* kind, std::uint32_t from, std::uint32_t count = 1) const {
    sim::Scenario s = sim::builtinDemoScenario();
    sim::FaultSpec f;
    f.drive = 1;
    f.kind = *sim::parseRequestKind(kind);
    f.from = from;
    f.count = count;
    s.faults.push_back(f);
    const std::string file = path((std::string(kind) + ".json").c_str());
    std::ofstream(file) << sim::scenarioToJson(s);
    return "--simulate=" + file;
  }
};

TEST_F(FlashCli, UpgradeWritesVerifiesAndAdvisesAPowerCycle) {
  const CliRun r = runCli({"--simulate", "firmware", "upgrade", image, "--device", "1", "--yes"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(has(r.out, "Device1: firmware written and verified. Power the enclosure off and on again")) << r.out;
  EXPECT_TRUE(has(r.out, "Chksum:"));
  EXPECT_TRUE(has(r.err, "SPI Erase OK\n"));
  EXPECT_TRUE(has(r.err, "SPI Program OK\n"));
  EXPECT_TRUE(has(r.err, "SPI Verify OK\n"));
  EXPECT_TRUE(has(r.err, "Firmware Upgrade Message: Firmware Upgrade 3/3 completed!"));
  // The bar moved through all three steps and ended where ProgressCount ends.
  EXPECT_TRUE(has(r.err, "Process 1 / 3 ["));
  EXPECT_TRUE(has(r.err, "Process 3 / 3 ["));
  EXPECT_TRUE(has(r.err, "(2176/2206)")) << r.err.substr(r.err.size() > 400 ? r.err.size() - 400 : 0);
}

TEST_F(FlashCli, UpgradeTakesAnImageFromImageBuild) {
  Bytes8 head(0x1000, 0x11);
  std::copy_n("FIPS", 4, head.begin());
  writeLe(head, 0x10, 3, 0x78000);
  writeFile(path("spihead.bin"), head);
  writeFile(path("sub.bin"), Bytes8(0x800, 0x3A));
  const CliRun build =
      runCli({"image", "build", "--head", path("spihead.bin"), "--sub", path("sub.bin"), "--seed", "3", "-o", path("built.bin")});
  ASSERT_EQ(build.code, 0) << build.err;
  const CliRun r = runCli({"--simulate", "firmware", "upgrade", path("built.bin"), "--yes"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(has(r.err, "SPI Verify OK"));
}

TEST_F(FlashCli, RefusalsExitOneWithoutTouchingTheFlash) {
  writeFile(path("junk.bin"), Bytes8(1000, 0x42));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string says;
  };
  const Case cases[] = {
      {"rebuilding array", {"--simulate", "firmware", "upgrade", image, "--device", "2", "--yes"}, "",
       "Don't upgrade new firmware when device is rebuilding or scanning."},
      {"not an image", {"--simulate", "firmware", "upgrade", path("junk.bin"), "--yes"}, "",
       "The firmware file is not correct.\nPlease check it."},
      {"missing file", {"--simulate", "firmware", "upgrade", path("none.bin"), "--yes"}, "", "Fail to open firmware file"},
      {"no such device", {"--simulate", "firmware", "upgrade", image, "--device", "3", "--yes"}, "", "No device 3"},
      {"answered no", {"--simulate", "firmware", "upgrade", image}, "n\n", "Upgrade cancelled"},
      {"stdin at its end", {"--simulate", "firmware", "upgrade", image}, "", "Upgrade cancelled"},
      {"record read fails", {demoWithFault("status_read", 1), "firmware", "upgrade", image, "--yes"}, "",
       "Get SPI Record fail "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun r = runCli(c.args, c.input);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_TRUE(has(r.err, c.says)) << r.err;
    EXPECT_FALSE(has(r.err, "Process 1 / 3")) << "the erase began";
    EXPECT_FALSE(has(r.out, "verified"));
  }
  // The question is asked once, after the checks, naming the device and the file.
  const CliRun asked = runCli({"--simulate", "firmware", "upgrade", image}, "no\n");
  EXPECT_TRUE(has(asked.err, "Erase the flash of Device1 and write " + image + "? [y/N]")) << asked.err;
}

TEST_F(FlashCli, AFailureAfterTheEraseExitsTwo) {
  const CliRun r = runCli({demoWithFault("spi_program_order", 10), "firmware", "upgrade", image, "--yes"});
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_TRUE(has(r.err, "SPI Program Fail.\n"));
  EXPECT_TRUE(has(r.err, "Message: SPI Program Fail.\n"));
  EXPECT_TRUE(has(r.err, "FAILED after the flash of Device1 was changed"));
  EXPECT_FALSE(has(r.err, "completed!"));
  EXPECT_FALSE(has(r.out, "verified"));
}

TEST_F(FlashCli, TheBackupIsWrittenBeforeTheErase) {
  // The very first erase fails, so the backup that exists afterwards was read before it.
  const CliRun r =
      runCli({demoWithFault("spi_erase_order", 1), "firmware", "upgrade", image, "--backup", path("old.bin"), "--yes"});
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_EQ(readFile(path("old.bin")), sim::buildDefaultFirmwareImage(0x80000));
  EXPECT_TRUE(has(r.err, "tervaloctl flash write " + path("old.bin") + " --device 1 --yes")) << r.err;

  const CliRun ok = runCli({"--simulate", "firmware", "upgrade", image, "--backup", path("old2.bin"), "--yes"});
  EXPECT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(readFile(path("old2.bin")), sim::buildDefaultFirmwareImage(0x80000));
}

TEST_F(FlashCli, AFailedBackupStopsBeforeTheUpgrade) {
  struct Case {
    const char* name;
    std::string simulate;
    std::string backup;
  };
  const Case cases[] = {
      {"unwritable backup file", "--simulate", path("no/such/dir/old.bin")},
      {"flash read fails", demoWithFault("window_read", 3), path("old.bin")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun r = runCli({c.simulate, "firmware", "upgrade", image, "--backup", c.backup, "--yes"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_TRUE(has(r.err, "No backup, no upgrade: the flash of Device1 was not touched.")) << r.err;
    EXPECT_FALSE(has(r.err, "Process 1 / 3"));
    EXPECT_FALSE(fs::exists(c.backup));
    EXPECT_FALSE(fs::exists(c.backup + ".part"));
  }
}

TEST_F(FlashCli, FlashWriteNeedsYes) {
  const CliRun refused = runCli({"--simulate", "flash", "write", image, "--device", "1"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_TRUE(has(refused.err, "give --yes")) << refused.err;
  EXPECT_FALSE(has(refused.err, "Process to Erase"));

  const CliRun written = runCli({"--simulate", "flash", "write", image, "--device", "1", "--offset-49152", "--yes"});
  EXPECT_EQ(written.code, 0) << written.err;
  EXPECT_TRUE(has(written.err, "Message: File To SPI OK.\n"));
  EXPECT_TRUE(has(written.err, "Process to program Full SPI 524288 ["));
  EXPECT_TRUE(has(written.err, "(1044/1044)"));
  EXPECT_TRUE(has(written.out, "wrote 475136 bytes of flash from 0xc000")) << written.out;

  const CliRun whole = runCli({"--simulate", "--yes", "flash", "write", image, "--size", "4M"});
  EXPECT_EQ(whole.code, 0) << whole.err;
  EXPECT_TRUE(has(whole.err, "(1152/1152)"));

  const CliRun failed = runCli({demoWithFault("spi_program_order", 5), "flash", "write", image, "--yes"});
  EXPECT_EQ(failed.code, 2) << failed.err;
  EXPECT_TRUE(has(failed.err, "Message: SPI Page Program Fail.\n"));
  EXPECT_FALSE(has(failed.err, "File To SPI OK."));
}

}  // namespace
}  // namespace tervalo
