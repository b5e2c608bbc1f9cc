#include "sim/scenario.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sim/controller_model.h"

namespace tervalo::sim {

using nlohmann::json;

std::string_view accessPathId(AccessPath path) {
  switch (path) {
    case AccessPath::Mailbox: return "mailbox";
    case AccessPath::Ata: return "ata";
    case AccessPath::MailboxAta: return "mailbox+ata";
    case AccessPath::VendorSingle: return "vendor-single";
    case AccessPath::VendorDouble: return "vendor-double";
  }
  return "?";
}

std::optional<AccessPath> parseAccessPath(std::string_view id) {
  for (AccessPath p : {AccessPath::Mailbox, AccessPath::Ata, AccessPath::MailboxAta, AccessPath::VendorSingle,
                       AccessPath::VendorDouble})
    if (accessPathId(p) == id) return p;
  return std::nullopt;
}

std::string_view faultEffectId(FaultEffect effect) {
  switch (effect) {
    case FaultEffect::Fail: return "fail";
    case FaultEffect::Corrupt: return "corrupt";
    case FaultEffect::Vanish: return "vanish";
  }
  return "?";
}

// ---------------------------------------------------------------------------------------------
// Builders and the demo

DriveConfig& Scenario::addPlainDisk(int number, std::uint64_t sectors) {
  DriveConfig d;
  d.number = number;
  d.sectors = sectors;
  drives.push_back(d);
  return drives.back();
}

DriveConfig& Scenario::addController(int number, const ControllerConfig& config) {
  DriveConfig d;
  d.number = number;
  d.sectors = config.record.arrayCapacity ? config.record.arrayCapacity : d.sectors;
  d.product = "Sim RAID Array";
  d.controller = config;
  drives.push_back(d);
  return drives.back();
}

DriveConfig& Scenario::addController(int number, AccessPath path) {
  return addController(number, healthyMirrorController(path));
}

ControllerConfig healthyMirrorController(AccessPath path) {
  ControllerConfig c;
  c.path = path;
  c.identify = {"100315.1", "Tervalo Sim RAID Bridge", "SIMCTL0001"};
  ArrayModel& m = c.record;
  m.spiConfigVersion = 0xA0;
  m.spiRaidMode = 1;
  m.settingFlags = 0xF1;
  m.systemRaidMode = 1;
  m.arrayCapacity = 976773168;
  m.portState = 0x22;
  m.firmwareBuild = "B0F";
  m.ports[0] = {"SIMD5000A1", "Sim Disk 500GB 7200rpm", 976773168, 2};
  m.ports[1] = {"SIMD5000A2", "Sim Disk 500GB 7200rpm", 976773168, 2};
  return c;
}

Scenario builtinDemoScenario() {
  Scenario s;
  s.name = "demo";
  s.clock = VirtualClockConfig{LocalDateTime{2024, 5, 6, 9, 0, 0}, 4};

  DriveConfig& system = s.addPlainDisk(0, 500118192);
  system.product = "Sim System Disk";
  system.identify = {"SD01", "Sim System Disk 256GB", "SIMSYS0001"};
  system.volumes = {{"sda1", false, 2048, 1048576}, {"sda2", false, 1050624, 499067568}};

  ControllerConfig healthy = healthyMirrorController(AccessPath::Mailbox);
  healthy.identify = {"100315.1", "Tervalo Sim Mirror Bridge", "SIMCTL0001"};
  DriveConfig& d1 = s.addController(1, healthy);
  d1.volumes = {{"sdb1", false, 2048, 976771120}};

  ControllerConfig rebuilding = healthyMirrorController(AccessPath::MailboxAta);
  rebuilding.identify = {"100315.1", "Tervalo Sim Mirror Bridge", "SIMCTL0002"};
  ArrayModel& m = rebuilding.record;
  m.arrayCapacity = 976773168;
  m.portState = 0x12;  // P0 initialized, P1 inserted and being rebuilt
  m.activity = 0x02;   // rebuild P0 --> P1
  m.progress = 0;
  m.firmwareBuild = "B0F";
  m.ports[0] = {"SIMD5000B1", "Sim Disk 500GB 7200rpm", 976773168, 2};
  m.ports[1] = {"SIMD5000B2", "Sim Disk 500GB 5400rpm", 976773168, 2};
  // Done at status read 11, so that a dozen refreshes show the whole rebuild.
  const std::uint8_t steps[] = {5, 14, 26, 37, 49, 62, 75, 88, 99};
  std::uint32_t at = 2;
  for (std::uint8_t p : steps) {
    TimelineStep st;
    st.atStatusRead = at++;
    st.set.progress = p;
    if (p == 37) st.badSectors.push_back({0, 123456789});
    rebuilding.timeline.push_back(st);
  }
  TimelineStep done;
  done.atStatusRead = at;
  done.set.activity = 0x00;
  done.set.portState = 0x22;
  rebuilding.timeline.push_back(done);
  DriveConfig& d2 = s.addController(2, rebuilding);
  d2.volumes = {{"sdc1", false, 2048, 976771120}};
  return s;
}

// ---------------------------------------------------------------------------------------------
// Reading

namespace {

struct FieldError {
  std::string path;
  std::string problem;
};

// A JSON object being read: remembers its path and which fields were taken, so that unknown
// fields (usually typos) are reported instead of silently ignored.
class Reader {
 public:
  Reader(const json& j, std::string path) : j_(j), path_(std::move(path)) {
    if (!j_.is_object()) throw FieldError{pathOrRoot(), "expected an object"};
  }

