// tervaloctl watch: headless monitoring of every detected controller with the console's refresh
// cycle and day log. tervaloctl log: prints a day log file.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>

#include "cli/controller_session.h"
#include "eventlog/event_log.h"
#include "eventlog/log_file.h"
#include "monitor/refresh_cycle.h"
#include "sim/simulated_host.h"

namespace tervalo::cli {

namespace {

// The one piece of state a signal handler can reach: set by SIGINT and SIGTERM while a watch runs.
std::atomic<bool> stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onStopSignal(int) { stopSignalled.store(true); }

// Installs the stop handlers for its lifetime and puts the previous ones back.
class StopSignals {
 public:
  StopSignals() {
    stopSignalled.store(false);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  static bool stopped() { return stopSignalled.load(); }

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
};

// Sleeps `seconds` in short slices; returns early once a stop signal came.
void sleepUnlessStopped(double seconds) {
  using namespace std::chrono;
  const auto end = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
  while (!StopSignals::stopped()) {
    const auto now = steady_clock::now();
    if (now >= end) return;
    std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, milliseconds(50)));
  }
}

std::string isoTime(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return text;
}

// The window's page control without a window: tabs, check boxes and the page on display. When
// the tab on display is hidden the next visible one comes up, as the page control does, and its
// controller's identity is taken (ScanSupported follows the page on display).
class HeadlessView final : public MonitorView {
 public:
  HeadlessView(Console& console, std::ostream& err) : console_(console), err_(err) {}

  void setTabVisible(int page, bool visible) override {
    tabs_.at(static_cast<std::size_t>(page)) = visible;
    int& active = console_.controls.activePage;
    if (visible && active < 0) {
      active = page;
    } else if (!visible && active == page) {
      active = -1;
      for (int k = 1; k < kDevicePages && active < 0; ++k) {
        const int candidate = (page + k) % kDevicePages;
        if (tabs_[static_cast<std::size_t>(candidate)]) active = candidate;
      }
      if (active >= 0) ShowDeviceIdentity(console_, active);
    }
  }
  void setDeviceBoxChecked(int page, bool checked) override {
    if (!checked)
      err_ << "Device" << page + 1 << " no longer monitored: six status reads in a row failed.\n";
  }
  void setControlEnabled(MonitorControl, bool) override {}
  void setMonitoringTimer(bool) override {}
  void showDeviceIdentity(const DeviceIdentity&) override {}
  void presentPanel(const MonitorPanelUpdate&) override {}

 private:
  Console& console_;
  std::ostream& err_;
  std::array<bool, kDevicePages> tabs_{};
};

struct WatchOptions {
  double interval = 4.0;
  int count = -1;  // -1: until a signal
  bool countGiven = false;
  std::string logDir;
  bool json = false;
};

// Makes sure day files can be written in `folder`: creates it when missing and writes a probe
// file. Prints the reason and returns false when that fails.
bool prepareLogFolder(CliContext& ctx, const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder)) {
    ctx.err << "Cannot use the log folder " << folder.string() << ": "
            << (ec ? ec.message() : std::string("not a directory")) << "\n";
    return false;
  }
  std::string probe = (folder / ".tervaloctl-probe-XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) {
    ctx.err << "Cannot write in the log folder " << folder.string() << ": " << std::strerror(errno) << "\n";
    return false;
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

void printNewLines(CliContext& ctx, const EventLogState& log, std::uint64_t appended, bool json) {
  const auto& lines = log.buffer.lines();
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(appended, lines.size()));
  for (std::size_t i = lines.size() - n; i < lines.size(); ++i) {
    if (json)
      ctx.out << nlohmann::json{{"line", lines[i]}, {"time", isoTime(log.passTime)}}.dump(
                     -1, ' ', false, nlohmann::json::error_handler_t::replace)
              << '\n';
    else
      ctx.out << lines[i] << '\n';
  }
  ctx.out.flush();
}

