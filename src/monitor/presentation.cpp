#include "monitor/presentation.h"

#include "core/console.h"
#include "device/drive_table.h"
#include "protocol/status_record.h"

namespace tervalo {

namespace {

const char* kBadSectorMark = "Bad Sector";

struct PortTexts {
  const char* absent;
  const char* initialized;
  const char* failed;
  const char* inserted;
};
constexpr PortTexts kPortTexts[2] = {
    {" P0 is absent ", "P0 is initialized(SATA", "P0 is failed, Capacity too small.\nSerial# :", " P0 is inserted "},
    {" P1 is absent ", "P1 is initialized(SATA", "P1 is failed, Capacity too small.\nSerial# :", " P1 was inserted "},
};

std::string detailsText(const StatusRecordView& view, int port) {
  return "\nCapacity: " + std::to_string(capacityGigabytes(view.portCapacity(port))) + " GB\n" + view.model(port);
}

void presentPort(const StatusRecordView& view, int port, LabelChange& title, LabelChange& details, MonitorState& state) {
  const PortTexts& texts = kPortTexts[port];
  switch (view.condition(port)) {
    case PortCondition::Absent:
      title.text = texts.absent;
      title.enabled = false;
      details.enabled = false;
      break;
    case PortCondition::Initialized:
      state.shownSerial[port] = view.serial(port);
      title.text = texts.initialized + std::to_string(view.sataGenerationOf(port)) + ")\nSerial# :" +
                   state.shownSerial[port];
      title.colour = LabelColour::Black;
      details.text = detailsText(view, port);
      details.colour = LabelColour::Navy;
      title.enabled = details.enabled = true;
      break;
    case PortCondition::Failed:
      state.shownSerial[port] = view.serial(port);
      title.text = texts.failed + state.shownSerial[port];
      title.colour = details.colour = LabelColour::Red;
      details.text = detailsText(view, port);
      title.enabled = details.enabled = true;
      break;
    case PortCondition::Inserted:
      title.text = texts.inserted;
      break;
    case PortCondition::None:
      title.text = "";
      details.text = "";
      break;
  }
}

void presentProgress(const StatusRecordView& view, MonitorPanelUpdate& panel, MonitorState& state) {
  const std::uint8_t activity = view.activity();
  const std::uint8_t progress = view.progress();
  const std::string percent = std::to_string(progress);
  const bool redraw = state.shownProgress == kNothingShown || state.shownProgress != progress;
  if (activity & kActivityRunningMask) {
    if (state.scanSupported && (activity & kActivityScan)) {
      if (redraw) {
        if (activity & kActivityP0) {
          panel.label18 = "P0 Scan\n" + percent + "%";
          panel.button3 = {"Stop P0 Scan", true};
          panel.button4.visible = false;
        } else {
          panel.label18 = "P1 Scan\n" + percent + "%";
          panel.button4 = {"Stop P1 Scan", true};
          panel.button3.visible = false;
        }
        state.shownProgress = progress;
      }
    } else {
      if (redraw) {
        panel.label18 = (activity & kActivityP0) ? "Rebuild\n<- " + percent + "% <-" : "Rebuild\n-> " + percent + "% ->";
        state.shownProgress = progress;
      }
      panel.button3.visible = false;
      panel.button4.visible = false;
    }
    panel.logVisible = true;
    return;
  }
  panel.button3.visible = false;
  panel.button4.visible = false;
  const std::uint8_t both = view.portState() & kBothInitialized;
  panel.label18 = both == 0 ? "Failure" : both == kBothInitialized ? "Normal" : "Single HDD\nPresent";
  state.shownProgress = kNothingShown;
}

}  // namespace

Presentation presentStatusRecord(ConstBytes record, std::uint8_t lastProgress, bool force, const MonitorState& shown) {
  Presentation out{{}, shown};
  MonitorPanelUpdate& panel = out.panel;
  MonitorState& state = out.state;
  const StatusRecordView view(record);

  panel.staticText5 = state.firmwareRevisionText + "." + FirmwareBuildText(record);
  if (view.portState() == 0 && lastProgress != kNothingShown) return out;
  state.firstPass = false;

  panel.label21 = settingSourceText(view.settingSource());
  panel.buzzerMuteChecked = !view.buzzerOn();
  panel.autoScanChecked = view.autoScanOn();
  panel.label15 = raidModeText(view.spiRaidMode());
  panel.label17 = raidModeText(view.systemRaidMode());
  panel.staticText7 = (view.activity() & kActivityBadSectorP1) ? kBadSectorMark : "";
  panel.staticText6 = (view.activity() & kActivityBadSectorP0) ? kBadSectorMark : "";

  if (force || view.portState() != state.shownPortState) {
    state.shownPortState = view.portState();
    presentPort(view, 0, panel.label19, panel.label25, state);
    presentPort(view, 1, panel.label24, panel.label26, state);
    panel.label27 = " Capacity: " + std::to_string(capacityGigabytes(view.arrayCapacity())) + " GB";
  }
  presentProgress(view, panel, state);
  return out;
}

std::optional<MonitorPanelUpdate> PresentStatus(Console& console, std::optional<int> activePage, bool force) {
  if (!activePage || *activePage < 0 || *activePage >= kDevicePages) return std::nullopt;
  const int page = *activePage;
  console.protocol.currentRecordPage = page;
  Presentation result = presentStatusRecord(console.protocol.statusRecords[page],
                                            console.eventLog.pages[page].lastProgress, force, console.monitor);
  console.monitor = std::move(result.state);
  return std::move(result.panel);
}

DeviceIdentity describeDeviceIdentity(ConstBytes identify, std::string_view startCaption, std::string_view volumes) {
  DeviceIdentity identity;
  const std::string revision = identifyFirmwareRevision(identify);
  identity.firmwareRevisionText = "F/W Rev. " + revision;
  identity.scanSupported = scanSupportedByRevision(revision);
  identity.windowCaption = std::string(startCaption) + " - " + trimModelNumber(identifyModelNumber(identify)) + " [" +
                           std::string(volumes) + "]";
  return identity;
}

std::optional<DeviceIdentity> ShowDeviceIdentity(Console& console, std::optional<int> activePage) {
  if (!activePage || *activePage < 0 || *activePage >= kDevicePages) return std::nullopt;
  const int page = *activePage;
  console.protocol.currentController = page;
  const int drive = static_cast<int>(console.device.controllerList[page] & kFlagDriveMask);
  static constexpr Sector kBlank{};
  const ConstBytes identify = drive < kMaxPhysicalDrives ? ConstBytes(console.device.identifyData[drive]) : kBlank;
  DeviceIdentity identity = describeDeviceIdentity(identify, console.monitor.startCaption,
                                                   VolumesOfPhysicalDrive(console.device, drive));
  console.monitor.firmwareRevisionText = identity.firmwareRevisionText;
  console.monitor.scanSupported = identity.scanSupported;
  return identity;
}

}  // namespace tervalo
