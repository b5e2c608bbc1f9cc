#include "sim/usbip/mass_storage_device.h"

#include <algorithm>

#include "core/bytes.h"
#include "sim/usbip/ata_pass_through.h"
#include "sim/usbip/scsi_sense.h"

namespace tervalo::usbip {

namespace {

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorQualifier = 6;

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kSetAddress = 0x05;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
// Bulk-Only class requests.
constexpr std::uint8_t kMassStorageReset = 0xFF;
constexpr std::uint8_t kGetMaxLun = 0xFE;

void putPadded(std::vector<std::uint8_t>& b, std::size_t offset, std::size_t width, const std::string& text) {
  for (std::size_t i = 0; i < width; ++i) b[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
}

UsbReply stall() { return {kUrbStall, {}}; }

UsbReply cut(std::vector<std::uint8_t> data, std::uint32_t length) {
  if (data.size() > length) data.resize(length);
  return {0, std::move(data)};
}

}  // namespace

bool parseCbw(std::span<const std::uint8_t> bytes, CommandBlockWrapper& out) {
  if (bytes.size() != kCbwSize) return false;
  if (readLe(bytes, 0, 4) != kCbwSignature) return false;
  const std::uint8_t cbLength = bytes[14] & 0x1F;
  if (cbLength < 1 || cbLength > 16) return false;
  out.tag = static_cast<std::uint32_t>(readLe(bytes, 4, 4));
  out.dataLength = static_cast<std::uint32_t>(readLe(bytes, 8, 4));
  out.dataIn = bytes[12] & 0x80;
  out.lun = bytes[13] & 0x0F;
  out.cdb.assign(bytes.begin() + 15, bytes.begin() + 15 + cbLength);
  return true;
}

std::vector<std::uint8_t> buildCbw(const CommandBlockWrapper& cbw) {
  std::vector<std::uint8_t> b(kCbwSize, 0);
  writeLe(b, 0, 4, kCbwSignature);
  writeLe(b, 4, 4, cbw.tag);
  writeLe(b, 8, 4, cbw.dataLength);
  b[12] = cbw.dataIn ? 0x80 : 0x00;
  b[13] = cbw.lun;
  const std::size_t n = std::min<std::size_t>(cbw.cdb.size(), 16);
  b[14] = static_cast<std::uint8_t>(n);
  std::copy_n(cbw.cdb.begin(), n, b.begin() + 15);
  return b;
}

std::array<std::uint8_t, kCswSize> buildCsw(std::uint32_t tag, std::uint32_t residue, std::uint8_t status) {
  std::array<std::uint8_t, kCswSize> b{};
  writeLe(b, 0, 4, kCswSignature);
  writeLe(b, 4, 4, tag);
  writeLe(b, 8, 4, residue);
  b[12] = status;
  return b;
}

MassStorageDevice::MassStorageDevice(ScsiTarget& target, DeviceIdentity identity, DescriptorSenseOnFixedRequest policy)
    : target_(target), identity_(std::move(identity)), policy_(policy) {}

bool MassStorageDevice::targetGone() const {
  std::lock_guard lock(mutex_);
  return gone_;
}

std::uint32_t MassStorageDevice::commandCount() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::uint8_t> MassStorageDevice::deviceDescriptor() const {
  std::vector<std::uint8_t> d(18, 0);
  d[0] = 18;
  d[1] = kDescriptorDevice;
  writeLe(d, 2, 2, 0x0200);  // USB 2.0
  d[4] = 0;  // class per interface
  d[7] = 64;  // endpoint 0 max packet
  writeLe(d, 8, 2, identity_.vendorId);
  writeLe(d, 10, 2, identity_.productId);
  writeLe(d, 12, 2, identity_.bcdDevice);
  d[14] = 1;  // iManufacturer
  d[15] = 2;  // iProduct
  d[16] = 3;  // iSerialNumber
  d[17] = 1;  // one configuration
  return d;
}

std::vector<std::uint8_t> MassStorageDevice::configurationDescriptor() const {
  std::vector<std::uint8_t> d(32, 0);
  // Configuration
  d[0] = 9;
  d[1] = kDescriptorConfiguration;
  writeLe(d, 2, 2, 32);
  d[4] = 1;  // interfaces
  d[5] = 1;  // bConfigurationValue
  d[7] = 0x80;  // bus powered
  d[8] = 250;  // 500 mA
  // Interface 0: mass storage, SCSI transparent, Bulk-Only
  d[9] = 9;
  d[10] = 4;
  d[13] = 2;  // endpoints
  d[14] = 0x08;
  d[15] = 0x06;
  d[16] = 0x50;
  // Bulk-in
  d[18] = 7;
  d[19] = 5;
  d[20] = 0x80 | kBulkInEndpoint;
  d[21] = 0x02;
  writeLe(d, 22, 2, kBulkMaxPacket);
  // Bulk-out
  d[25] = 7;
  d[26] = 5;
  d[27] = kBulkOutEndpoint;
  d[28] = 0x02;
  writeLe(d, 29, 2, kBulkMaxPacket);
  return d;
}

std::vector<std::uint8_t> MassStorageDevice::stringDescriptor(std::uint8_t index) const {
  if (index == 0) return {4, kDescriptorString, 0x09, 0x04};  // US English
  const std::string* text = index == 1 ? &identity_.manufacturer
                          : index == 2 ? &identity_.product
                          : index == 3 ? &identity_.serial
                                       : nullptr;
  if (!text) return {};
  std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text->size()), kDescriptorString};
  for (char c : *text) {
    d.push_back(static_cast<std::uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

UsbReply MassStorageDevice::control(std::span<const std::uint8_t, 8> setup, std::span<const std::uint8_t>) {
  std::lock_guard lock(mutex_);
  if (gone_) return {kUrbNoDevice, {}};
  const std::uint8_t requestType = setup[0];
  const std::uint8_t request = setup[1];
  const auto value = static_cast<std::uint16_t>(readLe(setup, 2, 2));
  const auto index = static_cast<std::uint16_t>(readLe(setup, 4, 2));
  const auto length = static_cast<std::uint16_t>(readLe(setup, 6, 2));

  if ((requestType & 0x60) == 0x20) {  // class requests to the interface
    if (requestType == 0x21 && request == kMassStorageReset && value == 0 && length == 0) {
      resetTransport();
      return {};
    }
    if (requestType == 0xA1 && request == kGetMaxLun && value == 0 && length >= 1) return {0, {0}};
    return stall();
  }
  if ((requestType & 0x60) != 0) return stall();  // vendor requests: none
  return standardRequest(requestType, request, value, index, length);
}

UsbReply MassStorageDevice::standardRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                                            std::uint16_t index, std::uint16_t length) {
  const std::uint8_t recipient = requestType & 0x1F;
  switch (request) {
    case kGetDescriptor: {
      const std::uint8_t type = value >> 8;
      if (type == kDescriptorDevice) return cut(deviceDescriptor(), length);
      if (type == kDescriptorConfiguration && (value & 0xFF) == 0) return cut(configurationDescriptor(), length);
      if (type == kDescriptorString) {
        auto d = stringDescriptor(value & 0xFF);
        return d.empty() ? stall() : cut(std::move(d), length);
      }
      if (type == kDescriptorQualifier) {
        auto dev = deviceDescriptor();
        std::vector<std::uint8_t> q{10, kDescriptorQualifier, dev[2], dev[3], 0, 0, 0, 64, 1, 0};
        return cut(std::move(q), length);
      }
      return stall();
    }
    case kSetAddress:
      return {};
    case kSetConfiguration:
      if (value > 1) return stall();
      configuration_ = static_cast<std::uint8_t>(value);
      // A (re)configured device starts its transport afresh, as after a bus reset.
      resetTransport();
      haltIn_ = haltOut_ = false;
      return {};
    case kGetConfiguration:
      return cut({configuration_}, length);
    case kSetInterface:
      return (index == 0 && value == 0) ? UsbReply{} : stall();
    case kGetInterface:
      return cut({0}, length);
    case kGetStatus: {
      std::uint8_t bits = 0;
      if (recipient == 2) {
        const std::uint8_t ep = index & 0x0F;
        bits = ((index & 0x80) && ep == kBulkInEndpoint) ? haltIn_ : (ep == kBulkOutEndpoint ? haltOut_ : 0);
      }
      return cut({bits, 0}, length);
    }
    case kClearFeature:
      if (recipient == 2 && value == 0) {  // ENDPOINT_HALT
        // After an invalid CBW the endpoints stay halted until the reset.
        if (needsReset_) return {};
        if ((index & 0x0F) == kBulkInEndpoint) haltIn_ = false;
        if ((index & 0x0F) == kBulkOutEndpoint) haltOut_ = false;
        return {};
      }
      return recipient == 0 ? UsbReply{} : stall();
    case kSetFeature:
      if (recipient == 2 && value == 0) {
        if ((index & 0x0F) == kBulkInEndpoint) haltIn_ = true;
        if ((index & 0x0F) == kBulkOutEndpoint) haltOut_ = true;
        return {};
      }
      return {};
    default:
      return stall();
  }
}

void MassStorageDevice::resetTransport() {
  needsReset_ = false;
  phase_ = Phase::Idle;
  buffer_.clear();
  moved_ = available_ = residue_ = 0;
}

UsbReply MassStorageDevice::bulkOut(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
  std::lock_guard lock(mutex_);
  if (gone_) return {kUrbNoDevice, {}};
  if (endpoint != kBulkOutEndpoint || haltOut_) return stall();
  if (phase_ == Phase::Hung) return {0, {}, true};

  if (phase_ == Phase::Idle) {
    CommandBlockWrapper cbw;
    if (!parseCbw(data, cbw)) {
      needsReset_ = haltIn_ = haltOut_ = true;
      return {};
    }
    ++commands_;
    cbw_ = std::move(cbw);
    moved_ = available_ = 0;
    buffer_.assign(cbw_.dataLength, 0);
    if (cbw_.dataLength != 0 && !cbw_.dataIn) {
      phase_ = Phase::DataOut;
      return {};
    }
    executeCommand();
    return {};
  }
  if (phase_ == Phase::DataOut) {
    const std::uint32_t room = cbw_.dataLength - moved_;
    if (data.size() > room) {
      // More data than the CBW announced: phase error, the host must reset.
      cswStatus_ = kCswPhaseError;
      residue_ = 0;
      phase_ = Phase::Status;
      haltOut_ = true;
      return stall();
    }
    std::copy(data.begin(), data.end(), buffer_.begin() + moved_);
    moved_ += static_cast<std::uint32_t>(data.size());
    if (moved_ == cbw_.dataLength) executeCommand();
    return {};
  }
  // Data where a CSW or data-in was due.
  haltOut_ = true;
  return stall();
}

UsbReply MassStorageDevice::bulkIn(std::uint8_t endpoint, std::uint32_t length) {
  std::lock_guard lock(mutex_);
  if (gone_) return {kUrbNoDevice, {}};
  if (endpoint != kBulkInEndpoint || haltIn_) return stall();
  if (phase_ == Phase::Hung) return {0, {}, true};

  if (phase_ == Phase::DataIn) {
    const std::uint32_t left = available_ - moved_;
    if (left == 0 && moved_ == 0 && cswStatus_ != kCswPassed) {
      // A failed command with nothing to send ends its data phase with a stall.
      haltIn_ = true;
      phase_ = Phase::Status;
      return stall();
    }
    const std::uint32_t n = std::min(left, length);
    UsbReply reply{0, std::vector<std::uint8_t>(buffer_.begin() + moved_, buffer_.begin() + moved_ + n)};
    moved_ += n;
    // A short transfer, or the host's whole length, ends the data phase.
    if (n < length || moved_ == cbw_.dataLength) phase_ = Phase::Status;
    return reply;
  }
  if (phase_ == Phase::Status) {
    if (length < kCswSize) return stall();
    const auto csw = buildCsw(cbw_.tag, residue_, cswStatus_);
    phase_ = Phase::Idle;
    buffer_.clear();
    return {0, {csw.begin(), csw.end()}};
  }
  return stall();
}

void MassStorageDevice::executeCommand() {
  ScsiTargetResult result;
  if (!answerBuiltIn(result)) {
    // The target runs under the device's lock: one command at a time, in order, which is what
    // Bulk-Only Transport gives anyway.
    result = target_.execute(cbw_.cdb, cbw_.dataIn, buffer_.data(), cbw_.dataLength);
  }
  if (!result.completed) {
    gone_ = true;
    return;
  }
  if (result.hang) {
    phase_ = Phase::Hung;
    return;
  }
  const std::uint32_t moved = std::min(result.transferred, cbw_.dataLength);
  residue_ = cbw_.dataLength - moved;
  if (result.status == kScsiStatusGood) {
    cswStatus_ = kCswPassed;
  } else {
    cswStatus_ = kCswFailed;
    pendingSense_ = result.sense;
  }
  if (cbw_.dataIn && cbw_.dataLength != 0) {
    available_ = moved;
    moved_ = 0;
    phase_ = Phase::DataIn;
  } else {
    phase_ = Phase::Status;
  }
}

ScsiTargetResult MassStorageDevice::replyData(std::vector<std::uint8_t> bytes, std::uint32_t allocation) {
  ScsiTargetResult r;
  const std::uint32_t n = std::min<std::uint32_t>({static_cast<std::uint32_t>(bytes.size()), allocation,
                                                   cbw_.dataIn ? cbw_.dataLength : 0u});
  std::copy_n(bytes.begin(), n, buffer_.begin());
  r.transferred = n;
  return r;
}

bool MassStorageDevice::answerBuiltIn(ScsiTargetResult& result) {
  const auto& cdb = cbw_.cdb;
  const std::uint8_t op = cdb[0];
  if (op != 0x03 && target_.answersCommand(op)) return false;
  switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
    case 0x35:  // SYNCHRONIZE CACHE(10)
    case 0x1B:  // START STOP UNIT
      result = {};
      return true;
    case 0x12:
      result = inquiry();
      return true;
    case 0x25:
      result = readCapacity(false);
      return true;
    case 0x9E:
      if ((cdb.size() < 16) || (cdb[1] & 0x1F) != 0x10) return false;
      result = readCapacity(true);
      return true;
    case 0x1A:
      result = modeSense(false);
      return true;
    case 0x5A:
      result = modeSense(true);
      return true;
    case 0x03:
      result = requestSense();
      return true;
    default:
      return false;
  }
}

ScsiTargetResult MassStorageDevice::inquiry() {
  const auto& cdb = cbw_.cdb;
  if (cdb.size() < 6) return invalidFieldInCdb();
  const auto allocation = static_cast<std::uint32_t>(readBe(cdb, 3, 2));
  if (cdb[1] & 0x01) {  // EVPD
    switch (cdb[2]) {
      case 0x00:
        return replyData({0x00, 0x00, 0x00, 0x02, 0x00, 0x80}, allocation);
      case 0x80: {
        std::vector<std::uint8_t> page{0x00, 0x80, 0x00, static_cast<std::uint8_t>(identity_.serial.size())};
        page.insert(page.end(), identity_.serial.begin(), identity_.serial.end());
        return replyData(std::move(page), allocation);
      }
      default:
        return invalidFieldInCdb();
    }
  }
  if (cdb[2] != 0) return invalidFieldInCdb();
  std::vector<std::uint8_t> d(36, 0);
  d[0] = 0x00;  // direct-access block device
  d[2] = identity_.inquiryVersion;
  d[3] = 0x02;  // response data format
  d[4] = identity_.inquiryAdditionalLength;
  putPadded(d, 8, 8, identity_.scsiVendor);
  putPadded(d, 16, 16, identity_.scsiProduct);
  putPadded(d, 32, 4, identity_.scsiRevision);
  return replyData(std::move(d), allocation);
}

ScsiTargetResult MassStorageDevice::readCapacity(bool sixteen) {
  const std::uint64_t sectors = target_.capacitySectors();
  const std::uint64_t last = sectors == 0 ? 0 : sectors - 1;
  if (!sixteen) {
    std::vector<std::uint8_t> d(8, 0);
    writeBe(d, 0, 4, std::min<std::uint64_t>(last, 0xFFFFFFFF));
    writeBe(d, 4, 4, 512);
    return replyData(std::move(d), 8);
  }
  std::vector<std::uint8_t> d(32, 0);
  writeBe(d, 0, 8, last);
  writeBe(d, 8, 4, 512);
  return replyData(std::move(d), static_cast<std::uint32_t>(readBe(cbw_.cdb, 10, 4)));
}

ScsiTargetResult MassStorageDevice::modeSense(bool ten) {
  const auto& cdb = cbw_.cdb;
  if (cdb.size() < (ten ? 10u : 6u)) return invalidFieldInCdb();
  const std::uint8_t pageControl = cdb[2] >> 6;
  const std::uint8_t page = cdb[2] & 0x3F;
  if (pageControl == 3) return checkCondition(kSenseIllegalRequest, 0x39, 0x00);  // saved values
  const bool changeable = pageControl == 1;
  std::vector<std::uint8_t> caching(20, 0);
  caching[0] = 0x08;
  caching[1] = 0x12;
  std::vector<std::uint8_t> control(12, 0);
  control[0] = 0x0A;
  control[1] = 0x0A;
  if (changeable) std::fill(caching.begin() + 2, caching.end(), 0), std::fill(control.begin() + 2, control.end(), 0);

  std::vector<std::uint8_t> pages;
  if (page == 0x08 || page == 0x3F) pages.insert(pages.end(), caching.begin(), caching.end());
  if (page == 0x0A || page == 0x3F) pages.insert(pages.end(), control.begin(), control.end());
  if (pages.empty()) return invalidFieldInCdb();

  const std::size_t header = ten ? 8 : 4;
  std::vector<std::uint8_t> d(header, 0);
  d.insert(d.end(), pages.begin(), pages.end());
  if (ten) {
    writeBe(d, 0, 2, d.size() - 2);
  } else {
    d[0] = static_cast<std::uint8_t>(d.size() - 1);
  }
  const auto allocation = static_cast<std::uint32_t>(ten ? readBe(cdb, 7, 2) : cdb[4]);
  return replyData(std::move(d), allocation);
}

ScsiTargetResult MassStorageDevice::requestSense() {
  const auto& cdb = cbw_.cdb;
  if (cdb.size() < 6) return invalidFieldInCdb();
  const bool wantDescriptor = cdb[1] & 0x01;
  std::vector<std::uint8_t> sense = std::move(pendingSense_);
  pendingSense_.clear();
  const SenseSummary s = summarizeSense(sense);
  if (!s.valid) sense = buildFixedSense(kSenseNoSense, 0, 0);
  const SenseSummary have = summarizeSense(sense);
  if (wantDescriptor && !have.descriptorFormat) {
    sense = buildDescriptorSense(have.key, have.asc, have.ascq);
  } else if (!wantDescriptor && have.descriptorFormat && policy_ == DescriptorSenseOnFixedRequest::Convert) {
    sense = descriptorSenseToFixed(sense);
  } else if (!wantDescriptor && have.descriptorFormat && !findAtaStatusReturn(sense)) {
    // Plain descriptor sense without ATA registers loses nothing in fixed format.
    sense = descriptorSenseToFixed(sense);
  }
  return replyData(std::move(sense), cdb[4]);
}

}  // namespace tervalo::usbip
