// Host cost of one refresh cycle over the demo's two controllers on the simulated enclosures,
// once the demo's rebuild has ended: two status reads, an event detection pass that sees no
// change (no file write) and the presentation of the page on display.
#include <benchmark/benchmark.h>

#include "core/quiet_ui.h"
#include <unistd.h>

#include <filesystem>

#include "core/console.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "monitor/refresh_cycle.h"
#include "sim/simulated_host.h"

namespace tervalo {
namespace {

// Real files, counting every file the log creates.
class CountingIo : public PosixLogFileIo {
 public:
  std::unique_ptr<LogWriteFile> create(const std::filesystem::path& path) override {
    ++creates;
    return PosixLogFileIo::create(path);
  }
  int creates = 0;
};

void BM_RefreshCycleDemoSteady(benchmark::State& state) {
  const auto dir = std::filesystem::temp_directory_path() / ("tervalo-bench-refresh-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  sim::SimulatedHost host(sim::builtinDemoScenario());
  QuietUi ui;
  // A clock that stands still: the scenario clock would cross midnight in a long run.
  ManualClock clock{LocalDateTime{2024, 5, 6, 9, 0, 0}};
  Console console(host, ui, clock);
  auto io = std::make_shared<CountingIo>();
  console.eventLog.io = io;
  console.eventLog.folder = dir;
  console.eventLog.timeFormat = {"%d/%m/%Y", "%H:%M:%S"};
  countDrivesAndDetect(console);
  console.controls.activePage = 0;
  NullMonitorView view;
  Button10Click(console, view);
  // Past the demo's timeline: from here on the records do not change.
  for (int i = 0; i < 20; ++i) RefreshDevicePages(console, view);
  const int writesBefore = io->creates;
  const std::uint64_t deviceUsBefore = host.deviceTimeUs();
  const std::uint64_t requestsBefore = host.totalRequests();

  for (auto _ : state) benchmark::DoNotOptimize(RefreshDevicePages(console, view));

  const double cycles = static_cast<double>(state.iterations());
  state.counters["device_us_per_cycle"] = static_cast<double>(host.deviceTimeUs() - deviceUsBefore) / cycles;
  state.counters["requests_per_cycle"] = static_cast<double>(host.totalRequests() - requestsBefore) / cycles;
  if (io->creates != writesBefore) state.SkipWithError("an unchanged cycle wrote the day file");
  if (host.violationCount() != 0) state.SkipWithError(host.violationReport().c_str());
  if (console.device.controllerCount != 2 || !console.monitoring.monitoringRunning())
    state.SkipWithError("the demo is not being monitored");
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_RefreshCycleDemoSteady)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tervalo