  const std::string& path() const { return path_; }
  std::string at(const std::string& key) const { return path_ + "/" + key; }
  bool has(const std::string& key) {
    seen_.insert(key);
    return j_.contains(key);
  }
  const json& get(const std::string& key) {
    seen_.insert(key);
    return j_.at(key);
  }

  void finish() const {
    for (auto it = j_.begin(); it != j_.end(); ++it)
      if (!seen_.count(it.key())) throw FieldError{at(it.key()), "unknown field"};
  }

  std::uint64_t number(const std::string& key, std::uint64_t max, std::uint64_t fallback) {
    if (!has(key)) return fallback;
    return parseNumber(get(key), at(key), max);
  }
  std::string text(const std::string& key, std::size_t maxLength, const std::string& fallback) {
    if (!has(key)) return fallback;
    const json& v = get(key);
    if (!v.is_string()) throw FieldError{at(key), "expected a string"};
    std::string s = v.get<std::string>();
    if (s.size() > maxLength) throw FieldError{at(key), "longer than " + std::to_string(maxLength) + " characters"};
    return s;
  }
  bool flag(const std::string& key, bool fallback) {
    if (!has(key)) return fallback;
    const json& v = get(key);
    if (!v.is_boolean()) throw FieldError{at(key), "expected true or false"};
    return v.get<bool>();
  }

  static std::uint64_t parseNumber(const json& v, const std::string& path, std::uint64_t max) {
    std::uint64_t n = 0;
    if (v.is_number_unsigned()) {
      n = v.get<std::uint64_t>();
    } else if (v.is_number_integer()) {
      throw FieldError{path, "must not be negative"};
    } else if (v.is_string()) {
      const std::string s = v.get<std::string>();
      if (s.size() < 3 || (s.rfind("0x", 0) != 0 && s.rfind("0X", 0) != 0) || s.size() > 18)
        throw FieldError{path, "expected a number or a hexadecimal string such as \"0x22\""};
      for (std::size_t i = 2; i < s.size(); ++i) {
        const char c = s[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) throw FieldError{path, "\"" + s + "\" is not a hexadecimal number"};
        n = (n << 4) | static_cast<std::uint64_t>(d);
      }
    } else {
      throw FieldError{path, "expected a number"};
    }
    if (n > max) throw FieldError{path, "out of range (at most " + std::to_string(max) + ")"};
    return n;
  }

