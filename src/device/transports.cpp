#include "device/transports.h"

#include <algorithm>
#include <new>
#include <vector>

#include "core/bytes.h"

namespace tervalo {

namespace {

ScsiRequest readWriteRequest(std::uint8_t opcode, bool dataIn, std::uint32_t lba, std::uint8_t* buffer,
                             std::uint32_t sectors) {
  ScsiRequest r;
  r.cdb[0] = opcode;
  writeBe(r.cdb, 2, 4, lba);
  // The transfer length carries only the low byte of the count; callers move one sector at a time.
  r.cdb[8] = static_cast<std::uint8_t>(sectors & 0xFF);
  r.dataIn = dataIn;
  r.data = buffer;
  r.dataLength = sectors * static_cast<std::uint32_t>(kSectorSize);
  r.timeoutSeconds = kScsiTimeoutSeconds;
  return r;
}

// Byte 0 is always 0xFE; the sub-command lands in byte 2 - s, so the single-prefix form puts it
// over the second 0xFE. Returns the origin s for the bytes that follow.
unsigned startVendorBlock(ScsiRequest& r, bool singlePrefix, std::uint8_t subCommand) {
  const unsigned s = singlePrefix ? 1 : 0;
  r.cdb[0] = kVendorPrefix;
  r.cdb[1] = kVendorPrefix;
  r.cdb[2 - s] = subCommand;
  return s;
}

bool send(const DriveHandle& handle, const ScsiRequest& request) {
  if (!handle) return false;
  return handle.host()->sendScsi(handle.get(), request);
}

}  // namespace

VendorCdbLayout vendorCdbLayout(VendorCdbKind kind) {
  switch (kind) {
    case VendorCdbKind::VendorSpiRead: return {0x85, true, 512, 0};
    case VendorCdbKind::VendorSpiProbeRead: return {0x85, true, 512, 1};
    case VendorCdbKind::VendorSpiProgram: return {0x89, false, 256, 0};
    case VendorCdbKind::VendorSpiErase: return {0x81, true, 8, 0};
    case VendorCdbKind::VendorIdentifyRead: return {0x8B, true, 512, 0};
  }
  return {0, true, 0, 0};
}

ScsiRequest buildReadSectorsRequest(std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors) {
  return readWriteRequest(0x28, true, lba, buffer, sectors);
}

ScsiRequest buildWriteSectorsRequest(std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors) {
  return readWriteRequest(0x2A, false, lba, buffer, sectors);
}

ScsiRequest buildInquiryRequest(std::uint8_t* buffer) {
  ScsiRequest r;
  r.cdb[0] = 0x12;
  r.cdb[4] = kInquiryLength;
  r.dataIn = true;
  r.data = buffer;
  r.dataLength = kInquiryLength;
  r.timeoutSeconds = kInquiryTimeoutSeconds;
  return r;
}

ScsiRequest buildVendorQueryRequest(bool singlePrefix, std::uint8_t* buffer) {
  ScsiRequest r;
  startVendorBlock(r, singlePrefix, kVendorQuerySubCommand);
  r.dataIn = true;
  r.data = buffer;
  r.dataLength = kVendorQueryLength;
  r.timeoutSeconds = kScsiTimeoutSeconds;
  return r;
}

ScsiRequest buildVendorCdbRequest(bool singlePrefix, VendorCdbKind kind, std::uint8_t* buffer,
                                  std::uint32_t address) {
  const VendorCdbLayout layout = vendorCdbLayout(kind);
  ScsiRequest r;
  const unsigned s = startVendorBlock(r, singlePrefix, layout.subCommand);
  r.cdb[3 - s] = 0;
  writeBe(r.cdb, 4 - s, 3, address & 0xFFFFFF);
  r.cdb[7 - s] = 0;
  r.cdb[8 - s] = layout.marker;
  r.cdb[9 - s] = 0;
  r.dataIn = layout.dataIn;
  r.data = buffer;
  r.dataLength = layout.length;
  r.timeoutSeconds = kScsiTimeoutSeconds;
  return r;
}

bool ReadSectors(const DriveHandle& handle, std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors) {
  return send(handle, buildReadSectorsRequest(lba, buffer, sectors));
}

bool WriteSectors(const DriveHandle& handle, std::uint32_t lba, std::uint8_t* buffer, std::uint32_t sectors) {
  return send(handle, buildWriteSectorsRequest(lba, buffer, sectors));
}

bool ScsiInquiry(const DriveHandle& handle, std::uint8_t* buffer) {
  return send(handle, buildInquiryRequest(buffer));
}

bool SendVendorQuery(Console& console, const DriveHandle& handle) {
  return send(handle, buildVendorQueryRequest(console.device.singlePrefixCdb != 0, console.device.scratchSector.data()));
}

bool SendVendorCdb(Console& console, const DriveHandle& handle, VendorCdbKind kind, std::uint8_t* buffer,
                   std::uint32_t address) {
  return send(handle, buildVendorCdbRequest(console.device.singlePrefixCdb != 0, kind, buffer, address));
}

bool SendAtaCommand(Console& console, const DriveHandle& handle, AtaRegisters& registers, std::uint8_t* buffer,
                    std::uint32_t sectors) {
  // The working buffer: the data area the device fills, sized as the request asks.
  std::vector<std::uint8_t> work;
  try {
    if (sectors > kMaxAtaSectors) throw std::bad_alloc();
    work.assign(std::size_t{sectors} * kSectorSize + 16, 0);
  } catch (const std::bad_alloc&) {
    console.ui.showMessage(systemBox("Menory Alloc Error!!"));
    return false;
  }
  if (!handle) return false;
  registers.reserved = 0;
  if (registers.command == kAtaIdentifyDevice) handle.host()->rescanBus(handle.get());
  // Byte 0 of the data area is 1 before sending, as the request block always had it.
  work[0] = 1;
  const bool ok = handle.host()->sendAta(handle.get(), registers, work.data(), sectors);
  registers.reserved = 0;
  if (ok && sectors > 0 && buffer != nullptr) std::copy_n(work.begin(), std::size_t{sectors} * kSectorSize, buffer);
  return ok;
}

}  // namespace tervalo
