#include "sim/simulated_host.h"

#include <gtest/gtest.h>

#include "sim/controller_model.h"
#include "sim_test_support.h"

namespace tervalo::sim {
namespace {

using testing::SimDriver;
using testing::stamp;

bool hasSignature(const std::uint8_t* b) { return b[258] == '3' && b[259] == 'X'; }

// ---------------------------------------------------------------------------------------------
// What each kind of drive answers to the detection probes.

struct ProbeCase {
  const char* name;
  std::optional<AccessPath> path;  // empty: ordinary disk
  bool sector58Signed;
  bool identifyCompletes;
  bool identifySigned;
  bool singleIdentifySigned;
  bool doubleIdentifySigned;
};

class ProbeAnswers : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeAnswers, MatchTheAccessPath) {
  const ProbeCase& c = GetParam();
  SimulatedHost host;
  if (c.path)
    host.addController(4, healthyMirrorController(*c.path));
  else
    host.addPlainDisk(4);
  SimDriver d(host, 4);
  ASSERT_GE(d.handle, 0);

  EXPECT_EQ(hasSignature(d.read(58).data()), c.sector58Signed);

  Sector id{};
  id[258] = 0xEE;
  EXPECT_EQ(d.identify(id), c.identifyCompletes);
  if (c.identifyCompletes) {
    EXPECT_EQ(hasSignature(id.data()), c.identifySigned);
    EXPECT_EQ(readAtaString(id, 46, 8), c.path ? "100315.1" : "1.0");
  } else {
    EXPECT_EQ(id[258], 0xEE) << "a failed pass-through leaves the buffer alone";
  }

  std::array<std::uint8_t, 36> inq{};
  EXPECT_TRUE(d.inquiry(inq.data()));
  EXPECT_EQ(inq[4], 31);

