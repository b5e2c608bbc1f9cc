#pragma once
// The simulated enclosure: a RawDiskHost with up to ten drives, each an ordinary disk or a RAID
// bridge controller on one access path. A controller answers what the console relies on and
// enforces what the real one would: command sectors are checked for signature and checksum,
// flash orders are refused outside their mode brackets, the SPI NOR flash behaves like the part.
// Refusals are recorded as violations; every request is classified, counted, charged to a
// virtual device clock and can be hit by a fault.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "device/raw_disk_host.h"
#include "sim/controller_model.h"
#include "sim/request_kind.h"
#include "sim/scenario.h"
#include "sim/spi_nor_flash.h"

namespace tervalo::sim {

// SCSI status values and sense keys the simulator reports.
inline constexpr std::uint8_t kScsiGood = 0x00;
inline constexpr std::uint8_t kScsiCheckCondition = 0x02;
inline constexpr std::uint8_t kSenseIllegalRequest = 0x05;
inline constexpr std::uint8_t kSenseNotReady = 0x02;

// What really happened to a SCSI request behind sendScsi's boolean.
struct ScsiOutcome {
  bool completed = false;  // the request reached the device and came back
  std::uint8_t status = kScsiGood;
  std::uint8_t senseKey = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  std::uint32_t transferred = 0;  // bytes moved in either direction
  RequestKind kind = RequestKind::OtherScsi;
};

// What really happened to an ATA request behind sendAta's boolean.
struct AtaOutcome {
  bool completed = false;
  AtaRegisters returned{};  // features = error, command = status
  std::uint32_t transferred = 0;
  RequestKind kind = RequestKind::AtaOther;
};

enum class ViolationKind : std::uint8_t {
  BadCommandSector,    // signature or checksum wrong: the sector was ignored
  OutsideSpiAccess,    // flash read, program or erase order outside ModeSpiOpen..ModeSpiClose
  LowRegionClosed,     // program or erase below 0xC000 without ModeLowRegionOpen
  OutsideUpgradeMode,  // program or erase outside ModeUpgradeEnter..ModeUpgradeLeave
  UnknownOrder,        // a well-formed order the controller does not know
  WrongPath,           // an order this controller's access path does not take
  WrongLba,            // a data-carrying order written elsewhere than LBA 20
};

std::string_view violationKindName(ViolationKind kind);

struct Violation {
  int drive = 0;
  ViolationKind kind = ViolationKind::BadCommandSector;
  std::string text;
};

enum class OrderVia : std::uint8_t { Mailbox, Ata, Vendor };

// One order as the controller received it.
struct OrderRecord {
  int drive = 0;
  RequestKind kind = RequestKind::UnknownOrder;
  OrderVia via = OrderVia::Mailbox;
  std::uint32_t lba = 0;            // mailbox: the LBA written
  std::uint8_t commandCode = 0;     // mailbox: byte 2; ATA: 0x88; vendor: the sub-command
  std::uint8_t subCode = 0;         // mailbox: byte 3; ATA: the features register
  std::uint32_t address = 0;        // flash address (bytes 4..6, LBA registers or CDB)
  bool accepted = false;            // carried out (false: ignored or refused)
  std::vector<std::uint8_t> data;   // mailbox: the 512-byte sector as received; vendor program: 256 bytes
  AtaRegisters ata{};               // ATA orders: the registers as received
};

// Mode state of a controller.
struct ControllerModes {
  bool spiOpen = false;
  bool lowRegionOpen = false;
  bool upgrade = false;
};

// The latency model of the virtual device clock, in microseconds. Flash figures are the typical
// values of the Winbond W25Q32JV data sheet (rev. F, 2017): page program tPP 0.4 ms, 4 KB sector
// erase tSE 45 ms, read (03h) at fR = 50 MHz, i.e. 8 + 24 + 4096 clocks for 512 bytes = 83 us.
// The USB figures are our estimate for a high-speed bulk-only transfer (command block, data,
// status: a few microframes) and a 35 MB/s data rate.
struct LatencyModel {
  std::uint64_t usbCommandOverheadUs = 500;
  std::uint64_t sectorEraseUs = 45000;
  std::uint64_t pageProgramUs = 400;
  std::uint64_t flashRead512Us = 83;
  double usbBytesPerUs = 35.0;
};

class SimulatedHost final : public RawDiskHost {
 public:
  SimulatedHost();
  explicit SimulatedHost(const Scenario& scenario);
  ~SimulatedHost() override;

  // Builders: add a drive (replacing one with the same number) and faults.
  void addDrive(const DriveConfig& drive);
  void addPlainDisk(int number, std::uint64_t sectors = 976773168);
  void addController(int number, const ControllerConfig& config);
  void addFault(const FaultSpec& fault);
  void clearFaults();

