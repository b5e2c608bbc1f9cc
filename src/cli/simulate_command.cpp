// tervaloctl simulate: serves one drive of a simulated enclosure as a USB mass-storage device
// over USB/IP, so that a Linux machine with vhci-hcd attaches it and the real kernel (usb-storage,
// sd, SG_IO) carries the console's requests to the simulated controller.
//
//   tervaloctl simulate --usbip PORT [SCENARIO]   then: usbip attach -r 127.0.0.1 -b 1-1
//   tervaloctl simulate --stdio [SCENARIO]        one connection on stdin/stdout (QEMU guestfwd)
//
// When the session ends (the connection closes, the device is unplugged by the scenario, SIGINT
// or SIGTERM) --report writes the enclosure's state as JSON.
#include <CLI/CLI.hpp>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <optional>
#include <thread>

#include "cli/tervaloctl.h"
#include "sim/scenario.h"
#include "sim/simulated_host.h"
#include "sim/state_report.h"
#include "sim/usbip/mass_storage_device.h"
#include "sim/usbip/sim_scsi_target.h"
#include "sim/usbip/usbip_server.h"

namespace tervalo::cli {

namespace {

struct SimulateOptions {
  std::string scenario;
  int usbipPort = -1;
  bool stdio = false;
  int drive = -1;
  std::string report;
  std::string log;
  bool flashHex = false;
};

std::string_view endText(usbip::ServeEnd end) {
  switch (end) {
    case usbip::ServeEnd::PeerClosed: return "peer closed";
    case usbip::ServeEnd::Unplugged: return "unplugged";
    case usbip::ServeEnd::ProtocolError: return "protocol error";
    case usbip::ServeEnd::IoError: return "i/o error";
  }
  return "unknown";
}

// SIGINT and SIGTERM unplug the device while the server runs: a thread of its own waits for
// them, so no handler and no global state is needed.
class SignalUnplug {
 public:
  explicit SignalUnplug(usbip::Server& server) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    waiter_ = std::thread([this, &server] {
      int signal = 0;
      sigwait(&set_, &signal);
      if (!done_.load()) {
        signalled_.store(true);
        server.unplug();
      }
    });
  }
  ~SignalUnplug() {
    done_.store(true);
    pthread_kill(waiter_.native_handle(), SIGTERM);
    waiter_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  bool signalled() const { return signalled_.load(); }

 private:
  sigset_t set_{};
  sigset_t previous_{};
  std::atomic<bool> done_{false};
  std::atomic<bool> signalled_{false};
  std::thread waiter_;
};

void runSimulate(CliContext& ctx, const SimulateOptions& o) {
  ctx.exitCode = 1;
  // In --stdio mode stdout and stderr are the USB/IP connection: diagnostics go to --log only.
  std::ofstream log;
  if (!o.log.empty()) {
    log.open(o.log, std::ios::app);
    if (!log) {
      if (!o.stdio) ctx.err << "Cannot write " << o.log << ".\n";
      return;
    }
  }
  std::ostream* diag = o.stdio ? (log.is_open() ? static_cast<std::ostream*>(&log) : nullptr) : &ctx.err;
  auto fail = [&](const std::string& text) {
    if (diag) *diag << text << '\n';
  };
  if ((o.usbipPort >= 0) == o.stdio) {
    fail("Give either --usbip PORT or --stdio.");
    return;
  }

  sim::Scenario scenario = sim::builtinDemoScenario();
  const std::string file = !o.scenario.empty() ? o.scenario : ctx.scenarioFile;
  if (!file.empty()) {
    std::string error;
    if (!sim::loadScenarioFile(file, scenario, error)) {
      fail("Bad scenario: " + error);
      return;
    }
  }
  const sim::DriveConfig* config = nullptr;
  for (const auto& d : scenario.drives) {
    if (o.drive >= 0 ? d.number == o.drive : (d.controller && (!config || d.number < config->number))) config = &d;
  }
  if (!config) {
    fail(o.drive >= 0 ? "The scenario has no drive " + std::to_string(o.drive) + "."
                      : std::string("The scenario has no controller; choose a drive with --drive N."));
    return;
  }

  sim::SimulatedHost host(scenario);
  usbip::SimScsiTarget target(host, *config);
  usbip::MassStorageDevice device(target, usbip::identityForDrive(*config));
  usbip::ServerOptions serverOptions;
  serverOptions.log = log.is_open() ? &log : nullptr;
  usbip::Server server(device, serverOptions);

  std::optional<usbip::ServeEnd> end;
  bool signalled = false;
  {
    SignalUnplug signals(server);
    if (o.stdio) {
      end = server.serve(STDIN_FILENO, STDOUT_FILENO);
    } else {
      std::uint16_t bound = 0;
      const int fd = server.listenTcp(static_cast<std::uint16_t>(o.usbipPort), bound);
      if (fd < 0) {
        fail("Cannot listen on 127.0.0.1:" + std::to_string(o.usbipPort) + ".");
        return;
      }
      ctx.out << "Serving drive " << config->number << " ("
              << (config->controller ? std::string(sim::accessPathId(config->controller->path)) + " controller"
                                     : std::string("ordinary disk"))
              << ") on 127.0.0.1:" << bound << ", bus id 1-1.\n"
              << "Attach it with: usbip attach -r 127.0.0.1 -b 1-1   (Ctrl-C ends the simulation)\n"
              << std::flush;
      end = server.serveTcp(fd);
      ::close(fd);
    }
    signalled = signals.signalled();
  }
  const std::string endedBy = signalled ? "signal" : std::string(endText(*end));
  if (log.is_open()) log << "simulate: session ended: " << endedBy << std::endl;

  if (!o.report.empty()) {
    sim::StateReportOptions reportOptions;
    reportOptions.drive = config->number;
    reportOptions.flashHex = o.flashHex;
    reportOptions.endedBy = endedBy;
    if (config->controller) reportOptions.path = std::string(sim::accessPathId(config->controller->path));
    const std::string temp = o.report + ".part";
    std::ofstream out(temp, std::ios::trunc);
    out << sim::buildStateReport(host, reportOptions);
    out.close();
    if (!out || std::rename(temp.c_str(), o.report.c_str()) != 0) {
      fail("Cannot write the report " + o.report + ".");
      std::remove(temp.c_str());
      return;
    }
  }
  if (!o.stdio) ctx.out << "Simulation ended (" << endedBy << ").\n";
  ctx.exitCode = (*end == usbip::ServeEnd::ProtocolError || *end == usbip::ServeEnd::IoError) ? 1 : 0;
}

}  // namespace

void addSimulateCommand(CLI::App& app, CliContext& ctx) {
  auto o = std::make_shared<SimulateOptions>();
  auto* cmd = app.add_subcommand(
      "simulate", "Serve a simulated enclosure as a USB device over USB/IP (attach it with usbip or vhci-hcd)");
  cmd->add_option("scenario", o->scenario, "Scenario file (default: the built-in demo)");
  auto* port = cmd->add_option("--usbip", o->usbipPort, "Listen on 127.0.0.1:PORT for usbip attach")
                   ->check(CLI::Range(0, 65535));
  auto* stdio = cmd->add_flag("--stdio", o->stdio, "Serve one USB/IP connection on stdin/stdout (QEMU guestfwd)");
  port->excludes(stdio);
  cmd->add_option("--drive", o->drive, "Simulated drive to expose (default: the first controller)")
      ->check(CLI::Range(0, kMaxPhysicalDrives - 1));
  cmd->add_option("--report", o->report, "Write the enclosure's state as JSON here when the session ends");
  cmd->add_flag("--report-flash-hex", o->flashHex, "Put the whole flash into the report as hexadecimal");
  cmd->add_option("--log", o->log, "Write one line per USB/IP request, CBW and CSW to this file");
  cmd->callback([&ctx, o] { runSimulate(ctx, *o); });
}

}  // namespace tervalo::cli
