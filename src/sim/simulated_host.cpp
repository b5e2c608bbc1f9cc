#include "sim/simulated_host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/bytes.h"

namespace tervalo::sim {

namespace {

constexpr std::uint32_t kCommandLba = 20;
constexpr std::uint32_t kStatusLba = 33;
constexpr std::uint32_t kIdentifyLba = 58;
constexpr std::uint32_t kWindowLba = 60;
constexpr std::uint32_t kRequestLbaFirst = 3;
constexpr std::uint32_t kRequestLbaLast = 130;
constexpr std::uint32_t kLowRegionEnd = 0xC000;
constexpr std::uint32_t kStatusArea = 0x78000;
constexpr std::uint32_t kSlotSize = 256;

std::string hex(std::uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

bool validCommandSector(const std::uint8_t* s) {
  if (s[0] != '3' || s[1] != 'X') return false;
  std::uint32_t sum = 0;
  for (int i = 7; i <= 509; ++i) sum += s[i];
  return (sum & 0xFFFF) == (s[510] | (std::uint32_t{s[511]} << 8));
}

// The kind of a well-signed command sector, from its order code and sub-code.
RequestKind commandSectorKind(const std::uint8_t* s) {
  const std::uint8_t code = s[2];
  const std::uint8_t sub = s[3];
  switch (code) {
    case 0x00: return sub == 0x03 ? RequestKind::SpiReadOrder : RequestKind::UnknownOrder;
    case 0x01: return sub == 0x20 ? RequestKind::SpiEraseOrder : RequestKind::UnknownOrder;
    case 0x02: return sub == 0x02 ? RequestKind::SpiProgramOrder : RequestKind::UnknownOrder;
    case 0x03: return sub == 0 ? RequestKind::ModeSpiClose : sub == 1 ? RequestKind::ModeSpiOpen : RequestKind::UnknownOrder;
    case 0x04: return sub == 1 ? RequestKind::ModeLowOpen : sub == 0 ? RequestKind::ModeLowClose : RequestKind::UnknownOrder;
    case 0x10:
      return sub == 1 ? RequestKind::ModeUpgradeEnter : sub == 0 ? RequestKind::ModeUpgradeLeave : RequestKind::UnknownOrder;
    case 0x20: return sub <= 1 ? RequestKind::SettingsOrder : RequestKind::UnknownOrder;
    case 0x24: return sub <= 1 ? RequestKind::ScanOrder : RequestKind::UnknownOrder;
    default: return RequestKind::UnknownOrder;
  }
}

std::uint8_t modeValueOf(RequestKind k) {
  switch (k) {
    case RequestKind::ModeSpiClose: return 2;
    case RequestKind::ModeSpiOpen: return 3;
    case RequestKind::ModeLowOpen: return 4;
    case RequestKind::ModeLowClose: return 5;
    case RequestKind::ModeUpgradeLeave: return 16;
    case RequestKind::ModeUpgradeEnter: return 17;
    default: return 0;
  }
}

bool isModeKind(RequestKind k) { return modeValueOf(k) != 0; }

// Flips the low bit of every 61st byte, starting at a position that moves with the occurrence.
void corruptData(std::uint8_t* data, std::uint32_t length, std::uint64_t occurrence) {
  if (data == nullptr) return;
  for (std::uint32_t i = static_cast<std::uint32_t>(occurrence % 61); i < length; i += 61) data[i] ^= 0x01;
  if (length > 0) data[0] ^= 0x80;
}

AtaRegisters goodRegisters(const AtaRegisters& in) {
  AtaRegisters r = in;
  r.features = 0x00;  // error
  r.command = 0x50;   // status: ready, seek complete
  return r;
}

AtaRegisters abortedRegisters(const AtaRegisters& in) {
  AtaRegisters r = in;
  r.features = 0x04;  // error: aborted
  r.command = 0x51;   // status: ready, error
  return r;
}

void checkCondition(ScsiOutcome& o, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
  o.status = kScsiCheckCondition;
  o.senseKey = key;
  o.asc = asc;
  o.ascq = ascq;
}

}  // namespace

std::string_view violationKindName(ViolationKind kind) {
  switch (kind) {
    case ViolationKind::BadCommandSector: return "bad command sector";
    case ViolationKind::OutsideSpiAccess: return "outside SPI access";
    case ViolationKind::LowRegionClosed: return "low region closed";
    case ViolationKind::OutsideUpgradeMode: return "outside upgrade mode";
    case ViolationKind::UnknownOrder: return "unknown order";
    case ViolationKind::WrongPath: return "wrong path";
    case ViolationKind::WrongLba: return "wrong LBA";
  }
  return "?";
}

struct SimulatedHost::Controller {
  ControllerConfig config;
  SpiNorFlash flash;
  ArrayModel model;
  ControllerModes modes;
  SimSector window{};
  std::uint32_t statusReads = 0;
  std::size_t nextStep = 0;
  bool scanRunning = false;
  int scanPort = 0;
  std::uint64_t scanFirst = 0, scanLast = 0;
  SimSector lastSlot{};
  bool slotWritten = false;

