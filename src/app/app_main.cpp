#include "app/app_main.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <cstdio>
#include <memory>

#include "app/main_window.h"
#include "app/single_instance.h"
#include "device/linux/linux_disk_host.h"
#include "eventlog/log_file.h"
#include "sim/scenario.h"
#include "sim/simulated_host.h"

namespace tervalo::app {

namespace {

struct CommandLine {
  bool simulate = false;
  QString scenarioFile;
  QString logDir;
};

// --simulate takes an optional value (--simulate=FILE), which QCommandLineParser has no form for:
// the value is moved to a hidden option first.
QStringList normaliseArguments(int argc, char** argv) {
  QStringList args;
  for (int i = 0; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    if (arg.startsWith("--simulate=")) {
      args << "--simulate" << "--scenario" << arg.mid(static_cast<qsizetype>(sizeof("--simulate=") - 1));
    } else {
      args << arg;
    }
  }
  return args;
}

// Parses the command line; prints and returns the exit code on --help, --version or an error.
// The help text names the program; there is no application object yet to take the name from.
QString helpTextOf(const QCommandLineParser& parser) {
  return parser.helpText().replace("<executable_name>", "tervalo");
}

std::optional<int> parseCommandLine(int argc, char** argv, CommandLine& out) {
  QCommandLineParser parser;
  parser.setApplicationDescription("Tervalo " TERVALO_VERSION " - management console for two-disk RAID enclosures");
  const QCommandLineOption help({"h", "help"}, "Show this help.");
  const QCommandLineOption version("version", "Show the version.");
  const QCommandLineOption simulate(
      "simulate", "Run against simulated enclosures: the built-in demo, or the scenario file given as --simulate=FILE.");
  QCommandLineOption scenario("scenario", "Scenario file of --simulate.", "FILE");
  scenario.setFlags(QCommandLineOption::HiddenFromHelp);
  const QCommandLineOption logDir("log-dir", "Folder of the day log files.", "DIR");
  parser.addOption(help);
  parser.addOption(version);
  parser.addOption(simulate);
  parser.addOption(scenario);
  parser.addOption(logDir);
  if (!parser.parse(normaliseArguments(argc, argv))) {
    std::fprintf(stderr, "tervalo: %s\n%s", qPrintable(parser.errorText()), qPrintable(helpTextOf(parser)));
    return 2;
  }
  if (parser.isSet(help)) {
    std::fputs(qPrintable(helpTextOf(parser)), stdout);
    return 0;
  }
  if (parser.isSet(version)) {
    std::puts("tervalo " TERVALO_VERSION);
    return 0;
  }
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "tervalo: unexpected argument '%s'\n", qPrintable(parser.positionalArguments().first()));
    return 2;
  }
  out.simulate = parser.isSet(simulate);
  out.scenarioFile = parser.value(scenario);
  out.logDir = parser.value(logDir);
  return std::nullopt;
}

}  // namespace

int runTervalo(int argc, char** argv) {
  CommandLine options;
  if (auto code = parseCommandLine(argc, argv, options)) return *code;

  // One console per desktop: a second start ends at once, silently.
  InstanceLock lock;
  std::string lockError;
  switch (lock.acquire(instanceLockPath(), lockError)) {
    case InstanceLock::Result::Acquired: break;
    case InstanceLock::Result::HeldElsewhere: return 0;
    case InstanceLock::Result::Failed:
      // Without a lock file the rule cannot be kept; the console still runs.
      std::fprintf(stderr, "tervalo: %s\n", lockError.c_str());
      break;
  }

  std::unique_ptr<RawDiskHost> host;
  std::unique_ptr<Clock> clock;
  if (options.simulate) {
    sim::Scenario scenario = sim::builtinDemoScenario();
    if (!options.scenarioFile.isEmpty()) {
      std::string error;
      if (!sim::loadScenarioFile(options.scenarioFile.toStdString(), scenario, error)) {
        std::fprintf(stderr, "tervalo: bad scenario: %s\n", error.c_str());
        return 2;
      }
    }
    auto simulated = std::make_unique<sim::SimulatedHost>(scenario);
    // The demo moves at the modelled speed of the device, so that progress can be watched.
    simulated->setRealTimePacing(true);
    clock = std::make_unique<sim::SimulatedClock>(*simulated);
    host = std::move(simulated);
  } else {
    clock = std::make_unique<SystemClock>();
    host = std::make_unique<LinuxDiskHost>();
  }

  const std::filesystem::path logFolder = pickLogFolder(
      options.logDir.isEmpty() ? std::nullopt : std::optional<std::filesystem::path>(options.logDir.toStdString()));
  if (logFolder.empty())
    std::fprintf(stderr, "tervalo: no folder for the day log (give --log-dir DIR); the log is kept in memory only.\n");

  QApplication app(argc, argv);
  QApplication::setApplicationName(kProgramTitle);
  QApplication::setApplicationDisplayName(QString());
  SystemClock windowClock;
  WindowOptions windowOptions;
  windowOptions.logFolder = logFolder;
  windowOptions.startWorkers = true;
  windowOptions.watchDeviceChanges = !options.simulate;
  windowOptions.windowClock = &windowClock;
  int code = 0;
  {
    MainWindow window(std::move(host), std::move(clock), windowOptions);
    window.show();
    code = QApplication::exec();
  }
  return code;
}

}  // namespace tervalo::app
