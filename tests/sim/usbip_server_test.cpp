// The USB/IP server end to end over a socketpair: import, enumeration requests, Bulk-Only
// commands with their residues, stalls and sense, unlink and unplug.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "core/bytes.h"
#include "sim/usbip/ram_disk_target.h"
#include "sim/usbip/scsi_sense.h"
#include "usbip_test_client.h"

namespace tervalo::usbip {
namespace {

using testing::Completion;
using testing::ScriptedClient;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kIn = 0x81;

struct CommandOutcome {
  std::int32_t cbwStatus = 1;
  std::vector<Completion> data;  // data-phase completions
  Completion csw;
  std::uint32_t tag = 0;
  std::uint32_t residue = 0xFFFFFFFF;
  std::uint8_t status = 0xFF;
};

class UsbipServerTest : public ::testing::Test {
 protected:
  void start(ServerOptions options = {}, DescriptorSenseOnFixedRequest policy = DescriptorSenseOnFixedRequest::Keep) {
    disk.fillPattern();
    device = std::make_unique<MassStorageDevice>(disk, DeviceIdentity{}, policy);
    server = std::make_unique<Server>(*device, options);
    client = std::make_unique<ScriptedClient>(*server);
    const auto reply = client->import("1-1");
    ASSERT_EQ(reply.size(), kOpHeaderSize + kDeviceRecordSize);
  }

  // One Bulk-Only command: CBW, data phase in `chunks` URBs (IN) or one OUT URB, CSW.
  CommandOutcome command(Bytes cdb, bool dataIn, std::uint32_t length, Bytes out = {},
                         std::vector<std::uint32_t> chunks = {}) {
    CommandOutcome o;
    CommandBlockWrapper cbw{++tag, length, dataIn, 0, std::move(cdb)};
    o.tag = cbw.tag;
    o.cbwStatus = client->submit(kBulkOutEndpoint, false, kCbwSize, buildCbw(cbw)).header.status;
    if (length > 0) {
      if (dataIn) {
        if (chunks.empty()) chunks = {length};
        for (auto n : chunks) {
          o.data.push_back(client->submit(kBulkInEndpoint, true, n));
          if (o.data.back().header.status != 0 || o.data.back().data.size() < n) break;
        }
      } else {
        o.data.push_back(client->submit(kBulkOutEndpoint, false, length, out));
      }
    }
    // A stalled data phase is cleared the way usb-storage does before reading the CSW.
    if (!o.data.empty() && o.data.back().header.status == kUrbStall)
      client->control(0x02, 0x01, 0, dataIn ? kIn : kBulkOutEndpoint, 0);
    o.csw = client->submit(kBulkInEndpoint, true, kCswSize);
    if (o.csw.data.size() == kCswSize && readLe(o.csw.data, 0, 4) == kCswSignature) {
      EXPECT_EQ(readLe(o.csw.data, 4, 4), o.tag);
      o.residue = static_cast<std::uint32_t>(readLe(o.csw.data, 8, 4));
      o.status = o.csw.data[12];
    }
    return o;
  }

  Bytes requestSense(bool descriptor, std::uint8_t length = 96) {
    auto o = command({0x03, static_cast<std::uint8_t>(descriptor ? 1 : 0), 0, 0, length, 0}, true, length);
    EXPECT_EQ(o.status, kCswPassed);
    return o.data.empty() ? Bytes{} : o.data[0].data;
  }

  RamDiskTarget disk{64};
  std::unique_ptr<MassStorageDevice> device;
  std::unique_ptr<Server> server;
  std::unique_ptr<ScriptedClient> client;
  std::uint32_t tag = 0x100;
};

TEST_F(UsbipServerTest, ImportReplyDescribesTheDevice) {
  disk.fillPattern();
  MassStorageDevice dev(disk);
  Server srv(dev);
  ScriptedClient c(srv);
  // A wrong bus id is refused with status 1 and the connection stays open for another try.
  EXPECT_EQ(c.import("2-1"), (Bytes{0x01, 0x11, 0x00, 0x03, 0, 0, 0, 1}));
  const auto r = c.import("1-1");
  ASSERT_EQ(r.size(), 320u);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 8), (Bytes{0x01, 0x11, 0x00, 0x03, 0, 0, 0, 0}));
  const auto rec = decodeDeviceRecord(std::span(r).subspan(8));
  EXPECT_EQ(rec.busId, "1-1");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data() + 8 + 256)), "1-1");
  EXPECT_EQ(Bytes(r.begin() + 8 + 288, r.begin() + 8 + 300),
            (Bytes{0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3}));  // bus 1, device 2, high speed
  EXPECT_EQ(Bytes(r.begin() + 8 + 300, r.begin() + 8 + 304), (Bytes{0xF0, 0x55, 0x7E, 0x51}));
  EXPECT_EQ(Bytes(r.begin() + 8 + 306, r.end()), (Bytes{0, 0, 0, 1, 1, 1}));
  c.closeClient();
  EXPECT_EQ(c.join(), ServeEnd::PeerClosed);
  EXPECT_EQ(srv.stats().imports, 1u);
}

