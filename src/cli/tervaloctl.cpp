#include "cli/tervaloctl.h"

#include <CLI/CLI.hpp>

#include "device/linux/linux_disk_host.h"

namespace tervalo::cli {

Console* CliContext::makeConsole() {
  if (console) return console.get();
  ui = std::make_unique<CliUi>(err, in, assumeYes);
  clock = std::make_unique<SystemClock>();
  host = std::make_unique<LinuxDiskHost>(sysfsRoot, devRoot);
  console = std::make_unique<Console>(*host, *ui, *clock);
  return console.get();
}

int runTervaloctl(int argc, char** argv, std::ostream& out, std::ostream& err, std::istream& in) {
  CliContext ctx(out, err, in);
  CLI::App app{"tervaloctl " TERVALO_VERSION " - command-line console for two-disk RAID enclosures", "tervaloctl"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("tervaloctl ") + TERVALO_VERSION);
  app.add_flag("--yes,-y", ctx.assumeYes, "Answer yes to every question");
  app.add_option("--sysfs-root", ctx.sysfsRoot, "Where sysfs is mounted (for tests)")->group("");
  app.add_option("--dev-root", ctx.devRoot, "Where the device nodes live (for tests)")->group("");

  addDrivesCommand(app, ctx);
  addImageCommand(app, ctx);
  addFirmwareCheckCommand(app, ctx);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err);
  }
  return ctx.exitCode;
}

}  // namespace tervalo::cli
