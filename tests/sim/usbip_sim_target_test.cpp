// The simulated enclosure behind the USB mass-storage device, driven by the console's own Linux
// host: LinuxDiskHost's SG_IO requests go through a small stand-in for usb-storage (CBW, data,
// CSW, automatic REQUEST SENSE) into MassStorageDevice and SimScsiTarget. What the real kernel
// adds on top is covered by the end-to-end tests under tests/e2e.
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>

#include "core/console.h"
#include "core/sha256.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "device/linux/linux_disk_host.h"
#include "protocol/command_channel.h"
#include "protocol/record_read.h"
#include "protocol/setting_orders.h"
#include "protocol/spi_flash.h"
#include "sim/state_report.h"
#include "sim/usbip/ata_pass_through.h"
#include "sim/usbip/scsi_sense.h"
#include "sim/usbip/sim_scsi_target.h"
#include "support/fake_linux.h"
#include "support/recording_ui.h"

#include <nlohmann/json.hpp>

namespace tervalo::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDriverSense = 0x08;

// What usb-storage does with one SCSI command: CBW, data phase, CSW; after a failed command a
// REQUEST SENSE for 96 bytes in fixed format, whose answer becomes the sense buffer.
class UsbStorageStandIn final : public LinuxSystem {
 public:
  explicit UsbStorageStandIn(MassStorageDevice& device) : device_(device) {}

  int open(const std::string&, int) override { return 7; }
  int close(int) override { return 0; }
  int sgIo(int, sg_io_hdr* hdr) override {
    ++calls;
    const Bytes cdb(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
    const bool in = hdr->dxfer_direction == SG_DXFER_FROM_DEV;
    auto* data = static_cast<std::uint8_t*>(hdr->dxferp);
    std::uint8_t status = 0;
    std::uint32_t moved = 0;
    if (!transport(cdb, in, data, hdr->dxfer_len, status, moved)) {
      hdr->host_status = kDidNoConnect;
      return 0;
    }
    hdr->status = status;
    hdr->masked_status = status >> 1;
    hdr->resid = static_cast<int>(hdr->dxfer_len - moved);
    hdr->sb_len_wr = 0;
    if (status == kScsiStatusCheckCondition) {
      Bytes sense(96, 0);
      std::uint8_t senseStatus = 0;
      std::uint32_t senseLength = 0;
      if (!transport({0x03, 0, 0, 0, 96, 0}, true, sense.data(), 96, senseStatus, senseLength)) {
        hdr->host_status = kDidNoConnect;
        return 0;
      }
      hdr->driver_status = kDriverSense;
      hdr->sb_len_wr = static_cast<unsigned char>(std::min<std::uint32_t>(senseLength, hdr->mx_sb_len));
      std::memcpy(hdr->sbp, sense.data(), hdr->sb_len_wr);
    }
    return 0;
  }

  int calls = 0;

 private:
  // False when the device is gone.
  bool transport(const Bytes& cdb, bool in, std::uint8_t* data, std::uint32_t length, std::uint8_t& status,
                 std::uint32_t& moved) {
    CommandBlockWrapper cbw;
    cbw.tag = ++tag_;
    cbw.dataLength = length;
    cbw.dataIn = in;
    cbw.cdb = cdb;
    if (device_.bulkOut(kBulkOutEndpoint, buildCbw(cbw)).status != 0) return false;
    moved = 0;
    if (length != 0 && !in) {
      if (device_.bulkOut(kBulkOutEndpoint, {data, length}).status != 0) return false;
      moved = length;
    }
    if (length != 0 && in) {
      const UsbReply reply = device_.bulkIn(kBulkInEndpoint, length);
      if (reply.status == kUrbStall) {
        const std::array<std::uint8_t, 8> clearHalt{0x02, 0x01, 0, 0, 0x81, 0, 0, 0};
        device_.control(clearHalt, {});
      } else if (reply.status != 0) {
        return false;
      }
      std::copy(reply.data.begin(), reply.data.end(), data);
      moved = static_cast<std::uint32_t>(reply.data.size());
    }
    const UsbReply csw = device_.bulkIn(kBulkInEndpoint, kCswSize);
    if (csw.status != 0 || csw.data.size() != kCswSize) return false;
    status = csw.data[12] == kCswPassed ? kScsiStatusGood : kScsiStatusCheckCondition;
    if (!in) moved = length - static_cast<std::uint32_t>(readLe(csw.data, 8, 4));
    return true;
  }

  MassStorageDevice& device_;
  std::uint32_t tag_ = 0;
};

// One controller of the scenario as /dev/sda of a Linux host, and a console over that host.
struct Enclosure {
  explicit Enclosure(const sim::Scenario& s, int drive = 0)
      : scenario(s), host(scenario), target(host, scenario.drives.at(static_cast<std::size_t>(drive))),
        device(target, identityForDrive(scenario.drives.at(static_cast<std::size_t>(drive)))) {
    sysfs.addDisk("sda", "0\n", "976773168\n");
    auto standIn = std::make_unique<UsbStorageStandIn>(device);
    kernel = standIn.get();
    linuxHost = std::make_unique<LinuxDiskHost>(sysfs.root(), "/dev", std::move(standIn));
    console = std::make_unique<Console>(*linuxHost, ui, clock);
  }
  int detect() {
    countDrivesAndDetect(*console);
    return console->device.controllerCount;
  }
  std::uint8_t flags() const { return static_cast<std::uint8_t>(console->device.controllerList[0] & 0xFF); }

