#pragma once
// Runs tervaloctl in-process with captured streams.
#include <sstream>
#include <string>
#include <vector>

#include "cli/tervaloctl.h"

namespace tervalo::testing {

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

inline CliRun runCli(std::vector<std::string> args, const std::string& input = {}) {
  args.insert(args.begin(), "tervaloctl");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  std::ostringstream out, err;
  std::istringstream in(input);
  const int code = cli::runTervaloctl(static_cast<int>(argv.size()), argv.data(), out, err, in);
  return {code, out.str(), err.str()};
}

}  // namespace tervalo::testing