 private:
  std::string pathOrRoot() const { return path_.empty() ? "/" : path_; }
  const json& j_;
  std::string path_;
  std::set<std::string> seen_;
};

const json& arrayAt(Reader& r, const std::string& key) {
  const json& v = r.get(key);
  if (!v.is_array()) throw FieldError{r.at(key), "expected an array"};
  return v;
}

LocalDateTime parseDateTime(const json& v, const std::string& path) {
  if (!v.is_string()) throw FieldError{path, "expected a date-time string \"YYYY-MM-DDTHH:MM:SS\""};
  const std::string s = v.get<std::string>();
  LocalDateTime t;
  char sep = 0;
  int used = 0;
  if (std::sscanf(s.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &t.year, &t.month, &t.day, &sep, &t.hour, &t.minute,
                  &t.second, &used) != 7 ||
      static_cast<std::size_t>(used) != s.size() || (sep != 'T' && sep != ' '))
    throw FieldError{path, "\"" + s + "\" is not a date-time \"YYYY-MM-DDTHH:MM:SS\""};
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 59)
    throw FieldError{path, "\"" + s + "\" is not a valid date-time"};
  return t;
}

std::uint8_t byteField(Reader& r, const std::string& key, std::uint8_t fallback) {
  return static_cast<std::uint8_t>(r.number(key, 0xFF, fallback));
}

int portField(Reader& r, const std::string& key) {
  if (!r.has(key)) throw FieldError{r.at(key), "missing (0 for P0, 1 for P1)"};
  return static_cast<int>(Reader::parseNumber(r.get(key), r.at(key), 1));
}

PortModel readPort(const json& j, const std::string& path, const PortModel& base) {
  Reader r(j, path);
  PortModel p = base;
  p.serial = r.text("serial", 20, p.serial);
  p.model = r.text("model", 40, p.model);
  p.capacity = r.number("capacity", 0xFFFFFFFFFFull, p.capacity);
  p.sataGeneration = static_cast<std::uint8_t>(r.number("sataGeneration", 15, p.sataGeneration));
  r.finish();
  return p;
}

std::string readBuild(Reader& r, const std::string& fallback) {
  return r.text("firmwareBuild", 3, fallback);
}

// Record fields shared by the initial record and the timeline's "set".
void readRecordFields(Reader& r, RecordPatch& p, const ArrayModel* base) {
  auto byte = [&](const char* key, std::optional<std::uint8_t>& out) {
    if (r.has(key)) out = static_cast<std::uint8_t>(Reader::parseNumber(r.get(key), r.at(key), 0xFF));
  };
  byte("spiConfigVersion", p.spiConfigVersion);
  byte("spiRaidMode", p.spiRaidMode);
  byte("settingFlags", p.settingFlags);
  byte("systemRaidMode", p.systemRaidMode);
  byte("portState", p.portState);
  byte("activity", p.activity);
  byte("progress", p.progress);
  byte("badSectorCount", p.badSectorCount);
  if (r.has("arrayCapacity")) p.arrayCapacity = Reader::parseNumber(r.get("arrayCapacity"), r.at("arrayCapacity"), 0xFFFFFFFFFFull);
  if (r.has("firmwareBuild")) p.firmwareBuild = readBuild(r, "");
  if (r.has("ports")) {
    const json& ports = arrayAt(r, "ports");
    if (ports.size() != 2) throw FieldError{r.at("ports"), "expected two ports (P0, P1)"};
    for (int i = 0; i < 2; ++i) {
      if (ports[i].is_null()) continue;  // this port stays as it is
      const PortModel start = base ? base->ports[i] : PortModel{};
      p.ports[i] = readPort(ports[i], r.at("ports") + "/" + std::to_string(i), start);
    }
  }
}

ArrayModel readRecord(const json& j, const std::string& path, ArrayModel m) {
  Reader r(j, path);
  RecordPatch p;
  readRecordFields(r, p, &m);
  if (r.has("badSectorLbas")) {
    const json& a = arrayAt(r, "badSectorLbas");
    if (a.size() > 10) throw FieldError{r.at("badSectorLbas"), "at most ten entries"};
    m.badSectorLbas = {};
    for (std::size_t i = 0; i < a.size(); ++i)
      m.badSectorLbas[i] = static_cast<std::uint32_t>(
          Reader::parseNumber(a[i], r.at("badSectorLbas") + "/" + std::to_string(i), 0xFFFFFFFFull));
  }
  r.finish();
  applyPatch(m, p);
  return m;
}

TimelineStep readStep(const json& j, const std::string& path) {
  Reader r(j, path);
  TimelineStep s;
  if (!r.has("atStatusRead")) throw FieldError{r.at("atStatusRead"), "missing (the status read, from 1, at which the step applies)"};
  s.atStatusRead = static_cast<std::uint32_t>(Reader::parseNumber(r.get("atStatusRead"), r.at("atStatusRead"), 0xFFFFFFFF));
  if (s.atStatusRead == 0) throw FieldError{r.at("atStatusRead"), "status reads count from 1"};
  if (r.has("set")) {
    Reader sr(r.get("set"), r.at("set"));
    readRecordFields(sr, s.set, nullptr);
    sr.finish();
  }
  if (r.has("pullDisk")) {
    Reader pr(r.get("pullDisk"), r.at("pullDisk"));
    s.pullDisk = portField(pr, "port");
    pr.finish();
  }
  if (r.has("insertDisk")) {
    Reader ir(r.get("insertDisk"), r.at("insertDisk"));
    InsertDiskEvent e;
    e.port = portField(ir, "port");
    if (!ir.has("disk")) throw FieldError{ir.at("disk"), "missing (serial, model, capacity, sataGeneration)"};
    e.disk = readPort(ir.get("disk"), ir.at("disk"), PortModel{});
    ir.finish();
    s.insertDisk = e;
  }
  if (r.has("badSectors")) {
    const json& a = arrayAt(r, "badSectors");
    for (std::size_t i = 0; i < a.size(); ++i) {
      Reader br(a[i], r.at("badSectors") + "/" + std::to_string(i));
      BadSectorEvent b;
      b.port = portField(br, "port");
      if (!br.has("lba")) throw FieldError{br.at("lba"), "missing"};
      b.lba = static_cast<std::uint32_t>(Reader::parseNumber(br.get("lba"), br.at("lba"), 0xFFFFFFFFull));
      br.finish();
      s.badSectors.push_back(b);
    }
  }
  if (r.has("unplug")) {
    Reader ur(r.get("unplug"), r.at("unplug"));
    s.unplugForOpens = static_cast<std::uint32_t>(ur.number("forOpens", 0xFFFFFFFF, 0));
    ur.finish();
  }
  r.finish();
  return s;
}

IdentifyConfig readIdentify(const json& j, const std::string& path, IdentifyConfig id) {
  Reader r(j, path);
  id.firmwareRevision = r.text("firmwareRevision", 8, id.firmwareRevision);
  id.model = r.text("model", 40, id.model);
  id.serial = r.text("serial", 20, id.serial);
  r.finish();
  return id;
}

FlashConfig readFlash(const json& j, const std::string& path) {
  Reader r(j, path);
  FlashConfig f;
  f.size = static_cast<std::uint32_t>(r.number("size", 0x1000000, f.size));
  if (f.size < 0x10000 || (f.size & (f.size - 1)) != 0)
    throw FieldError{r.at("size"), "must be a power of two from 0x10000 to 0x1000000"};
  if (r.has("content")) {
    const json& c = r.get("content");
    if (!c.is_string() || (c != "image" && c != "erased"))
      throw FieldError{r.at("content"), "expected \"image\" or \"erased\""};
    f.erased = c == "erased";
  }
  f.configVersion = byteField(r, "configVersion", f.configVersion);
  if (r.has("patches")) {
    const json& a = arrayAt(r, "patches");
    for (std::size_t i = 0; i < a.size(); ++i) {
      Reader pr(a[i], r.at("patches") + "/" + std::to_string(i));
      FlashConfig::Patch p;
      p.address = static_cast<std::uint32_t>(pr.number("address", f.size - 1, 0));
      if (!pr.has("bytes")) throw FieldError{pr.at("bytes"), "missing (hexadecimal text such as \"46495053\")"};
      const json& b = pr.get("bytes");
      const std::string hex = b.is_string() ? b.get<std::string>() : std::string("?");
      if (!b.is_string() || hex.size() % 2 != 0)
        throw FieldError{pr.at("bytes"), "expected an even number of hexadecimal digits"};
      for (std::size_t k = 0; k < hex.size(); k += 2) {
        unsigned v = 0;
        if (std::sscanf(hex.substr(k, 2).c_str(), "%2x", &v) != 1 || !std::isxdigit(static_cast<unsigned char>(hex[k])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[k + 1])))
          throw FieldError{pr.at("bytes"), "\"" + hex.substr(k, 2) + "\" is not a hexadecimal byte"};
        p.bytes.push_back(static_cast<std::uint8_t>(v));
      }
      if (p.address + p.bytes.size() > f.size) throw FieldError{pr.at("bytes"), "runs past the end of the flash"};
      pr.finish();
      f.patches.push_back(std::move(p));
    }
  }
  r.finish();
  return f;
}

