#pragma once
// A console over a simulated enclosure with one controller (drive 1, page 1) behind a system
// disk, a recording window and progress panel, and helpers to hit exact requests with faults.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/console.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "sim/simulated_host.h"
#include "support/recording_progress_view.h"
#include "support/recording_ui.h"

namespace tervalo::testing {

inline constexpr int kControllerDrive = 1;

inline const char* pathName(sim::AccessPath path) {
  switch (path) {
    case sim::AccessPath::Mailbox: return "mailbox";
    case sim::AccessPath::Ata: return "vendor ATA";
    case sim::AccessPath::MailboxAta: return "mailbox+ATA";
    case sim::AccessPath::VendorSingle: return "vendor SCSI (single prefix)";
    case sim::AccessPath::VendorDouble: return "vendor SCSI (double prefix)";
  }
  return "?";
}

// The three ways a controller is reached.
inline const sim::AccessPath kThreePaths[] = {sim::AccessPath::Mailbox, sim::AccessPath::Ata,
                                              sim::AccessPath::VendorSingle};

// An accepted image that differs from the simulator's default flash content in every sub-code
// page and in the head, so that a run that skips a page shows.
inline std::vector<std::uint8_t> distinctImage(std::uint32_t length = 0x80000) {
  std::vector<std::uint8_t> image = sim::buildDefaultFirmwareImage(std::max<std::uint32_t>(length, 0x80000));
  image.resize(length, 0xFF);
  for (std::uint32_t a = 0x20; a < std::min<std::uint32_t>(length, 0x78000); ++a)
    image[a] = static_cast<std::uint8_t>((a * 7 + (a >> 8) * 13 + 0x5A) & 0xFF);
  return image;
}

class SimulatedFlashTest : public ::testing::Test {
 protected:
  // Builds the enclosure and runs one detection, as the window's start-up does.
  void startWith(const sim::ControllerConfig& config) {
    sim::Scenario scenario;
    scenario.addPlainDisk(0);
    scenario.addController(kControllerDrive, config);
    sim = std::make_unique<sim::SimulatedHost>(scenario);
    console = std::make_unique<Console>(*sim, ui, clock);
    countDrivesAndDetect(*console);
    ASSERT_EQ(console->device.controllerCount, 1) << pathName(config.path);
    initialFlash = sim->flashContents(kControllerDrive);
    sim->clearOrderLog();
  }
  void startOn(sim::AccessPath path) { startWith(sim::healthyMirrorController(path)); }

  void loadImage(std::vector<std::uint8_t> bytes) { console->firmware.loadedImage.replace(std::move(bytes)); }

  // Fails (or corrupts) the `nth` request of `kind` to the controller from now on, counting from 1.
  void hit(sim::RequestKind kind, std::uint64_t nth, sim::FaultEffect effect = sim::FaultEffect::Fail) {
    sim::FaultSpec f;
    f.drive = kControllerDrive;
    f.kind = kind;
    f.from = static_cast<std::uint32_t>(sim->requestCount(kind, kControllerDrive) + nth);
    f.count = 1;
    f.effect = effect;
    sim->addFault(f);
  }

  // Orders of `kind` that reached the controller since detection.
  std::size_t ordersOf(sim::RequestKind kind) const {
    std::size_t n = 0;
    for (const auto& o : sim->orderLog())
      if (o.kind == kind) ++n;
    return n;
  }

  std::vector<std::uint8_t> flash() const { return sim->flashContents(kControllerDrive); }

  void expectLockReleased() const {
    EXPECT_FALSE(console->firmware.operationLock);
    EXPECT_EQ(console->protocol.upgradeTarget, kNoUpgradeTarget);
  }

  RecordingUi ui;
  ManualClock clock;
  RecordingProgressView view;
  std::unique_ptr<sim::SimulatedHost> sim;
  std::unique_ptr<Console> console;
  std::vector<std::uint8_t> initialFlash;
};

}  // namespace tervalo::testing
