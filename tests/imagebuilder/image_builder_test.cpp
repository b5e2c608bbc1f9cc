#include "imagebuilder/image_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "firmware/firmware_file.h"
#include "support/memory_file_source.h"
#include "support/recording_ui.h"

namespace tervalo {
namespace {

using testing::MemoryFileSource;
using testing::RecordingUi;
using Bytes8 = std::vector<std::uint8_t>;

// A head of `length` bytes carrying the signature and the settings offset `h`.
Bytes8 makeHead(std::uint32_t h, std::size_t length = 0x2000) {
  Bytes8 head(length);
  for (std::size_t i = 0; i < length; ++i) head[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::copy_n("FIPS", 4, head.begin());
  writeLe(head, 0x10, 3, h);
  return head;
}

Bytes8 slice(const Bytes8& v, std::size_t at, std::size_t n) { return Bytes8(v.begin() + at, v.begin() + at + n); }

// One "Make Bin" window's inputs over files in memory.
struct Builder {
  MemoryFileSource files;
  RecordingUi ui;
  SubCodeTable table;
  ImageSettingsInput settings;
  BinSizeChoice size;
  LoadedImage image;

  Builder() {
    files.files["/in/SPIHEAD.BIN"] = makeHead(0x78000);
    AddSubCodeFiles(table, {"/in/SPIHEAD.BIN"});
  }
  void addSub(const std::string& path, Bytes8 bytes) {
    files.files[path] = std::move(bytes);
    AddSubCodeFiles(table, {path});
  }
  SaveBinResult build(std::uint32_t seed = 1) {
    FillGenerator rng(seed);
    return SaveBin(image, ui, files, table, settings, size, rng);
  }
  ConstBytes block() const { return ConstBytes(image.data).subspan(0x78000, 0x100); }
};

struct BuilderFixture : ::testing::Test, Builder {};

TEST_F(BuilderFixture, AutoSizeFromTheHeadsSettingsOffset) {
  const SaveBinResult r = build();
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(image.length, 0x80000u);
  EXPECT_EQ(image.data.size(), 0x80000u);
  EXPECT_EQ(ui.panel(1), "491520");
  EXPECT_EQ(ui.panel(0), "524288");
  EXPECT_TRUE(ui.messages.empty());
  // The loader takes what the builder makes.
  EXPECT_TRUE(imageAccepted(image.data));
}

TEST_F(BuilderFixture, LayoutWithoutSubCodes) {
  ASSERT_TRUE(build().ok);
  const Bytes8& img = image.data;
  const Bytes8 head = files.files["/in/SPIHEAD.BIN"];
  EXPECT_EQ(slice(img, 0, head.size()), head);
  EXPECT_EQ(slice(img, head.size(), 0x8000 - head.size()), Bytes8(0x8000 - head.size(), 0xFF));
  EXPECT_EQ(img[0x78000], 0x00);
  EXPECT_EQ(img[0x78001], 0xA0);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(img[0x78002 + 5 * k], 0xFF) << k;
  EXPECT_EQ(slice(img, 0x78034, 3), (Bytes8{0x00, 0xC0, 0x00}));
  EXPECT_EQ(slice(img, 0x78037, 3), (Bytes8{0x3F, 0xF1, 0xFF}));
  EXPECT_EQ(slice(img, 0x7806B, 7), (Bytes8{0x80, 0x11, 0xD0, 0x07, 0x32, 0x00, 0x00}));
  EXPECT_EQ(slice(img, 0x78072, 7), (Bytes8{'M', 'E', 'R', 'L', 'I', 'X', 0}));
  EXPECT_EQ(slice(img, 0x7803A, 0x6B - 0x3A), Bytes8(0x6B - 0x3A, 0x00));
  EXPECT_EQ(slice(img, 0x78079, 7), Bytes8(7, 0x00));
  EXPECT_EQ(slice(img, 0x78100, 0x7F00), Bytes8(0x7F00, 0xFF));
  EXPECT_TRUE(settingsChecksumHolds(block()));
  // Random fill from 0x8000 up to H: not erased flash, not constant.
  const Bytes8 fill = slice(img, 0x8000, 0x1000);
  EXPECT_NE(fill, Bytes8(0x1000, 0xFF));
  EXPECT_NE(std::count(fill.begin(), fill.end(), fill[0]), 0x1000);
}

TEST_F(BuilderFixture, SameSeedSameImageOtherSeedOtherFill) {
  ASSERT_TRUE(build(42).ok);
  const Bytes8 first = image.data;
  ASSERT_TRUE(build(42).ok);
  EXPECT_EQ(image.data, first);
  ASSERT_TRUE(build(43).ok);
  EXPECT_NE(image.data, first);
  EXPECT_EQ(slice(image.data, 0, 0x8000), slice(first, 0, 0x8000));
}

TEST_F(BuilderFixture, SubCodesGoIntoSlotsAndTheDirectory) {
  const Bytes8 a(0x100, 0xA1), b(0xC000, 0xB2);
  addSub("/in/FW_B7.BIN", a);
  addSub("/in/PART2.BIN", b);
  setUpdateFlag(table, 3, 0);
  ASSERT_TRUE(build().ok);
  const Bytes8& img = image.data;
  EXPECT_EQ(slice(img, 0xC000, a.size()), a);
  EXPECT_EQ(slice(img, 0x18000, b.size()), b);
  EXPECT_EQ(slice(img, 0x78002, 10), (Bytes8{0xB7, 0x00, 0xC0, 0x00, 0x5A, 0x02, 0x00, 0x80, 0x01, 0x00}));
  EXPECT_EQ(img[0x78002 + 10], 0xFF);
  EXPECT_EQ(slice(img, 0x78034, 3), (Bytes8{0x00, 0x40, 0x02}));
  EXPECT_EQ(img[0x78071], 0x04);  // PART2: bit 2; B7h: low nibble 7, no bit
  const SettingsBlockView v = decodeSettingsBlock(block());
  EXPECT_EQ(v.directory[0].startOffset, 0xC000u);
  EXPECT_EQ(v.directory[1].startOffset, 0x18000u);
  EXPECT_EQ(v.endOffset, 0x24000u);
}

TEST_F(BuilderFixture, ManualSizeLeavesTheRestErased) {
  size = {false, 0x100000};
  ASSERT_TRUE(build().ok);
  EXPECT_EQ(image.length, 0x100000u);
  EXPECT_EQ(ui.panel(0), "1048576");
  EXPECT_EQ(slice(image.data, 0x80000, 0x80000), Bytes8(0x80000, 0xFF));
}

TEST_F(BuilderFixture, RefusesBadInputBeforeTouchingTheLoadedImage) {
  const Bytes8 previous(0x1234, 0x77);
  struct Case {
    const char* name;
    std::function<void(Builder&)> setUp;
    const char* inError;
  };
  const Case cases[] = {
      {"fan limit unreadable", [](Builder& f) { f.settings.fanAlarmLimit = "20x0"; }, "Fan Alarm Limit"},
      {"thermal supported empty", [](Builder& f) { f.settings.thermalSupported = ""; }, "''"},
      {"no head chosen", [](Builder& f) { f.table.entries[0].path.clear(); }, "No head"},
      {"head too large", [](Builder& f) { f.files.files["/in/SPIHEAD.BIN"] = makeHead(0x78000, 0xC001); },
       "larger than 49152"},
      {"head too short for H", [](Builder& f) { f.files.files["/in/SPIHEAD.BIN"] = Bytes8(0x12, 0); },
       "too short"},
      {"sub-code too large", [](Builder& f) { f.addSub("/in/BIG.BIN", Bytes8(0xC001)); }, "/in/BIG.BIN"},
      {"slots reach H",
       [](Builder& f) {
         f.files.files["/in/SPIHEAD.BIN"] = makeHead(0x20000);
         f.addSub("/in/A1.BIN", Bytes8(10));
         f.addSub("/in/A2.BIN", Bytes8(10));
       },
       "beyond the settings offset"},
      {"head slot beyond H", [](Builder& f) { f.files.files["/in/SPIHEAD.BIN"] = makeHead(0x8000); },
       "beyond the settings offset"},
      {"size below H + 0x8000", [](Builder& f) { f.size = {false, 0x40000}; }, "cannot hold"},
      {"no size chosen", [](Builder& f) { f.size = {false, 0}; }, "No bin size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Builder f;
    f.image.replace(previous);
    c.setUp(f);
    const SaveBinResult r = f.build();
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(c.inError), std::string::npos) << r.error;
    EXPECT_EQ(f.image.data, previous);
    EXPECT_EQ(f.image.length, previous.size());
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0], systemBox(r.error, "Error", MessageIcon::Error));
    EXPECT_EQ(f.ui.panel(0), "");
  }
}

TEST_F(BuilderFixture, SlotsEndingExactlyAtHAreAccepted) {
  files.files["/in/SPIHEAD.BIN"] = makeHead(0x24000);
  addSub("/in/A1.BIN", Bytes8(10));
  addSub("/in/A2.BIN", Bytes8(10));
  const SaveBinResult r = build();
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(image.length, 0x2C000u);
}

TEST_F(BuilderFixture, UnopenableSubCodeShowsTheOpenBox) {
  image.replace(Bytes8(5, 1));
  AddSubCodeFiles(table, {"/in/GONE.BIN"});
  const SaveBinResult r = build();
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0], systemBox("Fail to open firmware file", "Error", MessageIcon::Error));
  EXPECT_NE(r.error.find("/in/GONE.BIN"), std::string::npos);
  EXPECT_EQ(image.data, Bytes8(5, 1));
}