  explicit Controller(const ControllerConfig& c) : config(c), flash(c.flash.size), model(c.record) {
    if (!c.flash.erased) {
      const auto image = buildDefaultFirmwareImage(flash.size(), c.flash.configVersion);
      flash.load(0, image);
    }
    for (const auto& p : c.flash.patches) flash.load(p.address, p.bytes);
    std::stable_sort(config.timeline.begin(), config.timeline.end(),
                     [](const TimelineStep& a, const TimelineStep& b) { return a.atStatusRead < b.atStatusRead; });
  }
};

struct SimulatedHost::Drive {
  DriveConfig config;
  std::unique_ptr<Controller> ctl;
  bool present = true;
  std::uint32_t generation = 0;
  std::uint32_t failedOpensWhileGone = 0;
  std::uint32_t reappearAfterOpens = 0;
  std::map<std::uint64_t, SimSector> sectors;  // written sectors only
  std::array<std::uint64_t, kRequestKindCount> counts{};

  explicit Drive(const DriveConfig& c) : config(c) {
    if (c.controller) ctl = std::make_unique<Controller>(*c.controller);
  }
  AccessPath path() const { return ctl->config.path; }
};

SimulatedHost::SimulatedHost() = default;

SimulatedHost::SimulatedHost(const Scenario& scenario) {
  for (const auto& d : scenario.drives) addDrive(d);
  faults_ = scenario.faults;
  clock_ = scenario.clock;
}

SimulatedHost::~SimulatedHost() = default;

void SimulatedHost::addDrive(const DriveConfig& drive) {
  std::lock_guard lock(mutex_);
  if (drive.number < 0 || drive.number >= kMaxPhysicalDrives) return;
  auto d = std::make_unique<Drive>(drive);
  Drive& ref = *d;
  drives_[drive.number] = std::move(d);
  if (ref.ctl && isVendorScsi(ref.path())) storeRecordSlot(ref);
}

void SimulatedHost::addPlainDisk(int number, std::uint64_t sectors) {
  DriveConfig d;
  d.number = number;
  d.sectors = sectors;
  addDrive(d);
}

void SimulatedHost::addController(int number, const ControllerConfig& config) {
  DriveConfig d;
  d.number = number;
  d.product = "Sim RAID Array";
  if (config.record.arrayCapacity != 0) d.sectors = config.record.arrayCapacity;
  d.controller = config;
  addDrive(d);
}

void SimulatedHost::addFault(const FaultSpec& fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

void SimulatedHost::clearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

SimulatedHost::Drive* SimulatedHost::findDrive(int number) const {
  auto it = drives_.find(number);
  return it == drives_.end() ? nullptr : it->second.get();
}

SimulatedHost::Drive* SimulatedHost::driveOfHandle(HostHandle handle, bool physicalOnly) const {
  auto it = handles_.find(handle);
  if (it == handles_.end()) return nullptr;
  if (physicalOnly && it->second.volume) return nullptr;
  return findDrive(it->second.drive);
}

// ---------------------------------------------------------------------------------------------
// Volumes and handles

std::vector<VolumeInfo> SimulatedHost::listVolumes() {
  std::lock_guard lock(mutex_);
  std::vector<VolumeInfo> out;
  for (const auto& [n, d] : drives_) {
    if (!d->present) continue;
    for (const auto& v : d->config.volumes)
      out.push_back({v.identity, static_cast<std::uint8_t>(v.removable ? kDriveRemovable : kDriveFixed)});
  }
  std::sort(out.begin(), out.end(), [](const VolumeInfo& a, const VolumeInfo& b) { return a.identity < b.identity; });
  return out;
}

HostHandle SimulatedHost::openPhysicalDrive(int n) {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(n);
  if (d == nullptr) {
    lastOpenError_ = "No such device";
    return kInvalidHandle;
  }
  // An unplugged enclosure comes back once enough opens have failed while it was gone; coming
  // back is a power cycle for the controller.
  if (!d->present && d->reappearAfterOpens > 0 && d->failedOpensWhileGone >= d->reappearAfterOpens) {
    d->present = true;
    d->failedOpensWhileGone = 0;
    d->reappearAfterOpens = 0;
    if (d->ctl) d->ctl->modes = ControllerModes{};
  }
  const bool wasPresent = d->present;
  bool corrupt = false;
  if (!admit(*d, RequestKind::Open, corrupt)) {
    if (!wasPresent) ++d->failedOpensWhileGone;
    lastOpenError_ = d->present ? "Input/output error" : "No such device";
    return kInvalidHandle;
  }
  lastOpenError_.clear();
  const HostHandle h = nextHandle_++;
  handles_[h] = Handle{n, false, {}, d->generation};
  return h;
}

HostHandle SimulatedHost::openVolume(const std::string& identity) {
  std::lock_guard lock(mutex_);
  for (const auto& [n, d] : drives_) {
    if (!d->present) continue;
    for (const auto& v : d->config.volumes)
      if (v.identity == identity) {
        const HostHandle h = nextHandle_++;
        handles_[h] = Handle{n, true, identity, d->generation};
        lastOpenError_.clear();
        return h;
      }
  }
  lastOpenError_ = "No such device";
  return kInvalidHandle;
}

bool SimulatedHost::volumeExtent(HostHandle handle, DiskExtent& extent) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || !it->second.volume) return false;
  Drive* d = findDrive(it->second.drive);
  if (d == nullptr || !d->present || d->generation != it->second.generation) return false;
  for (const auto& v : d->config.volumes)
    if (v.identity == it->second.identity) {
      extent.diskNumber = static_cast<std::uint32_t>(it->second.drive);
      extent.startingOffset = static_cast<std::int64_t>(v.startSector * 512);
      extent.extentLength = static_cast<std::int64_t>(v.sectorCount * 512);
      return true;
    }
  return false;
}

void SimulatedHost::close(HostHandle handle) {
  std::lock_guard lock(mutex_);
  handles_.erase(handle);
}

void SimulatedHost::rescanBus(HostHandle) {}

std::string SimulatedHost::physicalDriveName(int n) {
  std::lock_guard lock(mutex_);
  return findDrive(n) ? "sim:" + std::to_string(n) : std::string();
}

std::string SimulatedHost::lastOpenError() const {
  std::lock_guard lock(mutex_);
  return lastOpenError_;
}

void SimulatedHost::setDrivePresent(int drive, bool present) {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (d == nullptr || d->present == present) return;
  if (present) {
    d->present = true;
    d->failedOpensWhileGone = 0;
    d->reappearAfterOpens = 0;
    if (d->ctl) d->ctl->modes = ControllerModes{};
  } else {
    vanish(*d, 0);
  }
}

bool SimulatedHost::drivePresent(int drive) const {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  return d != nullptr && d->present;
}

void SimulatedHost::vanish(Drive& d, std::uint32_t reappearAfterOpens) {
  d.present = false;
  ++d.generation;
  d.failedOpensWhileGone = 0;
  d.reappearAfterOpens = reappearAfterOpens;
}

// ---------------------------------------------------------------------------------------------
// Requests

bool SimulatedHost::sendScsi(HostHandle handle, const ScsiRequest& request) {
  std::unique_lock lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.volume) return false;
  Drive* d = findDrive(it->second.drive);
  if (d == nullptr) return false;
  if (d->generation != it->second.generation) {
    // A handle from before the drive vanished: counted, never reaches the device.
    ++d->counts[static_cast<std::size_t>(classifyScsi(*d, request))];
    return false;
  }
  const std::uint64_t before = deviceTimeUs_;
  const ScsiOutcome o = executeScsiLocked(*d, request);
  const std::uint64_t spent = deviceTimeUs_ - before;
  const bool pace = pacing_;
  lock.unlock();
  if (pace) std::this_thread::sleep_for(std::chrono::microseconds(spent));
  return o.completed;
}