TEST_F(UsbipServerTest, DeviceListNamesTheMassStorageInterface) {
  MassStorageDevice dev(disk);
  Server srv(dev);
  ScriptedClient c(srv);
  const auto h = encodeOpHeader({kUsbipVersion, kOpReqDevlist, 0});
  ASSERT_TRUE(testing::writeAllTo(c.fd(), h));
  Bytes reply(8 + 4 + kDeviceRecordSize + 4);
  ASSERT_TRUE(testing::readAll(c.fd(), reply.data(), reply.size()));
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 12), (Bytes{0x01, 0x11, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(Bytes(reply.end() - 4, reply.end()), (Bytes{0x08, 0x06, 0x50, 0x00}));
}

TEST_F(UsbipServerTest, WrongVersionEndsTheConnection) {
  MassStorageDevice dev(disk);
  Server srv(dev);
  ScriptedClient c(srv);
  ASSERT_TRUE(testing::writeAllTo(c.fd(), Bytes{0x01, 0x06, 0x80, 0x03, 0, 0, 0, 0}));
  EXPECT_EQ(c.join(), ServeEnd::ProtocolError);
}

TEST_F(UsbipServerTest, UrbHeadersHaveTheKernelLayout) {
  UrbHeader submit;
  submit.command = kCmdSubmit;
  submit.seqnum = 7;
  submit.devid = 0x00010002;
  submit.direction = kDirIn;
  submit.ep = 1;
  submit.transferFlags = 0x200;
  submit.transferBufferLength = 512;
  submit.numberOfPackets = -1;
  submit.setup = {1, 2, 3, 4, 5, 6, 7, 8};
  const auto b = encodeUrbHeader(submit);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 28),
            (Bytes{0, 0, 0, 1, 0, 0, 0, 7, 0, 1, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 2, 0, 0, 0, 2, 0}));
  EXPECT_EQ(Bytes(b.begin() + 32, b.end()),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(decodeUrbHeader(b)->setup, submit.setup);

  start();
  // A stalled request: status -EPIPE in the RET_SUBMIT, zero length, seqnum echoed.
  const auto c = client->control(0x80, 0x06, 0x0307, 0, 255);  // string 7 does not exist
  EXPECT_EQ(c.header.command, kRetSubmit);
  EXPECT_EQ(c.header.seqnum, client->lastSeq());
  EXPECT_EQ(c.header.status, -32);
  EXPECT_EQ(c.header.actualLength, 0);
  EXPECT_EQ(c.header.numberOfPackets, 0);
}

TEST_F(UsbipServerTest, EnumerationRequests) {
  start();
  const auto dev = client->control(0x80, 0x06, 0x0100, 0, 64);
  ASSERT_EQ(dev.header.status, 0);
  ASSERT_EQ(dev.data.size(), 18u);
  EXPECT_EQ(Bytes(dev.data.begin() + 8, dev.data.begin() + 12), (Bytes{0x55, 0xF0, 0x51, 0x7E}));
  // The kernel first reads the configuration header, then all of it.
  EXPECT_EQ(client->control(0x80, 0x06, 0x0200, 0, 9).data.size(), 9u);
  const auto cfg = client->control(0x80, 0x06, 0x0200, 0, 255).data;
  ASSERT_EQ(cfg.size(), 32u);
  EXPECT_EQ(Bytes(cfg.begin() + 14, cfg.begin() + 17), (Bytes{0x08, 0x06, 0x50}));
  EXPECT_EQ(cfg[20], 0x81);
  EXPECT_EQ(cfg[27], 0x02);
  const auto product = client->control(0x80, 0x06, 0x0302, 0x0409, 255).data;
  std::string text;
  for (std::size_t i = 2; i < product.size(); i += 2) text += static_cast<char>(product[i]);
  EXPECT_EQ(text, "Simulated RAID enclosure");
  EXPECT_EQ(client->control(0x00, 0x09, 1, 0, 0).header.status, 0);  // SET_CONFIGURATION
  EXPECT_EQ(client->control(0x01, 0x0B, 0, 0, 0).header.status, 0);  // SET_INTERFACE
  const auto maxLun = client->control(0xA1, 0xFE, 0, 0, 1);
  EXPECT_EQ(maxLun.header.status, 0);
  EXPECT_EQ(maxLun.data, Bytes{0});
  EXPECT_EQ(client->control(0x40, 0x01, 0, 0, 0).header.status, -32);  // vendor request
}

