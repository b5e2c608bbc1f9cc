// tervaloctl image: builds a firmware image as the "Make Bin" window does, and shows what an
// image file holds.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

#include "cli/tervaloctl.h"
#include "firmware/firmware_file.h"
#include "imagebuilder/image_builder.h"
#include "imagebuilder/parse_number.h"

namespace tervalo::cli {

namespace {

std::string hex(std::uint32_t v, int digits = 0) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(v));
  return buf;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// --sub FILE[:TYPE[:true|false]]. An argument that names an existing file is a path as it
// stands, colons and all.
struct SubArg {
  std::string path;
  std::optional<std::uint8_t> codeType;
  std::optional<std::uint8_t> updateFlag;
};

bool parseSubArg(const std::string& arg, SubArg& sub, std::string& error) {
  sub = {};
  sub.path = arg;
  const auto last = arg.rfind(':');
  if (fileExists(arg) || last == std::string::npos) return true;
  std::string rest = arg.substr(0, last);
  std::string typeText = arg.substr(last + 1);
  if (lower(typeText) == "true" || lower(typeText) == "false") {
    sub.updateFlag = lower(typeText) == "true" ? 1 : 0;
    const auto before = rest.rfind(':');
    if (before == std::string::npos) {
      error = "--sub " + arg + ": give the code type before the update flag (FILE:TYPE:true|false)";
      return false;
    }
    typeText = rest.substr(before + 1);
    rest.resize(before);
  }
  const ParsedNumber type = ParseNumber(typeText);
  if (!type) {
    error = "--sub " + arg + ": code type " + type.error;
    return false;
  }
  sub.path = rest;
  sub.codeType = static_cast<std::uint8_t>(type.value);
  return true;
}

// The builder's boxes for a terminal: the read warnings are shown as they happen; the errors are
// left to the one line that says why the build stopped.
class BuildUi final : public ConsoleUi {
 public:
  explicit BuildUi(std::ostream& err) : err_(err) {}
  MessageAnswer showMessage(const MessageBoxRequest& request) override {
    if (request.caption.value_or(kSystemDefaultErrorCaption) != "Error")
      err_ << request.caption.value_or("") << " " << request.text << '\n';
    return request.buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::No;
  }
  void processPendingEvents() override {}

 protected:
  void showStatusText(int, const std::string&) override {}

