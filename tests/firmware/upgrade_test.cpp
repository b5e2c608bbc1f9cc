#include "firmware/upgrade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "firmware/firmware_file.h"
#include "firmware/flash_fixture.h"

namespace tervalo {
namespace {

using sim::AccessPath;
using sim::RequestKind;
using testing::distinctImage;
using testing::kControllerDrive;
using testing::kThreePaths;
using testing::pathName;

const MessageBoxRequest kSuccessBox = applicationBox(
    "Firmware Upgrade 3/3 completed!\n\nPlease power off this device or the system,\nand power on it to enable the "
    "new firmware!",
    "Firmware Upgrade Message", MessageIcon::Exclamation);

bool takesModeOrders(AccessPath path) { return !sim::isVendorScsi(path); }

class UpgradeTest : public testing::SimulatedFlashTest {
 protected:
  FlashOutcome upgrade(std::function<bool()> confirm = {}) {
    UpgradeOptions options;
    options.selectorPosition = 0;
    options.confirmErase = std::move(confirm);
    return StartUpgrade(*console, view, options);
  }

  // Mode orders 16/17 that reached the controller, in order.
  std::vector<RequestKind> upgradeModeOrders() const {
    std::vector<RequestKind> out;
    for (const auto& o : sim->orderLog())
      if (o.kind == RequestKind::ModeUpgradeEnter || o.kind == RequestKind::ModeUpgradeLeave) out.push_back(o.kind);
    return out;
  }

  void expectControllerIdle() const {
    const auto modes = sim->controllerModes(kControllerDrive);
    ASSERT_TRUE(modes);
    EXPECT_FALSE(modes->spiOpen);
    EXPECT_FALSE(modes->lowRegionOpen);
    EXPECT_FALSE(modes->upgrade);
  }

  std::vector<std::string> panel4Writes() const {
    std::vector<std::string> out;
    for (const auto& w : ui.statusWrites)
      if (w.panel == kErrorPanel) out.push_back(w.text);
    return out;
  }
};

class UpgradeOnEachPath : public UpgradeTest, public ::testing::WithParamInterface<AccessPath> {};

TEST_P(UpgradeOnEachPath, WritesVerifiesAndAdvisesAPowerCycle) {
  startOn(GetParam());
  // Longer than the flash: only the first SpiSize bytes may land (a wrap would show at 0).
  std::vector<std::uint8_t> image = distinctImage(0x80000);
  image.resize(0x81000, 0x00);
  loadImage(image);

  EXPECT_EQ(upgrade(), FlashOutcome::Succeeded);

  const std::vector<std::uint8_t> expected(image.begin(), image.begin() + 0x80000);
  EXPECT_TRUE(flash() == expected) << "flash differs from the image's first 512 KiB";
  EXPECT_EQ(sim->violationCount(), 0u) << sim->violationReport();
  EXPECT_EQ(sim->openHandleCount(), 0);
  expectControllerIdle();

  EXPECT_EQ(view.maxima, std::vector<std::uint32_t>{2206});
  EXPECT_EQ(console->protocol.progressCount, 2176u);
  EXPECT_EQ(view.position, 2176u);
  EXPECT_EQ(view.captions, (std::vector<std::string>{"Process 1 / 3", "Process 2 / 3", "Process 3 / 3"}));
  EXPECT_EQ(view.label, "Firmware Update...");
  EXPECT_TRUE(view.everShown);
  EXPECT_TRUE(view.everTicked);
  EXPECT_FALSE(view.panelVisible);
  EXPECT_FALSE(view.tickEnabled);

  EXPECT_EQ(panel4Writes(), (std::vector<std::string>{"SPI Erase OK", "SPI Program OK", "SPI Verify OK"}));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0], kSuccessBox);
  expectLockReleased();

