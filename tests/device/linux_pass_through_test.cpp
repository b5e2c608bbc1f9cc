// SG_IO and SAT ATA PASS-THROUGH(16) as the Linux disk host sends them, against a fake kernel.
#include <gtest/gtest.h>

#include <optional>

#include "device/linux/linux_disk_host.h"
#include "support/fake_linux.h"

namespace tervalo {
namespace {

using testing::FakeLinuxState;
using testing::FakeLinuxSystem;
using testing::FakeSysfs;
using testing::SgReply;
using Bytes16 = std::vector<std::uint8_t>;

constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint16_t kDidNoConnect = 0x01;
constexpr std::uint16_t kDidTimeOut = 0x03;
constexpr std::uint16_t kDriverSense = 0x08;
constexpr std::uint16_t kDriverTimeout = 0x06;

// Descriptor-format sense with one ATA Status Return descriptor.
std::vector<std::uint8_t> ataDescriptorSense(std::uint8_t key, std::uint8_t error, std::uint8_t count,
                                             std::uint8_t lbaLow, std::uint8_t lbaMid, std::uint8_t lbaHigh,
                                             std::uint8_t device, std::uint8_t status) {
  return {0x72, key, 0x00, 0x1D, 0, 0, 0, 14,
          0x09, 0x0C, 0x00, error, 0x00, count, 0x00, lbaLow, 0x00, lbaMid, 0x00, lbaHigh, device, status};
}

// A request the kernel answered with these statuses and sense bytes.
SgReply completed(std::uint8_t status, std::uint16_t host, std::uint16_t driver, std::vector<std::uint8_t> sense = {}) {
  SgReply r;
  r.status = status;
  r.hostStatus = host;
  r.driverStatus = driver;
  r.sense = std::move(sense);
  r.data.assign(512, 0xA5);
  return r;
}

SgReply ioctlError(int error) {
  SgReply r = completed(0, 0, 0);
  r.result = -1;
  r.error = error;
  return r;
}

struct PassThroughFixture : ::testing::Test {
  FakeSysfs sysfs;
  std::shared_ptr<FakeLinuxState> sys = std::make_shared<FakeLinuxState>();
  LinuxDiskHost host{sysfs.root(), "/dev", std::make_unique<FakeLinuxSystem>(sys)};
  HostHandle handle = kInvalidHandle;