ControllerConfig readController(const json& j, const std::string& path) {
  Reader r(j, path);
  ControllerConfig c;
  if (!r.has("path")) throw FieldError{r.at("path"), "missing (mailbox, ata, mailbox+ata, vendor-single or vendor-double)"};
  const json& p = r.get("path");
  const auto parsed = p.is_string() ? parseAccessPath(p.get<std::string>()) : std::nullopt;
  if (!parsed) throw FieldError{r.at("path"), "expected mailbox, ata, mailbox+ata, vendor-single or vendor-double"};
  c.path = *parsed;
  if (r.has("identify")) c.identify = readIdentify(r.get("identify"), r.at("identify"), c.identify);
  if (r.has("flash")) c.flash = readFlash(r.get("flash"), r.at("flash"));
  if (r.has("record")) c.record = readRecord(r.get("record"), r.at("record"), c.record);
  if (r.has("timeline")) {
    const json& a = arrayAt(r, "timeline");
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::string ip = r.at("timeline") + "/" + std::to_string(i);
      TimelineStep s = readStep(a[i], ip);
      if (s.atStatusRead < last) throw FieldError{ip + "/atStatusRead", "steps must be in order of atStatusRead"};
      last = s.atStatusRead;
      c.timeline.push_back(std::move(s));
    }
  }
  c.scanStepPerRead = static_cast<std::uint8_t>(r.number("scanStepPerRead", 99, c.scanStepPerRead));
  if (c.scanStepPerRead == 0) throw FieldError{r.at("scanStepPerRead"), "must be at least 1"};
  r.finish();
  return c;
}