  EXPECT_EQ(sim->requestCount(sim::isVendorScsi(GetParam()) ? RequestKind::VendorErase : RequestKind::SpiEraseOrder,
                              kControllerDrive),
            128u);
  if (takesModeOrders(GetParam())) {
    EXPECT_EQ(upgradeModeOrders(), (std::vector<RequestKind>{RequestKind::ModeUpgradeEnter, RequestKind::ModeUpgradeLeave}));
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, UpgradeOnEachPath, ::testing::ValuesIn(kThreePaths),
                         [](const auto& info) { return std::string(sim::accessPathId(info.param)) == "vendor-single"
                                                           ? std::string("vendor_scsi")
                                                           : std::string(sim::accessPathId(info.param)); });

TEST_F(UpgradeTest, AShortImageIsPaddedWithErasedBytesAndVerifies) {
  startOn(AccessPath::Mailbox);
  const std::vector<std::uint8_t> image = distinctImage(kMinImageLength);  // the shortest the loader takes
  loadImage(image);
  EXPECT_EQ(upgrade(), FlashOutcome::Succeeded);
  std::vector<std::uint8_t> expected = image;
  expected.resize(0x80000, 0xFF);
  EXPECT_TRUE(flash() == expected);
  EXPECT_EQ(ui.panel(kErrorPanel), "SPI Verify OK");
}

// Every refusal stops before the flash, leaves upgrade mode again and frees the lock.
TEST_F(UpgradeTest, RefusalsLeaveUpgradeModeAndTheFlashAlone) {
  struct Case {
    const char* name;
    std::function<void(sim::ControllerConfig&)> controller;
    std::vector<std::uint8_t> image;
    MessageBoxRequest box;  // empty text: no box, the upgrade was not refused
    bool failRecordRead = false;
  };
  const auto goodImage = distinctImage();
  std::vector<std::uint8_t> tooShortForTheVersion = goodImage;
  tooShortForTheVersion.resize(kConfigVersionOffset);
  const MessageBoxRequest rebuilding = systemBox("Don't upgrade new firmware when device is rebuilding or scanning.");
  const MessageBoxRequest scheduled = systemBox("Don't upgrade new firmware when schedule backup had been enabled.");
  const MessageBoxRequest version = systemBox("SPI Configuration Version Error");
  const Case cases[] = {
      {"no image", {}, {}, applicationBox("Please Load Firmware File First ", "Message")},
      {"configuration version differs", [](auto& c) { c.record.spiConfigVersion = 0xA1; }, goodImage, version},
      {"image too short for the version byte", {}, tooShortForTheVersion, version},
      {"rebuilding P0", [](auto& c) { c.record.activity = 0x01; c.record.portState = 0x12; }, goodImage, rebuilding},
      {"scanning P1", [](auto& c) { c.record.activity = 0x82; }, goodImage, rebuilding},
      {"schedule backup on a complete array", [](auto& c) { c.record.settingFlags |= 0x04; }, goodImage, scheduled},
      {"rebuilding with schedule backup", [](auto& c) { c.record.settingFlags |= 0x04; c.record.activity = 0x02; },
       goodImage, rebuilding},
      {"schedule backup with P1 absent", [](auto& c) { c.record.settingFlags |= 0x04; c.record.portState = 0x42; },
       goodImage, {}},
      {"record read fails", {}, goodImage, applicationBox("Get SPI Record fail ", "Message"), true},
  };
  for (AccessPath path : kThreePaths) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(pathName(path)) + ": " + c.name);
      ui = {};
      view = {};
      sim::ControllerConfig config = sim::healthyMirrorController(path);
      if (c.controller) c.controller(config);
      startWith(config);
      if (!c.image.empty()) loadImage(c.image);
      if (c.failRecordRead) hit(sim::isVendorScsi(path) ? RequestKind::VendorRead : RequestKind::StatusRead, 1);
      const std::uint64_t requestsBefore = sim->totalRequests();

      bool asked = false;
      const FlashOutcome outcome = upgrade([&] {
        asked = true;
        return false;  // stop where the erase would begin
      });

