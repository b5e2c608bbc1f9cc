#pragma once
// The byte layouts a simulated controller answers with, built from its model: the status
// record, the identify-format block, the INQUIRY answer; and the changes a timeline makes to
// the array model.
#include <array>
#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "sim/scenario.h"

namespace tervalo::sim {

using SimSector = std::array<std::uint8_t, 512>;

// Writes `text` as an ATA string: padded with blanks to `width`, character k in byte k XOR 1.
void writeAtaString(Bytes out, std::size_t offset, std::size_t width, const std::string& text);
// Reads an ATA string back, trailing blanks removed.
std::string readAtaString(ConstBytes in, std::size_t offset, std::size_t width);

// The 512-byte status record of an array model.
SimSector encodeStatusRecord(const ArrayModel& model);

// An identify-format block: serial at 20..39, firmware revision at 46..53, model at 54..93,
// capacity in words 60..61 and 100..103, and "3X" at 258..259 when `signature` is set.
SimSector buildIdentifyBlock(const IdentifyConfig& identify, std::uint64_t sectors, bool signature);

// A 36-byte standard INQUIRY answer with the given additional length in byte 4.
std::array<std::uint8_t, 36> buildInquiryAnswer(const std::string& vendor, const std::string& product,
                                                const std::string& revision, std::uint8_t additionalLength);

void applyPatch(ArrayModel& model, const RecordPatch& patch);
// Applies a timeline step's record changes (disk pulled or inserted, fields set, bad sectors);
// the unplug part is the host's.
void applyStep(ArrayModel& model, const TimelineStep& step);
// Records one bad sector found on `port`: activity bit 0x04/0x08, count + 1, ring entry.
void addBadSector(ArrayModel& model, int port, std::uint32_t lba);

}  // namespace tervalo::sim
