#include "cli/tervaloctl.h"

#include <CLI/CLI.hpp>

#include "device/linux/linux_disk_host.h"
#include "sim/scenario.h"
#include "sim/simulated_host.h"

namespace tervalo::cli {

Console* CliContext::makeConsole() {
  if (console) return console.get();
  ui = std::make_unique<CliUi>(err, in, assumeYes);
  if (simulateOption && simulateOption->count() > 0) simulate = true;
  if (simulate) {
    sim::Scenario scenario = sim::builtinDemoScenario();
    if (!scenarioFile.empty()) {
      std::string error;
      if (!sim::loadScenarioFile(scenarioFile, scenario, error)) {
        err << "Bad scenario: " << error << '\n';
        return nullptr;
      }
    }
    auto simulated = std::make_unique<sim::SimulatedHost>(scenario);
    clock = std::make_unique<sim::SimulatedClock>(*simulated);
    host = std::move(simulated);
  } else {
    clock = std::make_unique<SystemClock>();
    host = std::make_unique<LinuxDiskHost>(sysfsRoot, devRoot);
  }
  console = std::make_unique<Console>(*host, *ui, *clock);
  return console.get();
}

int runTervaloctl(int argc, char** argv, std::ostream& out, std::ostream& err, std::istream& in) {
  CliContext ctx(out, err, in);
  CLI::App app{"tervaloctl " TERVALO_VERSION " - command-line console for two-disk RAID enclosures", "tervaloctl"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("tervaloctl ") + TERVALO_VERSION);
  app.add_flag("--yes,-y", ctx.assumeYes, "Answer yes to every question");
  app.add_option("--simulate", ctx.scenarioFile,
                 "Run against simulated enclosures: the built-in demo, or the scenario file given "
                 "as --simulate=FILE")
      ->expected(0, 1);
  ctx.simulateOption = app.get_option("--simulate");
  app.add_option("--sysfs-root", ctx.sysfsRoot, "Where sysfs is mounted (for tests)")->group("");
  app.add_option("--dev-root", ctx.devRoot, "Where the device nodes live (for tests)")->group("");

  addDrivesCommand(app, ctx);
  addDetectCommand(app, ctx);
  addStatusCommand(app, ctx);
  addOrderCommands(app, ctx);
  addImageCommand(app, ctx);
  addFirmwareCheckCommand(app, ctx);
  addWatchCommand(app, ctx);
  addLogCommand(app, ctx);
  addSimulateCommand(app, ctx);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err);
  }
  return ctx.exitCode;
}

}  // namespace tervalo::cli
