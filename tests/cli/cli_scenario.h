#pragma once
// Scenario files for tervaloctl runs, in a fresh folder per test that is removed afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/scenario.h"

namespace tervalo::testing {

class TempFolder {
 public:
  TempFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("tervalo-cli-") + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" +
                       info->name();
    for (auto& c : name)
      if (c == '/') c = '_';
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Writes the scenario as JSON and returns the "--simulate=FILE" argument.
  std::string simulateArg(const sim::Scenario& scenario, const std::string& name = "scenario.json") const {
    std::ofstream(file(name)) << sim::scenarioToJson(scenario);
    return "--simulate=" + file(name);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::uint8_t> readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace tervalo::testing
