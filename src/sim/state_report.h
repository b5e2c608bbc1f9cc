#pragma once
// The simulated enclosure's state after a session, as JSON for whoever drove it from outside
// (an end-to-end test on the far side of a USB/IP link compares it with what the console saw).
#include <string>

#include "sim/simulated_host.h"

namespace tervalo::sim {

struct StateReportOptions {
  int drive = 0;            // the controller the report is about
  bool flashHex = false;    // also the whole flash as hexadecimal, not only its SHA-256
  std::string endedBy;      // how the session ended ("peer closed", "unplugged", "signal")
  std::string path;         // the controller's access path as scenario files name it
};

// {"drive", "path", "present", "violationCount", "violations": [{"drive", "kind", "text"}],
//  "orders": {"total", "accepted", "refused", "byKind": {kind: count}},
//  "arrayModel": {record fields}, "statusRecord": 512-byte hex, "recordBytes" (how many of them
//  the console reads as the record: 256 on the vendor paths, where a record is a flash slot),
//  "statusReads",
//  "flash": {"size", "sha256"[, "hex"]}, "endedBy"}
// Fields about the controller are left out when `drive` is no controller.
std::string buildStateReport(const SimulatedHost& host, const StateReportOptions& options);

}  // namespace tervalo::sim
