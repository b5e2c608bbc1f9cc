#include "imagebuilder/image_builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "firmware/firmware_file.h"

namespace tervalo {

namespace {

std::string hexText(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(v));
  return buf;
}

MessageBoxRequest errorBox(const std::string& text) { return systemBox(text, "Error", MessageIcon::Error); }

}  // namespace

std::uint32_t binSizeFromName(std::string_view name) {
  std::string n(name);
  for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (n.size() > 5 && n.substr(n.size() - 5) == " BITS") n.resize(n.size() - 5);
  if (n == "1M") return 0x20000;
  if (n == "2M") return 0x40000;
  if (n == "4M") return 0x80000;
  if (n == "8M") return 0x100000;
  return 0;
}

AssembleResult assembleImage(const BuildInputs& inputs, const ImageSettingsInput& settings, BinSizeChoice size,
                             FillGenerator& rng) {
  AssembleResult r;
  const ReadSettingsResult values = readImageSettings(settings);
  if (!values.ok) {
    r.error = values.error;
    return r;
  }
  if (inputs.subCodes.size() > static_cast<std::size_t>(kMaxSubCodes)) {
    r.error = "An image holds at most 10 sub-codes, not " + std::to_string(inputs.subCodes.size());
    return r;
  }
  if (inputs.head.size() > kSlotSize) {
    r.error = "The head file is " + std::to_string(inputs.head.size()) + " bytes long; a slot holds " +
              std::to_string(kSlotSize) + ": " + inputs.headPath;
    return r;
  }
  if (inputs.head.size() < kSettingsOffsetField + 3) {
    r.error = "The head file is too short to hold the settings offset at 0x10: " + inputs.headPath;
    return r;
  }
  for (const auto& s : inputs.subCodes) {
    if (s.data.size() > kSlotSize) {
      r.error = "The sub-code file is " + std::to_string(s.data.size()) + " bytes long; a slot holds " +
                std::to_string(kSlotSize) + ": " + s.path;
      return r;
    }
  }

  const std::uint32_t h = static_cast<std::uint32_t>(readLe(inputs.head, kSettingsOffsetField, 3));
  const std::uint32_t slotsEnd = kSlotSize * static_cast<std::uint32_t>(inputs.subCodes.size() + 1);
  if (slotsEnd > h) {
    r.error = "The head and " + std::to_string(inputs.subCodes.size()) + " sub-code slot(s) end at " +
              hexText(slotsEnd) + ", beyond the settings offset " + hexText(h) + " that the head gives";
    return r;
  }
  std::uint32_t imageSize = h + kSettingsAreaSize;
  if (!size.autoDetected) {
    if (size.manualSize == 0) {
      r.error = "No bin size chosen: choose 1M, 2M, 4M or 8M Bits, or let the size be detected";
      return r;
    }
    if (size.manualSize < imageSize) {
      r.error = "A bin size of " + hexText(size.manualSize) + " bytes cannot hold the settings area, which ends at " +
                hexText(imageSize);
      return r;
    }
    imageSize = size.manualSize;
  }

  std::vector<std::uint8_t> image(imageSize, 0xFF);
  for (std::uint32_t i = kRandomFillStart; i < h + kSettingsBlockSize; ++i) image[i] = static_cast<std::uint8_t>(rng());
  // 0xFF from H + 0x100 to H + 0x8000 is already in place.
  for (int k = 0; k < kDirectoryEntries; ++k) image[h + kDirectoryOffset + kDirectoryEntrySize * k] = kNoSubCode;
  std::copy(inputs.head.begin(), inputs.head.end(), image.begin());
  image[h] = 0x00;
  image[h + 1] = kConfigVersion;

  std::uint8_t flags = startFunctionFlags(settings);
  std::uint32_t p = kSlotSize;
  for (std::size_t j = 0; j < inputs.subCodes.size(); ++j) {
    const auto& s = inputs.subCodes[j];
    std::copy(s.data.begin(), s.data.end(), image.begin() + p);
    const std::size_t at = h + kDirectoryOffset + kDirectoryEntrySize * j;
    image[at] = s.codeType;
    writeLe(image, at + 1, 3, p);
    image[at + 4] = static_cast<std::uint8_t>(s.updateFlag * kUpdateFlagTrue);
    p += kSlotSize;
    flags = addCodeTypeFlag(flags, s.codeType);
  }
  writeLe(image, h + kEndOffsetField, 3, p);
  FillSettings(Bytes(image).subspan(h, kSettingsBlockSize), settings, values.values, flags);

  r.ok = true;
  r.image = std::move(image);
  r.settingsOffset = h;
  return r;
}

