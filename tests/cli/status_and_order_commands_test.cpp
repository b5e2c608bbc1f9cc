#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli_scenario.h"
#include "support/cli_run.h"

namespace tervalo::cli {
namespace {

using testing::CliRun;
using testing::runCli;
using testing::TempFolder;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---------------------------------------------------------------------------------------------
// status

TEST(StatusCommand, JsonOfTheDemoControllers) {
  const CliRun healthy = runCli({"--simulate", "status", "--json"});
  ASSERT_EQ(healthy.code, 0) << healthy.err;
  const auto h = nlohmann::json::parse(healthy.out);
  EXPECT_EQ(h["device"], "Device1");
  EXPECT_EQ(h["drive"], 1);
  EXPECT_EQ(h["path"], "mailbox");
  EXPECT_EQ(h["identity"]["model"], "Tervalo Sim Mirror Bridge");
  EXPECT_EQ(h["identity"]["windowCaption"], "Tervalo v0.22 - Tervalo Sim Mirror Bridge [sdb1]");
  EXPECT_EQ(h["record"]["portState"], "0x22");
  EXPECT_EQ(h["record"]["systemRaidMode"]["text"], "Mirror");
  EXPECT_EQ(h["record"]["arrayCapacity"]["sectors"], 976773168);
  EXPECT_EQ(h["record"]["arrayCapacity"]["gigabytes"], 465);
  EXPECT_EQ(h["record"]["settingFlags"]["buzzerOn"], true);
  EXPECT_EQ(h["record"]["settingFlags"]["raidSettingFrom"], "Jumper");
  EXPECT_EQ(h["record"]["firmwareBuild"]["text"], "B0F");
  EXPECT_EQ(h["ports"][0]["state"], "initialized");
  EXPECT_EQ(h["ports"][0]["serial"], "SIMD5000A1          ");
  EXPECT_EQ(h["ports"][1]["sataGeneration"], 2);
  EXPECT_EQ(h["array"]["operation"], "idle, both disks initialized");
  EXPECT_EQ(h["panel"]["StaticText5"], "F/W Rev. 100315.1.B0F");
  EXPECT_EQ(h["panel"]["Label18"], "Normal");
  EXPECT_EQ(h["panel"]["Label19"]["text"], "P0 is initialized(SATA2)\nSerial# :SIMD5000A1          ");
  EXPECT_EQ(h["panel"]["CheckBox6"]["checked"], false);
  ASSERT_EQ(h["raw"].get<std::string>().size(), 1024u);
  EXPECT_EQ(h["raw"].get<std::string>().substr(104 * 2, 2), "22");

  const CliRun rebuilding = runCli({"--simulate", "status", "--device", "2", "--json"});
  ASSERT_EQ(rebuilding.code, 0) << rebuilding.err;
  const auto r = nlohmann::json::parse(rebuilding.out);
  EXPECT_EQ(r["path"], "mailbox + vendor ATA");
  EXPECT_EQ(r["record"]["portState"], "0x12");
  EXPECT_EQ(r["ports"][1]["state"], "inserted, not yet initialized");
  EXPECT_EQ(r["array"]["operation"], "rebuild from P0 to P1 at 0 %");
  EXPECT_EQ(r["panel"]["Label18"], "Rebuild\n-> 0% ->");
  EXPECT_EQ(r["panel"]["Label24"]["text"], " P1 was inserted ");
}

TEST(StatusCommand, TextShowsFieldsPanelAndRawSector) {
  const CliRun r = runCli({"--simulate", "status"});
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* part : {"Device1  drive 1 (sim:1)  flags 0x41  mailbox", "portState         0x22  P0 initialized, P1 initialized",
                           "arrayCapacity     976773168 sectors (465 GB, 476940 MB)", "Label18     \"Normal\"",
                           "\n  000: 00 A0 ", "\n  060: 20 20 30 60 38 3A 00 00 22 ", "\n  1E0: "})
    EXPECT_TRUE(contains(r.out, part)) << part << "\n" << r.out;
  EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(StatusCommand, FailuresGoToStderrWithANonZeroExit) {
  TempFolder dir;
  sim::Scenario scenario = sim::builtinDemoScenario();
  scenario.faults.push_back(sim::FaultSpec{1, sim::RequestKind::StatusRead, 1, 1, sim::FaultEffect::Fail, 0});
  const CliRun readFails = runCli({dir.simulateArg(scenario), "status", "--json"});
  EXPECT_NE(readFails.code, 0);
  EXPECT_TRUE(readFails.out.empty()) << readFails.out;
  EXPECT_TRUE(contains(readFails.err, "Read Error for LBA = 33 and sector count = 1")) << readFails.err;

  const CliRun noDevice = runCli({"--simulate", "status", "--device", "3"});
  EXPECT_NE(noDevice.code, 0);
  EXPECT_TRUE(contains(noDevice.err, "No device 3: 2 controllers found (--device 1..2).")) << noDevice.err;

  const CliRun outOfRange = runCli({"--simulate", "status", "--device", "9"});
  EXPECT_NE(outOfRange.code, 0);

  sim::Scenario plain;
  plain.addPlainDisk(0);
  const CliRun none = runCli({dir.simulateArg(plain, "plain.json"), "status"});
  EXPECT_NE(none.code, 0);
  EXPECT_TRUE(contains(none.err, "No controller found.")) << none.err;

  std::ofstream(dir.file("broken.json")) << "{ \"drives\": [ ";
  const CliRun broken = runCli({"--simulate=" + dir.file("broken.json"), "status"});
  EXPECT_NE(broken.code, 0);
  EXPECT_TRUE(contains(broken.err, "Bad scenario:")) << broken.err;
}

TEST(StatusCommand, ControllerBytesThatAreNoUtf8StillGiveValidJson) {
  TempFolder dir;
  sim::Scenario scenario;
  scenario.addController(0, sim::healthyMirrorController(sim::AccessPath::VendorDouble));
  const std::string sim = dir.simulateArg(scenario);

  // On this path the record's second half comes from an erased slot: 0xFF bytes in the models.
  const CliRun status = runCli({sim, "status", "--json"});
  ASSERT_EQ(status.code, 0) << status.err;
  const auto j = nlohmann::json::parse(status.out);
  EXPECT_EQ(j["ports"][0]["model"].get<std::string>().substr(0, 3), "\xEF\xBF\xBD") << "U+FFFD";
  const CliRun text = runCli({sim, "status"});
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_TRUE(contains(text.out, "p0Model           \"\xEF\xBF\xBD")) << text.out;
}

// ---------------------------------------------------------------------------------------------
// set and scan: exit codes and messages (their effect on the controller is tested in the core)

TEST(OrderCommands, SetAndScanSucceedOnTheDemo) {
  const CliRun mute = runCli({"--simulate", "set", "--buzzer", "off"});
  EXPECT_EQ(mute.code, 0) << mute.err;
  EXPECT_EQ(mute.out, "Device1: buzzer muted, automatic scan off ordered.\n");

  const CliRun both = runCli({"--simulate", "set", "--device", "2", "--buzzer", "on", "--auto-scan", "on"});
  EXPECT_EQ(both.code, 0) << both.err;
  EXPECT_EQ(both.out, "Device2: buzzer on, automatic scan on ordered.\n");

  const CliRun start = runCli({"--simulate", "scan", "start", "--port", "1"});
  EXPECT_EQ(start.code, 0) << start.err;
  EXPECT_EQ(start.out, "Device1: start of the P1 scan ordered (LBA 0..976773167).\n");

  const CliRun stop = runCli({"--simulate", "scan", "stop", "--port", "0", "--device", "2"});
  EXPECT_EQ(stop.code, 0) << stop.err;
  EXPECT_EQ(stop.out, "Device2: stop of the P0 scan ordered (LBA 0..976773167).\n");
}

TEST(OrderCommands, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::vector<std::string> args;
    const char* err;
  };
  const Case cases[] = {
      {{"--simulate", "set"}, "Nothing to set: give --buzzer on|off and/or --auto-scan on|off."},
      {{"--simulate", "set", "--buzzer", "loud"}, "--buzzer"},
      {{"--simulate", "set", "--auto-scan", "1"}, "--auto-scan"},
      {{"--simulate", "set", "--buzzer", "on", "--device", "0"}, "--device"},
      {{"--simulate", "set", "--buzzer", "on", "--device", "3"}, "No device 3: 2 controllers found"},
      {{"--simulate", "scan", "start"}, "--port"},
      {{"--simulate", "scan", "pause", "--port", "0"}, "action"},
      {{"--simulate", "scan", "start", "--port", "2"}, "--port"},
      {{"--simulate", "scan", "--port", "1"}, "action"},
      {{"--simulate", "scan", "stop", "--port", "1", "--device", "4"}, "No device 4: 2 controllers found"},
  };
  for (const auto& c : cases) {
    const CliRun r = runCli(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_NE(r.code, 0) << joined;
    EXPECT_TRUE(contains(r.err, c.err)) << joined << "\n" << r.err;
    EXPECT_FALSE(contains(r.out, "ordered")) << joined;
  }
}

TEST(OrderCommands, FailedOrdersReportTheControllerText) {
  TempFolder dir;
  sim::Scenario scenario = sim::builtinDemoScenario();
  scenario.faults.push_back(sim::FaultSpec{-1, sim::RequestKind::SettingsOrder, 1, 0, sim::FaultEffect::Fail, 0});
  scenario.faults.push_back(sim::FaultSpec{-1, sim::RequestKind::ScanOrder, 1, 0, sim::FaultEffect::Fail, 0});
  const std::string sim = dir.simulateArg(scenario);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{sim, "set", "--auto-scan", "on"}, std::vector<std::string>{sim, "scan", "stop", "--port", "1"}}) {
    const CliRun r = runCli(args);
    EXPECT_NE(r.code, 0) << args[1];
    EXPECT_TRUE(contains(r.err, "Write Error for LBA = 20 and sector count = 1")) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  // A record that cannot be read stops the order before anything is sent.
  sim::Scenario unreadable = sim::builtinDemoScenario();
  unreadable.faults.push_back(sim::FaultSpec{1, sim::RequestKind::StatusRead, 1, 0, sim::FaultEffect::Fail, 0});
  const CliRun r = runCli({dir.simulateArg(unreadable, "unreadable.json"), "set", "--buzzer", "off"});
  EXPECT_NE(r.code, 0);
  EXPECT_TRUE(contains(r.err, "Read Error for LBA = 33 and sector count = 1")) << r.err;
}

}  // namespace
}  // namespace tervalo::cli
