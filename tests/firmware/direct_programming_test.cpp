#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "firmware/firmware_file.h"
#include "firmware/flash_fixture.h"
#include "firmware/upgrade.h"
#include "support/memory_file_source.h"

namespace tervalo {
namespace {

using sim::AccessPath;
using sim::RequestKind;
using testing::distinctImage;
using testing::kControllerDrive;
using testing::kThreePaths;
using testing::pathName;

const MessageBoxRequest kOkBox = applicationBox("File To SPI OK.", "Message");

class DirectProgrammingTest : public testing::SimulatedFlashTest {
 protected:
  FlashOutcome fileToSpi(bool offset49152, std::function<void()> dialog = {}) {
    DirectProgrammingOptions options;
    options.selectorPosition = 0;
    options.offset49152 = offset49152;
    options.openImageDialog = std::move(dialog);
    return FileToSpi(*console, view, options);
  }
};

TEST_F(DirectProgrammingTest, TheOffsetLeavesTheHeadSlotAloneOnEachPath) {
  for (AccessPath path : kThreePaths) {
    SCOPED_TRACE(pathName(path));
    ui = {};
    view = {};
    startOn(path);
    const std::vector<std::uint8_t> image = distinctImage();
    ASSERT_FALSE(std::equal(image.begin(), image.begin() + 0xC000, initialFlash.begin()));
    loadImage(image);

    EXPECT_EQ(fileToSpi(true), FlashOutcome::Succeeded);

    const std::vector<std::uint8_t> now = flash();
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 0xC000, initialFlash.begin())) << "head slot changed";
    EXPECT_TRUE(std::equal(now.begin() + 0xC000, now.end(), image.begin() + 0xC000)) << "rest not programmed";
    EXPECT_EQ(sim->violationCount(), 0u) << sim->violationReport();
    EXPECT_EQ(ordersOf(RequestKind::ModeLowOpen), 0u);
    for (const auto& o : sim->orderLog()) {
      if (o.kind == RequestKind::SpiEraseOrder || o.kind == RequestKind::SpiProgramOrder ||
          o.kind == RequestKind::VendorErase || o.kind == RequestKind::VendorProgram) {
        EXPECT_GE(o.address, 0xC000u);
      }
    }

    EXPECT_EQ(view.maxima, std::vector<std::uint32_t>{1044});
    EXPECT_EQ(console->protocol.progressCount, 1044u);
    EXPECT_EQ(view.position, 1044u);
    EXPECT_EQ(view.captions, (std::vector<std::string>{"", "Process to Erase Full SPI 475136",
                                                       "Process to program Full SPI 524288"}));
    EXPECT_EQ(view.label, "File To SPI...");
    EXPECT_FALSE(view.panelVisible);
    EXPECT_FALSE(view.tickEnabled);
    EXPECT_EQ(ui.panel(kErrorPanel), "SPI Page Program OK");
    EXPECT_EQ(ui.messages, std::vector<MessageBoxRequest>{kOkBox});
    EXPECT_EQ(sim->openHandleCount(), 0);
    expectLockReleased();
    EXPECT_FALSE(sim->controllerModes(kControllerDrive)->upgrade);
  }
}

TEST_F(DirectProgrammingTest, WithoutTheOffsetTheWholeFlashIsWritten) {
  startOn(AccessPath::Mailbox);
  const std::vector<std::uint8_t> image = distinctImage();
  loadImage(image);

  EXPECT_EQ(fileToSpi(false), FlashOutcome::Succeeded);

  EXPECT_TRUE(flash() == image);
  EXPECT_EQ(sim->violationCount(), 0u) << sim->violationReport();
  EXPECT_EQ(ordersOf(RequestKind::ModeLowOpen), 2u);  // erase and program each open the low region
  EXPECT_EQ(view.maxima, std::vector<std::uint32_t>{1152});
  EXPECT_EQ(console->protocol.progressCount, 1152u);
  EXPECT_EQ(view.captions, (std::vector<std::string>{"", "Process to Erase Full SPI 524288",
                                                     "Process to program Full SPI 524288"}));
  EXPECT_EQ(ui.messages, std::vector<MessageBoxRequest>{kOkBox});
}

TEST_F(DirectProgrammingTest, WithoutAnImageTheOpenDialogRuns) {
  startOn(AccessPath::Mailbox);
  const std::uint64_t before = sim->totalRequests();
  int dialogs = 0;

  // Cancelled: nothing is sent and the lock is free for "Load Firmware ".
  EXPECT_EQ(fileToSpi(true, [&] { ++dialogs; }), FlashOutcome::Refused);
  EXPECT_EQ(dialogs, 1);
  EXPECT_EQ(ui.messages, std::vector<MessageBoxRequest>{applicationBox("Please Load Firmware File First ", "Message")});
  EXPECT_EQ(sim->totalRequests(), before);
  expectLockReleased();
  EXPECT_FALSE(view.everShown);

  // A file chosen there is loaded and written.
  testing::MemoryFileSource files;
  const std::vector<std::uint8_t> image = distinctImage();
  files.files["/fw/new.bin"] = image;
  ui.messages.clear();
  EXPECT_EQ(fileToSpi(true, [&] { LoadFirmwareFile(*console, "/fw/new.bin", files); }), FlashOutcome::Succeeded);
  EXPECT_EQ(ui.messages, std::vector<MessageBoxRequest>{kOkBox});
  const std::vector<std::uint8_t> now = flash();
  EXPECT_TRUE(std::equal(now.begin() + 0xC000, now.end(), image.begin() + 0xC000));
}

