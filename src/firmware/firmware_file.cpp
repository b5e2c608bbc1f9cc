#include "firmware/firmware_file.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace tervalo {

bool operationLocked(const Console& console) { return console.firmware.operationLock; }

void takeOperationLock(Console& console) {
  console.firmware.operationLock = true;
  if (console.firmware.onLockTaken) console.firmware.onLockTaken();
}

void releaseOperationLock(Console& console) {
  console.firmware.operationLock = false;
  console.protocol.upgradeTarget = kNoUpgradeTarget;
}

std::uint32_t byteSum(ConstBytes bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return sum;
}

std::string checksumText(std::uint32_t sum) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(sum));
  return std::string("Chksum:") + buf;
}

std::string imageRefusalReason(ConstBytes image) {
  char buf[160];
  if (image.size() < kMinImageLength) {
    std::snprintf(buf, sizeof buf, "the image is %zu bytes long, shorter than the %u bytes that hold the "
                  "configuration version at 0x%X", image.size(), static_cast<unsigned>(kMinImageLength),
                  static_cast<unsigned>(kConfigVersionOffset));
    return buf;
  }
  if (std::memcmp(image.data(), kImageSignature, 4) != 0) return "the image does not begin with the signature \"FIPS\"";
  if (image[kConfigVersionOffset] != kConfigVersion) {
    std::snprintf(buf, sizeof buf, "the configuration version at 0x%X is 0x%02X, not 0x%02X",
                  static_cast<unsigned>(kConfigVersionOffset), image[kConfigVersionOffset], kConfigVersion);
    return buf;
  }
  return {};
}

LoadResult LoadFirmwareFile(Console& console, const std::string& path, FileSource& files) {
  ConsoleUi& ui = console.ui;
  LoadedImage& image = console.firmware.loadedImage;
  LoadResult result;

  ui.setStatusText(kErrorPanel, "File:" + path);
  image.release();

  ReadWholeResult read =
      readWholeFile(files, ui, path, kReadWarningCaption, std::numeric_limits<std::uint32_t>::max());
  switch (read.status) {
    case ReadWholeStatus::OpenFailed:
    case ReadWholeStatus::TooLarge:
      ui.showMessage(systemBox(kOpenFirmwareFailedText, "Error", MessageIcon::Error));
      result.outcome = LoadOutcome::OpenFailed;
      result.reason = read.status == ReadWholeStatus::OpenFailed ? "the file cannot be opened"
                                                                 : "the file is too large to hold";
      return result;
    case ReadWholeStatus::ReadFailed:
      result.outcome = LoadOutcome::ReadFailed;
      result.reason = "the byte at offset " + std::to_string(read.failedOffset) + " cannot be read";
      return result;
    case ReadWholeStatus::Ok:
      break;
  }

  result.length = static_cast<std::uint32_t>(read.data.size());
  result.sum = byteSum(read.data);
  ui.setStatusText(0, checksumText(result.sum));

  result.reason = imageRefusalReason(read.data);
  if (!result.reason.empty()) {
    ui.showMessage(systemBox(kBadFirmwareText, "Error", MessageIcon::Error));
    result.outcome = LoadOutcome::Rejected;
    return result;
  }
  image.replace(std::move(read.data));
  result.outcome = LoadOutcome::Accepted;
  return result;
}

LoadResult LoadFirmwareFile(Console& console, const std::string& path) {
  HostFileSource files;
  return LoadFirmwareFile(console, path, files);
}

}  // namespace tervalo