      EXPECT_EQ(outcome, FlashOutcome::Refused);
      EXPECT_TRUE(flash() == initialFlash);
      EXPECT_EQ(sim->violationCount(), 0u) << sim->violationReport();
      EXPECT_EQ(sim->openHandleCount(), 0);
      EXPECT_FALSE(view.everShown);
      expectLockReleased();
      expectControllerIdle();
      if (c.box.text.empty()) {
        EXPECT_TRUE(asked) << "the preconditions hold: the erase is next";
        EXPECT_TRUE(ui.messages.empty());
      } else {
        EXPECT_FALSE(asked);
        EXPECT_EQ(ui.messages, std::vector<MessageBoxRequest>{c.box});
      }
      if (c.image.empty()) {
        EXPECT_EQ(sim->totalRequests(), requestsBefore) << "nothing is sent without an image";
      } else if (takesModeOrders(path)) {
        EXPECT_EQ(upgradeModeOrders(),
                  (std::vector<RequestKind>{RequestKind::ModeUpgradeEnter, RequestKind::ModeUpgradeLeave}));
      }
    }
  }
}

// What one injected fault does to an upgrade.
struct FaultRow {
  std::string name;
  RequestKind kind;
  std::uint64_t nth;
  sim::FaultEffect effect = sim::FaultEffect::Fail;
  FlashOutcome outcome = FlashOutcome::Failed;
  std::string panel4;       // what status panel 4 ends with; a trailing '*' means "begins with"
  bool leaveSent = true;    // mailbox and ATA paths: the leave order reached the controller
  bool flashTouched = true;
  bool corruptLastByte = false;  // instead of a fault: flip the last flash byte before the read-back
};

std::vector<FaultRow> faultRows(AccessPath path) {
  const bool vendor = sim::isVendorScsi(path);
  const bool ata = path == AccessPath::Ata;
  const RequestKind erase = vendor ? RequestKind::VendorErase : RequestKind::SpiEraseOrder;
  const RequestKind program = vendor ? RequestKind::VendorProgram : RequestKind::SpiProgramOrder;
  const RequestKind readOrder = vendor ? RequestKind::VendorRead : RequestKind::SpiReadOrder;
  const RequestKind window = vendor ? RequestKind::VendorRead : RequestKind::WindowRead;
  // On the vendor path the record itself is the first vendor read.
  const std::uint64_t firstReadStep = vendor ? 2 : 1;
  const std::string readStepText = vendor ? "Read SPI Error USB"
                                   : ata  ? "VU command 0x88 FEA 0x01 Read Error"
                                          : "Write Error at Sec_CNT=1 LBA=*";
  std::vector<FaultRow> rows = {
      {"record read", vendor ? RequestKind::VendorRead : RequestKind::StatusRead, 1, sim::FaultEffect::Fail,
       FlashOutcome::Refused, vendor ? "Read Error for USB" : "Read Error for LBA = 33 and sector count = 1", true, false},
      {"first erase step", erase, 1, sim::FaultEffect::Fail, FlashOutcome::Failed, "SPI Erase Fail.", true, false},
      {"middle erase step", erase, 64, sim::FaultEffect::Fail, FlashOutcome::Failed, "SPI Erase Fail."},
      {"last erase step", erase, 128, sim::FaultEffect::Fail, FlashOutcome::Failed, "SPI Erase Fail."},
      {"program step", program, 700, sim::FaultEffect::Fail, FlashOutcome::Failed, "SPI Program Fail."},
      {"last program step", program, 2048, sim::FaultEffect::Fail, FlashOutcome::Failed, "SPI Program Fail."},
      {"read step", readOrder, firstReadStep + 300, sim::FaultEffect::Fail, FlashOutcome::Failed, readStepText},
      {"corrupted last read", window, firstReadStep + 1023, sim::FaultEffect::Corrupt, FlashOutcome::Failed,
       "SPI Verify fail !!!"},
      {"last flash byte differs", RequestKind::Count_, 0, sim::FaultEffect::Fail, FlashOutcome::Failed,
       "SPI Verify fail !!!", true, true, true},
      {"drive vanishes while programming", program, 10, sim::FaultEffect::Vanish, FlashOutcome::Failed,
       "SPI Program Fail.", false},
  };
  if (!vendor) {
    rows.push_back({"window read step", RequestKind::WindowRead, 513, sim::FaultEffect::Fail, FlashOutcome::Failed,
                    "Read Error for LBA = 60 and sector count = 1"});
    rows.push_back({"upgrade enter", RequestKind::ModeUpgradeEnter, 1, sim::FaultEffect::Fail, FlashOutcome::Refused,
                    ata ? "VU command 0x88 FEA 11 Error" : "Write Error at Sec_CNT=1 LBA=*", false, false});
    rows.push_back({"upgrade leave", RequestKind::ModeUpgradeLeave, 1, sim::FaultEffect::Fail, FlashOutcome::Failed,
                    ata ? "VU command 0x88 FEA 10 Error" : "Write Error at Sec_CNT=1 LBA=*", false});
  }
  return rows;
}