bool SimulatedHost::sendAta(HostHandle handle, AtaRegisters& registers, std::uint8_t* data, std::uint32_t sectors) {
  std::unique_lock lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.volume) return false;
  Drive* d = findDrive(it->second.drive);
  if (d == nullptr) return false;
  if (d->generation != it->second.generation) {
    ++d->counts[static_cast<std::size_t>(classifyAta(*d, registers))];
    return false;
  }
  const std::uint64_t before = deviceTimeUs_;
  const AtaOutcome o = executeAtaLocked(*d, registers, data, sectors);
  const std::uint64_t spent = deviceTimeUs_ - before;
  if (o.completed) registers = o.returned;
  const bool pace = pacing_;
  lock.unlock();
  if (pace) std::this_thread::sleep_for(std::chrono::microseconds(spent));
  return o.completed;
}

ScsiOutcome SimulatedHost::executeScsi(int drive, const ScsiRequest& request) {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (d == nullptr) return {};
  return executeScsiLocked(*d, request);
}

AtaOutcome SimulatedHost::executeAta(int drive, const AtaRegisters& registers, std::uint8_t* data,
                                     std::uint32_t sectors) {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (d == nullptr) return {};
  return executeAtaLocked(*d, registers, data, sectors);
}

RequestKind SimulatedHost::classifyScsi(const Drive& d, const ScsiRequest& r) const {
  const std::uint8_t op = r.cdb[0];
  if (op == 0x12) return RequestKind::Inquiry;
  if (op == 0x28 || op == 0x2A) {
    const std::uint32_t lba = static_cast<std::uint32_t>(readBe(r.cdb, 2, 4));
    const bool write = op == 0x2A;
    if (!d.ctl) return write ? RequestKind::PlainWrite : RequestKind::PlainRead;
    const AccessPath p = d.path();
    if (!write) {
      if (hasMailbox(p) && lba == kIdentifyLba) return RequestKind::IdentifyRead;
      if ((hasMailbox(p) || hasAta(p)) && lba == kStatusLba) return RequestKind::StatusRead;
      if ((hasMailbox(p) || hasAta(p)) && lba == kWindowLba) return RequestKind::WindowRead;
      return RequestKind::PlainRead;
    }
    const bool intercepted = lba == kCommandLba || (hasMailbox(p) && lba >= kRequestLbaFirst && lba <= kRequestLbaLast);
    if (!intercepted || r.data == nullptr || r.dataLength < 512) return RequestKind::PlainWrite;
    if (!validCommandSector(r.data)) return RequestKind::BadCommandSector;
    return commandSectorKind(r.data);
  }
  if (op == 0xFE) {
    if (!d.ctl || !isVendorScsi(d.path())) return RequestKind::VendorUnknown;
    const bool single = d.path() == AccessPath::VendorSingle;
    std::uint8_t sub = 0;
    if (single) {
      if (r.cdb[1] == 0xFE) return RequestKind::VendorUnknown;
      sub = r.cdb[1];
    } else {
      if (r.cdb[1] != 0xFE) return RequestKind::VendorUnknown;
      sub = r.cdb[2];
    }
    const unsigned s = single ? 1 : 0;
    switch (sub) {
      case 0x85: return r.cdb[8 - s] != 0 ? RequestKind::VendorProbeRead : RequestKind::VendorRead;
      case 0x89: return RequestKind::VendorProgram;
      case 0x81: return RequestKind::VendorErase;
      case 0x8B: return RequestKind::VendorIdentify;
      case 0x78: return RequestKind::VendorQuery;
      default: return RequestKind::VendorUnknown;
    }
  }
  return RequestKind::OtherScsi;
}