  sim::Scenario scenario;
  sim::SimulatedHost host;
  SimScsiTarget target;
  MassStorageDevice device;
  testing::FakeSysfs sysfs;
  UsbStorageStandIn* kernel = nullptr;
  std::unique_ptr<LinuxDiskHost> linuxHost;
  testing::RecordingUi ui;
  ManualClock clock{LocalDateTime{2024, 5, 1, 12, 0, 0}};
  std::unique_ptr<Console> console;
};

sim::Scenario oneController(sim::AccessPath path) {
  sim::Scenario s;
  s.addController(0, sim::healthyMirrorController(path));
  return s;
}

struct PathCase {
  const char* name;
  sim::AccessPath path;
  std::uint8_t flags;
};
const PathCase kPaths[] = {
    {"mailbox", sim::AccessPath::Mailbox, 0x40},
    {"ata", sim::AccessPath::Ata, 0x10},
    {"mailbox+ata", sim::AccessPath::MailboxAta, 0x50},
    {"vendor-single", sim::AccessPath::VendorSingle, 0xA0},
    {"vendor-double", sim::AccessPath::VendorDouble, 0x20},
};

TEST(SimScsiTarget, ConsoleDetectsEveryPathThroughTheUsbDevice) {
  for (const auto& c : kPaths) {
    SCOPED_TRACE(c.name);
    Enclosure e(oneController(c.path));
    ASSERT_EQ(e.detect(), 1);
    EXPECT_EQ(e.flags(), c.flags);
    // The identify block that detection kept names the simulated controller.
    EXPECT_EQ(e.console->device.identifyData[0][258], '3');
    EXPECT_EQ(e.console->device.identifyData[0][259], 'X');
    EXPECT_EQ(e.host.violationCount(), 0u);
  }
}

TEST(SimScsiTarget, StatusSettingsAndFlashReadOnEveryPath) {
  for (const auto& c : kPaths) {
    SCOPED_TRACE(c.name);
    Enclosure e(oneController(c.path));
    ASSERT_EQ(e.detect(), 1);
    Console& console = *e.console;
    console.protocol.currentController = 0;
    console.controls.activePage = 0;

    Sector record{};
    ASSERT_TRUE(ReadStatusRecord(console, record));
    const auto expected = e.host.currentStatusRecord(0);
    ASSERT_TRUE(expected);
    // On the vendor path the record is a 256-byte slot of the flash; what follows it is the next slot.
    const std::size_t carried = sim::isVendorScsi(c.path) ? 256 : 512;
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + carried, expected->begin()));

