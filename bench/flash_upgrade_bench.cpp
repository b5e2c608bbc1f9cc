// A full 512 KiB firmware upgrade ("Start Upgrade": erase, program, read back and compare) on
// each access path of the simulated enclosure. Reports, per upgrade:
// - device_s: the simulator's modelled device time (USB command overhead per request, data
//   transfer, flash erase/program/read times);
// - min_s: the physical minimum for the same flash work: 128 sector erases, 2048 page programs
//   and 1024 512-byte reads at the flash's own times, plus one USB command overhead for each of
//   those 3200 steps;
// - ratio: device_s / min_s;
// - requests: requests the host sent;
// - host_cpu_pct: host CPU time as a share of the modelled device time.
#include <benchmark/benchmark.h>

#include "core/quiet_ui.h"

#include <ctime>

#include "core/console.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "firmware/upgrade.h"
#include "sim/simulated_host.h"

namespace tervalo {
namespace {

class SilentProgress final : public ProgressView {
 public:
  void setPanelCaption(const std::string&) override {}
  void setPanelVisible(bool) override {}
  void setStepLabel(const std::string&) override {}
  void setProgressMaximum(std::uint32_t) override {}
  void setProgressPosition(std::uint32_t) override {}
  void setProgressTickEnabled(bool) override {}
};

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_FullUpgrade(benchmark::State& state, sim::AccessPath path) {
  sim::Scenario scenario;
  scenario.addPlainDisk(0);
  scenario.addController(1, sim::healthyMirrorController(path));
  sim::SimulatedHost host(scenario);
  const sim::LatencyModel latency;
  host.setLatencyModel(latency);
  QuietUi ui;
  ManualClock clock;
  Console console(host, ui, clock);
  countDrivesAndDetect(console);
  if (console.device.controllerCount != 1) {
    state.SkipWithError("no controller detected");
    return;
  }
  std::vector<std::uint8_t> image = sim::buildDefaultFirmwareImage(0x80000);
  for (std::uint32_t a = 0xC000; a < 0x78000; ++a) image[a] = static_cast<std::uint8_t>(a * 29 >> 4);
  console.firmware.loadedImage.replace(image);
  SilentProgress progress;
  UpgradeOptions options;

  const std::uint32_t size = console.protocol.spiSize;
  const std::uint64_t erases = size / 4096, programs = size / 256, reads = size / 512;
  const double minUs = static_cast<double>(erases * latency.sectorEraseUs + programs * latency.pageProgramUs +
                                           reads * latency.flashRead512Us +
                                           (erases + programs + reads) * latency.usbCommandOverheadUs);

  const std::uint64_t deviceBefore = host.deviceTimeUs();
  const std::uint64_t requestsBefore = host.totalRequests();
  const double cpuBefore = processCpuSeconds();
  std::int64_t upgrades = 0;
  for (auto _ : state) {
    if (StartUpgrade(console, progress, options) != FlashOutcome::Succeeded) {
      state.SkipWithError("upgrade failed");
      return;
    }
    ++upgrades;
  }
  const double cpu = processCpuSeconds() - cpuBefore;
  const double deviceUs = static_cast<double>(host.deviceTimeUs() - deviceBefore) / static_cast<double>(upgrades);
  if (host.violationCount() != 0) state.SkipWithError(host.violationReport().c_str());

  state.counters["device_s"] = deviceUs / 1e6;
  state.counters["min_s"] = minUs / 1e6;
  state.counters["ratio"] = deviceUs / minUs;
  state.counters["requests"] =
      static_cast<double>(host.totalRequests() - requestsBefore) / static_cast<double>(upgrades);
  state.counters["host_cpu_pct"] = 100.0 * (cpu / static_cast<double>(upgrades)) / (deviceUs / 1e6);
}

BENCHMARK_CAPTURE(BM_FullUpgrade, mailbox, sim::AccessPath::Mailbox)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FullUpgrade, vendor_ata, sim::AccessPath::Ata)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FullUpgrade, vendor_scsi, sim::AccessPath::VendorSingle)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tervalo