TEST_F(UsbipServerTest, AttachCommandsAndResidues) {
  start();
  struct Case {
    const char* name;
    Bytes cdb;
    std::uint32_t length;
    std::uint32_t expectData;
    std::uint8_t status;
  };
  const Case cases[] = {
      {"inquiry", {0x12, 0, 0, 0, 36, 0}, 36, 36, kCswPassed},
      {"inquiry longer host buffer", {0x12, 0, 0, 0, 96, 0}, 96, 36, kCswPassed},
      {"vpd list", {0x12, 1, 0x00, 0, 255, 0}, 255, 6, kCswPassed},
      {"vpd serial", {0x12, 1, 0x80, 0, 255, 0}, 255, 16, kCswPassed},
      {"test unit ready", {0x00, 0, 0, 0, 0, 0}, 0, 0, kCswPassed},
      {"read capacity 10", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 8, kCswPassed},
      {"read capacity 16", {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32, 32, kCswPassed},
      {"mode sense all pages", {0x1A, 0, 0x3F, 0, 192, 0}, 192, 36, kCswPassed},
      {"mode sense 10 caching", {0x5A, 0, 0x08, 0, 0, 0, 0, 0, 255, 0}, 255, 28, kCswPassed},
      {"allocation shorter than data", {0x12, 0, 0, 0, 5, 0}, 5, 5, kCswPassed},
      {"prevent removal", {0x1E, 0, 0, 0, 1, 0}, 0, 0, kCswPassed},
      {"synchronize cache", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, kCswPassed},
      {"read 2 sectors", {0x28, 0, 0, 0, 0, 5, 0, 0, 2, 0}, 1024, 1024, kCswPassed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto o = command(c.cdb, true, c.length);
    EXPECT_EQ(o.cbwStatus, 0);
    if (c.length > 0) {
      ASSERT_EQ(o.data.size(), 1u);
      EXPECT_EQ(o.data[0].header.status, 0);
      EXPECT_EQ(o.data[0].data.size(), c.expectData);
    }
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.residue, c.length - c.expectData);
  }
  const auto cap = command({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8).data[0].data;
  EXPECT_EQ(cap, (Bytes{0, 0, 0, 63, 0, 0, 2, 0}));  // last LBA 63, 512-byte blocks
  const auto sector = command({0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0}, true, 512).data[0].data;
  EXPECT_EQ(sector, disk.sector(5));
  const auto inquiry = command({0x12, 0, 0, 0, 36, 0}, true, 36).data[0].data;
  EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.end()), "Tervalo Simulated disk  0022");
  EXPECT_EQ(inquiry[4], 31);
}

TEST_F(UsbipServerTest, WriteThenReadBack) {
  start();
  Bytes data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  const auto w = command({0x2A, 0, 0, 0, 0, 20, 0, 0, 2, 0}, false, 1024, data);
  EXPECT_EQ(w.status, kCswPassed);
  EXPECT_EQ(w.residue, 0u);
  EXPECT_EQ(w.data[0].header.actualLength, 1024);
  EXPECT_EQ(disk.sector(21), Bytes(data.begin() + 512, data.end()));
  // Read back in two URBs, as a host splitting the transfer would.
  const auto r = command({0x28, 0, 0, 0, 0, 20, 0, 0, 2, 0}, true, 1024, {}, {512, 512});
  ASSERT_EQ(r.data.size(), 2u);
  Bytes back = r.data[0].data;
  back.insert(back.end(), r.data[1].data.begin(), r.data[1].data.end());
  EXPECT_EQ(back, data);
  EXPECT_EQ(r.status, kCswPassed);
}