    console.protocol.statusRecords[0] = record;
    console.controls.buzzerMuteChecked = true;
    console.controls.autoScanChecked = true;
    ASSERT_TRUE(WriteControllerSettings(console));
    EXPECT_EQ(e.host.arrayModel(0)->settingFlags & 0x01, 0);

    // A backup of the first 8 KB equals the simulated flash.
    const std::uint32_t size = 0x2000;
    Bytes backup(size, 0);
    console.protocol.upgradeTarget = 0;
    ASSERT_TRUE(SendModeCommand(console, ModeUpgradeEnter));
    ASSERT_TRUE(ReadSpi(console, 0, size, backup.data()));
    ASSERT_TRUE(SendModeCommand(console, ModeUpgradeLeave));
    const auto flash = e.host.flashContents(0);
    EXPECT_TRUE(std::equal(backup.begin(), backup.end(), flash.begin()));
    EXPECT_EQ(e.host.violationReport(), "");
  }
}

TEST(SimScsiTarget, AtaPassThroughAnswers) {
  Enclosure ata(oneController(sim::AccessPath::Ata));
  Enclosure mailbox(oneController(sim::AccessPath::Mailbox));
  const Bytes identify16{0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xE0, 0xEC, 0};
  const Bytes identify12{0xA1, 0x08, 0x2E, 0, 1, 0, 0, 0, 0xE0, 0xEC, 0, 0};
  // Vendor command 0x88 with an order the controller does not know: ABORT in the returned status.
  const Bytes unknownOrder{0x85, 0x06, 0x20, 0, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x88, 0};
  Bytes data(512, 0);

  for (const auto& cdb : {identify16, identify12}) {
    const auto r = ata.target.execute(cdb, true, data.data(), 512);
    EXPECT_EQ(r.status, kScsiStatusCheckCondition);  // CK_COND: the registers come back
    EXPECT_EQ(r.transferred, 512u);
    EXPECT_EQ(data[258], '3');
    const auto regs = findAtaStatusReturn(r.sense);
    ASSERT_TRUE(regs);
    EXPECT_EQ(regs->commandOrStatus & kAtaStatusErr, 0);
    EXPECT_EQ(summarizeSense(r.sense).key, kSenseRecoveredError);
  }
  const auto aborted = ata.target.execute(unknownOrder, false, nullptr, 0);
  EXPECT_EQ(summarizeSense(aborted.sense).key, kSenseAbortedCommand);
  ASSERT_TRUE(findAtaStatusReturn(aborted.sense));
  EXPECT_NE(findAtaStatusReturn(aborted.sense)->commandOrStatus & kAtaStatusErr, 0);

  // A controller without the ATA path refuses the block as an unknown operation code.
  const auto refused = mailbox.target.execute(identify16, true, data.data(), 512);
  EXPECT_EQ(refused.status, kScsiStatusCheckCondition);
  EXPECT_EQ(summarizeSense(refused.sense).asc, 0x20);
  EXPECT_TRUE(refused.completed);

  // A data-in command whose host buffer is too small, a 48-bit command and DMA are refused.
  EXPECT_EQ(summarizeSense(ata.target.execute(identify16, true, data.data(), 256).sense).asc, 0x24);
  const Bytes ext{0x85, 0x09, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xE0, 0x24, 0};
  EXPECT_EQ(summarizeSense(ata.target.execute(ext, true, data.data(), 512).sense).asc, 0x24);
  const Bytes dma{0x85, 0x0C, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xE0, 0xC8, 0};
  EXPECT_EQ(summarizeSense(ata.target.execute(dma, true, data.data(), 512).sense).asc, 0x24);
}

