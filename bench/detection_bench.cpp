// Host CPU and modelled device time of one detection run over ten simulated drives: a system
// disk, plain disks and controllers on every access path.
#include <benchmark/benchmark.h>

#include "core/quiet_ui.h"

#include "core/console.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "sim/scenario.h"
#include "sim/simulated_host.h"

namespace {

using namespace tervalo;

sim::Scenario tenDrives() {
  sim::Scenario s;
  s.addPlainDisk(0);
  s.addController(1, sim::AccessPath::Mailbox);
  s.addController(2, sim::AccessPath::Ata);
  s.addController(3, sim::AccessPath::MailboxAta);
  s.addController(4, sim::AccessPath::VendorSingle);
  s.addController(5, sim::AccessPath::VendorDouble);
  s.addPlainDisk(6);
  s.addController(7, sim::AccessPath::Mailbox);
  s.addPlainDisk(8);
  s.addController(9, sim::AccessPath::VendorSingle);
  return s;
}

void BM_DetectionTenDrives(benchmark::State& state) {
  sim::SimulatedHost host(tenDrives());
  QuietUi ui;
  ManualClock clock;
  Console console(host, ui, clock);
  console.device.driveLetterCount = ScanLogicalDrives(console);
  console.device.physicalDriveCount = CountPhysicalDrives(console);
  std::uint64_t runs = 0;
  const std::uint64_t before = host.deviceTimeUs();
  for (auto _ : state) {
    DetectDevices(console);
    benchmark::DoNotOptimize(console.device.controllerCount);
    ++runs;
  }
  state.counters["controllers"] = console.device.controllerCount;
  state.counters["modelled_device_ms"] = static_cast<double>(host.deviceTimeUs() - before) / 1000.0 / static_cast<double>(runs);
}
BENCHMARK(BM_DetectionTenDrives)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