TEST_F(UsbipServerTest, FailedCommandStallsAndLeavesSense) {
  start();
  // The vendor block on a plain disk: data-in phase stalls, CSW says failed with full residue.
  const auto o = command({0xFE, 0x85, 0, 0x07, 0x80, 0, 0, 0, 0, 0}, true, 512);
  ASSERT_EQ(o.data.size(), 1u);
  EXPECT_EQ(o.data[0].header.status, kUrbStall);
  EXPECT_EQ(o.status, kCswFailed);
  EXPECT_EQ(o.residue, 512u);
  const auto fixed = requestSense(false, 18);
  ASSERT_EQ(fixed.size(), 18u);
  EXPECT_EQ(fixed[0], 0x70);
  EXPECT_EQ(fixed[2], kSenseIllegalRequest);
  EXPECT_EQ(fixed[12], 0x20);
  // Sense is reported once; then NO SENSE, in the format the host asks for.
  const auto after = requestSense(true);
  ASSERT_GE(after.size(), 8u);
  EXPECT_EQ(after[0], 0x72);
  EXPECT_EQ(after[1], kSenseNoSense);

  // Out of range: LBA beyond the end.
  const auto far = command({0x28, 0, 0, 0, 1, 0, 0, 0, 1, 0}, true, 512);
  EXPECT_EQ(far.status, kCswFailed);
  const auto desc = requestSense(true);
  EXPECT_EQ(desc[0], 0x72);
  EXPECT_EQ(desc[1], kSenseIllegalRequest);
  EXPECT_EQ(desc[2], 0x21);
}

TEST_F(UsbipServerTest, AtaPassThroughIdentifyWithCkCond) {
  start();
  const auto o = command({0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0}, true, 512);
  ASSERT_EQ(o.data.size(), 1u);
  ASSERT_EQ(o.data[0].data.size(), 512u);
  EXPECT_EQ(o.data[0].data, RamDiskTarget::identifyBlock(64));
  EXPECT_EQ(o.status, kCswFailed);  // CK_COND: CHECK CONDITION with the registers
  EXPECT_EQ(o.residue, 0u);
  // The kernel's automatic REQUEST SENSE asks for fixed format; the ATA registers still come
  // back in descriptor format, as common bridges do.
  const auto s = requestSense(false);
  EXPECT_EQ(s, (Bytes{0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0x40}));
  // Cut to the 18 bytes an SPC-2 host asks for, the device and status bytes are lost.
  command({0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0}, true, 512);
  EXPECT_EQ(requestSense(false, 18).size(), 18u);
}

TEST_F(UsbipServerTest, AtaPassThroughTwelveAbortsUnknownCommand) {
  start();
  const auto o = command({0xA1, 0x06, 0x20, 0x01, 0, 0x80, 0x07, 0, 0xE0, 0x88, 0, 0}, false, 0);
  EXPECT_EQ(o.status, kCswFailed);
  const auto s = requestSense(true);
  EXPECT_EQ(s[1], kSenseAbortedCommand);
  const auto regs = findAtaStatusReturn(s);
  ASSERT_TRUE(regs);
  EXPECT_EQ(regs->featuresOrError, 0x04);
  EXPECT_EQ(regs->commandOrStatus, 0x41);
  EXPECT_EQ(regs->lba, 0x000780u);
}

TEST_F(UsbipServerTest, ConvertPolicyGivesSatFixedFormat) {
  start({}, DescriptorSenseOnFixedRequest::Convert);
  command({0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0}, true, 512);
  const auto s = requestSense(false);
  ASSERT_EQ(s.size(), 18u);
  EXPECT_EQ(s[0], 0xF0);
  EXPECT_EQ(s[4], 0x40);  // status
  EXPECT_EQ(s[5], 0xA0);  // device
  EXPECT_EQ(s[13], 0x1D);
}

TEST_F(UsbipServerTest, InvalidCbwNeedsResetRecovery) {
  start();
  Bytes bad = buildCbw({1, 0, false, 0, {0x00, 0, 0, 0, 0, 0}});
  bad[0] = 'X';
  EXPECT_EQ(client->submit(kBulkOutEndpoint, false, kCbwSize, bad).header.status, 0);
  EXPECT_EQ(client->submit(kBulkInEndpoint, true, kCswSize).header.status, kUrbStall);
  // Clearing the halt alone does not help before the reset.
  client->control(0x02, 0x01, 0, kIn, 0);
  EXPECT_EQ(client->submit(kBulkInEndpoint, true, kCswSize).header.status, kUrbStall);
  EXPECT_EQ(client->control(0x21, 0xFF, 0, 0, 0).header.status, 0);
  client->control(0x02, 0x01, 0, kIn, 0);
  client->control(0x02, 0x01, 0, kBulkOutEndpoint, 0);
  EXPECT_EQ(command({0x00, 0, 0, 0, 0, 0}, false, 0).status, kCswPassed);
}

