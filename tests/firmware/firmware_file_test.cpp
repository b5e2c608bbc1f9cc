#include "firmware/firmware_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/fake_host.h"
#include "support/memory_file_source.h"
#include "support/recording_ui.h"

namespace tervalo {
namespace {

using testing::FakeHost;
using testing::MemoryFileSource;
using testing::RecordingUi;

std::vector<std::uint8_t> goodImage(std::size_t length = 0x80000) {
  std::vector<std::uint8_t> img(length, 0xFF);
  std::copy_n("FIPS", 4, img.begin());
  if (img.size() > 0x78001) img[0x78001] = 0xA0;
  return img;
}

const MessageBoxRequest kRejectBox =
    systemBox("The firmware file is not correct.\nPlease check it.", "Error", MessageIcon::Error);

struct LoaderFixture : ::testing::Test {
  FakeHost host;
  RecordingUi ui;
  ManualClock clock;
  Console console{host, ui, clock};
  MemoryFileSource files;

  LoadResult load(const std::string& path) { return LoadFirmwareFile(console, path, files); }
  const LoadedImage& image() const { return console.firmware.loadedImage; }
};

TEST_F(LoaderFixture, ValidatesSignatureLengthAndConfigurationVersion) {
  auto fipsWithoutA0 = goodImage();
  fipsWithoutA0[0x78001] = 0xA1;
  auto a0WithoutFips = goodImage();
  a0WithoutFips[3] = 'X';
  auto shortByOne = goodImage(0x78001);  // one byte too short to hold 0x78001
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool accepted;
  };
  const Case cases[] = {
      {"empty", {}, false},
      {"short", std::vector<std::uint8_t>{'F', 'I', 'P', 'S'}, false},
      {"short by one", shortByOne, false},
      {"FIPS without A0", fipsWithoutA0, false},
      {"A0 without FIPS", a0WithoutFips, false},
      {"smallest good", goodImage(0x78002), true},
      {"good 4M", goodImage(), true},
      {"longer than the SPI size", goodImage(0x100000), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui.messages.clear();
    files.files["/fw/x.bin"] = c.bytes;
    const LoadResult r = load("/fw/x.bin");
    EXPECT_EQ(r.outcome, c.accepted ? LoadOutcome::Accepted : LoadOutcome::Rejected);
    EXPECT_EQ(ui.panel(4), "File:/fw/x.bin");
    EXPECT_EQ(ui.panel(0), checksumText(byteSum(c.bytes)));
    EXPECT_EQ(r.length, c.bytes.size());
    if (c.accepted) {
      EXPECT_TRUE(ui.messages.empty());
      EXPECT_EQ(image().length, c.bytes.size());
      EXPECT_EQ(image().data, c.bytes);
      EXPECT_TRUE(r.reason.empty());
    } else {
      ASSERT_EQ(ui.messages.size(), 1u);
      EXPECT_EQ(ui.messages[0], kRejectBox);
      EXPECT_FALSE(image().loaded());
      EXPECT_TRUE(image().data.empty());
      EXPECT_EQ(r.reason, imageRefusalReason(c.bytes));
      EXPECT_FALSE(r.reason.empty());
    }
  }
}

TEST_F(LoaderFixture, ShowsTheWrappingByteSum) {
  files.files["abc"] = {'a', 'b', 'c'};
  const LoadResult r = load("abc");
  EXPECT_EQ(r.sum, 0x126u);
  EXPECT_EQ(ui.panel(0), "Chksum:00000126");
  // The panel is written before the rejection box.
  ASSERT_EQ(ui.messages.size(), 1u);

  // 16843010 bytes of 0xFF sum to 0x1000000FE: the sum keeps the low 32 bits.
  const std::vector<std::uint8_t> wraps(0x1010102, 0xFF);
  EXPECT_EQ(byteSum(wraps), 0xFEu);
  EXPECT_EQ(checksumText(0xDEADBEEF), "Chksum:DEADBEEF");
  EXPECT_EQ(checksumText(0), "Chksum:00000000");
}

TEST_F(LoaderFixture, UnopenableFileShowsOpenBoxAndLeavesNoImage) {
  files.files["good"] = goodImage();
  ASSERT_EQ(load("good").outcome, LoadOutcome::Accepted);
  ui.statusWrites.clear();
  const LoadResult r = load("missing");
  EXPECT_EQ(r.outcome, LoadOutcome::OpenFailed);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0], systemBox("Fail to open firmware file", "Error", MessageIcon::Error));
  EXPECT_FALSE(image().loaded());
  EXPECT_EQ(ui.panel(4), "File:missing");
  EXPECT_EQ(ui.panel(0), "");  // nothing was summed
}