 private:
  std::ostream& err_;
};

struct BuildArgs {
  std::string head;
  std::vector<std::string> subs;
  std::string size = "auto";
  bool noJumper = false;
  bool otherChip = false;
  std::string fanSupported = "1";
  std::string fanLimit = "2000";
  std::string thermalSupported = "1";
  std::string thermalLimit = "50";
  bool scheduleBackup = false;
  bool fastBackup = false;
  std::string seed;
  std::string out;
};

void runBuild(CliContext& ctx, const BuildArgs& a) {
  auto fail = [&](const std::string& text) {
    ctx.err << "image build: " << text << '\n';
    ctx.exitCode = 1;
  };

  // Everything that can be checked without reading a file, first.
  const std::string finalName = saveFileName(a.out);
  if (const std::string problem = saveNameProblem(finalName); !problem.empty()) return fail(problem);

  BinSizeChoice size;
  if (lower(a.size) != "auto") {
    size.autoDetected = false;
    size.manualSize = binSizeFromName(a.size);
    if (size.manualSize == 0) return fail("--size must be auto, 1M, 2M, 4M or 8M, not \"" + a.size + "\"");
  }

  ImageSettingsInput settings;
  settings.raidModeByJumper = !a.noJumper;
  settings.tr7140cChip = !a.otherChip;
  settings.fanSupported = a.fanSupported;
  settings.fanAlarmLimit = a.fanLimit;
  settings.thermalSupported = a.thermalSupported;
  settings.thermalAlarmLimit = a.thermalLimit;
  settings.scheduleBackup = a.scheduleBackup;
  settings.fastBackup = a.fastBackup;
  if (const ReadSettingsResult r = readImageSettings(settings); !r.ok) return fail(r.error);

  std::uint32_t seed = static_cast<std::uint32_t>(std::time(nullptr));
  if (!a.seed.empty()) {
    const ParsedNumber n = ParseNumber(a.seed);
    if (!n) return fail("--seed: " + n.error);
    seed = static_cast<std::uint32_t>(n.value);
  }

  if (a.subs.size() > static_cast<std::size_t>(kMaxSubCodes))
    return fail("an image holds at most 10 sub-codes, " + std::to_string(a.subs.size()) + " given");
  SubCodeTable table;
  table.entries[0].path = a.head;
  for (const std::string& arg : a.subs) {
    SubArg sub;
    std::string error;
    if (!parseSubArg(arg, sub, error)) return fail(error);
    SubCodeEntry& e = table.entries[static_cast<std::size_t>(++table.subCodeCount)];
    e.path = sub.path;
    e.codeType = sub.codeType.value_or(codeTypeFromName(fileNamePart(sub.path)).value_or(0));
    e.updateFlag = sub.updateFlag.value_or(1);
  }

  BuildUi ui(ctx.err);
  HostFileSource files;
  FillGenerator rng(seed);
  LoadedImage image;
  const SaveBinResult built = SaveBin(image, ui, files, table, settings, size, rng);
  if (!built.ok) return fail(built.error);

  const SaveImageResult saved = SaveImageFile(ui, image, a.out);
  if (!saved.ok) return fail(saved.error);

  ctx.out << "Wrote " << saved.name << ": " << built.imageSize << " bytes, settings offset " << hex(built.settingsOffset)
          << ", " << table.subCodeCount << " sub-code(s), " << checksumText(byteSum(image.data)) << ", seed " << seed
          << '\n';
}

const char* raidModeName(std::uint8_t mode) {
  switch (mode) {
    case 0: return "Striping";
    case 1: return "Mirror";
    case 2: return "NRAID";
    case 3: return "JBOD";
    case 0x3F: return "Bypass";
    default: return "Undefine";
  }
}

std::string settingFlagsWords(std::uint8_t v) {
  if (v == 0xF1) return "RAID mode set by the jumper";
  if (v == 0x11) return "RAID mode not set by the jumper";
  return "not a value the builder writes";
}

std::string chipWords(std::uint8_t v) {
  if (v == 0x80) return "TR7140C chip";
  if (v == 0x85) return "other chip";
  return "not a value the builder writes";
}

std::string printable(const std::uint8_t* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '.');
  return s;
}

std::string hexBytes(const std::uint8_t* p, std::size_t n) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", p[i]);
    s += buf;
  }
  return s;
}