DriveConfig readDrive(const json& j, const std::string& path) {
  Reader r(j, path);
  DriveConfig d;
  if (!r.has("drive")) throw FieldError{r.at("drive"), "missing (physical drive number 0..9)"};
  d.number = static_cast<int>(Reader::parseNumber(r.get("drive"), r.at("drive"), 9));
  if (!r.has("kind")) throw FieldError{r.at("kind"), "missing (\"disk\" or \"controller\")"};
  const json& kind = r.get("kind");
  if (!kind.is_string() || (kind != "disk" && kind != "controller"))
    throw FieldError{r.at("kind"), "expected \"disk\" or \"controller\""};
  const bool controller = kind == "controller";
  d.inquiryAdditionalLength = byteField(r, "inquiryAdditionalLength", d.inquiryAdditionalLength);
  if (controller) d.product = "Sim RAID Array";
  const bool hasSectors = r.has("sectors");
  d.vendor = r.text("vendor", 8, d.vendor);
  d.product = r.text("product", 16, d.product);
  if (r.has("volumes")) {
    const json& a = arrayAt(r, "volumes");
    for (std::size_t i = 0; i < a.size(); ++i) {
      Reader vr(a[i], r.at("volumes") + "/" + std::to_string(i));
      VolumeConfig v;
      v.identity = vr.text("identity", 64, "");
      if (v.identity.empty()) throw FieldError{vr.at("identity"), "missing (a name such as \"sdb1\")"};
      v.removable = vr.flag("removable", false);
      v.startSector = vr.number("start", 0xFFFFFFFFFFFFull, 0);
      v.sectorCount = vr.number("length", 0xFFFFFFFFFFFFull, 0);
      vr.finish();
      d.volumes.push_back(std::move(v));
    }
  }
  if (controller) {
    if (!r.has("controller")) throw FieldError{r.at("controller"), "missing for a drive of kind \"controller\""};
    d.controller = readController(r.get("controller"), r.at("controller"));
    if (d.controller->record.arrayCapacity != 0) d.sectors = d.controller->record.arrayCapacity;
  } else {
    if (r.has("controller")) throw FieldError{r.at("controller"), "only for a drive of kind \"controller\""};
    if (r.has("identify")) d.identify = readIdentify(r.get("identify"), r.at("identify"), d.identify);
  }
  if (hasSectors) d.sectors = Reader::parseNumber(r.get("sectors"), r.at("sectors"), 0xFFFFFFFFFFull);
  for (std::size_t i = 0; i < d.volumes.size(); ++i)
    if (d.volumes[i].startSector + d.volumes[i].sectorCount > d.sectors)
      throw FieldError{r.at("volumes") + "/" + std::to_string(i) + "/length", "runs past the end of the drive"};
  r.finish();
  return d;
}

