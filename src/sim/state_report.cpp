#include "sim/state_report.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>

#include "core/sha256.h"

namespace tervalo::sim {

namespace {

std::string hexText(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

}  // namespace

std::string buildStateReport(const SimulatedHost& host, const StateReportOptions& options) {
  using nlohmann::json;
  const int drive = options.drive;
  json report{{"drive", drive}, {"present", host.drivePresent(drive)}};
  if (!options.endedBy.empty()) report["endedBy"] = options.endedBy;
  if (!options.path.empty()) {
    report["path"] = options.path;
    const auto path = parseAccessPath(options.path);
    report["recordBytes"] = path && isVendorScsi(*path) ? 256 : 512;
  }

  json violations = json::array();
  for (const Violation& v : host.violations())
    violations.push_back({{"drive", v.drive}, {"kind", std::string(violationKindName(v.kind))}, {"text", v.text}});
  report["violationCount"] = violations.size();
  report["violations"] = std::move(violations);

  std::size_t total = 0, accepted = 0;
  std::map<std::string, std::size_t> byKind;
  for (const OrderRecord& order : host.orderLog()) {
    if (order.drive != drive) continue;
    ++total;
    if (order.accepted) ++accepted;
    ++byKind[std::string(requestKindId(order.kind))];
  }
  report["orders"] = {{"total", total}, {"accepted", accepted}, {"refused", total - accepted}, {"byKind", byKind}};

  if (const auto model = host.arrayModel(drive)) {
    report["arrayModel"] = json::parse(arrayModelToJson(*model));
    if (const auto record = host.currentStatusRecord(drive)) report["statusRecord"] = hexText(*record);
    report["statusReads"] = host.statusReadCount(drive);
    const std::vector<std::uint8_t> flash = host.flashContents(drive);
    json f{{"size", flash.size()}, {"sha256", sha256Hex(flash)}};
    if (options.flashHex) f["hex"] = hexText(flash);
    report["flash"] = std::move(f);
  }
  return report.dump(2) + "\n";
}

}  // namespace tervalo::sim