TEST(SimScsiTarget, ScsiAnswersAndCapacity) {
  Enclosure e(oneController(sim::AccessPath::Mailbox));
  EXPECT_EQ(e.target.capacitySectors(), e.scenario.drives[0].sectors);
  Bytes data(512, 0xEE);
  // Past the end of the disk: CHECK CONDITION, LBA out of range, in fixed format.
  const Bytes pastEnd{0x28, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0};
  const auto r = e.target.execute(pastEnd, true, data.data(), 512);
  EXPECT_EQ(r.status, kScsiStatusCheckCondition);
  EXPECT_EQ(r.sense[0], 0x70);
  EXPECT_EQ(summarizeSense(r.sense).key, kSenseIllegalRequest);
  EXPECT_EQ(summarizeSense(r.sense).asc, 0x21);
  EXPECT_EQ(r.transferred, 0u);
  // A 16-byte block other than ATA PASS-THROUGH is not a command this bridge knows.
  const Bytes read16{0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
  EXPECT_EQ(summarizeSense(e.target.execute(read16, true, data.data(), 512).sense).asc, 0x20);
  // The device's own INQUIRY answer carries the drive's texts and additional length 31.
  const auto identity = identityForDrive(e.scenario.drives[0]);
  EXPECT_EQ(identity.inquiryAdditionalLength, 31);
  EXPECT_GE(identity.inquiryVersion, 5);
  EXPECT_EQ(identity.scsiProduct, e.scenario.drives[0].product);
}

TEST(SimScsiTarget, VanishedDriveDropsTheDeviceAndFailsTheRequest) {
  sim::Scenario s = oneController(sim::AccessPath::Mailbox);
  sim::FaultSpec fault;
  fault.drive = 0;
  fault.kind = sim::RequestKind::WindowRead;
  fault.from = 3;
  fault.count = 0;
  fault.effect = sim::FaultEffect::Vanish;
  s.faults.push_back(fault);
  Enclosure e(s);
  ASSERT_EQ(e.detect(), 1);
  Console& console = *e.console;
  console.protocol.currentController = 0;
  console.protocol.upgradeTarget = 0;
  Bytes backup(0x2000, 0);
  ASSERT_TRUE(SendModeCommand(console, ModeUpgradeEnter));
  EXPECT_FALSE(ReadSpi(console, 0, 0x2000, backup.data()));
  EXPECT_TRUE(e.device.targetGone());
  EXPECT_FALSE(e.host.drivePresent(0));
}

TEST(SimStateReport, CarriesWhatTheEndToEndTestCompares) {
  Enclosure e(oneController(sim::AccessPath::Mailbox));
  ASSERT_EQ(e.detect(), 1);
  e.console->protocol.currentController = 0;
  Sector record{};
  ASSERT_TRUE(ReadStatusRecord(*e.console, record));
  // A sector without signature written to the order address is ignored and recorded.
  Bytes junk(512, 0x5A);
  const Bytes write20{0x2A, 0, 0, 0, 0, 20, 0, 0, 1, 0};
  EXPECT_EQ(e.target.execute(write20, false, junk.data(), 512).status, kScsiStatusGood);

  sim::StateReportOptions options;
  options.drive = 0;
  options.endedBy = "peer closed";
  const auto report = nlohmann::json::parse(sim::buildStateReport(e.host, options));
  EXPECT_EQ(report["drive"], 0);
  EXPECT_EQ(report["endedBy"], "peer closed");
  EXPECT_EQ(report["violationCount"], e.host.violationCount());
  EXPECT_GE(report["violationCount"].get<int>(), 1);
  EXPECT_EQ(report["violations"][0]["kind"], std::string(sim::violationKindName(e.host.violations()[0].kind)));
  EXPECT_EQ(report["orders"]["byKind"]["bad_command_sector"], 1);
  EXPECT_EQ(report["orders"]["refused"], 1);
  EXPECT_EQ(report["arrayModel"]["settingFlags"], "0xF1");
  std::string hex;
  for (const auto b : record) {
    static const char* d = "0123456789abcdef";
    hex += d[b >> 4];
    hex += d[b & 15];
  }
  EXPECT_EQ(report["statusRecord"], hex);
  const auto flash = e.host.flashContents(0);
  EXPECT_EQ(report["flash"]["size"], flash.size());
  EXPECT_EQ(report["flash"]["sha256"], sha256Hex(flash));
  EXPECT_FALSE(report["flash"].contains("hex"));
}

}  // namespace
}  // namespace tervalo::usbip