  void SetUp() override {
    sysfs.addDisk("sda", "0\n", "1000\n");
    handle = host.openPhysicalDrive(0);
    ASSERT_NE(handle, kInvalidHandle);
  }
  void TearDown() override { host.close(handle); }
  const testing::RecordedSgIo& last() const { return sys->sgIo.back(); }
};

// --- SCSI ---

TEST_F(PassThroughFixture, ScsiHeaderCarriesCdbDirectionLengthAndTimeOut) {
  std::uint8_t buffer[512];
  struct Case {
    const char* name;
    std::array<std::uint8_t, 10> cdb;
    bool dataIn;
    std::uint32_t length;
    std::uint32_t timeoutSeconds;
    int direction;
  };
  const Case cases[] = {
      {"READ(10)", {0x28, 0, 0, 0, 0, 0x3A, 0, 0, 1, 0}, true, 512, 2, SG_DXFER_FROM_DEV},
      {"WRITE(10)", {0x2A, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 1, 0}, false, 512, 2, SG_DXFER_TO_DEV},
      {"INQUIRY", {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0}, true, 36, 200, SG_DXFER_FROM_DEV},
      {"vendor program", {0xFE, 0x89, 0, 0x07, 0x80, 0, 0, 0, 0, 0}, false, 256, 2, SG_DXFER_TO_DEV},
      {"no data", {0xFE, 0xFE, 0x10, 0, 0, 0, 0, 0, 0, 0}, true, 0, 2, SG_DXFER_NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScsiRequest r;
    r.cdb = c.cdb;
    r.dataIn = c.dataIn;
    r.data = buffer;
    r.dataLength = c.length;
    r.timeoutSeconds = c.timeoutSeconds;
    ASSERT_TRUE(host.sendScsi(handle, r));
    const sg_io_hdr& h = last().hdr;
    EXPECT_EQ(last().fd, handle);
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.cmd_len, 10);
    EXPECT_EQ(last().cdb, std::vector<std::uint8_t>(c.cdb.begin(), c.cdb.end()));
    EXPECT_EQ(h.dxfer_direction, c.direction);
    EXPECT_EQ(h.dxfer_len, c.length);
    EXPECT_EQ(h.dxferp, c.length ? static_cast<void*>(buffer) : nullptr);
    EXPECT_EQ(h.timeout, c.timeoutSeconds * 1000);
    EXPECT_EQ(h.mx_sb_len, 32);
    EXPECT_NE(h.sbp, nullptr);
    EXPECT_EQ(h.iovec_count, 0);
  }
}

TEST_F(PassThroughFixture, ScsiSucceedsExactlyWhenTheKernelCompletedTheRequest) {
  struct Case {
    const char* name;
    SgReply reply;
    bool ok;
  };
  const std::vector<std::uint8_t> illegalRequest = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
  const Case cases[] = {
      {"good", completed(0, 0, 0), true},
      {"check condition with sense", completed(kCheckCondition, 0, kDriverSense, illegalRequest), true},
      {"check condition, driver says nothing", completed(kCheckCondition, 0, 0, illegalRequest), true},
      {"busy still completed", completed(0x08, 0, 0), true},
      {"time-out", completed(0, kDidTimeOut, 0), false},
      {"device gone", completed(0, kDidNoConnect, 0), false},
      {"driver time-out", completed(0, 0, kDriverTimeout), false},
      {"driver error beside sense", completed(kCheckCondition, 0, kDriverSense | 0x10, illegalRequest), false},
      {"ioctl refused", ioctlError(EPERM), false},
      {"ioctl on vanished device", ioctlError(ENODEV), false},
  };
  std::uint8_t buffer[512];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sys->reply = c.reply;
    ScsiRequest r;
    r.cdb = {0x28, 0, 0, 0, 0, 0x3A, 0, 0, 1, 0};
    r.data = buffer;
    r.dataLength = 512;
    EXPECT_EQ(host.sendScsi(handle, r), c.ok);
  }
}

TEST_F(PassThroughFixture, ScsiRequestsThatCannotBeSentAreRefused) {
  ScsiRequest noBuffer;
  noBuffer.dataLength = 512;
  EXPECT_FALSE(host.sendScsi(handle, noBuffer));
  ScsiRequest badLength;
  badLength.cdbLength = 16;  // only 10 bytes are carried
  EXPECT_FALSE(host.sendScsi(handle, badLength));
  ScsiRequest fine;
  EXPECT_FALSE(host.sendScsi(handle + 100, fine));  // not a handle of this host
  EXPECT_TRUE(sys->sgIo.empty());
}

// --- ATA ---

TEST_F(PassThroughFixture, AtaPassThroughCommandBlocks) {
  struct Case {
    const char* name;
    AtaRegisters in;
    std::uint32_t sectors;
    Bytes16 cdb;
    int direction;
    unsigned length;
  };
  const Case cases[] = {
      {"IDENTIFY DEVICE, one sector PIO in", {0, 0, 0, 0, 0, 0xE0, 0xEC, 0}, 1,
       {0x85, 0x08, 0x2E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xE0, 0xEC, 0}, SG_DXFER_FROM_DEV, 512},
      {"vendor 0x88 mode order, non-data", {0x10, 0, 0, 0, 0, 0, 0x88, 0}, 0,
       {0x85, 0x06, 0x20, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x88, 0}, SG_DXFER_NONE, 0},
      {"vendor 0x88 SPI read order, address in the LBA registers", {0x01, 0x05, 0x00, 0x80, 0x07, 0xE0, 0x88, 0x99}, 0,
       {0x85, 0x06, 0x20, 0, 0x01, 0, 0x05, 0, 0x00, 0, 0x80, 0, 0x07, 0xE0, 0x88, 0}, SG_DXFER_NONE, 0},
      {"two-sector read", {0, 0, 0, 0, 0, 0xE0, 0xEC, 0}, 2,
       {0x85, 0x08, 0x2E, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xE0, 0xEC, 0}, SG_DXFER_FROM_DEV, 1024},
  };
  std::vector<std::uint8_t> data(1024);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AtaRegisters regs = c.in;
    host.sendAta(handle, regs, data.data(), c.sectors);
    const sg_io_hdr& h = last().hdr;
    EXPECT_EQ(h.interface_id, 'S');
    EXPECT_EQ(h.cmd_len, 16);
    EXPECT_EQ(last().cdb, c.cdb);
    EXPECT_EQ(h.dxfer_direction, c.direction);
    EXPECT_EQ(h.dxfer_len, c.length);
    EXPECT_EQ(h.dxferp == nullptr, c.length == 0);
    EXPECT_NE(h.dxferp, static_cast<void*>(data.data()));  // the caller's buffer waits for success
    EXPECT_GT(h.timeout, 0u);
    EXPECT_EQ(h.mx_sb_len, 32);
  }
}