TEST_F(LoaderFixture, SecondBadLoadLeavesNoImage) {
  files.files["good"] = goodImage();
  files.files["bad"] = std::vector<std::uint8_t>(0x80000, 0);
  ASSERT_EQ(load("good").outcome, LoadOutcome::Accepted);
  ASSERT_TRUE(image().loaded());
  EXPECT_EQ(load("bad").outcome, LoadOutcome::Rejected);
  EXPECT_FALSE(image().loaded());
  EXPECT_EQ(image().length, 0u);
}

TEST_F(LoaderFixture, UnreadableByteIsWarnedAndReadAgain) {
  files.files["f"] = goodImage();
  files.faults["f"] = {0x12345, 2};  // fails twice, then reads
  const LoadResult r = load("f");
  EXPECT_EQ(r.outcome, LoadOutcome::Accepted);
  const auto warn = systemBox("Error read from Source file. ByteCount = 74565", "Warning:", MessageIcon::Error);
  EXPECT_EQ(ui.messages, (std::vector<MessageBoxRequest>{warn, warn}));
  EXPECT_EQ(image().data, goodImage());
  EXPECT_EQ(r.sum, byteSum(goodImage()));
}

TEST_F(LoaderFixture, ByteThatKeepsFailingGivesUpAfterThreeAttempts) {
  files.files["good"] = goodImage();
  ASSERT_EQ(load("good").outcome, LoadOutcome::Accepted);
  ui.statusWrites.clear();
  files.files["f"] = goodImage();
  files.faults["f"] = {0, -1};
  const LoadResult r = load("f");
  EXPECT_EQ(r.outcome, LoadOutcome::ReadFailed);
  const auto warn = systemBox("Error read from Source file. ByteCount = 0", "Warning:", MessageIcon::Error);
  EXPECT_EQ(ui.messages, (std::vector<MessageBoxRequest>(kByteReadAttempts, warn)));
  EXPECT_EQ(kByteReadAttempts, 3);
  EXPECT_FALSE(image().loaded());
  EXPECT_EQ(ui.panel(0), "");
  EXPECT_NE(r.reason.find("offset 0"), std::string::npos);
}

TEST(OperationLock, TakeCallsTheHookAndReleaseResetsTheUpgradeTarget) {
  FakeHost host;
  RecordingUi ui;
  ManualClock clock;
  Console console{host, ui, clock};
  int disabled = 0;
  console.firmware.onLockTaken = [&] { ++disabled; };
  EXPECT_FALSE(operationLocked(console));
  takeOperationLock(console);
  EXPECT_TRUE(operationLocked(console));
  EXPECT_EQ(disabled, 1);
  console.protocol.upgradeTarget = 2;
  releaseOperationLock(console);
  EXPECT_FALSE(operationLocked(console));
  EXPECT_EQ(console.protocol.upgradeTarget, 256);
  EXPECT_EQ(disabled, 1);  // release does not enable the size buttons again
}

TEST(HostFileSource, ReadsARealFileAndFailsToOpenAMissingOne) {
  const std::string path = ::testing::TempDir() + "/tervalo_host_file_source_" + std::to_string(::getpid()) + ".bin";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite("abc", 1, 3, f);
    std::fclose(f);
  }
  HostFileSource files;
  RecordingUi ui;
  const ReadWholeResult r = readWholeFile(files, ui, path, "Warning:", 100);
  EXPECT_EQ(r.status, ReadWholeStatus::Ok);
  EXPECT_EQ(r.data, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(readWholeFile(files, ui, path, "Warning:", 2).status, ReadWholeStatus::TooLarge);
  EXPECT_EQ(readWholeFile(files, ui, path + ".missing", "Warning:", 100).status, ReadWholeStatus::OpenFailed);
  EXPECT_TRUE(ui.messages.empty());
  std::remove(path.c_str());
}

}  // namespace
}  // namespace tervalo
