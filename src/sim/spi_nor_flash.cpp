#include "sim/spi_nor_flash.h"

#include <algorithm>

#include "core/bytes.h"

namespace tervalo::sim {

namespace {
std::uint32_t roundToPowerOfTwo(std::uint32_t size) {
  std::uint32_t s = kFlashSectorSize;
  while (s < size && s < 0x80000000u) s <<= 1;
  return s;
}
}  // namespace

SpiNorFlash::SpiNorFlash(std::uint32_t size) : array_(roundToPowerOfTwo(size), 0xFF) {}

void SpiNorFlash::read(std::uint32_t address, std::span<std::uint8_t> out) const {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = array_[wrap(std::uint64_t{address} + i)];
}

void SpiNorFlash::program(std::uint32_t address, std::span<const std::uint8_t> data) {
  const std::uint32_t start = wrap(address);
  const std::uint32_t page = start & ~(kFlashPageSize - 1);
  const std::size_t n = std::min<std::size_t>(data.size(), kFlashPageSize);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t a = page + ((start + i) & (kFlashPageSize - 1));
    array_[a] &= data[i];
  }
}

void SpiNorFlash::eraseSector(std::uint32_t address) {
  const std::uint32_t start = wrap(address) & ~(kFlashSectorSize - 1);
  std::fill_n(array_.begin() + start, kFlashSectorSize, std::uint8_t{0xFF});
}

void SpiNorFlash::load(std::uint32_t address, std::span<const std::uint8_t> data) {
  for (std::size_t i = 0; i < data.size() && i < array_.size(); ++i) array_[wrap(std::uint64_t{address} + i)] = data[i];
}

void SpiNorFlash::eraseAll() { std::fill(array_.begin(), array_.end(), std::uint8_t{0xFF}); }

std::vector<std::uint8_t> buildDefaultFirmwareImage(std::uint32_t size, std::uint8_t configVersion) {
  std::vector<std::uint8_t> image(size, 0xFF);
  if (size < 0x10000) return image;
  const std::uint32_t settings = size >= 0x78100 ? 0x78000 : size - 0x8000;
  // Head: signature, settings offset, then a deterministic filler standing in for code.
  std::uint32_t x = 0x2545F491u;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return static_cast<std::uint8_t>(x);
  };
  const std::uint32_t codeEnd = std::min<std::uint32_t>(settings, 2 * 0xC000);  // head and one sub-code
  for (std::uint32_t i = 0x20; i < codeEnd; ++i) image[i] = next();
  image[0] = 'F';
  image[1] = 'I';
  image[2] = 'P';
  image[3] = 'S';
  for (std::uint32_t i = 4; i < 0x20; ++i) image[i] = 0;
  writeLe(image, 0x10, 3, settings);
  // Settings record: the first of the controller's 256-byte records.
  std::uint8_t* s = image.data() + settings;
  std::fill_n(s, 256, std::uint8_t{0});
  s[0x01] = configVersion;
  s[0x02] = 0x01;  // sub-code 1: code type 1 at 0xC000, not to be updated
  writeLe(Bytes(s, 256), 0x03, 3, 0xC000);
  s[0x06] = 0x00;
  for (int k = 1; k < 10; ++k) s[0x02 + 5 * k] = 0xFF;
  writeLe(Bytes(s, 256), 0x34, 3, 2 * 0xC000);
  s[0x37] = 0x3F;
  s[0x38] = 0xF1;
  s[0x39] = 0xFF;
  s[0x6B] = 0x80;
  s[0x6C] = 0x11;
  s[0x6D] = 0xD0;
  s[0x6E] = 0x07;
  s[0x6F] = 0x32;
  s[0x71] = 0x02;
  const char tag[] = "MERLIX";
  std::copy_n(tag, 6, s + 0x72);
  for (int i = 0x80; i < 0xFE; ++i) s[i] = next();
  std::uint32_t sum = 0;
  for (int i = 0; i < 0xFE; ++i) sum += s[i];
  s[0xFE] = static_cast<std::uint8_t>(sum);
  s[0xFF] = static_cast<std::uint8_t>(sum >> 8);
  return image;
}

}  // namespace tervalo::sim
