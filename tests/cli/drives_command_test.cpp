#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

#include "support/cli_run.h"

namespace tervalo::cli {
namespace {

using testing::CliRun;
using testing::runCli;

TEST(DrivesCommand, AHostWithoutDisksSaysSoAndSucceeds) {
  const auto empty = std::filesystem::temp_directory_path() / "tervalo-empty-sysfs";
  std::filesystem::create_directories(empty / "block");
  const CliRun text = runCli({"--sysfs-root", empty.string(), "--dev-root", empty.string(), "drives"});
  EXPECT_EQ(text.code, 0);
  EXPECT_NE(text.out.find("No SCSI disks"), std::string::npos) << text.out;

  const CliRun json = runCli({"--sysfs-root", empty.string(), "--dev-root", empty.string(), "drives", "--json"});
  EXPECT_EQ(json.code, 0);
  const auto j = nlohmann::json::parse(json.out);
  EXPECT_EQ(j.at("physicalDriveCount"), 0);
  EXPECT_TRUE(j.at("volumes").empty());
}

TEST(DrivesCommand, UnknownOptionsFailWithUsage) {
  const CliRun r = runCli({"drives", "--no-such-option"});
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("no-such-option"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tervalo::cli
