// ATA PASS-THROUGH decoding and the ATA Status Return sense a SAT bridge builds.
#include <gtest/gtest.h>

#include "sim/usbip/ata_pass_through.h"
#include "sim/usbip/scsi_sense.h"

namespace tervalo::usbip {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct DecodeCase {
  const char* name;
  Bytes cdb;
  std::uint8_t protocol;
  bool extend, ckCond, dataIn;
  std::uint32_t transferBytes;
  AtaTaskFile registers;
};

TEST(UsbipAtaPassThrough, DecodesBothBlockSizes) {
  const DecodeCase cases[] = {
      // IDENTIFY DEVICE as the Linux host sends it: PIO in, CK_COND, one 512-byte block by count.
      {"identify16", {0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0}, 4, false, true, true, 512,
       {0, 1, 0, 0xA0, 0xEC}},
      // Vendor non-data command with features and a 24-bit address in the LBA registers.
      {"vendor16", {0x85, 0x06, 0x20, 0, 0x05, 0, 0, 0, 0x56, 0, 0x34, 0, 0x12, 0xE0, 0x88, 0}, 3, false, true, false,
       0, {0x05, 0, 0x123456, 0xE0, 0x88}},
      // 48-bit form: the high bytes of every register come from the odd bytes.
      {"ext16", {0x85, 0x09, 0x0E, 0xAB, 0xCD, 0x00, 0x02, 0x44, 0x11, 0x55, 0x22, 0x66, 0x33, 0x40, 0x25, 0}, 4, true,
       false, true, 1024, {0xABCD, 2, 0x665544332211ULL, 0x40, 0x25}},
      // A 28-bit count of 0 means 256 blocks.
      {"count0", {0x85, 0x08, 0x0E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x20, 0}, 4, false, false, true, 256 * 512,
       {0, 0, 0, 0x40, 0x20}},
      // Length in bytes from the features field (BYTE_BLOCK clear).
      {"bytes", {0x85, 0x08, 0x09, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEF, 0}, 4, false, false, true, 20,
       {20, 0, 0, 0, 0xEF}},
      {"identify12", {0xA1, 0x08, 0x2E, 0, 1, 0, 0, 0, 0xA0, 0xEC, 0, 0}, 4, false, true, true, 512,
       {0, 1, 0, 0xA0, 0xEC}},
      {"vendor12", {0xA1, 0x06, 0x20, 0x11, 0, 0x80, 0x07, 0x00, 0xE0, 0x88, 0, 0}, 3, false, true, false, 0,
       {0x11, 0, 0x000780, 0xE0, 0x88}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto d = decodeAtaPassThrough(c.cdb);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->protocol, c.protocol);
    EXPECT_EQ(d->extend, c.extend);
    EXPECT_EQ(d->checkCondition, c.ckCond);
    EXPECT_EQ(d->dataIn, c.dataIn);
    EXPECT_EQ(d->transferBytes, c.transferBytes);
    EXPECT_EQ(d->registers, c.registers);
  }
}

TEST(UsbipAtaPassThrough, RejectsOtherBlocks) {
  EXPECT_FALSE(decodeAtaPassThrough(Bytes{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
  EXPECT_FALSE(decodeAtaPassThrough(Bytes{0x85, 0x08, 0x2E, 0, 0}));  // cut short
  // Length in the TPSIU (T_LENGTH 3) is not carried.
  EXPECT_FALSE(decodeAtaPassThrough(Bytes{0x85, 0x08, 0x0F, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}));
}

TEST(UsbipAtaPassThrough, ToAtaRegistersKeepsTheLow28Bits) {
  const auto d = decodeAtaPassThrough(Bytes{0x85, 0x06, 0x20, 0, 0x05, 0, 0x07, 0, 0x56, 0, 0x34, 0, 0x12, 0xE0, 0x88, 0});
  ASSERT_TRUE(d);
  const AtaRegisters r = d->toAtaRegisters();
  EXPECT_EQ(r, (AtaRegisters{0x05, 0x07, 0x56, 0x34, 0x12, 0xE0, 0x88, 0}));
}

TEST(UsbipAtaPassThrough, StatusReturnDescriptorLayout) {
  const AtaTaskFile back{0x04, 0x1234, 0x665544332211ULL, 0xE0, 0x51};
  EXPECT_EQ(buildAtaStatusReturnDescriptor(back, true),
            (Bytes{0x09, 0x0C, 0x01, 0x04, 0x12, 0x34, 0x44, 0x11, 0x55, 0x22, 0x66, 0x33, 0xE0, 0x51}));
  // 28-bit: the upper bytes stay zero even when the registers hold more.
  EXPECT_EQ(buildAtaStatusReturnDescriptor(back, false),
            (Bytes{0x09, 0x0C, 0x00, 0x04, 0x00, 0x34, 0x00, 0x11, 0x00, 0x22, 0x00, 0x33, 0xE0, 0x51}));
}

TEST(UsbipAtaPassThrough, CompletionFollowsCkCondAndAtaErrors) {
  auto identify = *decodeAtaPassThrough(Bytes{0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0});
  const AtaTaskFile ok{0, 0, 0, 0xA0, 0x50};
  const AtaTaskFile failed{0x04, 0, 0, 0xA0, 0x51};

  const auto withCk = completeAtaPassThrough(identify, ok, 512);
  EXPECT_EQ(withCk.status, kScsiStatusCheckCondition);
  EXPECT_EQ(withCk.transferred, 512u);
  EXPECT_EQ(withCk.sense, (Bytes{0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0,
                                 0x50}));

  identify.checkCondition = false;
  const auto quiet = completeAtaPassThrough(identify, ok, 512);
  EXPECT_EQ(quiet.status, kScsiStatusGood);
  EXPECT_TRUE(quiet.sense.empty());

  // An ATA error is reported even without CK_COND, as ABORTED COMMAND with the registers.
  const auto abort = completeAtaPassThrough(identify, failed, 0);
  EXPECT_EQ(abort.status, kScsiStatusCheckCondition);
  const auto s = summarizeSense(abort.sense);
  EXPECT_TRUE(s.descriptorFormat);
  EXPECT_EQ(s.key, kSenseAbortedCommand);
  const auto regs = findAtaStatusReturn(abort.sense);
  ASSERT_TRUE(regs);
  EXPECT_EQ(regs->featuresOrError, 0x04);
  EXPECT_EQ(regs->commandOrStatus, 0x51);
  EXPECT_EQ(returnedAtaRegisters(*regs), (AtaRegisters{0x04, 0, 0, 0, 0, 0xA0, 0x51, 0}));
  // What a host's sendAta() returns maps back onto the same task file.
  const AtaRegisters fromHost{0x04, 0x02, 0x56, 0x34, 0x12, 0xE0, 0x51, 0};
  EXPECT_EQ(taskFileFromReturnedRegisters(fromHost), (AtaTaskFile{0x04, 0x02, 0x123456, 0xE0, 0x51}));
  EXPECT_EQ(returnedAtaRegisters(taskFileFromReturnedRegisters(fromHost)), fromHost);
}

TEST(UsbipAtaPassThrough, FixedFormatCarriesTheRegistersWhereSatPutsThem) {
  const auto sense = buildDescriptorSense(kSenseRecoveredError, 0x00, 0x1D,
                                          buildAtaStatusReturnDescriptor({0x00, 0x01, 0x123456, 0xE0, 0x50}, false));
  const auto fixed = descriptorSenseToFixed(sense);
  ASSERT_EQ(fixed.size(), 18u);
  EXPECT_EQ(fixed[0], 0xF0);  // valid, current, fixed
  EXPECT_EQ(fixed[2], kSenseRecoveredError);
  EXPECT_EQ(Bytes(fixed.begin() + 3, fixed.begin() + 7), (Bytes{0x00, 0x50, 0xE0, 0x01}));  // error status device count
  EXPECT_EQ(Bytes(fixed.begin() + 8, fixed.begin() + 14), (Bytes{0x00, 0x56, 0x34, 0x12, 0x00, 0x1D}));
  // A descriptor list that is cut or malformed yields no registers rather than garbage.
  Bytes cut(sense.begin(), sense.begin() + 12);
  EXPECT_FALSE(findAtaStatusReturn(cut));
}

}  // namespace
}  // namespace tervalo::usbip
