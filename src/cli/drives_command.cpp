// tervaloctl drives: the drive table and the physical drives that open.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/tervaloctl.h"
#include "device/drive_table.h"

namespace tervalo::cli {

namespace {

const char* driveTypeName(std::uint8_t type) {
  switch (type) {
    case kDriveUnknown: return "unknown";
    case kDriveNoRootDir: return "no root directory";
    case kDriveRemovable: return "removable";
    case kDriveFixed: return "fixed";
    case kDriveRemote: return "remote";
    case kDriveCdRom: return "cd-rom";
    case kDriveRamDisk: return "ram disk";
    case kDriveOpenFailed: return "cannot open";
    default: return "?";
  }
}

void runDrives(CliContext& ctx, bool json) {
  Console* console = ctx.makeConsole();
  if (!console) {
    ctx.exitCode = 1;
    return;
  }
  auto& device = console->device;
  device.driveLetterCount = ScanLogicalDrives(*console);
  device.physicalDriveCount = CountPhysicalDrives(*console);
  BuildDriveTable(*console);

  struct Physical {
    int number;
    std::string name;
    bool opens;
    std::string error;
  };
  std::vector<Physical> physical;
  for (int n = 0; n < kMaxPhysicalDrives; ++n) {
    std::string name = console->host.physicalDriveName(n);
    if (name.empty()) continue;
    DriveHandle h = OpenDrive(console->host, n);
    physical.push_back({n, name, h.valid(), h.valid() ? std::string() : console->host.lastOpenError()});
  }
  const int rows = std::min(device.driveLetterCount, kDriveTableRows);

  if (json) {
    nlohmann::json j;
    j["volumeCount"] = device.driveLetterCount;
    j["physicalDriveCount"] = device.physicalDriveCount;
    j["volumes"] = nlohmann::json::array();
    for (int i = 0; i < rows; ++i) {
      const DriveEntry& r = device.driveTable[i];
      j["volumes"].push_back({{"identity", r.letter},
                              {"driveType", r.driveType},
                              {"driveTypeName", driveTypeName(r.driveType)},
                              {"diskNumber", r.diskNumber},
                              {"startingOffset", r.startingOffset},
                              {"extentLength", r.extentLength}});
    }
    j["physicalDrives"] = nlohmann::json::array();
    for (const auto& p : physical) {
      nlohmann::json e{{"number", p.number}, {"device", p.name}, {"opens", p.opens}};
      if (!p.opens) e["error"] = p.error;
      j["physicalDrives"].push_back(e);
    }
    ctx.out << j.dump(2) << '\n';
    return;
  }

  if (physical.empty()) {
    ctx.out << "No SCSI disks on this host (no /dev/sd*): nothing to probe.\n"
               "Try the simulated enclosures: tervaloctl --simulate detect\n";
  } else {
    ctx.out << "Physical drives:\n";
  }
  bool denied = false;
  for (const auto& p : physical) {
    ctx.out << "  " << p.number << "  " << p.name << "  " << (p.opens ? "opens" : "cannot open: " + p.error) << '\n';
    if (!p.opens) denied = true;
  }
  ctx.out << "Volumes (" << device.driveLetterCount << "):\n";
  for (int i = 0; i < rows; ++i) {
    const DriveEntry& r = device.driveTable[i];
    const std::string disk = r.diskNumber == kNoPhysicalDrive ? std::string("-") : std::to_string(r.diskNumber);
    ctx.out << "  " << r.letter << "  " << driveTypeName(r.driveType) << "  disk " << disk << "  offset " << r.startingOffset << "  length " << r.extentLength << '\n';
  }
  if (denied)
    ctx.out << "Raw disk access needs read and write rights on /dev/sd* and CAP_SYS_RAWIO: run as root,\n"
               "or install data/60-tervalo.rules and give tervaloctl the capability (see README).\n";
}

}  // namespace

void addDrivesCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("drives", "List the host's volumes and the physical drives that open");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print JSON");
  cmd->callback([&ctx, json] { runDrives(ctx, *json); });
}

}  // namespace tervalo::cli
