// tervaloctl watch and log against the simulated enclosures.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "eventlog/log_buffer.h"
#include "sim/scenario.h"
#include "support/cli_run.h"

namespace tervalo::cli {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::runCli;

const std::string kRuler(83, '-');
// The demo's scenario clock starts on 6 May 2024.
const char* const kDemoDayFile = "240506.log";

class WatchCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("tervalo-watch-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static std::vector<std::string> outLines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  std::string writeScenario(const sim::Scenario& s) {
    fs::create_directories(dir_);
    const fs::path p = dir_ / "scenario.json";
    std::ofstream(p) << sim::scenarioToJson(s);
    return p.string();
  }

  fs::path dir_;
};

bool contains(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) return true;
  return false;
}

TEST_F(WatchCommand, DemoRunWritesTheDayLogAndPrintsEachLine) {
  const CliRun r = runCli({"--simulate", "watch", "--count", "12", "--log-dir", dir_.string()});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string file = readFile(dir_ / kDemoDayFile);
  ASSERT_FALSE(file.empty()) << r.err;

  // Every line CR LF ended: no lone CR or LF anywhere.
  ASSERT_GE(file.size(), 2u);
  EXPECT_EQ(file.substr(file.size() - 2), "\r\n");
  std::size_t crlf = 0;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\r') {
      ASSERT_LT(i + 1, file.size());
      EXPECT_EQ(file[i + 1], '\n') << "lone CR at byte " << i;
      ++crlf;
      ++i;
    } else {
      EXPECT_NE(file[i], '\n') << "lone LF at byte " << i;
    }
  }
  const std::vector<std::string> lines = splitLogText(file);
  EXPECT_EQ(lines.size(), crlf);

  // What was printed is what was stored, in the same order.
  EXPECT_EQ(outLines(r.out), lines);

  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], kRuler);
  EXPECT_EQ(lines[1], "Tervalo v0.22 has started from " + lines[1].substr(31));
  EXPECT_NE(lines[1].find(" 09:00:04"), std::string::npos) << lines[1];  // the first pass, after one read
  for (const char* expected : {"Device1 information :", "Device2 information :", "Model# Tervalo Sim Mirror Bridge",
                               "  P0 is present.(SATA2)", "P1 was inserted."})
    EXPECT_TRUE(contains(lines, expected)) << expected;
  // After the header block: the rebuild of Device2 as it happened, one line per change.
  const std::vector<std::string> story{
      "D2 P0 --> P1 0%, ", "D2 P0 --> P1 5%, ", "D2 P0 --> P1 14%, ", "D2 P0 --> P1 26%, ", "D2 P0 --> P1 37%, ",
      "D2 P0 Bad Sector was found. ", "  LBA: 123456789", "D2 P0 --> P1 49%, ", "D2 P0 --> P1 62%, ",
      "D2 P0 --> P1 75%, ", "D2 P0 --> P1 88%, ", "D2 P0 --> P1 99%, ", "D2 P1 was initialized, (SATA2), ",
      "  Serial no.: \"SIMD5000B2          \"", "  Capacity : 465 GB(976773168 Sectors)", "D2 P0 --> P1 Done, "};
  const auto second = std::find(lines.begin() + 1, lines.end(), kRuler);
  ASSERT_NE(second, lines.end());
  ASSERT_EQ(static_cast<std::size_t>(lines.end() - second - 1), story.size());
  for (std::size_t k = 0; k < story.size(); ++k) EXPECT_EQ(second[static_cast<long>(k) + 1].rfind(story[k], 0), 0u) << story[k];
  // The done line comes with the eleventh refresh, 44 s of scenario time after the start.
  EXPECT_NE(lines.back().find("09:00:44"), std::string::npos) << lines.back();
  EXPECT_NE(r.err.find("Stopped after 12 cycles"), std::string::npos) << r.err;
}