RequestKind SimulatedHost::classifyAta(const Drive& d, const AtaRegisters& r) const {
  if (r.command == 0xEC) return RequestKind::AtaIdentify;
  if (r.command == 0x88 && d.ctl && hasAta(d.path())) {
    if (r.features == 0x01) return RequestKind::SpiReadOrder;
    if (auto k = modeOrderKind(r.features)) return *k;
    return RequestKind::UnknownOrder;
  }
  return RequestKind::AtaOther;
}

bool SimulatedHost::admit(Drive& d, RequestKind kind, bool& corrupt) {
  const std::uint64_t n = ++d.counts[static_cast<std::size_t>(kind)];
  corrupt = false;
  if (!d.present) return false;
  for (const auto& f : faults_) {
    if (f.kind != kind || (f.drive != -1 && f.drive != d.config.number)) continue;
    if (n < f.from || (f.count != 0 && n >= std::uint64_t{f.from} + f.count)) continue;
    switch (f.effect) {
      case FaultEffect::Fail: return false;
      case FaultEffect::Corrupt: corrupt = true; break;
      case FaultEffect::Vanish: vanish(d, f.reappearAfterOpens); return false;
    }
  }
  return true;
}

void SimulatedHost::charge(std::uint64_t us) { deviceTimeUs_ += us; }

void SimulatedHost::violate(int drive, ViolationKind kind, std::string text) {
  violations_.push_back({drive, kind, std::move(text)});
}

