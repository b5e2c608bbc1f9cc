#include "sim/controller_model.h"

#include <algorithm>

namespace tervalo::sim {

void writeAtaString(Bytes out, std::size_t offset, std::size_t width, const std::string& text) {
  for (std::size_t k = 0; k < width; ++k) {
    const char c = k < text.size() ? text[k] : ' ';
    out[offset + (k ^ 1)] = static_cast<std::uint8_t>(c);
  }
}

std::string readAtaString(ConstBytes in, std::size_t offset, std::size_t width) {
  std::string s;
  for (std::size_t k = 0; k < width; ++k) s.push_back(static_cast<char>(in[offset + (k ^ 1)]));
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

SimSector encodeStatusRecord(const ArrayModel& m) {
  SimSector r{};
  // Byte 0 is never 0xFF, so that a record stored as a flash slot counts as written.
  r[0] = 0x00;
  r[1] = m.spiConfigVersion;
  r[55] = m.spiRaidMode;
  r[56] = m.settingFlags;
  r[57] = m.systemRaidMode;
  writeAtaString(r, 58, 20, m.ports[0].serial);
  writeAtaString(r, 78, 20, m.ports[1].serial);
  writeLe(r, 98, 5, m.arrayCapacity & 0xFFFFFFFFFFull);
  r[104] = m.portState;
  r[105] = m.activity;
  r[106] = m.progress;
  for (std::size_t i = 0; i < 3; ++i) r[187 + i] = i < m.firmwareBuild.size() ? static_cast<std::uint8_t>(m.firmwareBuild[i]) : 0;
  writeAtaString(r, 256, 40, m.ports[0].model);
  writeLe(r, 296, 5, m.ports[0].capacity & 0xFFFFFFFFFFull);
  writeAtaString(r, 302, 40, m.ports[1].model);
  writeLe(r, 342, 5, m.ports[1].capacity & 0xFFFFFFFFFFull);
  r[357] = static_cast<std::uint8_t>((m.ports[0].sataGeneration & 0x0F) | ((m.ports[1].sataGeneration & 0x0F) << 4));
  r[471] = m.badSectorCount;
  for (std::size_t k = 0; k < 10; ++k) writeLe(r, 472 + 4 * k, 4, m.badSectorLbas[k]);
  return r;
}

SimSector buildIdentifyBlock(const IdentifyConfig& id, std::uint64_t sectors, bool signature) {
  SimSector b{};
  writeLe(b, 0, 2, 0x0040);  // fixed device
  writeAtaString(b, 20, 20, id.serial);
  writeAtaString(b, 46, 8, id.firmwareRevision);
  writeAtaString(b, 54, 40, id.model);
  writeLe(b, 98, 2, 0x0200);  // LBA supported
  writeLe(b, 120, 4, std::min<std::uint64_t>(sectors, 0x0FFFFFFF));
  writeLe(b, 166, 2, 0x0400);  // 48-bit addressing
  writeLe(b, 200, 8, sectors);
  if (signature) {
    b[258] = '3';
    b[259] = 'X';
  }
  return b;
}

std::array<std::uint8_t, 36> buildInquiryAnswer(const std::string& vendor, const std::string& product,
                                                const std::string& revision, std::uint8_t additionalLength) {
  std::array<std::uint8_t, 36> a{};
  a[0] = 0x00;  // direct-access block device
  a[2] = 0x02;
  a[3] = 0x02;  // response data format
  a[4] = additionalLength;
  auto put = [&a](std::size_t offset, std::size_t width, const std::string& text) {
    for (std::size_t i = 0; i < width; ++i) a[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
  };
  put(8, 8, vendor);
  put(16, 16, product);
  put(32, 4, revision);
  return a;
}

void applyPatch(ArrayModel& m, const RecordPatch& p) {
  if (p.spiConfigVersion) m.spiConfigVersion = *p.spiConfigVersion;
  if (p.spiRaidMode) m.spiRaidMode = *p.spiRaidMode;
  if (p.settingFlags) m.settingFlags = *p.settingFlags;
  if (p.systemRaidMode) m.systemRaidMode = *p.systemRaidMode;
  if (p.arrayCapacity) m.arrayCapacity = *p.arrayCapacity;
  if (p.portState) m.portState = *p.portState;
  if (p.activity) m.activity = *p.activity;
  if (p.progress) m.progress = *p.progress;
  if (p.badSectorCount) m.badSectorCount = *p.badSectorCount;
  if (p.firmwareBuild) m.firmwareBuild = *p.firmwareBuild;
  for (int i = 0; i < 2; ++i)
    if (p.ports[i]) m.ports[i] = *p.ports[i];
}

void addBadSector(ArrayModel& m, int port, std::uint32_t lba) {
  m.activity |= port == 0 ? 0x04 : 0x08;
  m.badSectorLbas[m.badSectorCount % 10] = lba;
  m.badSectorCount = static_cast<std::uint8_t>(m.badSectorCount + 1);
}

void applyStep(ArrayModel& m, const TimelineStep& s) {
  if (s.pullDisk) {
    const int port = *s.pullDisk;
    const std::uint8_t shift = port == 0 ? 0 : 4;
    m.portState = static_cast<std::uint8_t>((m.portState & ~(0x0F << shift)) | (0x04 << shift));
    m.ports[port] = PortModel{};
  }
  if (s.insertDisk) {
    const int port = s.insertDisk->port;
    const std::uint8_t shift = port == 0 ? 0 : 4;
    m.portState = static_cast<std::uint8_t>((m.portState & ~(0x0F << shift)) | (0x01 << shift));
    m.ports[port] = s.insertDisk->disk;
  }
  applyPatch(m, s.set);
  for (const auto& b : s.badSectors) addBadSector(m, b.port, b.lba);
}

}  // namespace tervalo::sim
