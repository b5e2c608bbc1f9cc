#include "sim/spi_nor_flash.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/bytes.h"

namespace tervalo::sim {
namespace {

std::vector<std::uint8_t> readBack(const SpiNorFlash& f, std::uint32_t address, std::size_t n) {
  std::vector<std::uint8_t> out(n);
  f.read(address, out);
  return out;
}

TEST(SpiNorFlash, ProgramOnlyClearsBitsAndEraseRestoresTheWholeSector) {
  SpiNorFlash f(0x80000);
  EXPECT_EQ(readBack(f, 0x1000, 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  const std::vector<std::uint8_t> first{0xF0, 0x0F, 0xAA, 0x00};
  f.program(0x1FFC, first);
  const std::vector<std::uint8_t> second{0x3C, 0xFF, 0x55, 0xFF};
  f.program(0x1FFC, second);
  // new = old AND data: programming cannot set a bit that is already 0.
  EXPECT_EQ(readBack(f, 0x1FFC, 4), (std::vector<std::uint8_t>{0x30, 0x0F, 0x00, 0x00}));
  f.program(0x2000, first);
  // Erase of any address inside the sector clears exactly that 4 KB sector.
  f.eraseSector(0x1234);
  EXPECT_EQ(readBack(f, 0x1000, 1)[0], 0xFF);
  EXPECT_EQ(readBack(f, 0x1FFC, 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(readBack(f, 0x2000, 4), first) << "the next sector is untouched";
}

TEST(SpiNorFlash, PageProgramWrapsInsideItsPageAndReadsWrapAtTheEnd) {
  SpiNorFlash f(0x20000);
  std::vector<std::uint8_t> data(8, 0x00);
  f.program(0x10FC, data);  // 4 bytes to the end of the page, 4 wrap to its start
  EXPECT_EQ(readBack(f, 0x10FC, 4), std::vector<std::uint8_t>(4, 0x00));
  EXPECT_EQ(readBack(f, 0x1000, 4), std::vector<std::uint8_t>(4, 0x00));
  EXPECT_EQ(readBack(f, 0x1100, 1)[0], 0xFF) << "the following page is untouched";
  f.program(0, std::vector<std::uint8_t>{0x12});
  // Address bits above the chip size are ignored.
  EXPECT_EQ(readBack(f, 0x20000, 1)[0], 0x12);
  const auto across = readBack(f, 0x1FFFF, 2);
  EXPECT_EQ(across[1], 0x12);
}

TEST(SpiNorFlash, DefaultImageCarriesSignatureSettingsOffsetAndConfigurationVersion) {
  const auto image = buildDefaultFirmwareImage(0x80000, 0xA0);
  ASSERT_EQ(image.size(), 0x80000u);
  EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "FIPS");
  EXPECT_EQ(readLe(image, 0x10, 3), 0x78000u);
  EXPECT_EQ(image[0x78001], 0xA0);
  std::uint32_t sum = 0;
  for (int i = 0; i < 0xFE; ++i) sum += image[0x78000 + i];
  EXPECT_EQ(readLe(image, 0x780FE, 2), sum & 0xFFFF);
  EXPECT_EQ(image[0x78100], 0xFF) << "room for later records";
  EXPECT_EQ(image[0x7FFFF], 0xFF);
  EXPECT_EQ(buildDefaultFirmwareImage(0x80000, 0x9F)[0x78001], 0x9F);
}

}  // namespace
}  // namespace tervalo::sim