bool panelMatches(const std::string& actual, const std::string& expected) {
  if (!expected.empty() && expected.back() == '*')
    return actual.rfind(expected.substr(0, expected.size() - 1), 0) == 0 && actual.size() >= expected.size();
  return actual == expected;
}

TEST_F(UpgradeTest, AFaultIsNeverReportedAsSuccess) {
  for (AccessPath path : kThreePaths) {
    for (const FaultRow& row : faultRows(path)) {
      SCOPED_TRACE(std::string(pathName(path)) + ": " + row.name);
      ui = {};
      view = {};
      startOn(path);
      const std::vector<std::uint8_t> image = distinctImage();
      loadImage(image);
      if (row.corruptLastByte) {
        view.onCaption = [&](const std::string& caption) {
          if (caption != "Process 3 / 3") return;
          const std::uint8_t last = static_cast<std::uint8_t>(image[0x7FFFF] ^ 0x01);
          sim->loadFlash(kControllerDrive, 0x7FFFF, {last});
        };
      } else {
        hit(row.kind, row.nth, row.effect);
      }

      const FlashOutcome outcome = upgrade();

      EXPECT_EQ(outcome, row.outcome);
      EXPECT_TRUE(panelMatches(ui.panel(kErrorPanel), row.panel4)) << "panel 4: " << ui.panel(kErrorPanel);
      for (const auto& box : ui.messages) EXPECT_NE(box, kSuccessBox);
      if (row.outcome == FlashOutcome::Failed) {
        ASSERT_FALSE(ui.messages.empty());
        EXPECT_EQ(ui.messages.back(), applicationBox(ui.panel(kErrorPanel), "Message"));
        EXPECT_FALSE(view.panelVisible);
        EXPECT_FALSE(view.tickEnabled);
      }
      EXPECT_EQ(flash() != initialFlash, row.flashTouched);
      EXPECT_EQ(sim->openHandleCount(), 0);
      EXPECT_EQ(sim->violationCount(), 0u) << sim->violationReport();
      expectLockReleased();
      if (takesModeOrders(path)) {
        EXPECT_EQ(ordersOf(RequestKind::ModeUpgradeLeave) == 1, row.leaveSent);
      }
      if (takesModeOrders(path) && row.effect != sim::FaultEffect::Vanish) {
        // Whatever failed, no flash work is left open on a controller that is still there.
        const auto modes = sim->controllerModes(kControllerDrive);
        EXPECT_FALSE(modes->spiOpen);
        EXPECT_FALSE(modes->lowRegionOpen);
      }
    }
  }
}

TEST_F(UpgradeTest, ABusyLockDoesNothing) {
  startOn(AccessPath::Mailbox);
  loadImage(distinctImage());
  console->firmware.operationLock = true;
  const std::uint64_t before = sim->totalRequests();
  EXPECT_EQ(upgrade(), FlashOutcome::Busy);
  EXPECT_EQ(sim->totalRequests(), before);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(console->firmware.operationLock);
}

}  // namespace
}  // namespace tervalo
