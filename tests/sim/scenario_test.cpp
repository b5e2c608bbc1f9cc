#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim/simulated_host.h"

namespace tervalo::sim {
namespace {

const std::string kDemoFile = std::string(TERVALO_SOURCE_DIR) + "/data/scenarios/demo.json";

TEST(Scenario, ShippedDemoFileEqualsTheBuiltInDemo) {
  Scenario loaded;
  std::string error;
  ASSERT_TRUE(loadScenarioFile(kDemoFile, loaded, error)) << error;
  EXPECT_EQ(loaded, builtinDemoScenario());
}

TEST(Scenario, BuiltInDemoMeetsWhatTheConsoleNeeds) {
  const Scenario demo = builtinDemoScenario();
  ASSERT_EQ(demo.drives.size(), 3u);
  EXPECT_FALSE(demo.drives[0].controller.has_value());
  EXPECT_FALSE(demo.drives[0].volumes.empty());
  for (int i : {1, 2}) {
    const ControllerConfig& c = *demo.drives[i].controller;
    const std::string& rev = c.identify.firmwareRevision;
    ASSERT_EQ(rev.size(), 8u);
    EXPECT_EQ(rev[6], '.');
    EXPECT_GE(std::stoi(rev.substr(0, 6)), 90619) << "scan support";
    EXPECT_EQ(c.record.firmwareBuild.size(), 3u);
    EXPECT_EQ(c.record.ports[0].sataGeneration, 2);
  }
  EXPECT_EQ(demo.drives[1].controller->path, AccessPath::Mailbox);
  EXPECT_EQ(demo.drives[1].controller->record.portState, 0x22);
  EXPECT_EQ(demo.drives[2].controller->record.activity, 0x02);
}

TEST(Scenario, JsonRoundTripKeepsEveryField) {
  Scenario s = builtinDemoScenario();
  ControllerConfig c = healthyMirrorController(AccessPath::VendorDouble);
  c.flash.size = 0x100000;
  c.flash.erased = true;
  c.flash.patches.push_back({0x10, {0x00, 0x80, 0x07}});
  TimelineStep st;
  st.atStatusRead = 3;
  st.pullDisk = 0;
  st.insertDisk = InsertDiskEvent{1, {"X", "Y", 5, 1}};
  st.set.ports[1] = PortModel{"A", "B", 7, 2};
  st.badSectors = {{1, 42}};
  st.unplugForOpens = 4;
  c.timeline.push_back(st);
  s.addController(5, c);
  s.faults = {{5, RequestKind::VendorProbeRead, 3, 0, FaultEffect::Vanish, 2}, {-1, RequestKind::Open, 1, 1, FaultEffect::Fail, 0}};
  Scenario back;
  std::string error;
  ASSERT_TRUE(parseScenario(scenarioToJson(s), "round-trip", back, error)) << error;
  EXPECT_EQ(back, s);
}

struct BadScenario {
  const char* name;
  const char* json;
  const char* expected;  // the path and problem the error must name
};

class ScenarioErrors : public ::testing::TestWithParam<BadScenario> {};

TEST_P(ScenarioErrors, NameTheFileTheFieldAndTheProblem) {
  const std::string path = ::testing::TempDir() + "/bad_scenario_" + GetParam().name + ".json";
  {
    std::ofstream out(path);
    out << GetParam().json;
  }
  Scenario s;
  s.name = "untouched";
  std::string error;
  EXPECT_FALSE(loadScenarioFile(path, s, error));
  EXPECT_NE(error.find(path + ": "), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
  EXPECT_EQ(s.name, "untouched") << "nothing is half-loaded";
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScenarioErrors,
    ::testing::Values(
        BadScenario{"syntax", R"({"drives": [)", "not valid JSON"},
        BadScenario{"noDrives", R"({"name": "x"})", "/drives: missing"},
        BadScenario{"unknownField", R"({"drives": [], "colour": 1})", "/colour: unknown field"},
        BadScenario{"badPath",
                    R"({"drives": [{"drive": 1, "kind": "controller", "controller": {"path": "usb"}}]})",
                    "/drives/0/controller/path: expected mailbox"},
        BadScenario{"portStateRange",
                    R"({"drives": [{"drive": 1, "kind": "controller", "controller": {"path": "mailbox",
                        "record": {"portState": 300}}}]})",
                    "/drives/0/controller/record/portState: out of range"},
        BadScenario{"badHex",
                    R"({"drives": [{"drive": 1, "kind": "controller", "controller": {"path": "ata",
                        "record": {"activity": "0xZ1"}}}]})",
                    "/drives/0/controller/record/activity: \"0xZ1\" is not a hexadecimal number"},
        BadScenario{"driveTwice", R"({"drives": [{"drive": 1, "kind": "disk"}, {"drive": 1, "kind": "disk"}]})",
                    "/drives/1/drive: drive 1 appears twice"},
        BadScenario{"driveNumber", R"({"drives": [{"drive": 10, "kind": "disk"}]})", "/drives/0/drive: out of range"},
        BadScenario{"timelineOrder",
                    R"({"drives": [{"drive": 2, "kind": "controller", "controller": {"path": "mailbox",
                        "timeline": [{"atStatusRead": 5}, {"atStatusRead": 3}]}}]})",
                    "/drives/0/controller/timeline/1/atStatusRead: steps must be in order"},
        BadScenario{"timelinePort",
                    R"({"drives": [{"drive": 2, "kind": "controller", "controller": {"path": "mailbox",
                        "timeline": [{"atStatusRead": 1, "pullDisk": {"port": 2}}]}}]})",
                    "/drives/0/controller/timeline/0/pullDisk/port: out of range"},
        BadScenario{"faultKind", R"({"drives": [{"drive": 0, "kind": "disk"}], "faults": [{"kind": "status"}]})",
                    "/faults/0/kind: unknown request kind"},
        BadScenario{"faultDrive",
                    R"({"drives": [{"drive": 0, "kind": "disk"}], "faults": [{"drive": 4, "kind": "open"}]})",
                    "/faults/0/drive: no such drive"},
        BadScenario{"flashSize",
                    R"({"drives": [{"drive": 1, "kind": "controller", "controller": {"path": "mailbox",
                        "flash": {"size": 300000}}}]})",
                    "/drives/0/controller/flash/size: must be a power of two"},
        BadScenario{"clock", R"({"drives": [], "clock": {"start": "2024-13-01T00:00:00"}})",
                    "/clock/start: \"2024-13-01T00:00:00\" is not a valid date-time"},
        BadScenario{"volumePastEnd",
                    R"({"drives": [{"drive": 0, "kind": "disk", "sectors": 100,
                        "volumes": [{"identity": "sda1", "start": 50, "length": 60}]}]})",
                    "/drives/0/volumes/0/length: runs past the end"},
        BadScenario{"controllerMissing", R"({"drives": [{"drive": 3, "kind": "controller"}]})",
                    "/drives/0/controller: missing"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Scenario, MissingFileIsNamed) {
  Scenario s;
  std::string error;
  EXPECT_FALSE(loadScenarioFile("/nonexistent/dir/x.json", s, error));
  EXPECT_EQ(error, "/nonexistent/dir/x.json: cannot open the scenario file");
}