TEST_F(UsbipServerTest, TooMuchOutDataIsAPhaseError) {
  start();
  CommandBlockWrapper cbw{77, 512, false, 0, {0x2A, 0, 0, 0, 0, 1, 0, 0, 1, 0}};
  client->submit(kBulkOutEndpoint, false, kCbwSize, buildCbw(cbw));
  EXPECT_EQ(client->submit(kBulkOutEndpoint, false, 1024, Bytes(1024)).header.status, kUrbStall);
  const auto csw = client->submit(kBulkInEndpoint, true, kCswSize);
  ASSERT_EQ(csw.data.size(), kCswSize);
  EXPECT_EQ(csw.data[12], kCswPhaseError);
}

TEST_F(UsbipServerTest, UnlinkOfACompletedUrbAnswersZero) {
  start();
  client->submit(kBulkOutEndpoint, false, kCbwSize, buildCbw({5, 0, false, 0, {0x00, 0, 0, 0, 0, 0}}));
  UrbHeader u;
  u.command = kCmdUnlink;
  u.seqnum = 99;
  u.unlinkSeqnum = client->lastSeq();
  ASSERT_TRUE(testing::writeAllTo(client->fd(), encodeUrbHeader(u)));
  Completion c;
  ASSERT_TRUE(client->receive(c, false));
  EXPECT_EQ(c.header.command, kRetUnlink);
  EXPECT_EQ(c.header.seqnum, 99u);
  EXPECT_EQ(c.header.status, 0);
  EXPECT_EQ(server->stats().unlinks, 1u);
}

TEST_F(UsbipServerTest, UnplugMidCommandClosesTheConnection) {
  ServerOptions options;
  options.unplugAfterCommands = 2;
  start(options);
  EXPECT_EQ(command({0x00, 0, 0, 0, 0, 0}, false, 0).status, kCswPassed);
  // The second CBW is never answered: the stream ends.
  ASSERT_TRUE(client->sendSubmit(kBulkOutEndpoint, false, kCbwSize,
                                 buildCbw({9, 512, true, 0, {0x28, 0, 0, 0, 0, 1, 0, 0, 1, 0}})));
  Completion c;
  EXPECT_FALSE(client->receive(c, false));
  EXPECT_EQ(client->join(), ServeEnd::Unplugged);
  EXPECT_TRUE(server->unplugged());
}

TEST_F(UsbipServerTest, UnplugFromAnotherThreadWakesTheServer) {
  start();
  server->unplug();
  EXPECT_EQ(client->join(), ServeEnd::Unplugged);
}

TEST_F(UsbipServerTest, FailRequestsModeAnswersNoDevice) {
  ServerOptions options;
  options.unplugMode = UnplugMode::FailRequests;
  start(options);
  server->unplug();
  const auto c = client->control(0x80, 0x06, 0x0100, 0, 18);
  EXPECT_EQ(c.header.status, kUrbNoDevice);
  EXPECT_EQ(client->submit(kBulkOutEndpoint, false, kCbwSize, buildCbw({1, 0, false, 0, {0}})).header.status,
            kUrbNoDevice);
}

// A disk whose firmware hangs on READ(10) of LBA 9.
class HangingDisk : public RamDiskTarget {
 public:
  HangingDisk() : RamDiskTarget(16) {}
  ScsiTargetResult execute(std::span<const std::uint8_t> cdb, bool dataIn, std::uint8_t* data,
                           std::uint32_t length) override {
    if (cdb[0] == 0x28 && readBe(cdb, 2, 4) == 9) {
      ScsiTargetResult r;
      r.hang = true;
      return r;
    }
    return RamDiskTarget::execute(cdb, dataIn, data, length);
  }
};

