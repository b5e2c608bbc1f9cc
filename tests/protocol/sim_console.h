#pragma once
// A console over a simulated enclosure, detected the way the console does it at start-up, and
// helpers to read what the controllers received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/console.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "protocol/command_channel.h"
#include "sim/simulated_host.h"
#include "support/recording_ui.h"

namespace tervalo::testing {

using sim::AccessPath;
using sim::RequestKind;

inline const AccessPath kAllPaths[] = {AccessPath::Mailbox, AccessPath::Ata, AccessPath::VendorSingle,
                                       AccessPath::VendorDouble};

inline std::string pathLabel(AccessPath p) {
  std::string id(sim::accessPathId(p));
  std::replace(id.begin(), id.end(), '-', '_');
  std::replace(id.begin(), id.end(), '+', '_');
  return id;
}

// A healthy mirror on `path`; with `erased` its flash starts all 0xFF.
inline sim::ControllerConfig controllerOn(AccessPath path, bool erased = false) {
  sim::ControllerConfig c = sim::healthyMirrorController(path);
  c.flash.erased = erased;
  return c;
}

struct SimConsole {
  sim::SimulatedHost host;
  RecordingUi ui;
  ManualClock clock;
  Console console{host, ui, clock};

  SimConsole() = default;
  explicit SimConsole(const sim::Scenario& scenario) : host(scenario) {}

  // Counts the drives and runs a detection, as the window's start-up does.
  int detect() {
    countDrivesAndDetect(console);
    host.clearOrderLog();
    return console.device.controllerCount;
  }
  // A plain system disk at drive 0 and one controller at drive 1, detected; page 0.
  explicit SimConsole(AccessPath path, bool erased = false) {
    host.addPlainDisk(0);
    host.addController(1, controllerOn(path, erased));
    EXPECT_EQ(detect(), 1);
  }

  std::uint8_t flagsOf(int page) const {
    return static_cast<std::uint8_t>(console.device.controllerList[static_cast<std::size_t>(page)] & 0xFF);
  }

  // Makes `page` the upgrade target and enters upgrade mode, as the firmware operations do.
  void enterUpgrade(int page = 0) {
    console.protocol.upgradeTarget = page;
    ASSERT_TRUE(SendModeCommand(console, ModeUpgradeEnter)) << ui.panel(kErrorPanel);
  }
  void leaveUpgrade() {
    ASSERT_TRUE(SendModeCommand(console, ModeUpgradeLeave)) << ui.panel(kErrorPanel);
    console.protocol.upgradeTarget = kNoUpgradeTarget;
  }

  std::vector<RequestKind> orderKinds() const {
    std::vector<RequestKind> out;
    for (const auto& o : host.orderLog()) out.push_back(o.kind);
    return out;
  }
  std::vector<sim::OrderRecord> ordersOf(RequestKind kind) const {
    std::vector<sim::OrderRecord> out;
    for (const auto& o : host.orderLog())
      if (o.kind == kind) out.push_back(o);
    return out;
  }
  std::string violations() const { return host.violationReport(); }
};

// The kinds of a run of orders with the flash steps folded to one entry each, so an expected
// sequence reads "open, low open, steps, low close, close".
inline std::vector<RequestKind> foldSteps(const std::vector<RequestKind>& kinds) {
  std::vector<RequestKind> out;
  for (RequestKind k : kinds)
    if (out.empty() || out.back() != k || k == RequestKind::ModeSpiOpen || k == RequestKind::ModeSpiClose) out.push_back(k);
  return out;
}

inline bool validCommandSector(const std::vector<std::uint8_t>& s) {
  if (s.size() != 512 || s[0] != '3' || s[1] != 'X') return false;
  std::uint32_t sum = 0;
  for (std::size_t i = 7; i <= 509; ++i) sum += s[i];
  return (sum & 0xFFFF) == (s[510] | (std::uint32_t{s[511]} << 8));
}

}  // namespace tervalo::testing
