#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "support/cli_run.h"
#include "cli_scenario.h"

namespace tervalo {
namespace {

using testing::runCli;
using testing::TempFolder;

TEST(DetectCommand, ListsTheDemosTwoControllers) {
  const auto run = runCli({"--simulate", "detect", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto j = nlohmann::json::parse(run.out);
  ASSERT_EQ(j.at("controllerCount"), 2);
  const auto& first = j.at("controllers").at(0);
  EXPECT_EQ(first.at("page"), 1);
  EXPECT_EQ(first.at("drive"), 1);
  EXPECT_EQ(first.at("flags"), "0x41");
  EXPECT_EQ(first.at("path"), "mailbox");
  EXPECT_EQ(first.at("volumes"), "sdb1");
  EXPECT_EQ(first.at("firmwareRevision").get<std::string>().size(), 8u);
  const auto& second = j.at("controllers").at(1);
  EXPECT_EQ(second.at("drive"), 2);
  EXPECT_EQ(second.at("volumes"), "sdc1");
  // Model numbers come trimmed, as the window caption shows them.
  EXPECT_NE(second.at("model").get<std::string>().back(), ' ');

  const auto text = runCli({"--simulate", "detect"});
  EXPECT_EQ(text.code, 0);
  EXPECT_NE(text.out.find("Device2  drive 2"), std::string::npos) << text.out;
}

TEST(DetectCommand, AScenarioWithoutControllersSaysNoDriveFound) {
  TempFolder dir;
  sim::Scenario s;
  s.addPlainDisk(0);
  const auto run = runCli({dir.simulateArg(s), "detect"});
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("No Drive found! "), std::string::npos) << run.out;
}

TEST(DetectCommand, AMalformedScenarioNamesFileAndFieldAndRunsNothing) {
  TempFolder dir;
  struct Case {
    const char* name;
    const char* text;
    const char* mentions;
  };
  const Case cases[] = {
      {"not json", "{ drives: ", "not valid JSON"},
      {"unknown path", R"({"drives": [{"drive": 1, "kind": "controller", "controller": {"path": "carrier-pigeon"}}]})", "/drives/0/controller/path"},
      {"drive number out of range", R"({"drives": [{"drive": 12}]})", "/drives/0/drive"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.file("bad.json");
    std::ofstream(file) << c.text;
    const auto run = runCli({"--simulate=" + file, "detect", "--json"});
    EXPECT_NE(run.code, 0);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find(file), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace tervalo