TEST_F(DirectProgrammingTest, FailuresShowTheFailureBoxNotOk) {
  struct Case {
    const char* name;
    AccessPath path;
    RequestKind kind;
    std::uint64_t nth;
    FlashOutcome outcome;
    std::string panel4;
    bool flashTouched;
    bool leaveSent;
  };
  const Case cases[] = {
      {"upgrade enter fails (ATA)", AccessPath::Ata, RequestKind::ModeUpgradeEnter, 1, FlashOutcome::Refused,
       "VU command 0x88 FEA 11 Error", false, false},
      {"first erase step fails", AccessPath::Mailbox, RequestKind::SpiEraseOrder, 1, FlashOutcome::Failed,
       "Full SPI Erase Fail.", false, false},
      {"middle erase step fails", AccessPath::VendorSingle, RequestKind::VendorErase, 50, FlashOutcome::Failed,
       "Full SPI Erase Fail.", true, false},
      {"program step fails", AccessPath::Ata, RequestKind::SpiProgramOrder, 600, FlashOutcome::Failed,
       "SPI Page Program Fail.", true, false},
      {"last program step fails", AccessPath::VendorSingle, RequestKind::VendorProgram, 1856, FlashOutcome::Failed,
       "SPI Page Program Fail.", true, false},
      {"upgrade leave fails (ATA)", AccessPath::Ata, RequestKind::ModeUpgradeLeave, 1, FlashOutcome::Failed,
       "VU command 0x88 FEA 10 Error", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ui = {};
    view = {};
    startOn(c.path);
    loadImage(distinctImage());
    hit(c.kind, c.nth);

    EXPECT_EQ(fileToSpi(true), c.outcome);

    EXPECT_EQ(ui.panel(kErrorPanel), c.panel4);
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_EQ(ui.messages.back(), applicationBox(c.panel4, "Message"));
    for (const auto& box : ui.messages) EXPECT_NE(box, kOkBox);
    EXPECT_EQ(flash() != initialFlash, c.flashTouched);
    EXPECT_EQ(ordersOf(RequestKind::ModeUpgradeLeave) == 1, c.leaveSent);
    EXPECT_FALSE(view.panelVisible);
    EXPECT_FALSE(view.tickEnabled);
    EXPECT_EQ(sim->openHandleCount(), 0);
    EXPECT_EQ(sim->violationCount(), 0u) << sim->violationReport();
    expectLockReleased();
  }
}

TEST_F(DirectProgrammingTest, SizeButtonsSetTheFlashSizeTheRunCovers) {
  struct Case {
    int megabits;
    std::uint32_t spiSize;
  };
  const Case cases[] = {{1, 0x20000}, {2, 0x40000}, {4, 0x80000}, {8, 0x100000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.megabits) + "M");
    ASSERT_EQ(spiSizeForButton(c.megabits), c.spiSize);
    ui = {};
    view = {};
    sim::ControllerConfig config = sim::healthyMirrorController(AccessPath::Mailbox);
    config.flash.size = c.spiSize;
    startWith(config);
    console->protocol.spiSize = spiSizeForButton(c.megabits);
    // A 512 KiB image: a smaller flash takes its beginning, a larger one gets erased bytes after it.
    const std::vector<std::uint8_t> image = distinctImage();
    loadImage(image);

    EXPECT_EQ(fileToSpi(true), FlashOutcome::Succeeded);

    const std::uint32_t expectedMax = (c.spiSize - 0xC000) / 512 + (c.spiSize - 0xC000) / 4096;
    EXPECT_EQ(view.maxima, std::vector<std::uint32_t>{expectedMax});
    EXPECT_EQ(console->protocol.progressCount, expectedMax);
    EXPECT_EQ(view.captions.back(), "Process to program Full SPI " + std::to_string(c.spiSize));
    std::vector<std::uint8_t> expected = initialFlash;
    for (std::uint32_t a = 0xC000; a < c.spiSize; ++a) expected[a] = a < image.size() ? image[a] : 0xFF;
    EXPECT_TRUE(flash() == expected);
    EXPECT_EQ(sim->violationCount(), 0u) << sim->violationReport();
  }
  for (int other : {0, 3, 16}) EXPECT_EQ(spiSizeForButton(other), 0u) << other;
}

}  // namespace
}  // namespace tervalo
