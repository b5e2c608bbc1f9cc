#include "eventlog/log_lines.h"

#include "protocol/status_record.h"

namespace tervalo {

namespace {
constexpr char kQuote = '"';

std::string device(int n) {
  std::string text(1, 'D');
  text += std::to_string(n);
  return text;
}
const char* portName(int port) { return port == 0 ? " P0" : " P1"; }
const char* rebuildDirection(int port) { return port == 0 ? " P1 --> P0 " : " P0 --> P1 "; }
std::string capacityText(std::uint64_t sectors) {
  return std::to_string(capacityGigabytes(sectors)) + " GB(" + std::to_string(sectors) + " Sectors)";
}
std::string str(std::string_view s) { return std::string(s); }
}  // namespace

std::string rulerLine() { return std::string(kRulerLength, '-'); }

std::string startBannerLine(std::string_view startCaption, std::string_view ts) {
  return str(startCaption) + " has started from " + str(ts);
}

std::string deviceHeadingLine(int n) { return "Device" + std::to_string(n) + " information :"; }

std::string modelLine(std::string_view model) { return "Model# " + str(model); }

std::string modeAndFirmwareLine(std::string_view modeName, std::string_view revision, std::string_view suffix) {
  return str(modeName) + ", F/W Rev. " + str(revision) + "." + str(suffix);
}

std::string configuredCapacityLine(std::uint64_t sectors) { return "Configured Capacity : " + capacityText(sectors); }

std::vector<std::string> headerPortLines(ConstBytes record, int port) {
  const StatusRecordView view(record);
  const std::string p = port == 0 ? "P0" : "P1";
  std::vector<std::string> lines;
  auto serialAndCapacity = [&] {
    lines.push_back("    Serial no.: " + std::string(1, kQuote) + view.serial(port) + kQuote);
    lines.push_back("    Capacity : " + capacityText(view.portCapacity(port)));
  };
  switch (view.condition(port)) {
    case PortCondition::Absent:
      lines.push_back("  " + p + " is absent. ");
      break;
    case PortCondition::Initialized:
      lines.push_back("  " + p + " is present.(SATA" + std::to_string(view.sataGenerationOf(port)) + ")");
      serialAndCapacity();
      break;
    case PortCondition::Failed:
      lines.push_back("  " + p + " was failed, Capacity too small.");
      serialAndCapacity();
      break;
    case PortCondition::Inserted:
      lines.push_back(p + " was inserted.");
      break;
    case PortCondition::None:
      break;
  }
  return lines;
}

std::vector<std::string> deviceBlockLines(int n, ConstBytes record, ConstBytes identify) {
  const StatusRecordView view(record);
  std::vector<std::string> lines{
      deviceHeadingLine(n),
      modelLine(trimModelNumber(identifyModelNumber(identify))),
      modeAndFirmwareLine(raidModeText(view.systemRaidMode()), identifyFirmwareRevision(identify),
                          FirmwareBuildText(record)),
      configuredCapacityLine(view.arrayCapacity()),
  };
  for (int port = 0; port < 2; ++port)
    for (auto& l : headerPortLines(record, port)) lines.push_back(std::move(l));
  return lines;
}

std::string portRemovedLine(int n, int port, std::string_view ts) {
  return device(n) + portName(port) + " was removed, " + str(ts);
}

std::string portInitializedLine(int n, int port, std::uint8_t sataGeneration, std::string_view ts) {
  // The P1 line carries a comma after "initialized"; the P0 line does not.
  return device(n) + portName(port) + (port == 0 ? " was initialized (SATA" : " was initialized, (SATA") +
         std::to_string(sataGeneration) + "), " + str(ts);
}

std::string portFailedLine(int n, int port, std::string_view ts) {
  return device(n) + portName(port) + " was failed, Capacity too small." + str(ts);
}

std::string portInsertedLine(int n, int port, std::string_view ts) {
  return device(n) + portName(port) + " was inserted, " + str(ts);
}

std::string eventSerialLine(std::string_view serial) {
  return "  Serial no.: " + std::string(1, kQuote) + str(serial) + kQuote;
}

std::string eventCapacityLine(std::uint64_t sectors) { return "  Capacity : " + capacityText(sectors); }

std::string scanProgressLine(int n, int port, unsigned percent, std::string_view ts) {
  return device(n) + portName(port) + " Scan " + std::to_string(percent) + "%, " + str(ts);
}

std::string rebuildProgressLine(int n, int port, unsigned percent, std::string_view ts) {
  return device(n) + rebuildDirection(port) + std::to_string(percent) + "%, " + str(ts);
}

std::string rebuildDoneLine(int n, int port, std::string_view ts) {
  return device(n) + rebuildDirection(port) + "Done, " + str(ts);
}

std::string scanDoneLine(int n, int port, std::string_view ts) {
  return device(n) + portName(port) + " Scan Done, " + str(ts);
}

std::string scanAbortedLine(int n, int port, std::string_view ts) {
  return device(n) + portName(port) + " Scan User Abort, " + str(ts);
}

std::string bothPortsGoodLine(int n, std::string_view ts) { return device(n) + " P0 OK, P1 OK, " + str(ts); }

std::string badSectorFoundLine(int n, int port, std::string_view ts) {
  return device(n) + portName(port) + " Bad Sector was found. " + str(ts);
}

std::string badSectorAddressLine(std::uint32_t lba) { return "  LBA: " + std::to_string(lba); }

}  // namespace tervalo