ScsiOutcome SimulatedHost::executeScsiLocked(Drive& d, const ScsiRequest& r) {
  ScsiOutcome o;
  o.kind = classifyScsi(d, r);
  bool corrupt = false;
  charge(latency_.usbCommandOverheadUs);
  if (!admit(d, o.kind, corrupt)) return o;
  o.completed = true;
  const std::uint8_t op = r.cdb[0];
  const int number = d.config.number;
  auto transferTime = [this](std::uint32_t bytes) {
    charge(static_cast<std::uint64_t>(bytes / latency_.usbBytesPerUs));
  };

  if (op == 0x12) {
    const std::string rev = d.ctl ? d.ctl->config.identify.firmwareRevision : d.config.identify.firmwareRevision;
    const auto answer = buildInquiryAnswer(d.config.vendor, d.config.product, rev, d.config.inquiryAdditionalLength);
    const std::uint32_t n = std::min<std::uint32_t>(r.dataLength, std::min<std::uint32_t>(r.cdb[4], 36));
    if (r.dataIn && r.data) std::copy_n(answer.begin(), n, r.data);
    o.transferred = n;
  } else if (op == 0x28 || op == 0x2A) {
    const std::uint64_t lba = readBe(r.cdb, 2, 4);
    const std::uint32_t count = static_cast<std::uint32_t>(readBe(r.cdb, 7, 2));
    const bool write = op == 0x2A;
    if (lba + count > d.config.sectors) {
      checkCondition(o, kSenseIllegalRequest, 0x21);  // logical block address out of range
      return o;
    }
    if (r.data == nullptr || r.dataIn == write) {
      checkCondition(o, kSenseIllegalRequest, 0x24);  // invalid field in CDB
      return o;
    }
    const std::uint32_t n = std::min<std::uint32_t>(count, r.dataLength / 512);
    for (std::uint32_t i = 0; i < n; ++i) {
      if (write) {
        writeSector(d, lba + i, r.data + 512 * i);
      } else {
        readSector(d, lba + i, r.data + 512 * i, o);
        if (!o.completed) return o;  // the drive went away during the read (unplug)
      }
    }
    o.transferred = n * 512;
    transferTime(o.transferred);
  } else if (op == 0xFE) {
    if (o.kind == RequestKind::VendorUnknown) {
      checkCondition(o, kSenseIllegalRequest, 0x20);  // invalid command operation code
      return o;
    }
    Controller& c = *d.ctl;
    const unsigned s = d.path() == AccessPath::VendorSingle ? 1 : 0;
    const std::uint32_t address = static_cast<std::uint32_t>(readBe(r.cdb, 4 - s, 3));
    auto logOrder = [&](bool accepted, std::vector<std::uint8_t> data) {
      OrderRecord rec;
      rec.drive = number;
      rec.kind = o.kind;
      rec.via = OrderVia::Vendor;
      rec.commandCode = r.cdb[2 - s];
      rec.address = address;
      rec.accepted = accepted;
      rec.data = std::move(data);
      orders_.push_back(std::move(rec));
    };
    switch (o.kind) {
      case RequestKind::VendorProbeRead:
      case RequestKind::VendorRead: {
        if (o.kind == RequestKind::VendorProbeRead && address == kStatusArea) {
          // Every status-record search starts with this probe: the controller's status read.
          if (!onStatusRead(d)) {
            o.completed = false;
            return o;
          }
        }
        const std::uint32_t n = std::min<std::uint32_t>(r.dataLength, 512);
        if (r.dataIn && r.data) c.flash.read(address, std::span<std::uint8_t>(r.data, n));
        o.transferred = n;
        charge(latency_.flashRead512Us);
        transferTime(n);
        if (o.kind == RequestKind::VendorRead) logOrder(true, {});
        break;
      }
      case RequestKind::VendorProgram: {
        if (r.dataIn || r.data == nullptr || r.dataLength < kFlashPageSize) {
          checkCondition(o, kSenseIllegalRequest, 0x24);
          logOrder(false, {});
          return o;
        }
        std::vector<std::uint8_t> page(r.data, r.data + kFlashPageSize);
        c.flash.program(address, page);
        o.transferred = kFlashPageSize;
        charge(latency_.pageProgramUs);
        transferTime(kFlashPageSize);
        logOrder(true, std::move(page));
        break;
      }
      case RequestKind::VendorErase: {
        c.flash.eraseSector(address);
        charge(latency_.sectorEraseUs);
        const std::uint32_t n = std::min<std::uint32_t>(r.dataLength, 8);
        if (r.dataIn && r.data) std::fill_n(r.data, n, std::uint8_t{0});
        o.transferred = n;
        logOrder(true, {});
        break;
      }
      case RequestKind::VendorIdentify: {
        const SimSector b = buildIdentifyBlock(c.config.identify, d.config.sectors, true);
        const std::uint32_t n = std::min<std::uint32_t>(r.dataLength, 512);
        if (r.dataIn && r.data) std::copy_n(b.begin(), n, r.data);
        o.transferred = n;
        transferTime(n);
        break;
      }
      case RequestKind::VendorQuery: {
        std::array<std::uint8_t, 20> q{};
        q[0] = 0x50;
        q[1] = 0x8B;
        for (std::size_t i = 0; i < 8 && i < c.config.identify.firmwareRevision.size(); ++i)
          q[4 + i] = static_cast<std::uint8_t>(c.config.identify.firmwareRevision[i]);
        const std::uint32_t n = std::min<std::uint32_t>(r.dataLength, 20);
        if (r.dataIn && r.data) std::copy_n(q.begin(), n, r.data);
        o.transferred = n;
        break;
      }
      default: break;
    }
  } else {
    checkCondition(o, kSenseIllegalRequest, 0x20);
  }
  if (corrupt && r.dataIn && o.status == kScsiGood) corruptData(r.data, o.transferred, d.counts[static_cast<std::size_t>(o.kind)]);
  return o;
}

void SimulatedHost::readSector(Drive& d, std::uint64_t lba, std::uint8_t* out, ScsiOutcome& outcome) {
  if (d.ctl) {
    const AccessPath p = d.path();
    Controller& c = *d.ctl;
    if (hasMailbox(p) && lba == kIdentifyLba) {
      const SimSector b = buildIdentifyBlock(c.config.identify, d.config.sectors, true);
      std::copy(b.begin(), b.end(), out);
      return;
    }
    if ((hasMailbox(p) || hasAta(p)) && lba == kStatusLba) {
      if (!onStatusRead(d)) {
        outcome.completed = false;
        return;
      }
      const SimSector rec = encodeStatusRecord(c.model);
      std::copy(rec.begin(), rec.end(), out);
      return;
    }
    if ((hasMailbox(p) || hasAta(p)) && lba == kWindowLba) {
      std::copy(c.window.begin(), c.window.end(), out);
      return;
    }
  }
  auto it = d.sectors.find(lba);
  if (it == d.sectors.end())
    std::fill_n(out, 512, std::uint8_t{0});
  else
    std::copy(it->second.begin(), it->second.end(), out);
}

void SimulatedHost::writeSector(Drive& d, std::uint64_t lba, const std::uint8_t* in) {
  if (d.ctl) {
    const AccessPath p = d.path();
    const bool intercepted =
        lba == kCommandLba || (hasMailbox(p) && lba >= kRequestLbaFirst && lba <= kRequestLbaLast);
    if (intercepted) {
      handleCommandSector(d, static_cast<std::uint32_t>(lba), in);
      return;
    }
  }
  SimSector s;
  std::copy_n(in, 512, s.begin());
  d.sectors[lba] = s;
}