  for (bool single : {true, false}) {
    Sector block{};
    block.fill(0xCC);
    ASSERT_TRUE(d.vendor(single, VendorCdbKind::VendorIdentifyRead, block.data(), 0))
        << "a rejected vendor block still completes";
    const bool expected = single ? c.singleIdentifySigned : c.doubleIdentifySigned;
    EXPECT_EQ(hasSignature(block.data()), expected) << (single ? "single" : "double");
    if (!expected) {
      EXPECT_EQ(block[0], 0xCC) << "no data written for a rejected block";
    }

    Sector query{};
    ASSERT_TRUE(host.sendScsi(d.handle, buildVendorQueryRequest(single, query.data())));
    EXPECT_EQ(query[0] == 0x50 && query[1] == 0x8B, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Drives, ProbeAnswers,
    ::testing::Values(ProbeCase{"plain", std::nullopt, false, true, false, false, false},
                      ProbeCase{"mailbox", AccessPath::Mailbox, true, false, false, false, false},
                      ProbeCase{"ata", AccessPath::Ata, false, true, true, false, false},
                      ProbeCase{"mailboxAta", AccessPath::MailboxAta, true, true, true, false, false},
                      ProbeCase{"vendorSingle", AccessPath::VendorSingle, false, false, false, true, false},
                      ProbeCase{"vendorDouble", AccessPath::VendorDouble, false, false, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimulatedHost, RejectedVendorBlockReportsCheckConditionBehindTheBoolean) {
  SimulatedHost host;
  host.addPlainDisk(0);
  Sector buf{};
  const ScsiOutcome o =
      host.executeScsi(0, buildVendorCdbRequest(true, VendorCdbKind::VendorSpiRead, buf.data(), 0x78000));
  EXPECT_TRUE(o.completed);
  EXPECT_EQ(o.status, kScsiCheckCondition);
  EXPECT_EQ(o.senseKey, kSenseIllegalRequest);
  EXPECT_EQ(o.asc, 0x20);
  EXPECT_EQ(o.transferred, 0u);
  EXPECT_EQ(o.kind, RequestKind::VendorUnknown);
}

TEST(SimulatedHost, PlainDiskStoresWrittenSectorsSparselyAndRejectsReadsPastItsEnd) {
  SimulatedHost host;
  host.addPlainDisk(0, 1000000);
  SimDriver d(host, 0);
  Sector s{};
  s[0] = 0x11;
  s[511] = 0x22;
  for (std::uint32_t lba : {0u, 20u, 33u, 58u, 999999u}) {
    s[1] = static_cast<std::uint8_t>(lba);
    ASSERT_TRUE(d.write(lba, s));
    EXPECT_EQ(d.read(lba), s) << lba;
  }
  EXPECT_EQ(d.read(12345), Sector{}) << "unwritten sectors read as zero";
  Sector buf{};
  const ScsiOutcome o = host.executeScsi(0, buildReadSectorsRequest(1000000, buf.data(), 1));
  EXPECT_TRUE(o.completed);
  EXPECT_EQ(o.status, kScsiCheckCondition);
  EXPECT_EQ(o.asc, 0x21);
}

// ---------------------------------------------------------------------------------------------
// Orders and their rules.

class MailboxController : public ::testing::Test {
 protected:
  MailboxController() { host.addController(1, healthyMirrorController(AccessPath::Mailbox)); }
  SimulatedHost host;
};

TEST_F(MailboxController, UpgradeSequenceProgramsAndReadsBackWithoutViolations) {
  SimDriver d(host, 1);
  ASSERT_TRUE(d.mailboxMode(17, 9));
  ASSERT_TRUE(d.mailboxMode(3, 20));  // a request LBA may be 20 as well
  ASSERT_TRUE(d.mailboxMode(4, 130));
  ASSERT_TRUE(d.order(20, 0x01, 0x20, 0x000000));  // erase sector 0
  d.command[509] = 0x55;
  for (int i = 0; i < 256; ++i) d.command[7 + i] = static_cast<std::uint8_t>(i ^ 0x5A);
  ASSERT_TRUE(d.order(20, 0x02, 0x02, 0x000100));
  ASSERT_TRUE(d.mailboxMode(5, 3));
  ASSERT_TRUE(d.order(44, 0x00, 0x03, 0x000000));  // SPI read order
  const Sector window = d.read(60);
  ASSERT_TRUE(d.mailboxMode(2, 5));
  ASSERT_TRUE(d.mailboxMode(16, 6));

  EXPECT_EQ(host.violationCount(), 0u) << host.violationReport();
  for (int i = 0; i < 256; ++i) EXPECT_EQ(window[i], 0xFF) << "erased";
  for (int i = 0; i < 256; ++i) ASSERT_EQ(window[256 + i], i ^ 0x5A);
  const auto flash = host.flashContents(1);
  EXPECT_EQ(flash[0x100], 0x5A);
  EXPECT_EQ(flash[0x1000], buildDefaultFirmwareImage(0x80000)[0x1000]) << "only sector 0 erased";

  const auto log = host.orderLog();
  std::vector<RequestKind> kinds;
  for (const auto& o : log) kinds.push_back(o.kind);
  EXPECT_EQ(kinds, (std::vector<RequestKind>{RequestKind::ModeUpgradeEnter, RequestKind::ModeSpiOpen,
                                             RequestKind::ModeLowOpen, RequestKind::SpiEraseOrder,
                                             RequestKind::SpiProgramOrder, RequestKind::ModeLowClose,
                                             RequestKind::SpiReadOrder, RequestKind::ModeSpiClose,
                                             RequestKind::ModeUpgradeLeave}));
  const OrderRecord& program = log[4];
  EXPECT_EQ(program.lba, 20u);
  EXPECT_EQ(program.commandCode, 0x02);
  EXPECT_EQ(program.address, 0x100u);
  ASSERT_EQ(program.data.size(), 512u);
  EXPECT_EQ(program.data[509], 0x55);
  EXPECT_TRUE(program.accepted);
  EXPECT_EQ(log[0].lba, 9u);
  EXPECT_EQ(host.requestCount(RequestKind::SpiProgramOrder, 1), 1u);
  EXPECT_EQ(host.requestCount(RequestKind::WindowRead), 1u);
  EXPECT_EQ(host.requestCount(RequestKind::ModeSpiOpen), 1u);
}

struct ViolationCase {
  const char* name;
  ViolationKind expected;
  std::function<void(SimDriver&)> act;
};

class Violations : public ::testing::TestWithParam<ViolationCase> {};

TEST_P(Violations, AreRecordedAndTheOrderRefused) {
  SimulatedHost host;
  host.addController(1, healthyMirrorController(AccessPath::MailboxAta));
  const auto before = host.flashContents(1);
  {
    SimDriver d(host, 1);
    GetParam().act(d);
  }
  ASSERT_GE(host.violationCount(GetParam().expected), 1u) << host.violationReport();
  const auto v = host.violations();
  EXPECT_EQ(v.front().drive, 1);
  EXPECT_FALSE(v.front().text.empty());
  EXPECT_EQ(host.flashContents(1), before) << "a refused order changes nothing";
  EXPECT_FALSE(host.orderLog().back().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Violations,
    ::testing::Values(
        ViolationCase{"ProgramOutsideSpiAccess", ViolationKind::OutsideSpiAccess,
                      [](SimDriver& d) {
                        d.mailboxMode(17);
                        d.command[7] = 0;
                        d.order(20, 0x02, 0x02, 0x10000);
                      }},
        ViolationCase{"ReadOrderOutsideSpiAccessOverAta", ViolationKind::OutsideSpiAccess,
                      [](SimDriver& d) { d.ataSpiRead(0x1000); }},
        ViolationCase{"EraseBelowLowRegion", ViolationKind::LowRegionClosed,
                      [](SimDriver& d) {
                        d.ataMode(17);
                        d.ataMode(3);
                        d.order(20, 0x01, 0x20, 0xB000);
                      }},
        ViolationCase{"EraseOutsideUpgradeMode", ViolationKind::OutsideUpgradeMode,
                      [](SimDriver& d) {
                        d.mailboxMode(3);
                        d.order(20, 0x01, 0x20, 0x10000);
                      }},
        ViolationCase{"BadChecksum", ViolationKind::BadCommandSector,
                      [](SimDriver& d) {
                        d.mailboxMode(17);
                        d.mailboxMode(3);
                        d.command[7] = 0;  // make sure the payload counts
                        stamp(d.command);
                        d.command[2] = 0x01;
                        d.command[3] = 0x20;
                        writeBe(d.command, 4, 3, 0x10000);
                        d.command[510] ^= 0x01;
                        d.write(20, d.command);
                      }},
        ViolationCase{"NoSignature", ViolationKind::BadCommandSector,
                      [](SimDriver& d) {
                        Sector plain{};
                        plain[2] = 0x03;
                        d.write(50, plain);
                      }},
        ViolationCase{"UnknownOrderCode", ViolationKind::UnknownOrder,
                      [](SimDriver& d) { d.order(50, 0x07, 0x00); }},
        ViolationCase{"ProgramAtRequestLba", ViolationKind::WrongLba,
                      [](SimDriver& d) {
                        d.mailboxMode(17);
                        d.mailboxMode(3);
                        d.order(21, 0x02, 0x02, 0x10000);
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MailboxController, BadChecksumSectorIsIgnored) {
  SimDriver d(host, 1);
  stamp(d.command);
  d.command[2] = 0x03;
  d.command[3] = 0x01;  // ModeSpiOpen
  d.command[100] = 0x01;  // changed after stamping: the checksum no longer fits
  ASSERT_TRUE(d.write(40, d.command)) << "the write itself completes";
  EXPECT_FALSE(host.controllerModes(1)->spiOpen);
  EXPECT_EQ(host.violationCount(ViolationKind::BadCommandSector), 1u);
  EXPECT_EQ(host.requestCount(RequestKind::BadCommandSector), 1u);
  // Bytes 2..6 are outside the checksum: changing them keeps the sector valid.
  stamp(d.command);
  d.command[3] = 0x01;
  d.command[4] = 0x12;
  ASSERT_TRUE(d.write(40, d.command));
  EXPECT_TRUE(host.controllerModes(1)->spiOpen);
}

TEST(SimulatedHost, AtaOnlyControllerTakesModeOrdersAndSpiReadsByRegisters) {
  SimulatedHost host;
  host.addController(2, healthyMirrorController(AccessPath::Ata));
  SimDriver d(host, 2);
  ASSERT_TRUE(d.ataMode(3));
  EXPECT_TRUE(host.controllerModes(2)->spiOpen);
  ASSERT_TRUE(d.ataSpiRead(0x000000));
  const Sector w = d.read(60);
  EXPECT_EQ(std::string(w.begin(), w.begin() + 4), "FIPS");
  ASSERT_TRUE(d.ataSpiRead(0x078000));
  EXPECT_EQ(d.read(60)[1], 0xA0);
  ASSERT_TRUE(d.ataMode(2));
  EXPECT_FALSE(host.controllerModes(2)->spiOpen);
  // Mode orders as command sectors are not taken on the ATA path; LBA 3..130 is plain data.
  Sector data{};
  data[0] = 0x77;
  ASSERT_TRUE(d.write(50, data));
  EXPECT_EQ(d.read(50)[0], 0x77);
  EXPECT_EQ(host.violationCount(), 0u) << host.violationReport();
  const auto log = host.orderLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].via, OrderVia::Ata);
  EXPECT_EQ(log[2].address, 0x078000u);
  EXPECT_EQ(log[2].ata.lbaHigh, 0x07);
  // Unknown feature codes are aborted.
  AtaRegisters r;
  r.features = 0x09;
  r.command = 0x88;
  EXPECT_TRUE(d.ata(r));
  EXPECT_EQ(r.features, 0x04) << "error register: aborted";
  EXPECT_EQ(host.violationCount(ViolationKind::UnknownOrder), 1u);
}

TEST(SimulatedHost, VendorControllerReadsProgramsAndErasesItsFlashInItsOwnFormOnly) {
  SimulatedHost host;
  host.addController(3, healthyMirrorController(AccessPath::VendorDouble));
  SimDriver d(host, 3);
  Sector buf{};
  ASSERT_TRUE(d.vendor(false, VendorCdbKind::VendorSpiRead, buf.data(), 0));
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + 4), "FIPS");
  std::array<std::uint8_t, 8> status{};
  ASSERT_TRUE(d.vendor(false, VendorCdbKind::VendorSpiErase, status.data(), 0x10000));
  std::array<std::uint8_t, 256> page{};
  page.fill(0x3C);
  ASSERT_TRUE(d.vendor(false, VendorCdbKind::VendorSpiProgram, page.data(), 0x10100));
  page.fill(0xF0);
  ASSERT_TRUE(d.vendor(false, VendorCdbKind::VendorSpiProgram, page.data(), 0x10100));
  ASSERT_TRUE(d.vendor(false, VendorCdbKind::VendorSpiRead, buf.data(), 0x10000));
  EXPECT_EQ(buf[0], 0xFF);
  EXPECT_EQ(buf[256], 0x30) << "0x3C AND 0xF0";
  // The single-prefix form is an unknown command to this controller.
  page.fill(0x00);
  ASSERT_TRUE(d.vendor(true, VendorCdbKind::VendorSpiProgram, page.data(), 0x10000));
  EXPECT_EQ(host.flashContents(3)[0x10000], 0xFF);
  EXPECT_EQ(host.requestCount(RequestKind::VendorUnknown), 1u);
  EXPECT_EQ(host.requestCount(RequestKind::VendorProgram), 2u);
  EXPECT_EQ(host.violationCount(), 0u) << "the vendor path has no mode brackets";
}

// ---------------------------------------------------------------------------------------------
// Status record, settings and scans.

TEST_F(MailboxController, StatusRecordCarriesTheArrayModel) {
  ArrayModel m = *host.arrayModel(1);
  m.ports[0].serial = "S1Z3ABCD";
  m.ports[1].sataGeneration = 3;
  m.arrayCapacity = 0xE8E088B0;
  m.badSectorCount = 12;
  m.badSectorLbas[1] = 0xDEADBEEF;
  host.setArrayModel(1, m);
  SimDriver d(host, 1);
  const Sector r = d.read(33);
  EXPECT_EQ(r[1], 0xA0);
  EXPECT_EQ(r[55], 1);
  EXPECT_EQ(r[56], 0xF1);
  EXPECT_EQ(r[58], '1');
  EXPECT_EQ(r[59], 'S');
  EXPECT_EQ(readLe(r, 98, 5), 0xE8E088B0u);
  EXPECT_EQ(r[104], 0x22);
  EXPECT_EQ(std::string(r.begin() + 187, r.begin() + 190), "B0F");
  EXPECT_EQ(readAtaString(r, 256, 40), "Sim Disk 500GB 7200rpm");
  EXPECT_EQ(readLe(r, 296, 5), 976773168u);
  EXPECT_EQ(r[357], 0x32);
  EXPECT_EQ(r[471], 12);
  EXPECT_EQ(readLe(r, 476, 4), 0xDEADBEEFu);
  EXPECT_EQ(host.statusReadCount(1), 1u);
}

TEST_F(MailboxController, SettingsAndScanOrdersChangeLaterRecords) {
  SimDriver d(host, 1);
  d.command[4] = 0;
  ASSERT_TRUE(d.order(20, 0x20, 0x00));  // buzzer muted, auto scan off (byte 4 = 0)
  EXPECT_EQ(d.read(33)[56], 0xF0);
  stamp(d.command);
  d.command[2] = 0x20;
  d.command[3] = 0x01;
  d.command[4] = 0x01;
  ASSERT_TRUE(d.write(20, d.command));
  EXPECT_EQ(d.read(33)[56], 0xF3);

  // Start a P1 scan over the whole array.
  writeLe(d.command, 7, 6, 0);
  writeLe(d.command, 13, 6, 976773167);
  d.command[2] = 0x24;
  d.command[3] = 0x00;
  d.command[4] = 0x01;
  stamp(d.command);
  ASSERT_TRUE(d.write(20, d.command));
  std::vector<int> progress;
  std::uint8_t activity = 0;
  for (int i = 0; i < 20; ++i) {
    const Sector r = d.read(33);
    activity = r[105];
    if ((activity & 0x03) == 0) break;
    EXPECT_EQ(activity, 0x82);
    progress.push_back(r[106]);
  }
  EXPECT_EQ(progress.back(), 99) << "the last running record shows 99";
  EXPECT_EQ(progress.front(), 10);
  EXPECT_EQ(activity & 0x83, 0);

  // Start again, then stop: activity clears at once.
  stamp(d.command);
  d.command[2] = 0x24;
  d.command[3] = 0x00;
  ASSERT_TRUE(d.write(20, d.command));
  EXPECT_EQ(d.read(33)[105], 0x82);
  stamp(d.command);
  d.command[2] = 0x24;
  d.command[3] = 0x01;
  ASSERT_TRUE(d.write(20, d.command));
  EXPECT_EQ(d.read(33)[105], 0x00);
  EXPECT_EQ(host.violationCount(), 0u) << host.violationReport();
  EXPECT_EQ(host.requestCount(RequestKind::ScanOrder), 3u);
}

// The console's status-record search on the vendor path: the last slot of the first run of
// written slots, then 512 bytes from there.
Sector consoleVendorStatusRead(SimDriver& d, bool single, std::uint32_t spiSize, std::uint32_t* where = nullptr) {
  Sector dest{};
  std::uint32_t a = 0x78000;
  while (a <= spiSize - 256) {
    d.vendor(single, VendorCdbKind::VendorSpiProbeRead, dest.data(), a);
    if (dest[0] != 0xFF) break;
    a += 256;
  }
  while (a <= spiSize - 256) {
    d.vendor(single, VendorCdbKind::VendorSpiProbeRead, dest.data(), a);
    if (dest[0] == 0xFF) break;
    a += 256;
  }
  a -= 256;
  EXPECT_TRUE(d.vendor(single, VendorCdbKind::VendorSpiRead, dest.data(), a));
  if (where) *where = a;
  return dest;
}

TEST(SimulatedHost, VendorPathRecordIsFoundWhereTheConsoleSearchesIt) {
  SimulatedHost host;
  host.addController(2, healthyMirrorController(AccessPath::VendorSingle));
  SimDriver d(host, 2);
  std::uint32_t where = 0;
  Sector r = consoleVendorStatusRead(d, true, 0x80000, &where);
  EXPECT_EQ(where, 0x78100u) << "after the image's settings record";
  EXPECT_EQ(r[104], 0x22);
  EXPECT_EQ(r[56], 0xF1);
  EXPECT_EQ(r[256], 0xFF) << "bytes 256.. come from the following, erased slot";

  // A settings order (written at LBA 20 on every path) appends a new slot.
  stamp(d.command);
  d.command[2] = 0x20;
  d.command[3] = 0x00;
  d.command[4] = 0x00;
  ASSERT_TRUE(d.write(20, d.command));
  r = consoleVendorStatusRead(d, true, 0x80000, &where);
  EXPECT_EQ(where, 0x78200u);
  EXPECT_EQ(r[56], 0xF0);

  // A hole after the first run hides later slots from the console, exactly as it searches.
  std::vector<std::uint8_t> stray(256, 0x00);
  stray[56] = 0x77;
  host.loadFlash(2, 0x79000, stray);
  r = consoleVendorStatusRead(d, true, 0x80000, &where);
  EXPECT_EQ(where, 0x78200u);
  EXPECT_EQ(host.violationCount(), 0u);
}

TEST(SimulatedHost, VendorSlotAreaIsErasedAndRestartedWhenFull) {
  SimulatedHost host;
  host.addController(2, healthyMirrorController(AccessPath::VendorDouble));
  SimDriver d(host, 2);
  // 128 slots: the settings record and the first record use two; toggle the buzzer 126 times.
  for (int i = 0; i < 127; ++i) {
    stamp(d.command);
    d.command[2] = 0x20;
    d.command[3] = static_cast<std::uint8_t>(i & 1);
    d.command[4] = 0;
    ASSERT_TRUE(d.write(20, d.command));
  }
  std::uint32_t where = 0;
  const Sector r = consoleVendorStatusRead(d, false, 0x80000, &where);
  EXPECT_EQ(where, 0x78000u) << "the full area was erased and the record started over";
  EXPECT_EQ(r[56], 0xF0) << "the last order (the 127th) muted the buzzer";
  EXPECT_EQ(host.flashContents(2)[0x78100], 0xFF);
}

// ---------------------------------------------------------------------------------------------
// Timeline, unplug, faults.

TEST(SimulatedHost, DemoRebuildAdvancesFindsABadSectorAndEnds) {
  SimulatedHost host(builtinDemoScenario());
  SimDriver d(host, 2);
  std::vector<int> progress;
  Sector r{};
  bool badSeen = false;
  for (int i = 0; i < 30; ++i) {
    r = d.read(33);
    if ((r[105] & 0x03) == 0) break;
    EXPECT_EQ(r[105] & 0x02, 0x02);
    if (r[105] & 0x04) {
      badSeen = true;
      EXPECT_EQ(r[471], 1);
      EXPECT_EQ(readLe(r, 472, 4), 123456789u);
    }
    progress.push_back(r[106]);
  }
  EXPECT_TRUE(badSeen);
  ASSERT_FALSE(progress.empty());
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 99);
  EXPECT_EQ(r[104], 0x22);
  EXPECT_EQ(r[471], 1);
  // The healthy controller stays healthy.
  SimDriver healthy(host, 1);
  EXPECT_EQ(healthy.read(33)[104], 0x22);
  EXPECT_EQ(healthy.read(33)[105], 0x00);
  const auto now = host.scenarioNow();
  ASSERT_TRUE(now.has_value());
  EXPECT_EQ(*now, (LocalDateTime{2024, 5, 6, 9, 0, 0}.plusSeconds(4 * host.statusReadCount(2))));
}

TEST(SimulatedHost, TimelinePullsAndInsertsDisksAndUnplugsTheEnclosure) {
  Scenario s;
  ControllerConfig c = healthyMirrorController(AccessPath::Mailbox);
  TimelineStep pull;
  pull.atStatusRead = 2;
  pull.pullDisk = 1;
  TimelineStep insert;
  insert.atStatusRead = 3;
  insert.insertDisk = InsertDiskEvent{1, {"NEWDISK", "Sim Disk 1TB", 1953525168, 3}};
  TimelineStep unplug;
  unplug.atStatusRead = 4;
  unplug.unplugForOpens = 2;
  c.timeline = {pull, insert, unplug};
  s.addController(1, c);
  SimulatedHost host(s);

  SimDriver d(host, 1);
  EXPECT_EQ(d.read(33)[104], 0x22);
  Sector r = d.read(33);
  EXPECT_EQ(r[104], 0x42);
  EXPECT_EQ(readAtaString(r, 78, 20), "");
  r = d.read(33);
  EXPECT_EQ(r[104], 0x12);
  EXPECT_EQ(readAtaString(r, 78, 20), "NEWDISK");
  EXPECT_EQ(r[357] >> 4, 3);
  Sector gone{};
  EXPECT_FALSE(d.read(33, gone.data())) << "the unplug takes effect at once";
  EXPECT_FALSE(d.read(0, gone.data())) << "the old handle is dead";
  EXPECT_FALSE(host.drivePresent(1));
  EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
  EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
  SimDriver again(host, 1);
  ASSERT_GE(again.handle, 0) << "back after two failed opens";
  EXPECT_FALSE(d.read(0, gone.data())) << "handles from before the unplug stay dead";
  EXPECT_EQ(again.read(33)[104], 0x12);
}

TEST(SimulatedHost, FaultFailsFromTheNthOccurrenceForMOccurrences) {
  SimulatedHost host;
  host.addController(1, healthyMirrorController(AccessPath::Mailbox));
  host.addFault({1, RequestKind::StatusRead, 2, 2, FaultEffect::Fail, 0});
  SimDriver d(host, 1);
  std::vector<bool> results;
  Sector s{};
  for (int i = 0; i < 5; ++i) results.push_back(d.read(33, s.data()));
  EXPECT_EQ(results, (std::vector<bool>{true, false, false, true, true}));
  EXPECT_EQ(host.requestCount(RequestKind::StatusRead, 1), 5u);
  EXPECT_EQ(host.statusReadCount(1), 3u) << "failed reads never reached the controller";
  // Other kinds are not hit.
  EXPECT_TRUE(d.read(60, s.data()));
}

TEST(SimulatedHost, FaultForGoodAndOnOpens) {
  SimulatedHost host;
  host.addPlainDisk(0);
  host.addController(1, healthyMirrorController(AccessPath::Ata));
  host.addFault({-1, RequestKind::AtaIdentify, 1, 0, FaultEffect::Fail, 0});
  host.addFault({0, RequestKind::Open, 3, 1, FaultEffect::Fail, 0});
  for (int drive : {0, 1}) {
    SimDriver d(host, drive);
    Sector id{};
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(d.identify(id)) << drive;
  }
  EXPECT_GE(host.openPhysicalDrive(0), 0);
  EXPECT_EQ(host.openPhysicalDrive(0), kInvalidHandle);
  EXPECT_FALSE(host.lastOpenError().empty());
  EXPECT_GE(host.openPhysicalDrive(0), 0);
}

TEST(SimulatedHost, CorruptFaultFlipsBitsOfTheDataRead) {
  SimulatedHost host;
  host.addController(1, healthyMirrorController(AccessPath::Mailbox));
  host.addFault({1, RequestKind::IdentifyRead, 2, 1, FaultEffect::Corrupt, 0});
  SimDriver d(host, 1);
  const Sector good = d.read(58);
  const Sector bad = d.read(58);
  const Sector again = d.read(58);
  EXPECT_NE(good, bad);
  EXPECT_EQ(good, again);
  int differing = 0;
  for (int i = 0; i < 512; ++i) differing += good[i] != bad[i];
  EXPECT_GT(differing, 1);
  EXPECT_LT(differing, 20);
}

TEST(SimulatedHost, VanishFaultTakesTheDriveAwayMidOperationAndBringsItBack) {
  SimulatedHost host;
  host.addController(1, healthyMirrorController(AccessPath::Mailbox));
  host.addFault({1, RequestKind::WindowRead, 2, 1, FaultEffect::Vanish, 1});
  SimDriver d(host, 1);
  ASSERT_TRUE(d.mailboxMode(3));
  Sector s{};
  EXPECT_TRUE(d.read(60, s.data()));
  EXPECT_FALSE(d.read(60, s.data()));
  EXPECT_FALSE(d.mailboxMode(2)) << "everything after fails";
  EXPECT_EQ(host.openPhysicalDrive(1), kInvalidHandle);
  SimDriver back(host, 1);
  ASSERT_GE(back.handle, 0);
  EXPECT_FALSE(host.controllerModes(1)->spiOpen) << "coming back is a power cycle";
  // setDrivePresent does the same by hand.
  host.setDrivePresent(1, false);
  EXPECT_FALSE(back.read(33, s.data()));
  host.setDrivePresent(1, true);
  SimDriver third(host, 1);
  EXPECT_TRUE(third.read(33, s.data()));
}

// ---------------------------------------------------------------------------------------------
// Volumes, handles, time.

TEST(SimulatedHost, VolumesAreListedInNameOrderWithTheirExtents) {
  Scenario scenario = builtinDemoScenario();
  for (auto& d : scenario.drives)
    for (auto& v : d.volumes)
      if (v.identity == "sdb1") v.removable = true;
  SimulatedHost host(scenario);
  const auto volumes = host.listVolumes();
  std::vector<std::string> names;
  for (const auto& v : volumes) names.push_back(v.identity);
  EXPECT_EQ(names, (std::vector<std::string>{"sda1", "sda2", "sdb1", "sdc1"}));
  EXPECT_EQ(volumes[0].driveType, kDriveFixed);
  EXPECT_EQ(volumes[2].driveType, kDriveRemovable);
  const HostHandle h = host.openVolume("sdc1");
  ASSERT_GE(h, 0);
  DiskExtent e;
  ASSERT_TRUE(host.volumeExtent(h, e));
  EXPECT_EQ(e.diskNumber, 2u);
  EXPECT_EQ(e.startingOffset, 2048 * 512);
  host.close(h);
  EXPECT_EQ(host.openVolume("sdz9"), kInvalidHandle);
  host.setDrivePresent(2, false);
  EXPECT_EQ(host.listVolumes().size(), 3u);
  EXPECT_EQ(host.openHandleCount(), 0);
  const HostHandle p = host.openPhysicalDrive(0);
  EXPECT_EQ(host.openHandleCount(), 1);
  DiskExtent none;
  EXPECT_FALSE(host.volumeExtent(p, none));
  host.close(p);
  EXPECT_EQ(host.openHandleCount(), 0);
  EXPECT_EQ(host.openPhysicalDrive(7), kInvalidHandle);
}

TEST(SimulatedHost, DeviceClockFollowsTheLatencyModel) {
  SimulatedHost host;
  host.addController(1, healthyMirrorController(AccessPath::VendorSingle));
  SimDriver d(host, 1);
  const LatencyModel lm;
  const auto t0 = host.deviceTimeUs();
  std::array<std::uint8_t, 8> status{};
  ASSERT_TRUE(d.vendor(true, VendorCdbKind::VendorSpiErase, status.data(), 0x20000));
  EXPECT_EQ(host.deviceTimeUs() - t0, lm.usbCommandOverheadUs + lm.sectorEraseUs);
  const auto t1 = host.deviceTimeUs();
  std::array<std::uint8_t, 256> page{};
  ASSERT_TRUE(d.vendor(true, VendorCdbKind::VendorSpiProgram, page.data(), 0x20000));
  const auto programCost = host.deviceTimeUs() - t1;
  EXPECT_GE(programCost, lm.usbCommandOverheadUs + lm.pageProgramUs);
  EXPECT_LT(programCost, lm.usbCommandOverheadUs + lm.pageProgramUs + 20);
}

}  // namespace
}  // namespace tervalo::sim