TEST_F(BuilderFixture, UnreadableByteIsWarnedUnderTheBuildersCaption) {
  addSub("/in/A1.BIN", Bytes8(0x200, 0x11));
  files.faults["/in/A1.BIN"] = {0x100, 1};
  ASSERT_TRUE(build().ok);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0],
            systemBox("Error read from Source file. ByteCount = 256", "GetASPISupportInfo:", MessageIcon::Error));
  EXPECT_EQ(slice(image.data, 0xC000, 0x200), Bytes8(0x200, 0x11));

  files.faults["/in/A1.BIN"] = {0x100, -1};
  ui.messages.clear();
  const Bytes8 before = image.data;
  EXPECT_FALSE(build().ok);
  EXPECT_EQ(ui.messages.size(), 3u);
  EXPECT_EQ(image.data, before);
}

TEST(SettingsBlock, BytesFromTheSettingTab) {
  struct Case {
    const char* name;
    std::function<void(ImageSettingsInput&)> set;
    std::size_t at;
    Bytes8 bytes;
  };
  const Case cases[] = {
      {"defaults 0x37", [](ImageSettingsInput&) {}, 0x37, {0x3F, 0xF1, 0xFF}},
      {"defaults 0x6B", [](ImageSettingsInput&) {}, 0x6B, {0x80, 0x11, 0xD0, 0x07, 0x32, 0x00, 0x00}},
      {"no jumper", [](ImageSettingsInput& s) { s.raidModeByJumper = false; }, 0x37, {0x3F, 0x11, 0x3F}},
      {"other chip", [](ImageSettingsInput& s) { s.tr7140cChip = false; }, 0x6B, {0x85}},
      {"fan limit 1F40H", [](ImageSettingsInput& s) { s.fanAlarmLimit = "1F40H"; }, 0x6D, {0x40, 0x1F}},
      {"fan limit 70000", [](ImageSettingsInput& s) { s.fanAlarmLimit = "70000"; }, 0x6D, {0x70, 0x11}},
      {"fan 18 thermal 1", [](ImageSettingsInput& s) { s.fanSupported = "18"; }, 0x6C, {0x12}},
      {"fan 33 keeps all 8 bits", [](ImageSettingsInput& s) { s.fanSupported = "33"; s.thermalSupported = "0"; },
       0x6C, {0x21}},
      {"fan 1 thermal 2", [](ImageSettingsInput& s) { s.thermalSupported = "2"; }, 0x6C, {0x21}},
      {"thermal 17 cut to 8 bits", [](ImageSettingsInput& s) { s.thermalSupported = "17"; s.fanSupported = "0"; },
       0x6C, {0x10}},
      {"thermal limit 300", [](ImageSettingsInput& s) { s.thermalAlarmLimit = "300"; }, 0x6F, {0x2C}},
      {"both backups", [](ImageSettingsInput& s) { s.scheduleBackup = s.fastBackup = true; }, 0x71, {0xC0}},
      {"fast backup", [](ImageSettingsInput& s) { s.fastBackup = true; }, 0x71, {0x40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageSettingsInput in;
    c.set(in);
    const ReadSettingsResult values = readImageSettings(in);
    ASSERT_TRUE(values.ok) << values.error;
    Bytes8 block(0x100, 0xEE);
    FillSettings(block, in, values.values, startFunctionFlags(in));
    EXPECT_EQ(slice(block, c.at, c.bytes.size()), c.bytes);
    EXPECT_EQ(block[0x80], 0xEE);  // the random part is left as it was
    EXPECT_TRUE(settingsChecksumHolds(block));
  }
}

TEST(SettingsBlock, CodeTypesSetTheLowFunctionBits) {
  struct Case {
    std::vector<std::uint8_t> types;
    std::uint8_t flags;
  };
  const Case cases[] = {
      {{0x02, 0x13}, 0x0C}, {{0x05}, 0x00}, {{0x00, 0xF1}, 0x03}, {{0x3A, 0xB7}, 0x00}, {{}, 0x00},
  };
  for (const Case& c : cases) {
    std::uint8_t f = 0;
    for (auto t : c.types) f = addCodeTypeFlag(f, t);
    EXPECT_EQ(f, c.flags);
  }
}

TEST(SettingsBlock, ChecksumCoversBytesZeroToFDOnly) {
  Bytes8 block(0x100);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
  const std::uint16_t sum = settingsChecksum(block);
  EXPECT_EQ(sum, (0xFD * 0xFE / 2) & 0xFFFF);
  block[0xFE] = 0x55;
  block[0xFF] = 0x66;
  EXPECT_EQ(settingsChecksum(block), sum);
  for (std::size_t i : {std::size_t{0}, std::size_t{0x80}, std::size_t{0xFD}}) {
    Bytes8 changed = block;
    ++changed[i];
    EXPECT_NE(settingsChecksum(changed), sum) << i;
  }
  // 254 bytes of 0xFF: 0xFD02, within 16 bits; the sum of bigger values keeps its low 16 bits.
  EXPECT_EQ(settingsChecksum(Bytes8(0x100, 0xFF)), 0xFD02);
}

TEST(SaveName, ExtensionBecomesBin) {
  struct Case {
    const char* chosen;
    const char* name;
  };
  const Case cases[] = {
      {"IMAGE.BIN", "IMAGE.bin"},       {"IMAGE", "IMAGE.bin"},          {"IMAGE.DAT", "IMAGE.bin"},
      {"/tmp/a.b/IMAGE", "/tmp/a.b/IMAGE.bin"}, {"x.tar.gz", "x.tar.bin"},
  };
  for (const Case& c : cases) EXPECT_EQ(saveFileName(c.chosen), c.name) << c.chosen;
  EXPECT_TRUE(saveNameProblem(std::string(123, 'a') + ".bin").empty());  // 127 characters
  EXPECT_FALSE(saveNameProblem(std::string(124, 'a') + ".bin").empty());
}

TEST(SaveImage, WritesUnderTheBinNameAndSaysSo) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / ("tervalo_save_image_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  LoadedImage image;
  image.replace(Bytes8{1, 2, 3, 4, 5});
  for (const char* chosen : {"IMAGE.BIN", "IMAGE", "IMAGE.DAT"}) {
    SCOPED_TRACE(chosen);
    RecordingUi ui;
    const std::string target = (dir / "IMAGE.bin").string();
    std::filesystem::remove(target);
    const SaveImageResult r = SaveImageFile(ui, image, (dir / chosen).string());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.name, target);
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(Bytes8(std::istreambuf_iterator<char>(in), {}), image.data);
    EXPECT_EQ(ui.panel(2), "5");
    EXPECT_EQ(ui.panel(3), "Svae File OK :" + target);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);  // no temporary left
  }

  RecordingUi ui;
  const SaveImageResult r = SaveImageFile(ui, image, (dir / "no_such_dir" / "X").string());
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0], systemBox("Fail to create file", "Error", MessageIcon::Error));
  EXPECT_FALSE(std::filesystem::exists(dir / "no_such_dir"));
  std::filesystem::remove_all(dir);
}

TEST(BinSize, Names) {
  EXPECT_EQ(binSizeFromName("1M"), 0x20000u);
  EXPECT_EQ(binSizeFromName("2m"), 0x40000u);
  EXPECT_EQ(binSizeFromName("4M Bits"), 0x80000u);
  EXPECT_EQ(binSizeFromName("8M"), 0x100000u);
  EXPECT_EQ(binSizeFromName("16M"), 0u);
  EXPECT_EQ(binSizeFromName(""), 0u);
}

}  // namespace
}  // namespace tervalo