bool SimulatedHost::checkFlashOrder(Drive& d, RequestKind kind, std::uint32_t address, bool write,
                                    const std::string& what) {
  const ControllerModes& m = d.ctl->modes;
  const int n = d.config.number;
  bool ok = true;
  const std::string where = what + " at " + hex(address, 6);
  if (!m.spiOpen) {
    violate(n, ViolationKind::OutsideSpiAccess, where + " outside ModeSpiOpen..ModeSpiClose");
    ok = false;
  }
  if (write) {
    if (!m.upgrade) {
      violate(n, ViolationKind::OutsideUpgradeMode, where + " outside ModeUpgradeEnter..ModeUpgradeLeave");
      ok = false;
    }
    if (address < kLowRegionEnd && !m.lowRegionOpen) {
      violate(n, ViolationKind::LowRegionClosed, where + " below 0xC000 without ModeLowRegionOpen");
      ok = false;
    }
  }
  (void)kind;
  return ok;
}

void SimulatedHost::applyModeOrder(Drive& d, std::uint8_t mode) {
  ControllerModes& m = d.ctl->modes;
  switch (mode) {
    case 2: m.spiOpen = false; break;
    case 3: m.spiOpen = true; break;
    case 4: m.lowRegionOpen = true; break;
    case 5: m.lowRegionOpen = false; break;
    case 16: m.upgrade = false; break;
    case 17: m.upgrade = true; break;
    default: break;
  }
}

void SimulatedHost::handleCommandSector(Drive& d, std::uint32_t lba, const std::uint8_t* s) {
  Controller& c = *d.ctl;
  const int n = d.config.number;
  const AccessPath p = d.path();
  OrderRecord rec;
  rec.drive = n;
  rec.via = OrderVia::Mailbox;
  rec.lba = lba;
  rec.commandCode = s[2];
  rec.subCode = s[3];
  rec.address = static_cast<std::uint32_t>(readBe(ConstBytes(s, 512), 4, 3));
  rec.data.assign(s, s + 512);
  if (!validCommandSector(s)) {
    rec.kind = RequestKind::BadCommandSector;
    const bool signed3x = s[0] == '3' && s[1] == 'X';
    violate(n, ViolationKind::BadCommandSector,
            "sector written at LBA " + std::to_string(lba) + (signed3x ? " has a wrong checksum" : " has no \"3X\" signature") +
                " (ignored)");
    orders_.push_back(std::move(rec));
    return;
  }
  const RequestKind kind = commandSectorKind(s);
  rec.kind = kind;
  auto refuse = [&](ViolationKind v, const std::string& text) {
    violate(n, v, text);
    orders_.push_back(rec);
  };
  const std::string name = requestKindName(kind);
  if (kind == RequestKind::UnknownOrder) {
    refuse(ViolationKind::UnknownOrder,
           "order code " + hex(s[2], 2) + " sub-code " + hex(s[3], 2) + " at LBA " + std::to_string(lba));
    return;
  }
  const bool dataOrder = kind == RequestKind::SpiProgramOrder || kind == RequestKind::SpiEraseOrder ||
                         kind == RequestKind::SettingsOrder || kind == RequestKind::ScanOrder;
  const bool flashOrModeOrder = kind != RequestKind::SettingsOrder && kind != RequestKind::ScanOrder;
  if (flashOrModeOrder && !hasMailbox(p) && (isVendorScsi(p) || isModeKind(kind) || kind == RequestKind::SpiReadOrder)) {
    refuse(ViolationKind::WrongPath, name + " sent as a command sector to a controller on the " +
                                         std::string(accessPathId(p)) + " path");
    return;
  }
  if (dataOrder && lba != kCommandLba) {
    refuse(ViolationKind::WrongLba, name + " written at LBA " + std::to_string(lba) + " instead of LBA 20");
    return;
  }
  const std::uint32_t address = rec.address;
  switch (kind) {
    case RequestKind::SpiReadOrder:
      if (!checkFlashOrder(d, kind, address, false, name)) break;
      c.flash.read(address, c.window);
      charge(latency_.flashRead512Us);
      rec.accepted = true;
      break;
    case RequestKind::SpiProgramOrder:
      if (!checkFlashOrder(d, kind, address, true, name)) break;
      c.flash.program(address, std::span<const std::uint8_t>(s + 7, kFlashPageSize));
      charge(latency_.pageProgramUs);
      rec.accepted = true;
      break;
    case RequestKind::SpiEraseOrder:
      if (!checkFlashOrder(d, kind, address, true, name)) break;
      c.flash.eraseSector(address);
      charge(latency_.sectorEraseUs);
      rec.accepted = true;
      break;
    case RequestKind::SettingsOrder: {
      std::uint8_t f = c.model.settingFlags;
      f = static_cast<std::uint8_t>((f & ~0x01) | (s[3] & 0x01));
      f = static_cast<std::uint8_t>((f & ~0x02) | (s[4] ? 0x02 : 0x00));
      c.model.settingFlags = f;
      rec.accepted = true;
      if (isVendorScsi(p)) storeRecordSlot(d);
      break;
    }
    case RequestKind::ScanOrder: {
      const int port = s[4];
      if (port > 1) {
        violate(n, ViolationKind::UnknownOrder, "scan order for port " + std::to_string(port));
        break;
      }
      if (s[3] == 0) {
        // Start: refused while a rebuild or another scan runs, or when the port has no
        // initialized disk.
        const bool busy = (c.model.activity & 0x03) != 0;
        const bool ready = (c.model.portState & (port == 0 ? 0x02 : 0x20)) != 0;
        if (!busy && ready) {
          c.scanRunning = true;
          c.scanPort = port;
          c.scanFirst = readLe(ConstBytes(s, 512), 7, 6);
          c.scanLast = readLe(ConstBytes(s, 512), 13, 6);
          c.model.activity = static_cast<std::uint8_t>((c.model.activity & 0x0C) | 0x80 | (port == 0 ? 0x01 : 0x02));
          c.model.progress = 0;
          rec.accepted = true;
        }
      } else if (c.scanRunning) {
        c.scanRunning = false;
        c.model.activity = static_cast<std::uint8_t>(c.model.activity & 0x0C);
        rec.accepted = true;
      }
      if (rec.accepted && isVendorScsi(p)) storeRecordSlot(d);
      break;
    }
    default:
      if (isModeKind(kind)) {
        applyModeOrder(d, modeValueOf(kind));
        rec.accepted = true;
      }
      break;
  }
  orders_.push_back(std::move(rec));
}