FaultSpec readFault(const json& j, const std::string& path) {
  Reader r(j, path);
  FaultSpec f;
  f.drive = r.has("drive") ? static_cast<int>(Reader::parseNumber(r.get("drive"), r.at("drive"), 9)) : -1;
  if (!r.has("kind")) throw FieldError{r.at("kind"), "missing (a request kind such as \"status_read\")"};
  const json& k = r.get("kind");
  const auto kind = k.is_string() ? parseRequestKind(k.get<std::string>()) : std::nullopt;
  if (!kind) throw FieldError{r.at("kind"), "unknown request kind (see docs/scenarios.md)"};
  f.kind = *kind;
  f.from = static_cast<std::uint32_t>(r.number("from", 0xFFFFFFFF, 1));
  if (f.from == 0) throw FieldError{r.at("from"), "occurrences count from 1"};
  f.count = static_cast<std::uint32_t>(r.number("count", 0xFFFFFFFF, 1));
  if (r.has("effect")) {
    const json& e = r.get("effect");
    if (e == "fail") f.effect = FaultEffect::Fail;
    else if (e == "corrupt") f.effect = FaultEffect::Corrupt;
    else if (e == "vanish") f.effect = FaultEffect::Vanish;
    else throw FieldError{r.at("effect"), "expected \"fail\", \"corrupt\" or \"vanish\""};
  }
  f.reappearAfterOpens = static_cast<std::uint32_t>(r.number("reappearAfterOpens", 0xFFFFFFFF, 0));
  r.finish();
  return f;
}

