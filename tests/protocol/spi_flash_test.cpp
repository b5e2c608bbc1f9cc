#include "protocol/spi_flash.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "protocol/command_channel.h"
#include "sim_console.h"

namespace tervalo {
namespace {

using sim::AccessPath;
using sim::FaultEffect;
using sim::FaultSpec;
using sim::RequestKind;
using testing::SimConsole;

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

bool isVendor(AccessPath p) { return sim::isVendorScsi(p); }

// ---------------------------------------------------------------------------------------------
// Order of orders

TEST(SpiFlash, WholeFlashProgramOnAMailboxController) {
  SimConsole s(AccessPath::Mailbox, /*erased=*/true);
  const auto image = randomBytes(0x80000, 7);
  s.enterUpgrade();
  s.host.clearOrderLog();
  s.console.protocol.progressCount = 5;
  ASSERT_TRUE(WriteSpi(s.console, 0, 0x80000, image.data())) << s.ui.panel(kErrorPanel);
  EXPECT_EQ(s.console.protocol.progressCount, 5u + 1024u);

  const auto log = s.host.orderLog();
  ASSERT_EQ(log.size(), 2048u + 4u);
  EXPECT_EQ(log[0].kind, RequestKind::ModeSpiOpen);
  EXPECT_EQ(log[1].kind, RequestKind::ModeLowOpen);
  for (std::size_t i = 0; i < 2048; ++i) {
    const auto& o = log[2 + i];
    ASSERT_EQ(o.kind, RequestKind::SpiProgramOrder) << i;
    ASSERT_EQ(o.lba, 20u) << i;
    ASSERT_EQ(o.address, i * 256) << i;
    ASSERT_TRUE(o.accepted) << i;
    ASSERT_EQ(o.data[509], 0x55);
    ASSERT_TRUE(std::equal(image.begin() + i * 256, image.begin() + (i + 1) * 256, o.data.begin() + 7)) << i;
  }
  EXPECT_EQ(log[2050].kind, RequestKind::ModeLowClose);
  EXPECT_EQ(log[2051].kind, RequestKind::ModeSpiClose);
  s.leaveUpgrade();
  EXPECT_EQ(s.host.flashContents(1), image);
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

class SpiFlashOnPath : public ::testing::TestWithParam<AccessPath> {};

TEST_P(SpiFlashOnPath, EraseAboveTheLowRegionOpensNoLowRegion) {
  SimConsole s(GetParam());
  s.enterUpgrade();
  s.host.clearOrderLog();
  ASSERT_TRUE(EraseSpi(s.console, 0xC000, 0x74000)) << s.ui.panel(kErrorPanel);
  EXPECT_EQ(s.console.protocol.progressCount, 116u);
  const RequestKind step = isVendor(GetParam()) ? RequestKind::VendorErase : RequestKind::SpiEraseOrder;
  const auto steps = s.ordersOf(step);
  ASSERT_EQ(steps.size(), 116u);
  for (std::size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(steps[i].address, 0xC000 + i * 0x1000) << i;
  const auto kinds = testing::foldSteps(s.orderKinds());
  if (isVendor(GetParam()))
    EXPECT_EQ(kinds, std::vector<RequestKind>{step});
  else
    EXPECT_EQ(kinds, (std::vector<RequestKind>{RequestKind::ModeSpiOpen, step, RequestKind::ModeSpiClose}));
  s.leaveUpgrade();
  const auto flash = s.host.flashContents(1);
  EXPECT_TRUE(std::all_of(flash.begin() + 0xC000, flash.end(), [](std::uint8_t b) { return b == 0xFF; }));
  EXPECT_FALSE(std::all_of(flash.begin(), flash.begin() + 0xC000, [](std::uint8_t b) { return b == 0xFF; }))
      << "the low region keeps its content";
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

TEST_P(SpiFlashOnPath, EraseWriteReadRoundTrip) {
  SimConsole s(GetParam());
  const auto data = randomBytes(0x80000, 11);
  s.enterUpgrade();
  ASSERT_TRUE(EraseSpi(s.console, 0, 0x80000)) << s.ui.panel(kErrorPanel);
  ASSERT_TRUE(WriteSpi(s.console, 0, 0x80000, data.data())) << s.ui.panel(kErrorPanel);
  std::vector<std::uint8_t> back(0x80000, 0);
  ASSERT_TRUE(ReadSpi(s.console, 0, 0x80000, back.data())) << s.ui.panel(kErrorPanel);
  s.leaveUpgrade();
  EXPECT_EQ(s.console.protocol.progressCount, 128u + 1024u + 1024u);
  EXPECT_TRUE(back == data) << "read back differs from what was written";
  EXPECT_TRUE(s.host.flashContents(1) == data);
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

TEST_P(SpiFlashOnPath, PartialRangesTouchOnlyTheirSectorsAndPages) {
  SimConsole s(GetParam());
  const auto before = s.host.flashContents(1);
  const auto page = randomBytes(768, 3);
  s.enterUpgrade();
  ASSERT_TRUE(EraseSpi(s.console, 0x31000, 1));  // one sector: 0x31000..0x31FFF
  ASSERT_TRUE(WriteSpi(s.console, 0x31100, 768, page.data()));
  std::vector<std::uint8_t> back(1024);
  ASSERT_TRUE(ReadSpi(s.console, 0x31000, 1000, back.data()));  // rounds up to two steps
  s.leaveUpgrade();
  auto expected = before;
  std::fill(expected.begin() + 0x31000, expected.begin() + 0x32000, 0xFF);
  std::copy(page.begin(), page.end(), expected.begin() + 0x31100);
  EXPECT_TRUE(s.host.flashContents(1) == expected);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), expected.begin() + 0x31000));
  EXPECT_EQ(s.console.protocol.progressCount, 1u + 1u + 2u) << "768 bytes programmed count once";
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
}

TEST_P(SpiFlashOnPath, LengthZeroSendsOnlyTheModeOrders) {
  SimConsole s(GetParam());
  s.enterUpgrade();
  s.host.clearOrderLog();
  std::uint8_t none[512] = {};
  EXPECT_TRUE(ReadSpi(s.console, 0x1000, 0, none));
  EXPECT_TRUE(WriteSpi(s.console, 0x1000, 0, none));
  EXPECT_TRUE(EraseSpi(s.console, 0xD000, 0));
  s.leaveUpgrade();
  EXPECT_EQ(s.console.protocol.progressCount, 0u);
  using K = RequestKind;
  if (isVendor(GetParam())) {
    EXPECT_TRUE(s.host.orderLog().empty());
  } else {
    EXPECT_EQ(s.orderKinds(), (std::vector<K>{K::ModeSpiOpen, K::ModeSpiClose,                                   // read
                                              K::ModeSpiOpen, K::ModeLowOpen, K::ModeLowClose, K::ModeSpiClose,  // write
                                              K::ModeSpiOpen, K::ModeSpiClose,                                   // erase
                                              K::ModeUpgradeLeave}));
  }
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
  EXPECT_EQ(s.host.openHandleCount(), 0);
}

TEST_P(SpiFlashOnPath, NoUpgradeTargetOpensNothing) {
  SimConsole s(GetParam());
  const auto opens = s.host.requestCount(RequestKind::Open);
  std::vector<std::uint8_t> buffer(512, 0);
  const std::function<bool()> ops[] = {[&] { return ReadSpi(s.console, 0, 512, buffer.data()); },
                                       [&] { return WriteSpi(s.console, 0, 256, buffer.data()); },
                                       [&] { return EraseSpi(s.console, 0, 4096); }};
  for (const auto& op : ops) {
    s.ui.statusWrites.clear();
    s.ui.messages.clear();
    EXPECT_FALSE(op());
    EXPECT_EQ(s.ui.panel(kErrorPanel), "No Upgrade Mode!!!");
    ASSERT_EQ(s.ui.messages.size(), 1u);
    EXPECT_EQ(s.ui.messages[0], applicationBox("No Upgrade Mode !", "Message"));
  }
  EXPECT_EQ(s.host.requestCount(RequestKind::Open), opens);
  EXPECT_TRUE(s.host.orderLog().empty());
  EXPECT_EQ(s.console.protocol.progressCount, 0u);
}

TEST(SpiFlash, TheStartAddressDecidesTheLowRegion) {
  struct Case {
    const char* name;
    bool erase;
    std::uint32_t address, length;
    bool lowRegion;
  };
  const Case cases[] = {{"erase crossing 0xC000", true, 0xB000, 0x2000, true},
                        {"erase from 0xC000", true, 0xC000, 0x1000, false},
                        {"program of the last low page", false, 0xBF00, 0x200, true},
                        {"program from 0xC000", false, 0xC000, 0x100, false}};
  const std::vector<std::uint8_t> data(0x200, 0x3C);
  for (AccessPath path : {AccessPath::Mailbox, AccessPath::Ata}) {
    for (const Case& c : cases) {
      SimConsole s(path);
      s.enterUpgrade();
      s.host.clearOrderLog();
      ASSERT_TRUE(c.erase ? EraseSpi(s.console, c.address, c.length) : WriteSpi(s.console, c.address, c.length, data.data()))
          << c.name << " " << testing::pathLabel(path) << ": " << s.ui.panel(kErrorPanel);
      const RequestKind step = c.erase ? RequestKind::SpiEraseOrder : RequestKind::SpiProgramOrder;
      using K = RequestKind;
      const auto expected = c.lowRegion ? std::vector<K>{K::ModeSpiOpen, K::ModeLowOpen, step, K::ModeLowClose, K::ModeSpiClose}
                                        : std::vector<K>{K::ModeSpiOpen, step, K::ModeSpiClose};
      EXPECT_EQ(testing::foldSteps(s.orderKinds()), expected) << c.name;
      EXPECT_EQ(s.host.violationCount(), 0u) << c.name << "\n" << s.violations();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, SpiFlashOnPath, ::testing::ValuesIn(testing::kAllPaths),
                         [](const auto& info) { return testing::pathLabel(info.param); });

TEST(SpiFlash, NoControllerAndVanishedDrive) {
  SimConsole none;
  none.host.addPlainDisk(0);
  ASSERT_EQ(none.detect(), 0);
  none.console.protocol.upgradeTarget = 0;
  std::vector<std::uint8_t> buffer(512);
  EXPECT_FALSE(ReadSpi(none.console, 0, 512, buffer.data()));
  EXPECT_EQ(none.ui.panel(kErrorPanel), "Device not found!!!");
  ASSERT_EQ(none.ui.messages.size(), 1u);
  EXPECT_EQ(none.ui.messages[0], applicationBox("No Device found !", "Message"));

  SimConsole gone(AccessPath::Mailbox);
  gone.console.protocol.upgradeTarget = 0;
  gone.host.setDrivePresent(1, false);
  EXPECT_FALSE(EraseSpi(gone.console, 0xC000, 4096));
  ASSERT_EQ(gone.ui.messages.size(), 1u);
  EXPECT_EQ(gone.ui.messages[0], systemBox("Invalid Drive"));
  EXPECT_EQ(gone.host.openHandleCount(), 0);
}

// ---------------------------------------------------------------------------------------------
// Failures: the failure text, the closing orders still sent, no handle left open

enum class Op { Read, Write, Erase };

struct FailureCase {
  const char* name;
  AccessPath path;
  Op op;
  std::uint32_t address;
  RequestKind faultKind;
  std::uint32_t faultFrom;
  std::string text;  // "{lba}" stands for the request LBA of draw number `failedDraw`
  std::uint32_t progress;
  // The bracket orders sent after the last flash step, in order.
  std::vector<RequestKind> closing;
  int failedDraw = 0;  // mailbox: which request-LBA draw of the operation (1-based) failed
};

// The failure text with "{lba}" replaced by the request LBA that draw `draw` gave, replaying the
// generator from `stateBefore` on a scratch console.
std::string expand(std::string text, SimConsole& s, std::uint32_t stateBefore, int draw) {
  const auto at = text.find("{lba}");
  if (at == std::string::npos) return text;
  Console scratch(s.host, s.ui, s.clock);
  scratch.protocol.randomState = stateBefore;
  int lba = 0;
  for (int i = 0; i < draw; ++i) lba = NextRequestLba(scratch);
  text.replace(at, 5, std::to_string(lba));
  return text;
}

bool isBracketOrder(RequestKind k) {
  return k == RequestKind::ModeSpiOpen || k == RequestKind::ModeSpiClose || k == RequestKind::ModeLowOpen ||
         k == RequestKind::ModeLowClose;
}

class SpiFlashFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SpiFlashFailure, ReportsClosesAndReturnsFalse) {
  const FailureCase& c = GetParam();
  SimConsole s(c.path);
  s.enterUpgrade();
  s.host.clearOrderLog();
  s.host.addFault(FaultSpec{1, c.faultKind, c.faultFrom, 1, FaultEffect::Fail, 0});
  std::vector<std::uint8_t> buffer(0x4000, 0xA5);
  const std::uint32_t stateBefore = s.console.protocol.randomState;
  bool ok = true;
  switch (c.op) {
    case Op::Read: ok = ReadSpi(s.console, c.address, 0x4000, buffer.data()); break;
    case Op::Write: ok = WriteSpi(s.console, c.address, 0x4000, buffer.data()); break;
    case Op::Erase: ok = EraseSpi(s.console, c.address, 0x4000); break;
  }
  EXPECT_FALSE(ok);
  EXPECT_EQ(s.ui.panel(kErrorPanel), expand(c.text, s, stateBefore, c.failedDraw));
  EXPECT_TRUE(s.ui.messages.empty());
  EXPECT_EQ(s.console.protocol.progressCount, c.progress);
  // What was sent after the last flash step.
  auto kinds = s.orderKinds();
  std::vector<RequestKind> tail;
  for (auto it = kinds.rbegin(); it != kinds.rend() && isBracketOrder(*it); ++it) tail.insert(tail.begin(), *it);
  EXPECT_EQ(tail, c.closing);
  EXPECT_EQ(s.host.openHandleCount(), 0);
  // The controller is out of SPI access unless the closing order itself failed.
  const bool closeFailed = c.faultKind == RequestKind::ModeSpiClose;
  EXPECT_EQ(s.host.controllerModes(1)->spiOpen, closeFailed);
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
}

using K = RequestKind;
const K kOpen = K::ModeSpiOpen, kClose = K::ModeSpiClose, kLowOpen = K::ModeLowOpen, kLowClose = K::ModeLowClose;
constexpr auto kMb = AccessPath::Mailbox;
constexpr auto kAta = AccessPath::Ata;
constexpr auto kVs = AccessPath::VendorSingle;
constexpr auto kVd = AccessPath::VendorDouble;

INSTANTIATE_TEST_SUITE_P(
    Steps, SpiFlashFailure,
    ::testing::Values(
        FailureCase{"mailbox_read_request", kMb, Op::Read, 0x1000, K::SpiReadOrder, 1, "Write Error at Sec_CNT=1 LBA={lba}", 0, {kOpen, kClose}, 2},
        FailureCase{"mailbox_read_request_third", kMb, Op::Read, 0x1000, K::SpiReadOrder, 3, "Write Error at Sec_CNT=1 LBA={lba}", 2, {kClose}, 4},
        FailureCase{"mailbox_window", kMb, Op::Read, 0x1000, K::WindowRead, 2, "Read Error for LBA = 60 and sector count = 1", 1, {kClose}},
        FailureCase{"ata_read_request", kAta, Op::Read, 0x1000, K::SpiReadOrder, 1, "VU command 0x88 FEA 0x01 Read Error", 0, {kOpen, kClose}},
        FailureCase{"ata_window", kAta, Op::Read, 0x1000, K::WindowRead, 1, "Read Error for LBA = 60 and sector count = 1", 0, {kClose}},
        FailureCase{"vendor_single_read", kVs, Op::Read, 0x1000, K::VendorRead, 4, "Read SPI Error USB", 3, {}},
        FailureCase{"vendor_double_read", kVd, Op::Read, 0x1000, K::VendorRead, 1, "Read SPI Error USB", 0, {}},
        FailureCase{"mailbox_program", kMb, Op::Write, 0x1000, K::SpiProgramOrder, 4, "Write Error for LBA = 20 and sector count = 1", 1, {kLowClose, kClose}},
        FailureCase{"ata_program", kAta, Op::Write, 0x10000, K::SpiProgramOrder, 1, "Write Error for LBA = 20 and sector count = 1", 0, {kOpen, kClose}},
        FailureCase{"vendor_single_program", kVs, Op::Write, 0x1000, K::VendorProgram, 2, "Write SPI Error USB", 0, {}},
        FailureCase{"vendor_double_program", kVd, Op::Write, 0x1000, K::VendorProgram, 6, "Write SPI Error USB", 2, {}},
        FailureCase{"mailbox_erase", kMb, Op::Erase, 0x10000, K::SpiEraseOrder, 2, "Write Error for LBA = 20 and sector count = 1", 1, {kClose}},
        FailureCase{"ata_erase_low", kAta, Op::Erase, 0, K::SpiEraseOrder, 1, "Write Error for LBA = 20 and sector count = 1", 0, {kOpen, kLowOpen, kLowClose, kClose}},
        FailureCase{"vendor_single_erase", kVs, Op::Erase, 0, K::VendorErase, 1, "Erase SPI Error USB", 0, {}},
        FailureCase{"vendor_double_erase", kVd, Op::Erase, 0x10000, K::VendorErase, 3, "Erase SPI Error USB", 2, {}},
        // The mode orders of the bracket.
        FailureCase{"mailbox_spi_open", kMb, Op::Read, 0x1000, K::ModeSpiOpen, 1, "Write Error at Sec_CNT=1 LBA={lba}", 0, {}, 1},
        FailureCase{"ata_spi_open", kAta, Op::Erase, 0x10000, K::ModeSpiOpen, 1, "VU command 0x88 FEA 03 Error", 0, {}},
        FailureCase{"ata_low_open", kAta, Op::Write, 0x1000, K::ModeLowOpen, 1, "VU command 0x88 FEA 04 Error", 0, {kOpen, kClose}},
        FailureCase{"mailbox_low_open", kMb, Op::Erase, 0, K::ModeLowOpen, 1, "Write Error at Sec_CNT=1 LBA={lba}", 0, {kOpen, kClose}, 2},
        FailureCase{"ata_low_close", kAta, Op::Write, 0x1000, K::ModeLowClose, 1, "VU command 0x88 FEA 05 Error", 32, {kClose}},
        FailureCase{"mailbox_spi_close", kMb, Op::Read, 0x1000, K::ModeSpiClose, 1, "Write Error at Sec_CNT=1 LBA={lba}", 32, {}, 34},
        FailureCase{"ata_spi_close", kAta, Op::Erase, 0x10000, K::ModeSpiClose, 1, "VU command 0x88 FEA 02 Error", 4, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpiFlash, VendorAtaReadWhoseFirstRequestFails) {
  SimConsole s(AccessPath::Ata);
  s.enterUpgrade();
  s.host.clearOrderLog();
  s.host.addFault(FaultSpec{1, RequestKind::SpiReadOrder, 1, 1, FaultEffect::Fail, 0});
  std::vector<std::uint8_t> buffer(0x80000);
  EXPECT_FALSE(ReadSpi(s.console, 0, 0x80000, buffer.data()));
  EXPECT_EQ(s.ui.panel(kErrorPanel), "VU command 0x88 FEA 0x01 Read Error");
  EXPECT_EQ(s.orderKinds(), (std::vector<RequestKind>{RequestKind::ModeSpiOpen, RequestKind::ModeSpiClose}));
  EXPECT_EQ(s.host.requestCount(RequestKind::WindowRead), 0u) << "the loop ends at the failed request";
  EXPECT_EQ(s.host.openHandleCount(), 0);
  EXPECT_EQ(s.host.violationCount(), 0u) << s.violations();
}

TEST(SpiFlash, VendorAtaReadRequestCarriesTheAddressInTheLbaRegisters) {
  SimConsole s(AccessPath::Ata);
  s.enterUpgrade();
  s.host.clearOrderLog();
  std::vector<std::uint8_t> buffer(1024);
  ASSERT_TRUE(ReadSpi(s.console, 0x7AB00, 1024, buffer.data()));
  const auto reads = s.ordersOf(RequestKind::SpiReadOrder);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].ata, (AtaRegisters{0x01, reads[0].ata.sectorCount, 0x00, 0xAB, 0x07, 0xE0, 0x88, 0}));
  EXPECT_EQ(reads[1].ata, (AtaRegisters{0x01, reads[1].ata.sectorCount, 0x00, 0xAD, 0x07, 0xE0, 0x88, 0}));
  const auto flash = s.host.flashContents(1);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), flash.begin() + 0x7AB00));
}

}  // namespace
}  // namespace tervalo