SaveBinResult SaveBin(LoadedImage& loadedImage, ConsoleUi& ui, FileSource& files, const SubCodeTable& table,
                      const ImageSettingsInput& settings, BinSizeChoice size, FillGenerator& rng) {
  SaveBinResult result;
  auto fail = [&](std::string text, bool showBox) {
    if (showBox) ui.showMessage(errorBox(text));
    result.error = std::move(text);
    return result;
  };

  // The settings fields first, so that nothing is read or touched when one does not read.
  const ReadSettingsResult values = readImageSettings(settings);
  if (!values.ok) return fail(values.error, true);
  if (table.subCodeCount < 0 || table.subCodeCount > kMaxSubCodes)
    return fail("An image holds at most 10 sub-codes", true);

  // Reads one input file; false after its box has been shown.
  auto readInput = [&](const std::string& path, const char* what, std::vector<std::uint8_t>& out) {
    ReadWholeResult read = readWholeFile(files, ui, path, kBuildReadWarningCaption, kSlotSize);
    switch (read.status) {
      case ReadWholeStatus::Ok:
        out = std::move(read.data);
        return true;
      case ReadWholeStatus::OpenFailed:
        ui.showMessage(errorBox(kOpenFirmwareFailedText));
        result.error = std::string("Cannot open the ") + what + " file: " + path;
        return false;
      case ReadWholeStatus::TooLarge:
        fail(std::string("The ") + what + " file is larger than " + std::to_string(kSlotSize) +
                 " bytes, the size of a slot: " + path,
             true);
        return false;
      case ReadWholeStatus::ReadFailed:
        result.error = std::string("Cannot read the ") + what + " file at offset " +
                       std::to_string(read.failedOffset) + ": " + path;
        return false;
    }
    return false;
  };

  BuildInputs inputs;
  inputs.headPath = table.entries[0].path;
  if (inputs.headPath.empty()) return fail("No head file chosen: add SPIHEAD.BIN first", true);
  if (!readInput(inputs.headPath, "head", inputs.head)) return result;
  for (int j = 1; j <= table.subCodeCount; ++j) {
    const SubCodeEntry& e = table.entries[static_cast<std::size_t>(j)];
    BuildInputs::SubCode s;
    s.path = e.path;
    s.codeType = e.codeType;
    s.updateFlag = e.updateFlag;
    if (!readInput(e.path, "sub-code", s.data)) return result;
    inputs.subCodes.push_back(std::move(s));
  }

  AssembleResult built = assembleImage(inputs, settings, size, rng);
  if (!built.ok) return fail(built.error, true);

  result.ok = true;
  result.settingsOffset = built.settingsOffset;
  result.imageSize = static_cast<std::uint32_t>(built.image.size());
  ui.setStatusText(1, std::to_string(result.settingsOffset));
  ui.setStatusText(0, std::to_string(result.imageSize));
  loadedImage.replace(std::move(built.image));
  return result;
}

std::string saveFileName(std::string_view chosen) {
  std::string name(chosen);
  const auto slash = name.find_last_of('/');
  const auto point = name.find_last_of('.');
  if (point != std::string::npos && (slash == std::string::npos || point > slash)) name.resize(point);
  return name + ".bin";
}

std::string saveNameProblem(std::string_view finalName) {
  if (finalName.size() >= kSaveNameLimit)
    return "The file name is too long (" + std::to_string(finalName.size()) + " characters with \".bin\"; at most " +
           std::to_string(kSaveNameLimit - 1) + "): " + std::string(finalName);
  return {};
}

bool writeFileAtomically(const std::string& path, const std::uint8_t* data, std::size_t length, std::string& error) {
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    error = std::string("cannot create ") + temp + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::string("cannot write ") + temp + ": " + std::strerror(n < 0 ? errno : EIO);
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = std::string("cannot write ") + temp + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = std::string("cannot rename ") + temp + " to " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

SaveImageResult SaveImageFile(ConsoleUi& ui, const LoadedImage& image, std::string_view chosenName) {
  SaveImageResult r;
  r.name = saveFileName(chosenName);
  r.error = saveNameProblem(r.name);
  if (!r.error.empty()) {
    ui.showMessage(errorBox(r.error));
    return r;
  }
  if (!image.loaded()) {
    r.error = "No image has been built to save";
    ui.showMessage(errorBox(r.error));
    return r;
  }
  ui.setStatusText(3, r.name);
  ui.setStatusText(2, std::to_string(image.length));
  std::string why;
  if (!writeFileAtomically(r.name, image.data.data(), image.length, why)) {
    r.error = std::string(kCreateFileFailedText) + " " + r.name + ": " + why;
    ui.showMessage(errorBox(kCreateFileFailedText));
    return r;
  }
  ui.setStatusText(3, kSaveOkText + r.name);
  r.ok = true;
  return r;
}

}  // namespace tervalo