bool SimulatedHost::onStatusRead(Drive& d) {
  Controller& c = *d.ctl;
  ++c.statusReads;
  bool changed = false;
  std::optional<std::uint32_t> unplug;
  while (c.nextStep < c.config.timeline.size() && c.config.timeline[c.nextStep].atStatusRead <= c.statusReads) {
    const TimelineStep& step = c.config.timeline[c.nextStep++];
    applyStep(c.model, step);
    changed = true;
    if (step.unplugForOpens) unplug = step.unplugForOpens;
  }
  if (c.scanRunning) {
    if (c.model.progress >= 99) {
      c.scanRunning = false;
      c.model.activity = static_cast<std::uint8_t>(c.model.activity & 0x0C);
    } else {
      c.model.progress = static_cast<std::uint8_t>(std::min<int>(99, c.model.progress + c.config.scanStepPerRead));
    }
    changed = true;
  }
  if (changed && isVendorScsi(d.path())) storeRecordSlot(d);
  if (unplug) {
    vanish(d, *unplug);
    return false;
  }
  return true;
}

void SimulatedHost::storeRecordSlot(Drive& d) {
  Controller& c = *d.ctl;
  const std::uint32_t size = c.flash.size();
  if (size < kStatusArea + kSlotSize) return;  // no status area on so small a flash
  const SimSector rec = encodeStatusRecord(c.model);
  if (c.slotWritten && std::equal(rec.begin(), rec.begin() + kSlotSize, c.lastSlot.begin())) return;
  // Find where the console's search ends: the first run of written slots, then the next one.
  std::uint8_t first = 0;
  std::uint32_t a = kStatusArea;
  auto firstByte = [&](std::uint32_t addr) {
    c.flash.read(addr, std::span<std::uint8_t>(&first, 1));
    return first;
  };
  while (a <= size - kSlotSize && firstByte(a) == 0xFF) a += kSlotSize;
  if (a > size - kSlotSize) {
    a = kStatusArea;  // nothing written: start at the beginning of the area
  } else {
    while (a <= size - kSlotSize && firstByte(a) != 0xFF) a += kSlotSize;
  }
  if (a > size - kSlotSize) {
    // The area is full: erase it and start again.
    for (std::uint32_t e = kStatusArea; e < size; e += kFlashSectorSize) {
      c.flash.eraseSector(e);
      charge(latency_.sectorEraseUs);
    }
    a = kStatusArea;
  }
  for (std::uint32_t off = 0; off < kSlotSize; off += kFlashPageSize)
    c.flash.program(a + off, std::span<const std::uint8_t>(rec.data() + off, kFlashPageSize));
  charge(latency_.pageProgramUs);
  std::copy(rec.begin(), rec.end(), c.lastSlot.begin());
  c.slotWritten = true;
}