TEST_F(PassThroughFixture, AtaAnswersAreJudgedFromStatusAndSense) {
  const AtaRegisters in{0x01, 0x00, 0x00, 0x80, 0x07, 0xE0, 0xEC, 0};
  struct Case {
    const char* name;
    SgReply reply;
    bool ok;
    std::optional<AtaRegisters> registers;  // empty: the caller's registers stay as they were
  };
  auto reply = [](std::uint8_t status, std::vector<std::uint8_t> sense, std::uint16_t host = 0,
                  std::uint16_t driver = kDriverSense) { return completed(status, host, driver, std::move(sense)); };
  const std::vector<std::uint8_t> fixedAta = {0x70, 0, 0x01, 0x00, 0x50, 0xA0, 0x01, 10,
                                              0x00, 0x11, 0x22, 0x33, 0x00, 0x1D, 0, 0, 0, 0};
  const std::vector<std::uint8_t> fixedIllegal = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00, 0, 0, 0, 0};
  // A vendor descriptor ahead of the ATA one.
  std::vector<std::uint8_t> twoDescriptors = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 18, 0x80, 0x02, 0xAB, 0xCD};
  const auto ataTail = ataDescriptorSense(0x01, 0, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x50);
  twoDescriptors.insert(twoDescriptors.end(), ataTail.begin() + 8, ataTail.end());

  const Case cases[] = {
      {"recovered error with ATA return descriptor",
       reply(kCheckCondition, ataDescriptorSense(0x01, 0x00, 0x01, 0x58, 0x33, 0x00, 0xA0, 0x50)), true,
       AtaRegisters{0x00, 0x01, 0x58, 0x33, 0x00, 0xA0, 0x50, 0}},
      {"no sense with ATA return descriptor",
       reply(kCheckCondition, ataDescriptorSense(0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x50)), true,
       AtaRegisters{0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x50, 0}},
      {"descriptor after another descriptor", reply(kCheckCondition, twoDescriptors), true,
       AtaRegisters{0x00, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x50, 0}},
      {"fixed-format sense", reply(kCheckCondition, fixedAta), true,
       AtaRegisters{0x00, 0x01, 0x11, 0x22, 0x33, 0xA0, 0x50, 0}},
      {"ERR set in the returned status",
       reply(kCheckCondition, ataDescriptorSense(0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x51)), false,
       AtaRegisters{0x04, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x51, 0}},
      {"aborted command with registers",
       reply(kCheckCondition, ataDescriptorSense(0x0B, 0x04, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x41)), false,
       AtaRegisters{0x04, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x41, 0}},
      {"illegal request: no ATA pass-through here", reply(kCheckCondition, fixedIllegal), false, std::nullopt},
      {"good status without sense", reply(0, {}, 0, 0), true, std::nullopt},
      {"recovered error without ATA descriptor", reply(kCheckCondition, {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 0}), true,
       std::nullopt},
      {"check condition without sense", reply(kCheckCondition, {}), false, std::nullopt},
      {"garbage sense", reply(kCheckCondition, {0x12, 0x34, 0x56, 0x78, 0x9A}), false, std::nullopt},
      {"busy", reply(0x08, {}), false, std::nullopt},
      {"time-out", reply(0, {}, kDidTimeOut, 0), false, std::nullopt},
      {"driver error", reply(kCheckCondition, ataDescriptorSense(0x01, 0, 0, 0, 0, 0, 0, 0x50), 0, 0x28), false,
       std::nullopt},
      {"ioctl error", ioctlError(EIO), false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sys->reply = c.reply;
    AtaRegisters regs = in;
    std::vector<std::uint8_t> data(512, 0x00);
    EXPECT_EQ(host.sendAta(handle, regs, data.data(), 1), c.ok);
    EXPECT_EQ(regs, c.registers.value_or(in));
    // Data reaches the caller only on success.
    EXPECT_EQ(data[0], c.ok ? 0xA5 : 0x00);
    EXPECT_EQ(data[511], c.ok ? 0xA5 : 0x00);
  }
}

TEST_F(PassThroughFixture, ShortOrOverlongSenseNeverReadsPastWhatCameBack) {
  const auto full = ataDescriptorSense(0x01, 0, 0x01, 0x02, 0x03, 0x04, 0xA0, 0x50);
  // Every truncation of a good answer: registers only when the whole descriptor arrived.
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    sys->reply = SgReply{};
    sys->reply.status = kCheckCondition;
    sys->reply.sense.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    AtaRegisters regs{};
    std::uint8_t data[512];
    host.sendAta(handle, regs, data, 1);
    EXPECT_EQ(regs.command == 0x50, n == full.size());
  }
  // A kernel claiming more sense bytes than the buffer holds; a descriptor length past the end.
  sys->reply = SgReply{};
  sys->reply.status = kCheckCondition;
  sys->reply.sense = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 0xFF, 0x09, 0xFF};
  sys->reply.senseLengthWritten = 255;
  AtaRegisters regs{};
  std::uint8_t data[512];
  host.sendAta(handle, regs, data, 1);
  EXPECT_EQ(regs, AtaRegisters{});
}

TEST_F(PassThroughFixture, AtaRequestsThatCannotBeSentAreRefused) {
  AtaRegisters regs{0, 0, 0, 0, 0, 0xE0, 0xEC, 0};
  const AtaRegisters before = regs;
  std::vector<std::uint8_t> data(256 * 512);
  EXPECT_FALSE(host.sendAta(handle, regs, data.data(), 256));  // more than the count field holds
  EXPECT_FALSE(host.sendAta(handle, regs, nullptr, 1));
  EXPECT_FALSE(host.sendAta(kInvalidHandle, regs, data.data(), 1));
  EXPECT_EQ(regs, before);
  EXPECT_TRUE(sys->sgIo.empty());
}

TEST_F(PassThroughFixture, RescanNeitherCallsTheKernelNorWaits) {
  const std::size_t opens = sys->opens.size();
  host.rescanBus(handle);
  EXPECT_TRUE(sys->sgIo.empty());
  EXPECT_EQ(sys->opens.size(), opens);
  EXPECT_TRUE(sys->closed.empty());
}

}  // namespace
}  // namespace tervalo
