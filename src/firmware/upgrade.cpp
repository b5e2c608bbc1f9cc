#include "firmware/upgrade.h"

#include <algorithm>

#include "firmware/firmware_file.h"
#include "protocol/command_channel.h"
#include "protocol/record_read.h"
#include "protocol/spi_flash.h"
#include "protocol/status_record.h"

namespace tervalo {

namespace {

constexpr char kLoadFirstText[] = "Please Load Firmware File First ";
constexpr char kConfigVersionError[] = "SPI Configuration Version Error";

// Releases the operation lock on every way out of a firmware handler.
class LockGuard {
 public:
  explicit LockGuard(Console& console) : console_(console) { takeOperationLock(console); }
  ~LockGuard() { releaseOperationLock(console_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Console& console_;
};

void showLoadFirst(Console& console) { console.ui.showMessage(applicationBox(kLoadFirstText, "Message")); }

void showFailureBox(Console& console) {
  console.ui.showMessage(applicationBox(console.ui.statusText(kErrorPanel), "Message"));
}

}  // namespace

std::string upgradePreconditionFailure(const Sector& record, const std::vector<std::uint8_t>& image) {
  const StatusRecordView view(record);
  // An image too short to carry the configuration version cannot match any controller.
  if (image.size() <= kConfigVersionOffset || image[kConfigVersionOffset] != view.spiConfigVersion())
    return kConfigVersionError;
  if (view.activity() & kActivityRunningMask)
    return "Don't upgrade new firmware when device is rebuilding or scanning.";
  if (view.portState() == kBothInitialized && view.scheduleBackupOn())
    return "Don't upgrade new firmware when schedule backup had been enabled.";
  return {};
}

std::vector<std::uint8_t> flashImageOf(const std::vector<std::uint8_t>& image, std::uint32_t length) {
  std::vector<std::uint8_t> out(length, 0xFF);
  std::copy_n(image.begin(), std::min<std::size_t>(image.size(), length), out.begin());
  return out;
}

FlashOutcome StartUpgrade(Console& console, ProgressView& progress, const UpgradeOptions& options) {
  if (operationLocked(console)) return FlashOutcome::Busy;
  LockGuard lock(console);
  LoadedImage& image = console.firmware.loadedImage;
  if (!image.loaded()) {
    showLoadFirst(console);
    return FlashOutcome::Refused;
  }
  ProtocolState& protocol = console.protocol;
  protocol.upgradeTarget = options.selectorPosition;
  if (!SendModeCommand(console, ModeUpgradeEnter)) return FlashOutcome::Refused;

  Sector record{};
  protocol.readForUpgrade = true;
  const bool recordRead = ReadStatusRecord(console, record);
  protocol.readForUpgrade = false;
  if (!recordRead) {
    console.ui.showMessage(applicationBox("Get SPI Record fail ", "Message"));
    SendModeCommand(console, ModeUpgradeLeave);
    return FlashOutcome::Refused;
  }
  const std::string refusal = upgradePreconditionFailure(record, image.data);
  if (!refusal.empty()) {
    console.ui.showMessage(systemBox(refusal));
    SendModeCommand(console, ModeUpgradeLeave);
    return FlashOutcome::Refused;
  }
  if (options.confirmErase && !options.confirmErase()) {
    SendModeCommand(console, ModeUpgradeLeave);
    return FlashOutcome::Refused;
  }

  const std::uint32_t size = protocol.spiSize;
  progress.setStepLabel("Firmware Update...");
  protocol.progressCount = 0;
  progress.setProgressMaximum(upgradeProgressMaximum(size));
  progress.setProgressPosition(0);
  progress.setPanelCaption("Process 1 / 3");
  progress.setPanelVisible(true);
  progress.setProgressTickEnabled(true);

  bool ok = false;
  if (!EraseSpi(console, 0, size)) {
    console.ui.setStatusText(kErrorPanel, "SPI Erase Fail.");
  } else {
    console.ui.setStatusText(kErrorPanel, "SPI Erase OK");
    progress.setProgressPosition(protocol.progressCount);
    progress.setPanelCaption("Process 2 / 3");
    const std::vector<std::uint8_t> flash = flashImageOf(image.data, size);
    const bool programmed = WriteSpi(console, 0, size, flash.data());
    progress.setProgressPosition(protocol.progressCount);
    if (!programmed) {
      console.ui.setStatusText(kErrorPanel, "SPI Program Fail.");
    } else {
      console.ui.setStatusText(kErrorPanel, "SPI Program OK");
      std::vector<std::uint8_t> readBack((size + 511) / 512 * 512);
      progress.setPanelCaption("Process 3 / 3");
      const bool read = ReadSpi(console, 0, size, readBack.data());
      progress.setProgressPosition(protocol.progressCount);
      if (read) {
        ok = std::equal(flash.begin(), flash.end(), readBack.begin());
        console.ui.setStatusText(kErrorPanel, ok ? "SPI Verify OK" : "SPI Verify fail !!!");
      }
    }
  }
  // A controller left in upgrade mode has not finished its upgrade, however well the flash
  // verified: that is reported as a failure, with the leave order's text.
  const std::string beforeLeave = console.ui.statusText(kErrorPanel);
  if (!SendModeCommand(console, ModeUpgradeLeave) && ok) {
    ok = false;
    // The one leave failure without a text of its own is the drive that would not open; the
    // failure box must not repeat the verify result instead.
    if (console.ui.statusText(kErrorPanel) == beforeLeave) console.ui.setStatusText(kErrorPanel, "Invalid Drive");
  }
  progress.setProgressTickEnabled(false);
  progress.setPanelVisible(false);

  if (ok) {
    console.ui.showMessage(applicationBox(
        "Firmware Upgrade 3/3 completed!\n\nPlease power off this device or the system,\nand power on it to enable "
        "the new firmware!",
        "Firmware Upgrade Message", MessageIcon::Exclamation));
    return FlashOutcome::Succeeded;
  }
  showFailureBox(console);
  return FlashOutcome::Failed;
}

FlashOutcome FileToSpi(Console& console, ProgressView& progress, const DirectProgrammingOptions& options) {
  if (operationLocked(console)) return FlashOutcome::Busy;
  LockGuard lock(console);
  ProtocolState& protocol = console.protocol;
  progress.setPanelCaption("");
  protocol.progressCount = 0;
  progress.setProgressPosition(0);
  const std::uint32_t start = options.offset49152 ? kDirectProgrammingOffset : 0;
  LoadedImage& image = console.firmware.loadedImage;
  if (!image.loaded() && options.openImageDialog) options.openImageDialog();
  if (!image.loaded()) {
    showLoadFirst(console);
    return FlashOutcome::Refused;
  }

  const std::uint32_t size = protocol.spiSize;
  const std::uint32_t length = size > start ? size - start : 0;
  progress.setStepLabel("File To SPI...");
  progress.setProgressMaximum(directProgrammingMaximum(size, start));
  progress.setPanelCaption("Process to Erase Full SPI " + std::to_string(length));
  progress.setPanelVisible(true);
  progress.setProgressTickEnabled(true);

  protocol.upgradeTarget = options.selectorPosition;
  // Outside upgrade mode the controller refuses program and erase orders while the requests
  // themselves complete: going on would report a flash that was never written. Stop here.
  if (!SendModeCommand(console, ModeUpgradeEnter)) {
    progress.setProgressTickEnabled(false);
    progress.setPanelVisible(false);
    showFailureBox(console);
    return FlashOutcome::Refused;
  }

  bool ok = false;
  const bool erased = EraseSpi(console, start, length);
  progress.setProgressPosition(protocol.progressCount);
  if (!erased) {
    console.ui.setStatusText(kErrorPanel, "Full SPI Erase Fail.");
  } else {
    console.ui.setStatusText(kErrorPanel, "Full SPI Erase OK");
    progress.setPanelCaption("Process to program Full SPI " + std::to_string(size));
    const std::vector<std::uint8_t> flash = flashImageOf(image.data, size);
    const bool programmed = WriteSpi(console, start, length, flash.data() + start);
    progress.setProgressPosition(protocol.progressCount);
    console.ui.setStatusText(kErrorPanel, programmed ? "SPI Page Program OK" : "SPI Page Program Fail.");
    // Only a run whose erase and program both succeeded tells the controller to leave upgrade
    // mode; that order's result is the outcome.
    if (programmed) ok = SendModeCommand(console, ModeUpgradeLeave);
  }
  progress.setProgressTickEnabled(false);
  progress.setPanelVisible(false);

  if (ok) {
    console.ui.showMessage(applicationBox("File To SPI OK.", "Message"));
    return FlashOutcome::Succeeded;
  }
  showFailureBox(console);
  return FlashOutcome::Failed;
}

std::uint32_t spiSizeForButton(int megabits) {
  switch (megabits) {
    case 1: return 0x20000;
    case 2: return 0x40000;
    case 4: return 0x80000;
    case 8: return 0x100000;
    default: return 0;
  }
}

}  // namespace tervalo