TEST(Scenario, FileFaultsAndClockReachTheHost) {
  const char* text = R"({
    "drives": [{"drive": 1, "kind": "controller", "controller": {"path": "mailbox",
                "record": {"portState": "0x42", "ports": [null, {"serial": "ONLY-P1"}]}}}],
    "faults": [{"drive": 1, "kind": "status_read", "from": 1, "count": 1}],
    "clock": {"start": "2024-01-01T23:59:58", "secondsPerRefresh": 4}
  })";
  Scenario s;
  std::string error;
  ASSERT_TRUE(parseScenario(text, "inline", s, error)) << error;
  EXPECT_EQ(s.drives[0].controller->record.ports[1].serial, "ONLY-P1");
  EXPECT_EQ(s.drives[0].controller->record.ports[0], PortModel{}) << "null leaves the port at its default";
  SimulatedHost host(s);
  const HostHandle h = host.openPhysicalDrive(1);
  std::array<std::uint8_t, 512> buf{};
  EXPECT_FALSE(host.sendScsi(h, ScsiRequest{{0x28, 0, 0, 0, 0, 33, 0, 0, 1, 0}, 10, true, buf.data(), 512, 2}));
  EXPECT_TRUE(host.sendScsi(h, ScsiRequest{{0x28, 0, 0, 0, 0, 33, 0, 0, 1, 0}, 10, true, buf.data(), 512, 2}));
  EXPECT_EQ(buf[104], 0x42);
  host.close(h);
  EXPECT_EQ(*host.scenarioNow(), (LocalDateTime{2024, 1, 2, 0, 0, 2}));
}

}  // namespace
}  // namespace tervalo::sim

namespace tervalo::sim {
namespace {

TEST(Scenario, DocumentedExampleLoads) {
  std::ifstream in(std::string(TERVALO_SOURCE_DIR) + "/docs/scenarios.md");
  ASSERT_TRUE(in);
  const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto begin = doc.find("```json\n");
  ASSERT_NE(begin, std::string::npos);
  const auto end = doc.find("```", begin + 8);
  Scenario s;
  std::string error;
  ASSERT_TRUE(parseScenario(doc.substr(begin + 8, end - begin - 8), "docs/scenarios.md", s, error)) << error;
  EXPECT_EQ(s.drives.size(), 2u);
  EXPECT_EQ(s.faults.size(), 3u);
  EXPECT_EQ(s.drives[1].controller->timeline.size(), 7u);
}

}  // namespace
}  // namespace tervalo::sim
