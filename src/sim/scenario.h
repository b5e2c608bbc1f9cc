#pragma once
// A scenario: what the simulated host holds (ordinary disks and controllers on each access
// path), what each controller's array looks like, how it changes over time and which requests
// fail. Scenarios are built in code (tests, the built-in demo) or loaded from JSON files
// (docs/scenarios.md describes the format).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "sim/request_kind.h"
#include "sim/spi_nor_flash.h"

namespace tervalo::sim {

// How a controller is reached.
enum class AccessPath : std::uint8_t {
  Mailbox,       // READ(10)/WRITE(10) of the mailbox sectors; LBA 58 answers the identify block
  Ata,           // vendor ATA command 0x88; IDENTIFY answers the identify block
  MailboxAta,    // both of the above
  VendorSingle,  // vendor SCSI command block, single-prefix form (FE sub ...)
  VendorDouble,  // vendor SCSI command block, double-prefix form (FE FE sub ...)
};

std::string_view accessPathId(AccessPath path);
std::optional<AccessPath> parseAccessPath(std::string_view id);
inline bool hasMailbox(AccessPath p) { return p == AccessPath::Mailbox || p == AccessPath::MailboxAta; }
inline bool hasAta(AccessPath p) { return p == AccessPath::Ata || p == AccessPath::MailboxAta; }
inline bool isVendorScsi(AccessPath p) { return p == AccessPath::VendorSingle || p == AccessPath::VendorDouble; }

struct VolumeConfig {
  std::string identity;  // "sda1"
  bool removable = false;
  std::uint64_t startSector = 0;
  std::uint64_t sectorCount = 0;
  bool operator==(const VolumeConfig&) const = default;
};

// What IDENTIFY (or the identify-format block) carries. Texts are plain; the simulator stores
// them as ATA strings.
struct IdentifyConfig {
  std::string firmwareRevision;  // 8 characters, bytes 46..53
  std::string model;             // 40 characters, bytes 54..93
  std::string serial;            // 20 characters, bytes 20..39
  bool operator==(const IdentifyConfig&) const = default;
};

struct PortModel {
  std::string serial;        // 20 characters
  std::string model;         // 40 characters
  std::uint64_t capacity = 0;  // sectors, 40 bits
  std::uint8_t sataGeneration = 0;
  bool operator==(const PortModel&) const = default;
};

// The array as the controller reports it in its status record.
struct ArrayModel {
  std::uint8_t spiConfigVersion = 0xA0;
  std::uint8_t spiRaidMode = 1;
  std::uint8_t settingFlags = 0xF1;  // buzzer on, RAID mode from the jumpers
  std::uint8_t systemRaidMode = 1;
  std::uint64_t arrayCapacity = 0;
  std::uint8_t portState = 0x22;
  std::uint8_t activity = 0;
  std::uint8_t progress = 0;
  std::string firmwareBuild = "B0F";
  std::uint8_t badSectorCount = 0;
  std::array<std::uint32_t, 10> badSectorLbas{};
  std::array<PortModel, 2> ports{};
  bool operator==(const ArrayModel&) const = default;
};

// A change of some record fields; fields left empty stay as they are.
struct RecordPatch {
  std::optional<std::uint8_t> spiConfigVersion, spiRaidMode, settingFlags, systemRaidMode;
  std::optional<std::uint64_t> arrayCapacity;
  std::optional<std::uint8_t> portState, activity, progress, badSectorCount;
  std::optional<std::string> firmwareBuild;
  std::array<std::optional<PortModel>, 2> ports{};
  bool operator==(const RecordPatch&) const = default;
};

struct BadSectorEvent {
  int port = 0;  // sets activity bit 0x04 (P0) or 0x08 (P1)
  std::uint32_t lba = 0;
  bool operator==(const BadSectorEvent&) const = default;
};

struct InsertDiskEvent {
  int port = 0;  // port bits become 0x01/0x10 (inserted, not yet initialized)
  PortModel disk;
  bool operator==(const InsertDiskEvent&) const = default;
};

// One step of a controller's timeline. It takes effect when the controller receives its
// `atStatusRead`-th status read (1-based), before it answers that read. The parts apply in the
// order: pullDisk, insertDisk, set, badSectors, unplug.
struct TimelineStep {
  std::uint32_t atStatusRead = 1;
  std::optional<int> pullDisk;  // port bits become 0x04/0x40 (absent), the port's disk is cleared
  std::optional<InsertDiskEvent> insertDisk;
  RecordPatch set;
  std::vector<BadSectorEvent> badSectors;
  // The whole enclosure is unplugged: its drive vanishes (this read fails too) and comes back
  // after this many open attempts have failed while it was gone (0: it stays gone).
  std::optional<std::uint32_t> unplugForOpens;
  bool operator==(const TimelineStep&) const = default;
};

enum class FaultEffect : std::uint8_t {
  Fail,     // the request does not complete (sendScsi/sendAta false, open invalid)
  Corrupt,  // the request completes, but the data read back has flipped bits
  Vanish,   // the drive vanishes at this request (which fails), see reappearAfterOpens
};

std::string_view faultEffectId(FaultEffect effect);

// Requests of `kind` (on `drive`, or on every drive when it is -1, counted per drive) are hit
// from their `from`-th occurrence (1-based) for `count` occurrences, or for good when count is 0.
struct FaultSpec {
  int drive = -1;
  RequestKind kind = RequestKind::PlainRead;
  std::uint32_t from = 1;
  std::uint32_t count = 1;
  FaultEffect effect = FaultEffect::Fail;
  // Vanish only: the drive comes back after this many failed opens (0: stays gone).
  std::uint32_t reappearAfterOpens = 0;
  bool operator==(const FaultSpec&) const = default;
};

struct FlashConfig {
  std::uint32_t size = kDefaultFlashSize;
  bool erased = false;  // true: all 0xFF instead of the default firmware image
  std::uint8_t configVersion = 0xA0;  // byte 1 of the image's settings record
  struct Patch {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Patch&) const = default;
  };
  std::vector<Patch> patches;  // raw bytes put over the content
  bool operator==(const FlashConfig&) const = default;
};

