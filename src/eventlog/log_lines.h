#pragma once
// The text of every line the event log can contain. n is the device page number 1..4, port is
// 0 for P0 and 1 for P1, ts the pass's time stamp.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace tervalo {

inline constexpr std::size_t kRulerLength = 83;

// Header lines.
std::string rulerLine();
std::string startBannerLine(std::string_view startCaption, std::string_view ts);
std::string deviceHeadingLine(int n);
std::string modelLine(std::string_view model);
std::string modeAndFirmwareLine(std::string_view modeName, std::string_view revision, std::string_view suffix);
std::string configuredCapacityLine(std::uint64_t sectors);
// The lines a device block writes for one port, chosen by portState.
std::vector<std::string> headerPortLines(ConstBytes record, int port);
// The whole device block of page n from its status record and its controller's identify block.
std::vector<std::string> deviceBlockLines(int n, ConstBytes record, ConstBytes identify);

// Event lines.
std::string portRemovedLine(int n, int port, std::string_view ts);
std::string portInitializedLine(int n, int port, std::uint8_t sataGeneration, std::string_view ts);
std::string portFailedLine(int n, int port, std::string_view ts);
std::string portInsertedLine(int n, int port, std::string_view ts);
std::string eventSerialLine(std::string_view serial);
std::string eventCapacityLine(std::uint64_t sectors);
std::string scanProgressLine(int n, int port, unsigned percent, std::string_view ts);
// port is the port being rebuilt: 0 gives " P1 --> P0 ", 1 gives " P0 --> P1 ".
std::string rebuildProgressLine(int n, int port, unsigned percent, std::string_view ts);
std::string rebuildDoneLine(int n, int port, std::string_view ts);
std::string scanDoneLine(int n, int port, std::string_view ts);
std::string scanAbortedLine(int n, int port, std::string_view ts);
std::string bothPortsGoodLine(int n, std::string_view ts);
std::string badSectorFoundLine(int n, int port, std::string_view ts);
std::string badSectorAddressLine(std::uint32_t lba);

}  // namespace tervalo