TEST(UsbipServer, HungCommandWaitsForUnlinkAndReset) {
  HangingDisk disk;
  MassStorageDevice dev(disk);
  Server srv(dev);
  ScriptedClient c(srv);
  ASSERT_EQ(c.import("1-1").size(), 320u);
  EXPECT_EQ(c.submit(kBulkOutEndpoint, false, kCbwSize, buildCbw({1, 512, true, 0, {0x28, 0, 0, 0, 0, 9, 0, 0, 1, 0}}))
                .header.status,
            0);
  // The data-in URB gets no answer; the host times out and unlinks it.
  ASSERT_TRUE(c.sendSubmit(kBulkInEndpoint, true, 512));
  const std::uint32_t hung = c.lastSeq();
  UrbHeader u;
  u.command = kCmdUnlink;
  u.seqnum = hung + 1;
  u.unlinkSeqnum = hung;
  ASSERT_TRUE(testing::writeAllTo(c.fd(), encodeUrbHeader(u)));
  Completion done;
  ASSERT_TRUE(c.receive(done, true));
  EXPECT_EQ(done.header.command, kRetUnlink);  // and no RET_SUBMIT before it
  EXPECT_EQ(done.header.seqnum, hung + 1);
  EXPECT_EQ(done.header.status, kUrbUnlinked);
  EXPECT_EQ(srv.stats().unlinkedPending, 1u);
  // Still hung until the reset; afterwards the device answers again.
  ASSERT_TRUE(c.sendSubmit(kBulkInEndpoint, true, kCswSize));
  const std::uint32_t second = c.lastSeq();
  EXPECT_EQ(c.control(0x21, 0xFF, 0, 0, 0).header.status, 0);
  u.seqnum = c.lastSeq() + 1;
  u.unlinkSeqnum = second;
  ASSERT_TRUE(testing::writeAllTo(c.fd(), encodeUrbHeader(u)));
  ASSERT_TRUE(c.receive(done, true));
  EXPECT_EQ(done.header.status, kUrbUnlinked);
  EXPECT_EQ(c.submit(kBulkOutEndpoint, false, kCbwSize, buildCbw({2, 512, true, 0, {0x28, 0, 0, 0, 0, 8, 0, 0, 1, 0}}))
                .header.status,
            0);
  const auto data = c.submit(kBulkInEndpoint, true, 512);
  EXPECT_EQ(data.data, disk.sector(8));
  const auto csw = c.submit(kBulkInEndpoint, true, kCswSize);
  ASSERT_EQ(csw.data.size(), kCswSize);
  EXPECT_EQ(readLe(csw.data, 4, 4), 2u);
  EXPECT_EQ(csw.data[12], kCswPassed);
}

class VanishingTarget : public ScsiTarget {
 public:
  ScsiTargetResult execute(std::span<const std::uint8_t>, bool, std::uint8_t*, std::uint32_t) override {
    ScsiTargetResult r;
    r.completed = false;
    return r;
  }
  std::uint64_t capacitySectors() override { return 8; }
};

TEST(UsbipServer, TargetThatVanishesDropsTheDevice) {
  VanishingTarget target;
  MassStorageDevice dev(target);
  Server srv(dev);
  ScriptedClient c(srv);
  ASSERT_EQ(c.import("1-1").size(), 320u);
  ASSERT_TRUE(c.sendSubmit(kBulkOutEndpoint, false, kCbwSize,
                           buildCbw({3, 512, true, 0, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}})));
  Completion done;
  EXPECT_FALSE(c.receive(done, false));
  EXPECT_EQ(c.join(), ServeEnd::Unplugged);
}

TEST(UsbipServer, ServesOverTcpOnLoopback) {
  RamDiskTarget disk(8);
  MassStorageDevice dev(disk);
  Server srv(dev);
  std::uint16_t port = 0;
  const int listenFd = srv.listenTcp(0, port);
  ASSERT_GE(listenFd, 0);
  ASSERT_NE(port, 0);
  std::thread t([&] { srv.serveTcp(listenFd); });
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  Bytes req(kImportRequestSize, 0);
  const auto h = encodeOpHeader({kUsbipVersion, kOpReqImport, 0});
  std::copy(h.begin(), h.end(), req.begin());
  req[8] = '1';
  req[9] = '-';
  req[10] = '1';
  ASSERT_TRUE(testing::writeAllTo(fd, req));
  Bytes reply(320);
  EXPECT_TRUE(testing::readAll(fd, reply.data(), reply.size()));
  EXPECT_EQ(reply[7], 0);
  srv.unplug();
  t.join();
  ::close(fd);
  ::close(listenFd);
}

}  // namespace
}  // namespace tervalo::usbip
