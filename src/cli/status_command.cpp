// tervaloctl status: one controller's status record, decoded field by field, the raw sector, and
// the texts the monitor panel of the window would show for it.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <sstream>

#include "cli/controller_session.h"
#include "device/detection.h"
#include "device/drive_table.h"
#include "monitor/presentation.h"
#include "protocol/status_record.h"

namespace tervalo::cli {

namespace {

using nlohmann::ordered_json;

std::string hexByte(std::uint32_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
  return text;
}

const char* conditionWords(PortCondition c) {
  switch (c) {
    case PortCondition::Absent: return "absent";
    case PortCondition::Initialized: return "initialized";
    case PortCondition::Failed: return "failed (capacity too small)";
    case PortCondition::Inserted: return "inserted, not yet initialized";
    case PortCondition::None: return "no state";
  }
  return "no state";
}

// What runs on the array, in words. The scan bit counts only where the firmware supports scans.
std::string operationWords(const StatusRecordView& view, bool scanSupported) {
  const std::uint8_t a = view.activity();
  if ((a & kActivityRunningMask) == 0) {
    const std::uint8_t both = view.portState() & kBothInitialized;
    return both == kBothInitialized ? "idle, both disks initialized"
           : both == 0             ? "idle, no disk initialized (failure)"
                                   : "idle, one disk initialized";
  }
  const std::string percent = std::to_string(view.progress()) + " %";
  if (scanSupported && (a & kActivityScan))
    return std::string("surface scan of ") + ((a & kActivityP0) ? "P0" : "P1") + " at " + percent;
  return std::string("rebuild ") + ((a & kActivityP0) ? "from P1 to P0" : "from P0 to P1") + " at " + percent;
}

std::string badSectorWords(std::uint8_t activity) {
  const bool p0 = activity & kActivityBadSectorP0;
  const bool p1 = activity & kActivityBadSectorP1;
  if (p0 && p1) return "bad sectors found on P0 and P1";
  if (p0) return "bad sector found on P0";
  if (p1) return "bad sector found on P1";
  return "no bad sector flagged";
}

std::string capacityWords(std::uint64_t sectors) {
  return std::to_string(sectors) + " sectors (" + std::to_string(capacityGigabytes(sectors)) + " GB, " +
         std::to_string(capacityMegabytes(sectors)) + " MB)";
}

// The raw sector, 32 bytes per line with the offset in front.
std::vector<std::string> hexLines(const Sector& record) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < record.size(); at += 32) {
    std::string line;
    char cell[8];
    std::snprintf(cell, sizeof cell, "%03X:", static_cast<unsigned>(at));
    line = cell;
    for (std::size_t i = at; i < at + 32; ++i) {
      std::snprintf(cell, sizeof cell, " %02X", record[i]);
      line += cell;
    }
    lines.push_back(line);
  }
  return lines;
}

std::string hexString(const Sector& record) {
  std::string out;
  char cell[4];
  for (std::uint8_t b : record) {
    std::snprintf(cell, sizeof cell, "%02X", b);
    out += cell;
  }
  return out;
}

ordered_json labelJson(const LabelChange& l) {
  ordered_json j = ordered_json::object();
  if (l.text) j["text"] = *l.text;
  if (l.enabled) j["enabled"] = *l.enabled;
  return j;
}

ordered_json buttonJson(const ButtonChange& b) {
  ordered_json j = ordered_json::object();
  if (b.caption) j["caption"] = *b.caption;
  if (b.visible) j["visible"] = *b.visible;
  return j;
}

// The controls the presentation changes, by the window's names; controls it leaves alone are
// left out.
ordered_json panelJson(const MonitorPanelUpdate& p) {
  ordered_json j = ordered_json::object();
  auto text = [&](const char* name, const std::optional<std::string>& v) {
    if (v) j[name] = *v;
  };
  auto label = [&](const char* name, const LabelChange& l) {
    if (l.text || l.enabled) j[name] = labelJson(l);
  };
  auto button = [&](const char* name, const ButtonChange& b) {
    if (b.caption || b.visible) j[name] = buttonJson(b);
  };
  text("StaticText5", p.staticText5);
  label("Label19", p.label19);
  label("Label25", p.label25);
  label("Label24", p.label24);
  label("Label26", p.label26);
  text("Label18", p.label18);
  text("Label21", p.label21);
  text("Label15", p.label15);
  text("Label17", p.label17);
  text("Label27", p.label27);
  text("StaticText6", p.staticText6);
  text("StaticText7", p.staticText7);
  if (p.buzzerMuteChecked) j["CheckBox6"] = {{"caption", "Buzzer Mute"}, {"checked", *p.buzzerMuteChecked}};
  if (p.autoScanChecked) j["CheckBox7"] = {{"caption", "Auto Scan"}, {"checked", *p.autoScanChecked}};
  button("Button3", p.button3);
  button("Button4", p.button4);
  if (p.logVisible) j["Button1"] = {{"caption", "Log"}, {"visible", *p.logVisible}};
  return j;
}

