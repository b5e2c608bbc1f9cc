#include "protocol/record_read.h"

#include <gtest/gtest.h>

#include "protocol/status_record.h"
#include "sim/controller_model.h"
#include "sim_console.h"

namespace tervalo {
namespace {

using sim::AccessPath;
using sim::FaultEffect;
using sim::FaultSpec;
using sim::RequestKind;
using testing::SimConsole;

TEST(ReadStatusRecord, EmptyControllerListOpensNothing) {
  SimConsole s;
  s.host.addPlainDisk(0);
  ASSERT_EQ(s.detect(), 0);
  const auto opens = s.host.requestCount(RequestKind::Open);
  Sector record{};
  EXPECT_FALSE(ReadStatusRecord(s.console, record));
  EXPECT_EQ(s.ui.panel(kErrorPanel), "Device not found!!!");
  ASSERT_EQ(s.ui.messages.size(), 1u);
  EXPECT_EQ(s.ui.messages[0], applicationBox("No Device found !", "Message"));
  EXPECT_EQ(s.host.requestCount(RequestKind::Open), opens);
}

// ---------------------------------------------------------------------------------------------
// The slot search on the vendor SCSI path

struct SlotCase {
  const char* name;
  std::vector<std::uint32_t> written;  // slots whose first byte is not 0xFF
  std::uint32_t spiSize;
  std::uint32_t readAt;
  std::uint64_t probes;
};

class SlotSearch : public ::testing::TestWithParam<SlotCase> {};

TEST_P(SlotSearch, ReadsTheLastSlotOfTheFirstWrittenRun) {
  const SlotCase& c = GetParam();
  for (AccessPath path : {AccessPath::VendorSingle, AccessPath::VendorDouble}) {
    SimConsole s(path);
    // The whole slot area erased, then the case's slots written with distinct contents.
    s.host.loadFlash(1, kStatusRecordArea, std::vector<std::uint8_t>(0x8000, 0xFF));
    for (std::uint32_t slot : c.written) {
      std::vector<std::uint8_t> bytes(kStatusSlotSize);
      for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(((slot >> 8) & 0x7F) + i);  // never 0xFF at 0
      s.host.loadFlash(1, slot, bytes);
    }
    s.console.protocol.spiSize = c.spiSize;
    const auto probesBefore = s.host.requestCount(RequestKind::VendorProbeRead);
    Sector record{};
    ASSERT_TRUE(ReadStatusRecord(s.console, record)) << s.ui.panel(kErrorPanel);
    const auto reads = s.ordersOf(RequestKind::VendorRead);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].address, c.readAt) << c.name << " " << testing::pathLabel(path);
    EXPECT_EQ(s.host.requestCount(RequestKind::VendorProbeRead) - probesBefore, c.probes) << c.name;
    const auto flash = s.host.flashContents(1);
    for (std::size_t i = 0; i < 512; ++i)
      ASSERT_EQ(record[i], flash[(c.readAt + i) % flash.size()]) << c.name << " byte " << i;
    EXPECT_EQ(s.host.openHandleCount(), 0);
    EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Areas, SlotSearch,
    ::testing::Values(SlotCase{"two written", {0x78000, 0x78100}, 0x80000, 0x78100, 4},
                      SlotCase{"one written", {0x78000}, 0x80000, 0x78000, 3},
                      SlotCase{"run further in", {0x78200, 0x78300}, 0x80000, 0x78300, 6},
                      SlotCase{"only the first run counts", {0x78000, 0x78200}, 0x80000, 0x78000, 3},
                      SlotCase{"all erased", {}, 0x80000, 0x7FF00, 128},
                      SlotCase{"last slot only", {0x7FF00}, 0x80000, 0x7FF00, 129},
                      SlotCase{"flash below the area", {0x78000}, 0x40000, 0x77F00, 0},
                      SlotCase{"flash ends at the area", {0x78000}, 0x78000, 0x77F00, 0}),
    [](const auto& info) {
      std::string n = info.param.name;
      for (auto& ch : n)
        if (ch == ' ') ch = '_';
      return n;
    });

TEST(SlotSearch, AFullAreaCostsAtMost129Probes) {
  SimConsole s(AccessPath::VendorDouble);
  std::vector<std::uint8_t> written(0x8000, 0x00);
  s.host.loadFlash(1, kStatusRecordArea, written);
  const auto before = s.host.requestCount(RequestKind::VendorProbeRead);
  Sector record{};
  ASSERT_TRUE(ReadStatusRecord(s.console, record));
  EXPECT_EQ(s.host.requestCount(RequestKind::VendorProbeRead) - before, 129u);
  EXPECT_EQ(s.ordersOf(RequestKind::VendorRead).at(0).address, 0x7FF00u);
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST(ReadStatusRecord, FailedReadsReportTheirText) {
  struct Case {
    AccessPath path;
    RequestKind fault;
    const char* text;
  };
  const Case cases[] = {{AccessPath::Mailbox, RequestKind::StatusRead, "Read Error for LBA = 33 and sector count = 1"},
                        {AccessPath::Ata, RequestKind::StatusRead, "Read Error for LBA = 33 and sector count = 1"},
                        {AccessPath::VendorSingle, RequestKind::VendorRead, "Read Error for USB"},
                        {AccessPath::VendorDouble, RequestKind::VendorRead, "Read Error for USB"}};
  for (const auto& c : cases) {
    SimConsole s(c.path);
    s.host.addFault(FaultSpec{1, c.fault, 1, 1, FaultEffect::Fail, 0});
    Sector record{};
    EXPECT_FALSE(ReadStatusRecord(s.console, record)) << testing::pathLabel(c.path);
    EXPECT_EQ(s.ui.panel(kErrorPanel), c.text);
    EXPECT_TRUE(s.ui.messages.empty());
    EXPECT_EQ(s.host.openHandleCount(), 0);
    // The next read works again.
    EXPECT_TRUE(ReadStatusRecord(s.console, record));
  }
}

TEST(ReadStatusRecord, FailedProbeReadsAreNotChecked) {
  SimConsole s(AccessPath::VendorSingle);
  s.host.addFault(FaultSpec{1, RequestKind::VendorProbeRead, 1, 0, FaultEffect::Fail, 0});
  Sector record{};
  record.fill(0xFF);
  // Every probe fails and leaves 0xFF in place: the search runs to the end of the area.
  EXPECT_TRUE(ReadStatusRecord(s.console, record));
  EXPECT_EQ(s.ordersOf(RequestKind::VendorRead).at(0).address, 0x7FF00u);
}

TEST(ReadStatusRecord, VanishedDriveShowsInvalidDrive) {
  SimConsole s(AccessPath::Mailbox);
  s.host.setDrivePresent(1, false);
  Sector record{};
  EXPECT_FALSE(ReadStatusRecord(s.console, record));
  ASSERT_EQ(s.ui.messages.size(), 1u);
  EXPECT_EQ(s.ui.messages[0], systemBox("Invalid Drive"));
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

TEST(ReadStatusRecord, AddressesTheUpgradeTargetOnlyForTheUpgradeRead) {
  SimConsole s;
  s.host.addController(1, testing::controllerOn(AccessPath::Mailbox));
  auto second = testing::controllerOn(AccessPath::Ata);
  second.record.portState = 0x42;
  s.host.addController(2, second);
  ASSERT_EQ(s.detect(), 2);
  Sector record{};
  s.console.protocol.upgradeTarget = 1;
  ASSERT_TRUE(ReadStatusRecord(s.console, record));
  EXPECT_EQ(record[kPortStateOffset], 0x22) << "the current controller, page 0";
  s.console.protocol.readForUpgrade = true;
  ASSERT_TRUE(ReadStatusRecord(s.console, record));
  EXPECT_EQ(record[kPortStateOffset], 0x42) << "the upgrade target, page 1";
}

// ---------------------------------------------------------------------------------------------
// Decoding what the controller sent

class RecordFromController : public ::testing::TestWithParam<AccessPath> {};

TEST_P(RecordFromController, DecodesTheWorkedExamples) {
  SimConsole s(GetParam());
  auto model = *s.host.arrayModel(1);
  model.portState = 0x0A;
  model.ports[0].serial = "1S3Z0123";
  model.arrayCapacity = 0xE8E088B0;
  model.firmwareBuild = "B0G";
  s.host.setArrayModel(1, model);

  Sector record{};
  ASSERT_TRUE(ReadStatusRecord(s.console, record)) << s.ui.panel(kErrorPanel);
  const StatusRecordView view(record);
  EXPECT_EQ(record[58], 0x53);
  EXPECT_EQ(record[59], 0x31);
  EXPECT_EQ(record[60], 0x5A);
  EXPECT_EQ(record[61], 0x33);
  EXPECT_EQ(view.serial(0).substr(0, 4), "1S3Z");
  EXPECT_EQ(view.condition(0), PortCondition::Initialized) << "0x02 outranks 0x08";
  EXPECT_EQ(view.condition(1), PortCondition::None);
  EXPECT_EQ(view.arrayCapacity(), 3907029168u);
  EXPECT_EQ(capacityGigabytes(view.arrayCapacity()), 1863u);
  EXPECT_EQ(capacityMegabytes(view.arrayCapacity()), 1907729u);
  EXPECT_FALSE(view.firmwareBuildSet());
  EXPECT_EQ(FirmwareBuildText(record), "C00");

  model.firmwareBuild = "B0F";
  s.host.setArrayModel(1, model);
  ASSERT_TRUE(ReadStatusRecord(s.console, record));
  EXPECT_TRUE(StatusRecordView(record).firmwareBuildSet());
  EXPECT_EQ(FirmwareBuildText(record), "B0F");
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Paths, RecordFromController, ::testing::ValuesIn(testing::kAllPaths),
                         [](const auto& info) { return testing::pathLabel(info.param); });

}  // namespace
}  // namespace tervalo