struct ControllerConfig {
  AccessPath path = AccessPath::Mailbox;
  IdentifyConfig identify{"100315.1", "Tervalo Sim RAID Bridge", "SIMCTL0001"};
  FlashConfig flash;
  ArrayModel record;
  std::vector<TimelineStep> timeline;
  // Percent a scan started by a scan order advances on every status read.
  std::uint8_t scanStepPerRead = 10;
  bool operator==(const ControllerConfig&) const = default;
};

struct DriveConfig {
  int number = 0;  // physical drive 0..9
  std::uint64_t sectors = 976773168;  // size of the disk the host sees
  std::uint8_t inquiryAdditionalLength = 31;
  std::string vendor = "SIM";       // INQUIRY vendor (8 characters)
  std::string product = "Sim Disk";  // INQUIRY product (16 characters)
  IdentifyConfig identify{"1.0", "Sim Plain Disk", "SIMDISK0001"};  // ordinary disks only
  std::vector<VolumeConfig> volumes;
  std::optional<ControllerConfig> controller;  // empty: an ordinary disk
  bool operator==(const DriveConfig&) const = default;
};

struct VirtualClockConfig {
  LocalDateTime start;
  std::uint32_t secondsPerRefresh = 4;
  bool operator==(const VirtualClockConfig&) const = default;
};

struct Scenario {
  std::string name;
  std::vector<DriveConfig> drives;
  std::vector<FaultSpec> faults;
  std::optional<VirtualClockConfig> clock;
  bool operator==(const Scenario&) const = default;

  // Builders for tests.
  DriveConfig& addPlainDisk(int number, std::uint64_t sectors = 976773168);
  DriveConfig& addController(int number, const ControllerConfig& config);
  DriveConfig& addController(int number, AccessPath path);
};

// A healthy two-disk mirror on a controller of `path`: two ~500 GB disks, SATA 2 links.
ControllerConfig healthyMirrorController(AccessPath path);

// The built-in demo: a system disk, a healthy mirror on a mailbox controller and a mirror
// rebuilding towards P1 that finds a bad sector on the way. data/scenarios/demo.json is the same.
Scenario builtinDemoScenario();

// Loads a scenario file. On failure `error` names the file, the JSON path of the field and the
// problem, and `out` is left untouched.
bool loadScenarioFile(const std::string& path, Scenario& out, std::string& error);
// Parses scenario text; `origin` names the source in error texts.
bool parseScenario(const std::string& text, const std::string& origin, Scenario& out, std::string& error);
// The scenario as JSON text that parseScenario reads back equal.
std::string scenarioToJson(const Scenario& scenario);
// A status record's fields as a scenario file writes them ("record" of a controller).
std::string arrayModelToJson(const ArrayModel& model);

}  // namespace tervalo::sim