ordered_json describe(Console& console, int page, const Sector& record) {
  const DeviceState& device = console.device;
  const auto flags = static_cast<std::uint8_t>(device.controllerList[static_cast<std::size_t>(page)] & 0xFF);
  const int drive = flags & kFlagDriveMask;
  const Sector& identify = device.identifyData[static_cast<std::size_t>(drive)];
  const std::string volumes = VolumesOfPhysicalDrive(device, drive);
  const DeviceIdentity identity = describeDeviceIdentity(identify, kProgramCaption, volumes);

  MonitorState fresh;
  fresh.firmwareRevisionText = identity.firmwareRevisionText;
  fresh.scanSupported = identity.scanSupported;
  const Presentation shown = presentStatusRecord(record, kNothingShown, /*force=*/true, fresh);

  const StatusRecordView view(record);
  ordered_json ports = ordered_json::array();
  for (int port = 0; port < 2; ++port) {
    const std::uint64_t capacity = view.portCapacity(port);
    ports.push_back({{"port", "P" + std::to_string(port)},
                     {"state", conditionWords(view.condition(port))},
                     {"serial", view.serial(port)},
                     {"model", view.model(port)},
                     {"capacitySectors", capacity},
                     {"capacityGB", capacityGigabytes(capacity)},
                     {"capacityMB", capacityMegabytes(capacity)},
                     {"sataGeneration", view.sataGenerationOf(port)}});
  }
  ordered_json ring = ordered_json::array();
  for (unsigned k = 0; k < kBadSectorRingEntries; ++k) ring.push_back(view.badSectorLba(k));
  // The bad sectors the ring still holds, newest last.
  ordered_json recent = ordered_json::array();
  const unsigned count = view.badSectorCount();
  for (unsigned k = count > kBadSectorRingEntries ? count - kBadSectorRingEntries : 0; k < count; ++k)
    recent.push_back({{"number", k}, {"lba", view.badSectorLba(k)}});

  ordered_json j;
  j["page"] = page + 1;
  j["device"] = "Device" + std::to_string(page + 1);
  j["drive"] = drive;
  j["hostDevice"] = console.host.physicalDriveName(drive);
  j["flags"] = hexByte(flags);
  j["path"] = accessPathName(flags);
  j["identity"] = {{"firmwareRevision", identifyFirmwareRevision(identify)},
                   {"model", trimModelNumber(identifyModelNumber(identify))},
                   {"volumes", volumes},
                   {"firmwareRevisionText", identity.firmwareRevisionText},
                   {"scanSupported", identity.scanSupported},
                   {"windowCaption", identity.windowCaption}};
  j["record"] = {
      {"spiConfigVersion", view.spiConfigVersion()},
      {"spiRaidMode", {{"code", view.spiRaidMode()}, {"text", raidModeText(view.spiRaidMode())}}},
      {"settingFlags",
       {{"value", hexByte(view.settingFlags())},
        {"buzzerOn", view.buzzerOn()},
        {"autoScanOn", view.autoScanOn()},
        {"scheduleBackupOn", view.scheduleBackupOn()},
        {"raidSettingFrom", settingSourceText(view.settingSource())}}},
      {"systemRaidMode", {{"code", view.systemRaidMode()}, {"text", raidModeText(view.systemRaidMode())}}},
      {"arrayCapacity",
       {{"sectors", view.arrayCapacity()},
        {"gigabytes", capacityGigabytes(view.arrayCapacity())},
        {"megabytes", capacityMegabytes(view.arrayCapacity())}}},
      {"portState", hexByte(view.portState())},
      {"activity", hexByte(view.activity())},
      {"progress", view.progress()},
      {"firmwareBuild",
       {{"raw", std::string(record.begin() + kFirmwareBuildOffset, record.begin() + kFirmwareBuildOffset + kFirmwareBuildLength)},
        {"set", view.firmwareBuildSet()},
        {"text", FirmwareBuildText(record)}}},
      {"sataGeneration", hexByte(view.sataGeneration())},
      {"badSectorCount", view.badSectorCount()},
      {"badSectorLbas", ring}};
  j["ports"] = ports;
  j["array"] = {{"operation", operationWords(view, identity.scanSupported)},
                {"badSectors", badSectorWords(view.activity())},
                {"recentBadSectors", recent}};
  j["panel"] = panelJson(shown.panel);
  j["raw"] = hexString(record);
  return j;
}

// Values print as JSON: strings quoted with their escapes ("\n" stays two characters), so every
// text stays on one line and its blanks show.
// Bytes that are no UTF-8 (an erased field reads as 0xFF) print as U+FFFD instead of failing.
std::string quoted(const ordered_json& v) { return v.dump(-1, ' ', false, ordered_json::error_handler_t::replace); }

