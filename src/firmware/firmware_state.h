#pragma once
// The firmware subsystem's shared state: the one image in memory and the operation lock.
#include <cstdint>
#include <functional>
#include <vector>

namespace tervalo {

// The one firmware image held by the system. length 0 means that no image is loaded, and then
// no buffer is held.
struct LoadedImage {
  std::vector<std::uint8_t> data;
  std::uint32_t length = 0;

  bool loaded() const { return length != 0; }
  void release() {
    data = {};
    length = 0;
  }
  // Takes `bytes` as the image (an empty buffer leaves no image).
  void replace(std::vector<std::uint8_t> bytes) {
    data = std::move(bytes);
    length = static_cast<std::uint32_t>(data.size());
    if (length == 0) data = {};
  }
};

struct FirmwareState {
  LoadedImage loadedImage;
  // Set while a firmware operation runs; the firmware handlers of the main window do nothing
  // while it is set.
  bool operationLock = false;
  // Called when the lock is taken: the main window disables its four flash-size buttons there.
  // Releasing the lock does not enable them again.
  std::function<void()> onLockTaken;
};

}  // namespace tervalo
