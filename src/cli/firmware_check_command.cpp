// tervaloctl firmware check: loads an image file as "Load Firmware " does and says whether the
// upgrade would take it.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/flash_commands.h"
#include "device/offline_host.h"
#include "cli/tervaloctl.h"
#include "firmware/firmware_file.h"

namespace tervalo::cli {

namespace {

const char* outcomeName(LoadOutcome o) {
  switch (o) {
    case LoadOutcome::Accepted: return "accepted";
    case LoadOutcome::OpenFailed: return "open failed";
    case LoadOutcome::ReadFailed: return "read failed";
    case LoadOutcome::Rejected: return "rejected";
  }
  return "?";
}

void runCheck(CliContext& ctx, const std::string& path, bool json) {
  OfflineHost host;
  CliUi ui(ctx.err, ctx.in, ctx.assumeYes);
  ui.setQuiet(true);  // the "File:" panel: the path is printed below
  SystemClock clock;
  Console console(host, ui, clock);

  const LoadResult r = LoadFirmwareFile(console, path);
  const bool summed = r.outcome == LoadOutcome::Accepted || r.outcome == LoadOutcome::Rejected;
  ctx.exitCode = r.outcome == LoadOutcome::Accepted ? 0 : 1;

  if (json) {
    nlohmann::json j{{"file", path}, {"outcome", outcomeName(r.outcome)},
                     {"accepted", r.outcome == LoadOutcome::Accepted}};
    if (summed) {
      j["length"] = r.length;
      j["sum"] = r.sum;
      j["chksum"] = checksumText(r.sum);
    }
    if (!r.reason.empty()) j["reason"] = r.reason;
    ctx.out << j.dump(2) << '\n';
    return;
  }
  ctx.out << "File:" << path << '\n';
  if (summed) {
    ctx.out << "Length: " << r.length << " bytes\n" << checksumText(r.sum) << '\n';
  }
  if (r.outcome == LoadOutcome::Accepted)
    ctx.out << "Accepted: the upgrade would write this image\n";
  else
    ctx.err << "Refused: " << r.reason << '\n';
}

}  // namespace

void addFirmwareCheckCommand(CLI::App& app, CliContext& ctx) {
  auto* firmware = app.add_subcommand("firmware", "Firmware image files and firmware upgrades");
  firmware->require_subcommand(1);
  auto* check = firmware->add_subcommand("check", "Load an image file and say whether the upgrade accepts it");
  auto path = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  check->add_option("FILE", *path, "Firmware image file")->required();
  check->add_flag("--json", *json, "Print JSON");
  check->callback([&ctx, path, json] { runCheck(ctx, *path, *json); });
  addFirmwareUpgradeCommand(*firmware, ctx);
}

}  // namespace tervalo::cli