AtaOutcome SimulatedHost::executeAtaLocked(Drive& d, const AtaRegisters& regs, std::uint8_t* data,
                                           std::uint32_t sectors) {
  AtaOutcome o;
  o.kind = classifyAta(d, regs);
  o.returned = regs;
  bool corrupt = false;
  charge(latency_.usbCommandOverheadUs);
  if (!admit(d, o.kind, corrupt)) return o;
  // A controller without the ATA path does not carry ATA pass-through at all.
  if (d.ctl && !hasAta(d.path())) return o;
  o.completed = true;
  const int n = d.config.number;
  if (regs.command == 0xEC) {
    const SimSector b = d.ctl ? buildIdentifyBlock(d.ctl->config.identify, d.config.sectors, true)
                              : buildIdentifyBlock(d.config.identify, d.config.sectors, false);
    if (sectors >= 1 && data != nullptr) {
      std::copy(b.begin(), b.end(), data);
      o.transferred = 512;
      charge(static_cast<std::uint64_t>(512 / latency_.usbBytesPerUs));
    }
    o.returned = goodRegisters(regs);
    if (corrupt) corruptData(data, o.transferred, d.counts[static_cast<std::size_t>(o.kind)]);
    return o;
  }
  if (!d.ctl || regs.command != 0x88) {
    o.returned = abortedRegisters(regs);
    return o;
  }
  Controller& c = *d.ctl;
  OrderRecord rec;
  rec.drive = n;
  rec.kind = o.kind;
  rec.via = OrderVia::Ata;
  rec.commandCode = 0x88;
  rec.subCode = regs.features;
  rec.address = (std::uint32_t{regs.lbaHigh} << 16) | (std::uint32_t{regs.lbaMid} << 8) | regs.lbaLow;
  rec.ata = regs;
  if (o.kind == RequestKind::UnknownOrder) {
    violate(n, ViolationKind::UnknownOrder, "ATA command 0x88 with features " + hex(regs.features, 2));
    o.returned = abortedRegisters(regs);
  } else if (o.kind == RequestKind::SpiReadOrder) {
    if (checkFlashOrder(d, o.kind, rec.address, false, requestKindName(o.kind))) {
      c.flash.read(rec.address, c.window);
      charge(latency_.flashRead512Us);
      rec.accepted = true;
      o.returned = goodRegisters(regs);
    } else {
      o.returned = abortedRegisters(regs);
    }
  } else {
    applyModeOrder(d, regs.features);
    rec.accepted = true;
    o.returned = goodRegisters(regs);
  }
  orders_.push_back(std::move(rec));
  return o;
}

// ---------------------------------------------------------------------------------------------
// Counters and state

std::uint64_t SimulatedHost::requestCount(RequestKind kind, int drive) const {
  std::lock_guard lock(mutex_);
  std::uint64_t total = 0;
  for (const auto& [n, d] : drives_)
    if (drive == -1 || drive == n) total += d->counts[static_cast<std::size_t>(kind)];
  return total;
}

std::uint64_t SimulatedHost::totalRequests() const {
  std::lock_guard lock(mutex_);
  std::uint64_t total = 0;
  for (const auto& [n, d] : drives_)
    for (auto c : d->counts) total += c;
  return total;
}

int SimulatedHost::openHandleCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(handles_.size());
}

std::uint64_t SimulatedHost::deviceTimeUs() const {
  std::lock_guard lock(mutex_);
  return deviceTimeUs_;
}

std::uint32_t SimulatedHost::statusReadCount(int drive) const {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  return d && d->ctl ? d->ctl->statusReads : 0;
}

std::vector<Violation> SimulatedHost::violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

std::size_t SimulatedHost::violationCount() const {
  std::lock_guard lock(mutex_);
  return violations_.size();
}

std::size_t SimulatedHost::violationCount(ViolationKind kind) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(violations_.begin(), violations_.end(), [kind](const Violation& v) { return v.kind == kind; }));
}

std::string SimulatedHost::violationReport() const {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const auto& v : violations_)
    out += "drive " + std::to_string(v.drive) + ": " + std::string(violationKindName(v.kind)) + ": " + v.text + "\n";
  return out;
}

std::vector<OrderRecord> SimulatedHost::orderLog() const {
  std::lock_guard lock(mutex_);
  return orders_;
}

void SimulatedHost::clearOrderLog() {
  std::lock_guard lock(mutex_);
  orders_.clear();
}

std::optional<ArrayModel> SimulatedHost::arrayModel(int drive) const {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (!d || !d->ctl) return std::nullopt;
  return d->ctl->model;
}

void SimulatedHost::setArrayModel(int drive, const ArrayModel& model) {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (!d || !d->ctl) return;
  d->ctl->model = model;
  if (isVendorScsi(d->path())) storeRecordSlot(*d);
}

std::optional<ControllerModes> SimulatedHost::controllerModes(int drive) const {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (!d || !d->ctl) return std::nullopt;
  return d->ctl->modes;
}

std::vector<std::uint8_t> SimulatedHost::flashContents(int drive) const {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (!d || !d->ctl) return {};
  return d->ctl->flash.array();
}

void SimulatedHost::loadFlash(int drive, std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (!d || !d->ctl) return;
  d->ctl->flash.load(address, bytes);
}

std::optional<SimSector> SimulatedHost::currentStatusRecord(int drive) const {
  std::lock_guard lock(mutex_);
  Drive* d = findDrive(drive);
  if (!d || !d->ctl) return std::nullopt;
  return encodeStatusRecord(d->ctl->model);
}

void SimulatedHost::setLatencyModel(const LatencyModel& model) {
  std::lock_guard lock(mutex_);
  latency_ = model;
}

void SimulatedHost::setRealTimePacing(bool on) {
  std::lock_guard lock(mutex_);
  pacing_ = on;
}

std::optional<LocalDateTime> SimulatedHost::scenarioNow() const {
  std::lock_guard lock(mutex_);
  if (!clock_) return std::nullopt;
  std::uint32_t reads = 0;
  for (const auto& [n, d] : drives_)
    if (d->ctl) reads = std::max(reads, d->ctl->statusReads);
  return clock_->start.plusSeconds(std::int64_t{clock_->secondsPerRefresh} * reads);
}

LocalDateTime SimulatedClock::now() {
  if (auto t = host_.scenarioNow()) return *t;
  return system_.now();
}

}  // namespace tervalo::sim