  // RawDiskHost.
  std::vector<VolumeInfo> listVolumes() override;
  HostHandle openPhysicalDrive(int n) override;
  HostHandle openVolume(const std::string& identity) override;
  bool volumeExtent(HostHandle handle, DiskExtent& extent) override;
  bool sendScsi(HostHandle handle, const ScsiRequest& request) override;
  bool sendAta(HostHandle handle, AtaRegisters& registers, std::uint8_t* data, std::uint32_t sectors) override;
  void rescanBus(HostHandle handle) override;
  void close(HostHandle handle) override;
  std::string physicalDriveName(int n) override;
  std::string lastOpenError() const override;

  // The full outcome of a request to physical drive `drive`, as a USB mass-storage front end
  // needs it. sendScsi and sendAta go through these after checking the handle.
  ScsiOutcome executeScsi(int drive, const ScsiRequest& request);
  AtaOutcome executeAta(int drive, const AtaRegisters& registers, std::uint8_t* data, std::uint32_t sectors);

  // Presence: a drive that is not present fails opens and requests; its open handles stay dead
  // even after it comes back. Bringing a controller back resets its mode state (power cycle).
  void setDrivePresent(int drive, bool present);
  bool drivePresent(int drive) const;

  // Counters.
  std::uint64_t requestCount(RequestKind kind, int drive = -1) const;
  std::uint64_t totalRequests() const;
  int openHandleCount() const;
  std::uint64_t deviceTimeUs() const;
  std::uint32_t statusReadCount(int drive) const;

  // Violations: the orders the controllers refused or ignored.
  std::vector<Violation> violations() const;
  std::size_t violationCount() const;
  std::size_t violationCount(ViolationKind kind) const;
  // One line per violation: "drive 1: outside SPI access: spi program order at 0x00C000 ...".
  std::string violationReport() const;

  // Orders received, in order.
  std::vector<OrderRecord> orderLog() const;
  void clearOrderLog();

  // Controller state for tests and the demo (nullptr / empty when `drive` is no controller).
  std::optional<ArrayModel> arrayModel(int drive) const;
  void setArrayModel(int drive, const ArrayModel& model);
  std::optional<ControllerModes> controllerModes(int drive) const;
  // A copy of the controller's flash array (empty when `drive` is no controller).
  std::vector<std::uint8_t> flashContents(int drive) const;
  void loadFlash(int drive, std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  // The record the controller would answer now (mailbox and ATA paths: the LBA 33 answer).
  std::optional<SimSector> currentStatusRecord(int drive) const;

  // Latency and pacing. With pacing on, every request sleeps for its modelled time.
  void setLatencyModel(const LatencyModel& model);
  void setRealTimePacing(bool on);

  // The scenario's virtual clock: start + secondsPerRefresh × the highest status-read count of
  // any controller; nullopt when the scenario has none.
  std::optional<LocalDateTime> scenarioNow() const;

 private:
  struct Drive;
  struct Controller;
  struct Handle {
    int drive = 0;
    bool volume = false;
    std::string identity;
    std::uint32_t generation = 0;
  };

  Drive* findDrive(int number) const;
  Drive* driveOfHandle(HostHandle handle, bool physicalOnly) const;
  RequestKind classifyScsi(const Drive& d, const ScsiRequest& r) const;
  RequestKind classifyAta(const Drive& d, const AtaRegisters& r) const;
  // Counts the request and applies faults; false when it must not reach the device.
  bool admit(Drive& d, RequestKind kind, bool& corrupt);
  void vanish(Drive& d, std::uint32_t reappearAfterOpens);
  void charge(std::uint64_t us);
  ScsiOutcome executeScsiLocked(Drive& d, const ScsiRequest& r);
  AtaOutcome executeAtaLocked(Drive& d, const AtaRegisters& regs, std::uint8_t* data, std::uint32_t sectors);
  void readSector(Drive& d, std::uint64_t lba, std::uint8_t* out, ScsiOutcome& outcome);
  void writeSector(Drive& d, std::uint64_t lba, const std::uint8_t* in);
  void handleCommandSector(Drive& d, std::uint32_t lba, const std::uint8_t* sector);
  bool onStatusRead(Drive& d);
  void applyModeOrder(Drive& d, std::uint8_t mode);
  bool checkFlashOrder(Drive& d, RequestKind kind, std::uint32_t address, bool write, const std::string& what);
  void storeRecordSlot(Drive& d);
  void violate(int drive, ViolationKind kind, std::string text);

  mutable std::mutex mutex_;
  std::map<int, std::unique_ptr<Drive>> drives_;
  std::map<HostHandle, Handle> handles_;
  HostHandle nextHandle_ = 100;
  std::vector<FaultSpec> faults_;
  std::vector<Violation> violations_;
  std::vector<OrderRecord> orders_;
  LatencyModel latency_;
  bool pacing_ = false;
  std::uint64_t deviceTimeUs_ = 0;
  std::string lastOpenError_;
  std::optional<VirtualClockConfig> clock_;
};

// The console's clock in a simulation: follows the scenario's virtual clock when it has one,
// else the host's local time.
class SimulatedClock final : public Clock {
 public:
  explicit SimulatedClock(const SimulatedHost& host) : host_(host) {}
  LocalDateTime now() override;

 private:
  const SimulatedHost& host_;
  SystemClock system_;
};

}  // namespace tervalo::sim