void runInfo(CliContext& ctx, const std::string& path, bool json) {
  CliUi ui(ctx.err, ctx.in, ctx.assumeYes);
  HostFileSource files;
  ReadWholeResult read = readWholeFile(files, ui, path, kReadWarningCaption, 0xFFFFFFFFu);
  if (read.status != ReadWholeStatus::Ok) {
    ctx.err << "image info: " << path << ": "
            << (read.status == ReadWholeStatus::OpenFailed  ? "cannot open the file"
                : read.status == ReadWholeStatus::TooLarge ? "the file is too large"
                                                           : "cannot read the byte at offset " +
                                                                 std::to_string(read.failedOffset))
            << '\n';
    ctx.exitCode = 1;
    return;
  }
  const std::vector<std::uint8_t>& img = read.data;
  const std::uint32_t sum = byteSum(img);
  const std::string reason = imageRefusalReason(img);
  const std::size_t sigLen = std::min<std::size_t>(4, img.size());
  const bool hasH = img.size() >= kSettingsOffsetField + 3;
  const std::uint32_t h = hasH ? static_cast<std::uint32_t>(readLe(img, kSettingsOffsetField, 3)) : 0;
  const bool hasBlock = hasH && std::uint64_t{h} + kSettingsBlockSize <= img.size();
  SettingsBlockView v;
  if (hasBlock) v = decodeSettingsBlock(ConstBytes(img).subspan(h, kSettingsBlockSize));

  if (json) {
    nlohmann::json j{{"file", path},
                     {"length", img.size()},
                     {"sum", sum},
                     {"chksum", checksumText(sum)},
                     {"signature", printable(img.data(), sigLen)},
                     {"signatureBytes", hexBytes(img.data(), sigLen)},
                     {"accepted", reason.empty()}};
    if (!reason.empty()) j["reason"] = reason;
    j["settingsOffset"] = hasH ? nlohmann::json(h) : nlohmann::json(nullptr);
    if (hasBlock) {
      nlohmann::json dir = nlohmann::json::array();
      for (const DirectoryEntry& e : v.directory) {
        if (!e.used()) {
          dir.push_back({{"used", false}});
          continue;
        }
        dir.push_back({{"used", true},
                       {"codeType", e.codeType},
                       {"startOffset", e.startOffset},
                       {"updateFlagByte", e.updateFlag},
                       {"update", e.updateFlag == kUpdateFlagTrue}});
      }
      j["settingsBlock"] = {
          {"byte0", v.first},
          {"configVersion", v.configVersion},
          {"directory", dir},
          {"endOffset", v.endOffset},
          {"spiRaidMode", v.spiRaidMode},
          {"spiRaidModeName", raidModeName(v.spiRaidMode)},
          {"settingFlags", v.settingFlags},
          {"raidModeByJumper", v.settingFlags == 0xF1},
          {"systemRaidMode", v.systemRaidMode},
          {"chip", v.chip},
          {"tr7140cChip", v.chip == 0x80},
          {"supportByte", v.support},
          {"fanSupported", v.support & 0x0F},
          {"thermalSupported", v.support >> 4},
          {"fanAlarmLimitRpm", v.fanAlarmLimit},
          {"thermalAlarmLimitC", v.thermalAlarmLimit},
          {"functionFlags", v.functionFlags},
          {"scheduleBackup", (v.functionFlags & kFunctionScheduleBackup) != 0},
          {"fastBackup", (v.functionFlags & kFunctionFastBackup) != 0},
          {"codeTypeBits", v.functionFlags & 0x0F},
          {"marker", printable(reinterpret_cast<const std::uint8_t*>(v.marker.data()), v.marker.size())},
          {"storedChecksum", v.storedChecksum},
          {"computedChecksum", v.computedChecksum},
          {"checksumHolds", v.storedChecksum == v.computedChecksum}};
    } else {
      j["settingsBlock"] = nullptr;
    }
    ctx.out << j.dump(2) << '\n';
    return;
  }

  auto& o = ctx.out;
  o << "File: " << path << '\n'
    << "Length: " << img.size() << " bytes\n"
    << checksumText(sum) << '\n'
    << "Signature: \"" << printable(img.data(), sigLen) << "\" (" << hexBytes(img.data(), sigLen) << ")"
    << (sigLen == 4 && std::equal(img.begin(), img.begin() + 4, kImageSignature) ? "" : ", not FIPS") << '\n';
  if (!hasH) {
    o << "Settings offset: none, the file ends before 0x13\n";
  } else {
    o << "Settings offset H: " << hex(h) << " (" << h << ")\n";
    if (!hasBlock) {
      o << "Settings block: beyond the end of the file\n";
    } else {
      o << "Byte H+0: " << hex(v.first, 2) << '\n'
        << "Configuration version (H+1): " << hex(v.configVersion, 2)
        << (v.configVersion == kConfigVersion ? "" : ", not the 0xA0 this system writes") << '\n'
        << "Sub-code directory:\n";
      for (int k = 0; k < kDirectoryEntries; ++k) {
        const DirectoryEntry& e = v.directory[static_cast<std::size_t>(k)];
        o << "  " << k << ": ";
        if (!e.used()) {
          o << "no sub-code (0xFF)\n";
          continue;
        }
        o << "code type " << codeTypeText(e.codeType) << ", start " << hex(e.startOffset, 6) << ", update flag "
          << hex(e.updateFlag, 2)
          << (e.updateFlag == kUpdateFlagTrue ? " TRUE" : e.updateFlag == 0 ? " FALSE" : " (neither TRUE nor FALSE)")
          << '\n';
      }
      o << "End offset (H+0x34): " << hex(v.endOffset, 6) << '\n'
        << "SPI RAID mode (H+0x37): " << hex(v.spiRaidMode, 2) << " " << raidModeName(v.spiRaidMode) << '\n'
        << "Setting flags (H+0x38): " << hex(v.settingFlags, 2) << ", " << settingFlagsWords(v.settingFlags) << '\n'
        << "System RAID mode (H+0x39): " << hex(v.systemRaidMode, 2) << " " << raidModeName(v.systemRaidMode)
        << '\n'
        << "Chip (H+0x6B): " << hex(v.chip, 2) << ", " << chipWords(v.chip) << '\n'
        << "Support (H+0x6C): " << hex(v.support, 2) << ", thermal sensor supported " << (v.support >> 4)
        << " (high nibble), fan supported " << (v.support & 0x0F) << " (low nibble)\n"
        << "Fan alarm limit (H+0x6D): " << v.fanAlarmLimit << " RPM\n"
        << "Thermal alarm limit (H+0x6F): " << int(v.thermalAlarmLimit) << " C\n"
        << "Function flags (H+0x71): " << hex(v.functionFlags, 2) << ", Schedule Backup "
        << ((v.functionFlags & kFunctionScheduleBackup) ? "on" : "off") << ", Fast Backup "
        << ((v.functionFlags & kFunctionFastBackup) ? "on" : "off") << ", code types present (low nibble):";
      bool any = false;
      for (int t = 0; t < 4; ++t)
        if (v.functionFlags & (1u << t)) {
          o << ' ' << t;
          any = true;
        }
      o << (any ? "" : " none") << '\n'
        << "Marker (H+0x72): \""
        << printable(reinterpret_cast<const std::uint8_t*>(v.marker.data()), v.marker.size()) << "\"\n"
        << "Checksum (H+0xFE): stored " << hex(v.storedChecksum, 4) << ", computed " << hex(v.computedChecksum, 4)
        << (v.storedChecksum == v.computedChecksum ? ", holds" : ", does NOT hold") << '\n';
    }
  }
  if (reason.empty())
    o << "Loader: accepts the image\n";
  else
    o << "Loader: refuses the image: " << reason << '\n';
}

}  // namespace