void runWatch(CliContext& ctx, const WatchOptions& o) {
  ctx.exitCode = 1;
  if (o.countGiven && o.count < 1) {
    ctx.err << "--count must be a whole number of cycles, 1 or more (got " << o.count << ").\n";
    return;
  }
  if (!std::isfinite(o.interval) || o.interval < 0) {
    ctx.err << "--interval must be a number of seconds, 0 or more (got " << o.interval << ").\n";
    return;
  }
  const std::filesystem::path folder =
      pickLogFolder(o.logDir.empty() ? std::nullopt : std::optional<std::filesystem::path>(o.logDir));
  if (folder.empty()) {
    ctx.err << "No folder for the day log: the program's folder is not writable and neither HOME nor "
               "XDG_STATE_HOME is set. Give --log-dir DIR.\n";
    return;
  }
  if (!prepareLogFolder(ctx, folder)) return;

  Console* console = detectControllers(ctx);
  if (!console) return;
  const int pages = std::min(console->device.controllerCount, kDevicePages);
  if (pages == 0) {
    ctx.err << "No controller found; nothing to watch."
            << (ctx.simulate ? "\n" : " Raw disk access may need root (see 'tervaloctl drives').\n");
    return;
  }
  console->eventLog.folder = folder;

  // The device pages as the rebuild after detection leaves them, then "Start".
  HeadlessView view(*console, ctx.err);
  console->controls.activePage = -1;
  for (int page = 0; page < pages; ++page) view.setTabVisible(page, true);
  ShowDeviceIdentity(*console, console->controls.activePage);
  Button10Click(*console, view);

  const auto* simulated = dynamic_cast<const sim::SimulatedHost*>(&console->host);
  const bool virtualTime = simulated && simulated->scenarioNow().has_value();
  ctx.err << "Watching " << pages << " controller" << (pages == 1 ? "" : "s") << " (Device1"
          << (pages > 1 ? "..Device" + std::to_string(pages) : std::string()) << "); day log in " << folder.string()
          << (virtualTime ? "; scenario time" : "") << ".\n";

  StopSignals signals;
  EventLogState& log = console->eventLog;
  int cycles = 0;
  bool everRead = false;
  bool stoppedByItself = false;
  bool saveWarned = false;
  while (!StopSignals::stopped() && (o.count < 0 || cycles < o.count)) {
    if (cycles > 0) Timer2Timer(*console);
    const std::uint64_t before = log.buffer.appendedLines();
    std::uint8_t mask = 0;
    // The request worker hands over one request at a time; run them all before the next tick.
    while (console->monitoring.pendingRequests.load() & kRequestMask) {
      std::uint8_t refreshed = 0;
      if (RunPendingRequest(*console, view, &refreshed) == kRequestRefresh) mask |= refreshed;
    }
    ++cycles;
    if (mask) everRead = true;
    printNewLines(ctx, log, log.buffer.appendedLines() - before, o.json);
    if (log.savedLines < log.buffer.lineCount() && !saveWarned) {
      ctx.err << "Cannot write the day log " << log.dayFile.string()
              << "; the lines are kept and written with the next change.\n";
      saveWarned = true;
    }
    if (!console->monitoring.monitoringRunning()) {
      stoppedByItself = true;
      break;
    }
    if (!virtualTime && (o.count < 0 || cycles < o.count)) sleepUnlessStopped(o.interval);
  }
  const bool signalled = StopSignals::stopped();
  // As the window's close does: monitoring ends.
  console->monitoring.pendingRequests.fetch_and(static_cast<std::uint8_t>(~kMonitoringRunning));

  bool saved = true;
  if (log.savedLines < log.buffer.lineCount()) saved = EndLogPass(log, true);
  if (stoppedByItself)
    ctx.err << "Monitoring stopped by itself after " << cycles << " cycle" << (cycles == 1 ? "" : "s")
            << ": no device page is left to read.\n";
  else
    ctx.err << "Stopped after " << cycles << " cycle" << (cycles == 1 ? "" : "s") << (signalled ? " (signal)" : "")
            << ".\n";
  if (!saved) {
    ctx.err << "The day log could not be written to " << log.dayFile.string() << ".\n";
    return;
  }
  if (!log.dayFile.empty()) ctx.err << "Day log: " << log.dayFile.string() << "\n";
  ctx.exitCode = (stoppedByItself && !everRead) ? 1 : 0;
}

struct LogOptions {
  std::string file;
  std::string logDir;
};

void runLog(CliContext& ctx, const LogOptions& o) {
  ctx.exitCode = 1;
  std::filesystem::path path = o.file;
  if (path.empty()) {
    const std::filesystem::path folder =
        pickLogFolder(o.logDir.empty() ? std::nullopt : std::optional<std::filesystem::path>(o.logDir));
    if (folder.empty()) {
      ctx.err << "No log folder: give --log-dir DIR or a FILE.\n";
      return;
    }
    // "Today" is the simulation's day when a scenario clock runs.
    Console* console = ctx.makeConsole();
    if (!console) return;
    path = folder / dayFileName(console->clock.now());
  }
  PosixLogFileIo io;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    ctx.err << "No log file " << path.string() << ".\n";
    return;
  }
  const auto content = io.readAll(path);
  if (!content) {
    ctx.err << "Cannot read the log file " << path.string() << ": " << std::strerror(errno) << "\n";
    return;
  }
  for (const std::string& line : splitLogText(*content)) ctx.out << line << '\n';
  ctx.exitCode = 0;
}

}  // namespace

void addWatchCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("watch", "Monitor every detected controller and keep the day log, as the console does");
  auto o = std::make_shared<WatchOptions>();
  cmd->add_option("--interval", o->interval, "Seconds between refresh cycles (default 4; not used on scenario time)");
  auto* count = cmd->add_option("--count", o->count, "Stop after this many cycles (default: until SIGINT/SIGTERM)");
  cmd->add_option("--log-dir", o->logDir, "Folder of the day log files");
  cmd->add_flag("--json", o->json, "One JSON object per log line");
  cmd->callback([&ctx, o, count] {
    o->countGiven = count->count() > 0;
    runWatch(ctx, *o);
  });
}

void addLogCommand(CLI::App& app, CliContext& ctx) {
  auto* cmd = app.add_subcommand("log", "Print a day log file (today's by default)");
  auto o = std::make_shared<LogOptions>();
  cmd->add_option("FILE", o->file, "The log file to print");
  cmd->add_option("--log-dir", o->logDir, "Folder of the day log files");
  cmd->callback([&ctx, o] { runLog(ctx, *o); });
}

}  // namespace tervalo::cli