Scenario readScenario(const json& j) {
  Reader r(j, "");
  Scenario s;
  s.name = r.text("name", 200, "");
  if (!r.has("drives")) throw FieldError{"/drives", "missing"};
  const json& drives = arrayAt(r, "drives");
  std::set<int> numbers;
  for (std::size_t i = 0; i < drives.size(); ++i) {
    const std::string path = "/drives/" + std::to_string(i);
    DriveConfig d = readDrive(drives[i], path);
    if (!numbers.insert(d.number).second) throw FieldError{path + "/drive", "drive " + std::to_string(d.number) + " appears twice"};
    s.drives.push_back(std::move(d));
  }
  if (r.has("faults")) {
    const json& a = arrayAt(r, "faults");
    for (std::size_t i = 0; i < a.size(); ++i) {
      const std::string path = "/faults/" + std::to_string(i);
      FaultSpec f = readFault(a[i], path);
      if (f.drive != -1 && !numbers.count(f.drive)) throw FieldError{path + "/drive", "no such drive in this scenario"};
      s.faults.push_back(f);
    }
  }
  if (r.has("clock")) {
    Reader cr(r.get("clock"), "/clock");
    VirtualClockConfig c;
    if (!cr.has("start")) throw FieldError{"/clock/start", "missing"};
    c.start = parseDateTime(cr.get("start"), "/clock/start");
    c.secondsPerRefresh = static_cast<std::uint32_t>(cr.number("secondsPerRefresh", 86400, 4));
    cr.finish();
    s.clock = c;
  }
  r.finish();
  return s;
}

// ---------------------------------------------------------------------------------------------
// Writing

std::string hexByte(std::uint64_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(v));
  return buf;
}

json portJson(const PortModel& p) {
  return json{{"serial", p.serial}, {"model", p.model}, {"capacity", p.capacity}, {"sataGeneration", p.sataGeneration}};
}

json patchJson(const RecordPatch& p) {
  json j = json::object();
  if (p.spiConfigVersion) j["spiConfigVersion"] = hexByte(*p.spiConfigVersion);
  if (p.spiRaidMode) j["spiRaidMode"] = *p.spiRaidMode;
  if (p.settingFlags) j["settingFlags"] = hexByte(*p.settingFlags);
  if (p.systemRaidMode) j["systemRaidMode"] = *p.systemRaidMode;
  if (p.arrayCapacity) j["arrayCapacity"] = *p.arrayCapacity;
  if (p.portState) j["portState"] = hexByte(*p.portState);
  if (p.activity) j["activity"] = hexByte(*p.activity);
  if (p.progress) j["progress"] = *p.progress;
  if (p.badSectorCount) j["badSectorCount"] = *p.badSectorCount;
  if (p.firmwareBuild) j["firmwareBuild"] = *p.firmwareBuild;
  if (p.ports[0] || p.ports[1]) {
    // A port that the patch leaves alone is written as null.
    j["ports"] = json::array({p.ports[0] ? portJson(*p.ports[0]) : json(nullptr), p.ports[1] ? portJson(*p.ports[1]) : json(nullptr)});
  }
  return j;
}

json recordJson(const ArrayModel& m) {
  json j{{"spiConfigVersion", hexByte(m.spiConfigVersion)},
         {"spiRaidMode", m.spiRaidMode},
         {"settingFlags", hexByte(m.settingFlags)},
         {"systemRaidMode", m.systemRaidMode},
         {"arrayCapacity", m.arrayCapacity},
         {"portState", hexByte(m.portState)},
         {"activity", hexByte(m.activity)},
         {"progress", m.progress},
         {"firmwareBuild", m.firmwareBuild},
         {"badSectorCount", m.badSectorCount},
         {"badSectorLbas", m.badSectorLbas},
         {"ports", json::array({portJson(m.ports[0]), portJson(m.ports[1])})}};
  return j;
}

json identifyJson(const IdentifyConfig& id) {
  return json{{"firmwareRevision", id.firmwareRevision}, {"model", id.model}, {"serial", id.serial}};
}

std::string dateTimeText(const LocalDateTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  return buf;
}

}  // namespace