void printText(std::ostream& out, const ordered_json& j, const Sector& record) {
  const auto& id = j["identity"];
  const auto& r = j["record"];
  out << j["device"].get<std::string>() << "  drive " << j["drive"].get<int>() << " ("
      << j["hostDevice"].get<std::string>() << ")  flags " << j["flags"].get<std::string>() << "  "
      << j["path"].get<std::string>() << "\n";
  out << "  " << id["firmwareRevisionText"].get<std::string>() << "  model " << id["model"].get<std::string>()
      << "  volumes [" << id["volumes"].get<std::string>() << "]  scans "
      << (id["scanSupported"].get<bool>() ? "supported" : "not supported") << "\n\n";

  out << "Record\n";
  auto row = [&](const char* name, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof head, "  %-18s", name);
    out << head << value << "\n";
  };
  row("spiConfigVersion", hexByte(r["spiConfigVersion"].get<int>()));
  row("spiRaidMode", std::to_string(r["spiRaidMode"]["code"].get<int>()) + " " + r["spiRaidMode"]["text"].get<std::string>());
  const auto& sf = r["settingFlags"];
  row("settingFlags", sf["value"].get<std::string>() + "  buzzer " + (sf["buzzerOn"].get<bool>() ? "on" : "muted") +
                          ", automatic scan " + (sf["autoScanOn"].get<bool>() ? "on" : "off") + ", schedule backup " +
                          (sf["scheduleBackupOn"].get<bool>() ? "on" : "off") + ", RAID setting from " +
                          sf["raidSettingFrom"].get<std::string>());
  row("systemRaidMode",
      std::to_string(r["systemRaidMode"]["code"].get<int>()) + " " + r["systemRaidMode"]["text"].get<std::string>());
  row("arrayCapacity", capacityWords(r["arrayCapacity"]["sectors"].get<std::uint64_t>()));
  const auto& ports = j["ports"];
  row("portState", r["portState"].get<std::string>() + "  P0 " + ports[0]["state"].get<std::string>() + ", P1 " +
                       ports[1]["state"].get<std::string>());
  row("activity", r["activity"].get<std::string>() + "  " + j["array"]["operation"].get<std::string>() + "; " +
                      j["array"]["badSectors"].get<std::string>());
  row("progress", std::to_string(r["progress"].get<int>()) + " %");
  const auto& fb = r["firmwareBuild"];
  row("firmwareBuild", quoted(fb["raw"]) + (fb["set"].get<bool>() ? "  set" : "  not set, shown as C00"));
  row("sataGeneration", r["sataGeneration"].get<std::string>() + "  P0 SATA " +
                            std::to_string(ports[0]["sataGeneration"].get<int>()) + ", P1 SATA " +
                            std::to_string(ports[1]["sataGeneration"].get<int>()));
  for (int port = 0; port < 2; ++port) {
    const auto& p = ports[port];
    const std::string name = p["port"].get<std::string>();
    row((name == "P0" ? "p0Serial" : "p1Serial"), quoted(p["serial"]));
    row((name == "P0" ? "p0Model" : "p1Model"), quoted(p["model"]));
    row((name == "P0" ? "p0Capacity" : "p1Capacity"), capacityWords(p["capacitySectors"].get<std::uint64_t>()));
  }
  row("badSectorCount", std::to_string(r["badSectorCount"].get<int>()));
  std::string ring;
  for (const auto& lba : r["badSectorLbas"]) ring += (ring.empty() ? "" : " ") + std::to_string(lba.get<std::uint32_t>());
  row("badSectorLbas", ring);
  for (const auto& b : j["array"]["recentBadSectors"])
    out << "    bad sector " << b["number"].get<unsigned>() << " at LBA " << b["lba"].get<std::uint32_t>() << "\n";

  out << "\nMonitor panel\n";
  for (const auto& [name, value] : j["panel"].items()) {
    char head[32];
    std::snprintf(head, sizeof head, "  %-12s", name.c_str());
    out << head;
    if (value.is_string()) {
      out << quoted(value);
    } else {
      bool first = true;
      for (const auto& [k, v] : value.items()) {
        out << (first ? "" : "  ") << k << " " << quoted(v);
        first = false;
      }
    }
    out << "\n";
  }
  out << "  Caption      " << quoted(id["windowCaption"]) << "\n";

  out << "\nRaw sector\n";
  for (const auto& line : hexLines(record)) out << "  " << line << "\n";
}

struct StatusOptions {
  int device = 1;
  bool json = false;
};

void runStatus(CliContext& ctx, const StatusOptions& o) {
  ctx.exitCode = 1;
  Console* console = detectControllers(ctx);
  if (!console || !selectController(ctx, *console, o.device)) return;
  Sector record{};
  // The reason of a failed read is already on stderr: the failure panel's text.
  if (!readCurrentRecord(*console, record)) return;
  const ordered_json j = describe(*console, o.device - 1, record);
  if (o.json)
    ctx.out << j.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
  else
    printText(ctx.out, j, record);
  ctx.exitCode = 0;
}

}  // namespace

void addStatusCommand(CLI::App& app, CliContext& ctx) {
  auto options = std::make_shared<StatusOptions>();
  auto* cmd = app.add_subcommand("status", "Read and decode one controller's status record");
  cmd->add_option("--device", options->device, "Controller page, 1-based")->check(CLI::Range(1, 4));
  cmd->add_flag("--json", options->json, "Print JSON");
  cmd->callback([&ctx, options] { runStatus(ctx, *options); });
}

}  // namespace tervalo::cli
