#pragma once
// The SPI NOR flash chip behind a simulated controller. It behaves like the part: an erase sets a
// whole 4 KB sector to 0xFF, a page program can only clear bits (new = old AND data) and wraps
// inside its 256-byte page, reads return the array. Address bits above the chip size are
// ignored, as on the real part, so addresses wrap around the end of the array.
#include <cstdint>
#include <span>
#include <vector>

namespace tervalo::sim {

inline constexpr std::uint32_t kFlashSectorSize = 4096;
inline constexpr std::uint32_t kFlashPageSize = 256;
inline constexpr std::uint32_t kDefaultFlashSize = 0x80000;

class SpiNorFlash {
 public:
  // `size` must be a power of two of at least one sector; other sizes are rounded up.
  explicit SpiNorFlash(std::uint32_t size = kDefaultFlashSize);

  std::uint32_t size() const { return static_cast<std::uint32_t>(array_.size()); }
  // Copies out.size() bytes starting at `address` (wrapping at the end of the array).
  void read(std::uint32_t address, std::span<std::uint8_t> out) const;
  // Page program: at most 256 bytes, wrapping inside the page that holds `address`.
  void program(std::uint32_t address, std::span<const std::uint8_t> data);
  // Erases the 4 KB sector that holds `address`.
  void eraseSector(std::uint32_t address);
  // Loads raw content (as a programmer would, ignoring NOR rules); the rest is left as it is.
  void load(std::uint32_t address, std::span<const std::uint8_t> data);
  void eraseAll();

  const std::vector<std::uint8_t>& array() const { return array_; }

 private:
  std::uint32_t wrap(std::uint64_t address) const { return static_cast<std::uint32_t>(address & (array_.size() - 1)); }
  std::vector<std::uint8_t> array_;
};

// A plausible firmware image for a flash of `size` bytes: "FIPS" at 0, settings offset 0x78000
// at 0x10..0x12 (little-endian), filler code in the head and sub-code area, a 256-byte settings
// record at 0x78000 with `configVersion` at byte 1 and its checksum at 0xFE..0xFF, 0xFF after it.
// Flashes smaller than 0x78100 bytes get the settings record at size - 0x8000 instead.
std::vector<std::uint8_t> buildDefaultFirmwareImage(std::uint32_t size, std::uint8_t configVersion = 0xA0);

}  // namespace tervalo::sim