TEST_F(WatchCommand, JsonPrintsOneObjectPerLogLine) {
  const CliRun r = runCli({"--simulate", "watch", "--count", "6", "--log-dir", dir_.string(), "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<std::string> stored = splitLogText(readFile(dir_ / kDemoDayFile));
  const std::vector<std::string> printed = outLines(r.out);
  ASSERT_EQ(printed.size(), stored.size());
  for (std::size_t i = 0; i < printed.size(); ++i) {
    const auto j = nlohmann::json::parse(printed[i]);
    EXPECT_EQ(j.at("line").get<std::string>(), stored[i]);
    EXPECT_EQ(j.at("time").get<std::string>().rfind("2024-05-06T09:00:", 0), 0u) << printed[i];
  }
  // Lines of later cycles carry later scenario times.
  EXPECT_LT(nlohmann::json::parse(printed.front()).at("time").get<std::string>(),
            nlohmann::json::parse(printed.back()).at("time").get<std::string>());
}

TEST_F(WatchCommand, ASecondRunAppendsItsBlockAndPrintsOnlyItsOwnLines) {
  ASSERT_EQ(runCli({"--simulate", "watch", "--count", "3", "--log-dir", dir_.string()}).code, 0);
  const std::string first = readFile(dir_ / kDemoDayFile);
  const CliRun second = runCli({"--simulate", "watch", "--count", "2", "--log-dir", dir_.string()});
  ASSERT_EQ(second.code, 0) << second.err;
  const std::string both = readFile(dir_ / kDemoDayFile);
  ASSERT_GT(both.size(), first.size());
  EXPECT_EQ(both.substr(0, first.size()), first);
  // Printed: exactly the lines after the earlier content.
  const auto all = splitLogText(both);
  const auto earlier = splitLogText(first);
  EXPECT_EQ(outLines(second.out), std::vector<std::string>(all.begin() + static_cast<long>(earlier.size()), all.end()));
  EXPECT_EQ(outLines(second.out).at(0), kRuler);
}

TEST_F(WatchCommand, LogPrintsTheDayFileBack) {
  const CliRun watch = runCli({"--simulate", "watch", "--count", "5", "--log-dir", dir_.string()});
  ASSERT_EQ(watch.code, 0) << watch.err;
  const auto stored = splitLogText(readFile(dir_ / kDemoDayFile));

  const CliRun byFile = runCli({"log", (dir_ / kDemoDayFile).string()});
  EXPECT_EQ(byFile.code, 0) << byFile.err;
  EXPECT_EQ(outLines(byFile.out), stored);

  // Today's file of the scenario's day, from the folder.
  const CliRun byDay = runCli({"--simulate", "log", "--log-dir", dir_.string()});
  EXPECT_EQ(byDay.code, 0) << byDay.err;
  EXPECT_EQ(byDay.out, byFile.out);
}

TEST_F(WatchCommand, MonitoringThatStopsWithoutEverReadingFails) {
  sim::Scenario s;
  s.clock = sim::VirtualClockConfig{LocalDateTime{2024, 5, 6, 9, 0, 0}, 4};
  s.addPlainDisk(0);
  s.addController(1, sim::AccessPath::Mailbox);
  s.faults.push_back({1, sim::RequestKind::StatusRead, 1, 0, sim::FaultEffect::Fail, 0});
  const std::string scenario = writeScenario(s);
  const CliRun r = runCli({"--simulate=" + scenario, "watch", "--count", "50", "--log-dir", dir_.string()});
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("Monitoring stopped by itself after 11 cycles"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Device1 no longer monitored"), std::string::npos) << r.err;
  // The day log still got its start block.
  const auto lines = splitLogText(readFile(dir_ / kDemoDayFile));
  EXPECT_TRUE(contains(lines, "Tervalo v0.22 has started from "));
}

TEST_F(WatchCommand, SigintEndsAnOpenEndedWatchWithTheLogSaved) {
  sim::Scenario s;  // no scenario clock: real time, real sleeping
  s.addPlainDisk(0);
  s.addController(1, sim::AccessPath::Mailbox);
  const std::string scenario = writeScenario(s);
  CliRun r{};
  std::thread watcher(
      [&] { r = runCli({"--simulate=" + scenario, "watch", "--interval", "0.05", "--log-dir", dir_.string()}); });
  // The first cycle's day file shows that the watch is under way with its handlers installed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto dayFileThere = [&] {
    for (const auto& e : fs::directory_iterator(dir_))
      if (e.path().extension() == ".log") return true;
    return false;
  };
  while (!dayFileThere() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  ::kill(::getpid(), SIGINT);
  watcher.join();
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("(signal)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Day log: "), std::string::npos) << r.err;
  EXPECT_EQ(signal(SIGINT, SIG_DFL), SIG_DFL) << "the previous handler was not put back";
}

struct BadWatchArguments {
  const char* name;
  std::vector<std::string> args;  // after "--simulate watch"; {dir} is the test folder
  const char* message;
};

class WatchArguments : public WatchCommand, public ::testing::WithParamInterface<BadWatchArguments> {};

TEST_P(WatchArguments, AreRefusedWithAReason) {
  fs::create_directories(dir_);
  std::ofstream(dir_ / "plain-file") << "not a folder";
  std::vector<std::string> args{"--simulate", "watch"};
  for (std::string a : GetParam().args) {
    if (const auto at = a.find("{dir}"); at != std::string::npos) a.replace(at, 5, dir_.string());
    args.push_back(a);
  }
  const CliRun r = runCli(args);
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_FALSE(fs::exists(dir_ / kDemoDayFile));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WatchArguments,
    ::testing::Values(
        BadWatchArguments{"NegativeCount", {"--count=-1", "--log-dir", "{dir}"}, "--count must be"},
        BadWatchArguments{"ZeroCount", {"--count", "0", "--log-dir", "{dir}"}, "--count must be"},
        BadWatchArguments{"NegativeInterval", {"--interval=-2", "--count", "1", "--log-dir", "{dir}"},
                          "--interval must be"},
        BadWatchArguments{"FolderUnderAFile", {"--count", "1", "--log-dir", "{dir}/plain-file/logs"},
                          "Cannot use the log folder"},
        BadWatchArguments{"FolderIsAFile", {"--count", "1", "--log-dir", "{dir}/plain-file"},
                          "Cannot use the log folder"},
        BadWatchArguments{"CountNotANumber", {"--count", "many", "--log-dir", "{dir}"}, "--count"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WatchCommand, LogOfAMissingFileFails) {
  const CliRun r = runCli({"log", (dir_ / "990101.log").string()});
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("No log file"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty());
}

}  // namespace
}  // namespace tervalo::cli