std::string scenarioToJson(const Scenario& s) {
  json j = json::object();
  if (!s.name.empty()) j["name"] = s.name;
  if (s.clock) j["clock"] = json{{"start", dateTimeText(s.clock->start)}, {"secondsPerRefresh", s.clock->secondsPerRefresh}};
  json drives = json::array();
  for (const auto& d : s.drives) {
    json dj{{"drive", d.number},
            {"kind", d.controller ? "controller" : "disk"},
            {"sectors", d.sectors},
            {"inquiryAdditionalLength", d.inquiryAdditionalLength},
            {"vendor", d.vendor},
            {"product", d.product}};
    if (!d.controller) dj["identify"] = identifyJson(d.identify);
    if (!d.volumes.empty()) {
      json vs = json::array();
      for (const auto& v : d.volumes)
        vs.push_back(json{{"identity", v.identity}, {"removable", v.removable}, {"start", v.startSector}, {"length", v.sectorCount}});
      dj["volumes"] = vs;
    }
    if (d.controller) {
      const ControllerConfig& c = *d.controller;
      json cj{{"path", std::string(accessPathId(c.path))}, {"identify", identifyJson(c.identify)}};
      json fj{{"size", c.flash.size}, {"content", c.flash.erased ? "erased" : "image"}, {"configVersion", hexByte(c.flash.configVersion)}};
      if (!c.flash.patches.empty()) {
        json ps = json::array();
        for (const auto& p : c.flash.patches) {
          std::string hex;
          char b[3];
          for (auto byte : p.bytes) {
            std::snprintf(b, sizeof b, "%02X", byte);
            hex += b;
          }
          ps.push_back(json{{"address", p.address}, {"bytes", hex}});
        }
        fj["patches"] = ps;
      }
      cj["flash"] = fj;
      cj["record"] = recordJson(c.record);
      cj["scanStepPerRead"] = c.scanStepPerRead;
      if (!c.timeline.empty()) {
        json tl = json::array();
        for (const auto& st : c.timeline) {
          json sj{{"atStatusRead", st.atStatusRead}};
          if (st.pullDisk) sj["pullDisk"] = json{{"port", *st.pullDisk}};
          if (st.insertDisk) sj["insertDisk"] = json{{"port", st.insertDisk->port}, {"disk", portJson(st.insertDisk->disk)}};
          const json set = patchJson(st.set);
          if (!set.empty()) sj["set"] = set;
          if (!st.badSectors.empty()) {
            json bs = json::array();
            for (const auto& b : st.badSectors) bs.push_back(json{{"port", b.port}, {"lba", b.lba}});
            sj["badSectors"] = bs;
          }
          if (st.unplugForOpens) sj["unplug"] = json{{"forOpens", *st.unplugForOpens}};
          tl.push_back(sj);
        }
        cj["timeline"] = tl;
      }
      dj["controller"] = cj;
    }
    drives.push_back(dj);
  }
  j["drives"] = drives;
  if (!s.faults.empty()) {
    json fs = json::array();
    for (const auto& f : s.faults) {
      json fj{{"kind", std::string(requestKindId(f.kind))}, {"from", f.from}, {"count", f.count},
              {"effect", std::string(faultEffectId(f.effect))}};
      if (f.drive != -1) fj["drive"] = f.drive;
      if (f.reappearAfterOpens) fj["reappearAfterOpens"] = f.reappearAfterOpens;
      fs.push_back(fj);
    }
    j["faults"] = fs;
  }
  return j.dump(2) + "\n";
}

std::string arrayModelToJson(const ArrayModel& model) { return recordJson(model).dump(); }

bool parseScenario(const std::string& text, const std::string& origin, Scenario& out, std::string& error) {
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    error = origin + ": not valid JSON: " + e.what();
    return false;
  }
  try {
    out = readScenario(j);
  } catch (const FieldError& e) {
    error = origin + ": " + (e.path.empty() ? "/" : e.path) + ": " + e.problem;
    return false;
  } catch (const json::exception& e) {
    error = origin + ": " + e.what();
    return false;
  }
  return true;
}

bool loadScenarioFile(const std::string& path, Scenario& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open the scenario file";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = path + ": cannot read the scenario file";
    return false;
  }
  return parseScenario(text.str(), path, out, error);
}

}  // namespace tervalo::sim
