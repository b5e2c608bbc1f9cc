#pragma once
#include <iostream>
#include <memory>
#include <string>

#include "cli/cli_ui.h"
#include "core/clock.h"
#include "core/console.h"

namespace CLI {
class App;
class Option;
}

namespace tervalo::cli {

// What every command shares: the streams, the global options and the console they build.
struct CliContext {
  CliContext(std::ostream& out_, std::ostream& err_, std::istream& in_) : out(out_), err(err_), in(in_) {}

  std::ostream& out;
  std::ostream& err;
  std::istream& in;

  // Global options.
  bool simulate = false;
  CLI::Option* simulateOption = nullptr;
  std::string scenarioFile;  // empty: the built-in demo
  bool assumeYes = false;
  std::string sysfsRoot = "/sys";
  std::string devRoot = "/dev";

  // Built on first use by makeConsole().
  std::unique_ptr<RawDiskHost> host;
  std::unique_ptr<CliUi> ui;
  std::unique_ptr<Clock> clock;
  std::unique_ptr<Console> console;

  // Builds the host the options ask for and a console over it; nullptr after printing the
  // reason when that fails.
  Console* makeConsole();

  int exitCode = 0;
};

// Command registration, one function per command group.
void addDrivesCommand(CLI::App& app, CliContext& ctx);
void addOrderCommands(CLI::App& app, CliContext& ctx);
void addDetectCommand(CLI::App& app, CliContext& ctx);
void addImageCommand(CLI::App& app, CliContext& ctx);
void addFirmwareCheckCommand(CLI::App& app, CliContext& ctx);
void addWatchCommand(CLI::App& app, CliContext& ctx);
void addLogCommand(CLI::App& app, CliContext& ctx);
void addStatusCommand(CLI::App& app, CliContext& ctx);
void addSimulateCommand(CLI::App& app, CliContext& ctx);

// Runs tervaloctl with the given arguments and streams; returns the exit code.
int runTervaloctl(int argc, char** argv, std::ostream& out = std::cout, std::ostream& err = std::cerr,
                  std::istream& in = std::cin);

}  // namespace tervalo::cli