void addImageCommand(CLI::App& app, CliContext& ctx) {
  auto* image = app.add_subcommand("image", "Build and inspect firmware image files");
  image->require_subcommand(1);

  auto a = std::make_shared<BuildArgs>();
  auto* build = image->add_subcommand("build", "Assemble a firmware image from a head and sub-code files");
  build->add_option("--head", a->head, "The head (boot loader) file, SPIHEAD.BIN")->required();
  build->add_option("--sub", a->subs, "A sub-code file, FILE[:TYPE[:true|false]]; up to 10, in order")
      ->take_all()
      ->allow_extra_args(false);
  build->add_option("--size", a->size, "Image size: auto (H + 0x8000), 1M, 2M, 4M or 8M bits");
  build->add_flag("--no-jumper", a->noJumper, "RAID mode not set by the enclosure's jumper");
  build->add_flag("--other-chip", a->otherChip, "Not a TR7140C chip");
  build->add_option("--fan-supported", a->fanSupported, "Fan supported value (decimal, or hex ending in H)");
  build->add_option("--fan-limit", a->fanLimit, "Fan alarm limit in RPM");
  build->add_option("--thermal-supported", a->thermalSupported, "Thermal sensor supported value");
  build->add_option("--thermal-limit", a->thermalLimit, "Temperature alarm limit in degrees Celsius");
  build->add_flag("--schedule-backup", a->scheduleBackup, "Schedule Backup supported");
  build->add_flag("--fast-backup", a->fastBackup, "Fast Backup supported");
  build->add_option("--seed", a->seed, "Seed of the random fill (default: the time)");
  build->add_option("-o,--output", a->out, "The image file to write (its extension becomes .bin)")->required();
  build->callback([&ctx, a] { runBuild(ctx, *a); });

  auto path = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  auto* info = image->add_subcommand("info", "Show what a firmware image file holds");
  info->add_option("FILE", *path, "Firmware image file")->required();
  info->add_flag("--json", *json, "Print JSON");
  info->callback([&ctx, path, json] { runInfo(ctx, *path, *json); });
}

}  // namespace tervalo::cli
