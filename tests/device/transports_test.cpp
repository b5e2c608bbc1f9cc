#include "device/transports.h"

#include <gtest/gtest.h>

#include <cstring>

#include "device/drive_table.h"
#include "support/fake_host.h"
#include "support/recording_ui.h"

namespace tervalo {
namespace {

using testing::FakeHost;
using testing::RecordingUi;
using Cdb = std::array<std::uint8_t, 10>;

struct TransportFixture : ::testing::Test {
  FakeHost host;
  RecordingUi ui;
  ManualClock clock;
  Console console{host, ui, clock};
  DriveHandle handle;
  std::array<std::uint8_t, 512> buffer{};

  void SetUp() override {
    host.openableDrives = {1};
    handle = OpenDrive(host, 1);
    ASSERT_TRUE(handle.valid());
  }
  const ScsiRequest& last() const { return host.scsiLog.back().request; }
};

TEST_F(TransportFixture, CommandBlocksAreByteExact) {
  struct Case {
    const char* name;
    std::function<bool()> send;
    Cdb cdb;
    bool dataIn;
    std::uint32_t length;
    std::uint32_t timeout;
  };
  auto vendor = [this](std::uint8_t single, VendorCdbKind kind, std::uint32_t address) {
    return [this, single, kind, address] {
      console.device.singlePrefixCdb = single;
      return SendVendorCdb(console, handle, kind, buffer.data(), address);
    };
  };
  const std::vector<Case> cases = {
      {"READ(10) at 58", [this] { return ReadSectors(handle, 58, buffer.data(), 1); },
       {0x28, 0, 0, 0, 0, 0x3A, 0, 0, 1, 0}, true, 512, 2},
      {"WRITE(10) at 20", [this] { return WriteSectors(handle, 20, buffer.data(), 1); },
       {0x2A, 0, 0, 0, 0, 0x14, 0, 0, 1, 0}, false, 512, 2},
      {"WRITE(10) high LBA first", [this] { return WriteSectors(handle, 0x12345678, buffer.data(), 1); },
       {0x2A, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 1, 0}, false, 512, 2},
      {"INQUIRY", [this] { return ScsiInquiry(handle, buffer.data()); },
       {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0}, true, 36, 200},
      {"SPI read single", vendor(1, VendorCdbKind::VendorSpiRead, 0x78000),
       {0xFE, 0x85, 0x00, 0x07, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00}, true, 512, 2},
      {"SPI read double", vendor(0, VendorCdbKind::VendorSpiRead, 0x78000),
       {0xFE, 0xFE, 0x85, 0x00, 0x07, 0x80, 0x00, 0x00, 0x00, 0x00}, true, 512, 2},
      {"probe read single", vendor(1, VendorCdbKind::VendorSpiProbeRead, 0x78000),
       {0xFE, 0x85, 0x00, 0x07, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00}, true, 512, 2},
      {"probe read double", vendor(0, VendorCdbKind::VendorSpiProbeRead, 0x78000),
       {0xFE, 0xFE, 0x85, 0x00, 0x07, 0x80, 0x00, 0x00, 0x01, 0x00}, true, 512, 2},
      {"program double", vendor(0, VendorCdbKind::VendorSpiProgram, 0x0C100),
       {0xFE, 0xFE, 0x89, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x00, 0x00}, false, 256, 2},
      {"erase single", vendor(1, VendorCdbKind::VendorSpiErase, 0x7F000),
       {0xFE, 0x81, 0x00, 0x07, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00}, true, 8, 2},
      {"identify single, address over 24 bits cut", vendor(1, VendorCdbKind::VendorIdentifyRead, 0x1000000),
       {0xFE, 0x8B, 0, 0, 0, 0, 0, 0, 0, 0}, true, 512, 2},
      {"vendor query double",
       [this] {
         console.device.singlePrefixCdb = 0;
         return SendVendorQuery(console, handle);
       },
       {0xFE, 0xFE, 0x78, 0, 0, 0, 0, 0, 0, 0}, true, 20, 2},
      {"vendor query single",
       [this] {
         console.device.singlePrefixCdb = 1;
         return SendVendorQuery(console, handle);
       },
       {0xFE, 0x78, 0, 0, 0, 0, 0, 0, 0, 0}, true, 20, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.send());
    EXPECT_EQ(last().cdb, c.cdb);
    EXPECT_EQ(last().cdbLength, 10);
    EXPECT_EQ(last().dataIn, c.dataIn);
    EXPECT_EQ(last().dataLength, c.length);
    EXPECT_EQ(last().timeoutSeconds, c.timeout);
  }
}

TEST_F(TransportFixture, VendorQueryAnswersIntoTheScratchSector) {
  host.scsiAnswer = [](const ScsiRequest& r) {
    r.data[0] = 0x50;
    r.data[1] = 0x8B;
    return true;
  };
  ASSERT_TRUE(SendVendorQuery(console, handle));
  EXPECT_EQ(host.scsiLog.back().request.data, console.device.scratchSector.data());
  EXPECT_EQ(console.device.scratchSector[0], 0x50);
  EXPECT_EQ(console.device.scratchSector[1], 0x8B);
}

TEST_F(TransportFixture, OnlyTheLowByteOfTheCountTravels) {
  std::vector<std::uint8_t> big(300 * 512);
  ASSERT_TRUE(ReadSectors(handle, 0, big.data(), 300));
  EXPECT_EQ(last().cdb[7], 0);
  EXPECT_EQ(last().cdb[8], 300 & 0xFF);
  EXPECT_EQ(last().dataLength, 300u * 512);
}

TEST_F(TransportFixture, ResultIsWhetherTheRequestCompleted) {
  host.scsiAnswer = [](const ScsiRequest&) { return false; };
  EXPECT_FALSE(ReadSectors(handle, 33, buffer.data(), 1));
  host.scsiAnswer = [](const ScsiRequest&) { return true; };
  EXPECT_TRUE(ReadSectors(handle, 33, buffer.data(), 1));
  DriveHandle closed;
  EXPECT_FALSE(ReadSectors(closed, 33, buffer.data(), 1));
  EXPECT_FALSE(SendVendorQuery(console, closed));
}

TEST_F(TransportFixture, IdentifyRescansFirstAndCopiesDataAndRegistersBack) {
  host.ataAnswer = [](AtaRegisters& regs, std::uint8_t* data, std::uint32_t sectors) {
    EXPECT_EQ(sectors, 1u);
    data[258] = '3';
    data[259] = 'X';
    regs.command = 0x50;  // status: ready
    regs.lbaMid = 0x4F;
    return true;
  };
  AtaRegisters regs{0, 0, 0, 0, 0, 0xE0, 0xEC, 0x77};
  ASSERT_TRUE(SendAtaCommand(console, handle, regs, buffer.data(), 1));
  ASSERT_EQ(host.events.size(), 3u);
  EXPECT_EQ(host.events[1], "rescan");
  EXPECT_EQ(host.events[2], "ata");
  EXPECT_EQ(host.ataLog.back().registers.reserved, 0);
  EXPECT_EQ(host.ataLog.back().registers.device, 0xE0);
  EXPECT_EQ(buffer[258], '3');
  EXPECT_EQ(buffer[259], 'X');
  EXPECT_EQ(regs.command, 0x50);
  EXPECT_EQ(regs.lbaMid, 0x4F);
}

TEST_F(TransportFixture, VendorAtaCommandWithoutDataNeitherRescansNorCopies) {
  buffer.fill(0xAA);
  host.ataAnswer = [](AtaRegisters& regs, std::uint8_t*, std::uint32_t sectors) {
    EXPECT_EQ(sectors, 0u);
    regs.features = 0x04;  // error register
    return false;
  };
  AtaRegisters regs{0x11, 0, 0, 0, 0, 0, 0x88, 0};
  EXPECT_FALSE(SendAtaCommand(console, handle, regs, buffer.data(), 0));
  EXPECT_EQ(std::count(host.events.begin(), host.events.end(), "rescan"), 0);
  EXPECT_EQ(host.ataLog.back().registers.features, 0x11);
  EXPECT_EQ(regs.features, 0x04) << "registers come back even from a failed request";
  EXPECT_EQ(buffer[0], 0xAA);
}

TEST_F(TransportFixture, FailedIdentifyCopiesNoData) {
  buffer.fill(0xAA);
  host.ataAnswer = [](AtaRegisters&, std::uint8_t* data, std::uint32_t) {
    data[0] = 0x11;
    return false;
  };
  AtaRegisters regs{0, 0, 0, 0, 0, 0xE0, 0xEC, 0};
  EXPECT_FALSE(SendAtaCommand(console, handle, regs, buffer.data(), 1));
  EXPECT_EQ(buffer[0], 0xAA);
}

TEST_F(TransportFixture, AnAtaTransferBeyondTheSectorCountIsRefusedWithTheAllocationBox) {
  AtaRegisters regs{0, 0, 0, 0, 0, 0xE0, 0xEC, 0};
  EXPECT_FALSE(SendAtaCommand(console, handle, regs, buffer.data(), 100000));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Menory Alloc Error!!");
  EXPECT_EQ(ui.messages[0].caption, std::nullopt);
  EXPECT_TRUE(host.ataLog.empty());
}

}  // namespace
}  // namespace tervalo
