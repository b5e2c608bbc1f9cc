// tervaloctl detect: the controllers among the host's disks and how each one is reached.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>

#include "cli/controller_session.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "protocol/status_record.h"

namespace tervalo::cli {

namespace {

std::string hexByte(std::uint32_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
  return text;
}

void runDetect(CliContext& ctx, bool json) {
  Console* console = detectControllers(ctx);
  if (!console) {
    ctx.exitCode = 1;
    return;
  }
  const DeviceState& device = console->device;
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < device.controllerCount; ++i) {
    const auto flags = static_cast<std::uint8_t>(device.controllerList[static_cast<std::size_t>(i)] & 0xFF);
    const int drive = flags & kFlagDriveMask;
    const Sector& identify = device.identifyData[static_cast<std::size_t>(drive)];
    list.push_back({{"page", i + 1},
                    {"drive", drive},
                    {"flags", hexByte(flags)},
                    {"path", accessPathName(flags)},
                    {"firmwareRevision", identifyFirmwareRevision(identify)},
                    {"model", trimModelNumber(identifyModelNumber(identify))},
                    {"volumes", VolumesOfPhysicalDrive(device, drive)},
                    {"device", console->host.physicalDriveName(drive)}});
  }
  if (json) {
    ctx.out << nlohmann::json{{"controllerCount", device.controllerCount}, {"controllers", list}}.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    return;
  }
  if (list.empty()) {
    ctx.out << "No Drive found! \n";
    if (!ctx.simulate) ctx.out << "(Raw disk access needs root or CAP_SYS_RAWIO: see 'tervaloctl drives'.)\n";
    return;
  }
  for (const auto& c : list) {
    ctx.out << "Device" << c["page"].get<int>() << "  drive " << c["drive"].get<int>() << " ("
            << c["device"].get<std::string>() << ")  flags " << c["flags"].get<std::string>() << "  "
            << c["path"].get<std::string>() << "\n  F/W Rev. " << c["firmwareRevision"].get<std::string>()
            << "  model " << c["model"].get<std::string>() << "  volumes [" << c["volumes"].get<std::string>()
            << "]\n";
  }
  if (device.controllerCount > kDevicePages)
    ctx.out << "Only the first " << kDevicePages << " controllers get a device page.\n";
}

}  // namespace

void addDetectCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("detect", "Find the RAID bridge controllers among the host's disks");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print JSON");
  cmd->callback([&ctx, json] { runDetect(ctx, *json); });
}

}  // namespace tervalo::cli
