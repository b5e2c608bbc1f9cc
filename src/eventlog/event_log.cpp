#include "eventlog/event_log.h"

#include <algorithm>
#include <vector>

#include "core/console.h"
#include "eventlog/log_lines.h"
#include "protocol/status_record.h"

namespace tervalo {

namespace {

int pagesInUse(const Console& console) { return std::clamp(console.device.controllerCount, 0, kDevicePages); }

ConstBytes identifyOfPage(const Console& console, int page) {
  static constexpr Sector kBlank{};
  const auto drive = static_cast<std::size_t>(console.device.controllerList[page] & kFlagDriveMask);
  if (drive >= console.device.identifyData.size()) return kBlank;
  return console.device.identifyData[drive];
}

// Makes the buffer hold the day file of this pass. Returns whether a header is due because the
// day's log starts anew.
bool prepareBuffer(EventLogState& log, bool firstPass) {
  const bool useFiles = !log.folder.empty();
  const bool exists = useFiles ? log.io->exists(log.dayFile) : log.heldFile == log.dayFile;
  const bool unsaved = log.savedLines < log.buffer.lineCount();
  // A missing file that the buffer holds is one whose save has not succeeded yet.
  if (log.heldFile == log.dayFile && (exists || unsaved)) return false;

  // Lines that never reached a file go along into the new buffer instead of being dropped.
  const auto& lines = log.buffer.lines();
  std::vector<std::string> carried(lines.begin() + static_cast<std::ptrdiff_t>(std::min(log.savedLines, lines.size())),
                                   lines.end());
  if (exists) {
    // The day file exists but the buffer does not hold it: at start-up, or when the clock went back
    // to a day that already has a file. The file's lines come first, then the unsaved ones.
    auto content = log.io->readAll(log.dayFile);
    if (!content) return false;  // unreadable: the buffer stays as it was and is not written over it
    std::vector<std::string> joined = splitLogText(*content);
    log.savedLines = joined.size();
    joined.insert(joined.end(), std::make_move_iterator(carried.begin()), std::make_move_iterator(carried.end()));
    log.buffer.replace(std::move(joined));
    log.heldFile = log.dayFile;
    return false;
  }
  log.buffer.replace(std::move(carried));
  log.heldFile = log.dayFile;
  log.savedLines = 0;
  if (!firstPass) AppendLogLine(log, rulerLine());
  return true;
}

struct PortBits {
  std::uint8_t absent, initialized, failed, inserted;
};
constexpr PortBits kPortBits[2] = {
    {kP0Absent, kP0Initialized, kP0Failed, kP0Inserted},
    {kP1Absent, kP1Initialized, kP1Failed, kP1Inserted},
};

class PagePass {
 public:
  PagePass(EventLogState& log, PageLogState& page, ConstBytes record, int n, bool scanSupported)
      : log_(log), st_(page), r_(record), n_(n), scanSupported_(scanSupported), ts_(log.passStamp) {}

  // Returns whether the pass changed anything that the day file must get.
  bool run(bool headerWritten) {
    if (r_.portState() == 0 && st_.lastProgress != kNoProgressTracked) return false;
    if (!headerWritten && r_.portState() != st_.prevPortFlags) comparePorts();
    trackOperation();
    logBadSectors();
    return changed_;
  }

 private:
  void line(const std::string& text) {
    AppendLogLine(log_, text);
    changed_ = true;
  }

  void serialAndCapacity(int port) {
    line(eventSerialLine(r_.serial(port)));
    line(eventCapacityLine(r_.portCapacity(port)));
  }

  void comparePorts() {
    const std::uint8_t old = st_.prevPortFlags == 0xFF ? 0 : st_.prevPortFlags;
    const std::uint8_t now = r_.portState();
    st_.prevPortFlags = now;
    changed_ = true;
    for (int port = 0; port < 2; ++port) {
      const PortBits& b = kPortBits[port];
      if (now & b.absent) {
        if (!(old & b.absent)) line(portRemovedLine(n_, port, ts_));
      } else if (now & b.initialized) {
        if (!(old & b.initialized)) {
          line(portInitializedLine(n_, port, r_.sataGenerationOf(port), ts_));
          serialAndCapacity(port);
        }
      } else if (now & b.failed) {
        if (!(old & b.failed)) {
          line(portFailedLine(n_, port, ts_));
          serialAndCapacity(port);
        }
      } else if (now & b.inserted) {
        if (!(old & b.inserted)) line(portInsertedLine(n_, port, ts_));
      }
    }
  }

  bool bothPresent() const { return (r_.portState() & kBothInitialized) == kBothInitialized; }

  void trackOperation() {
    const std::uint8_t activity = r_.activity();
    if (activity & kActivityRunningMask) {
      const bool scan = scanSupported_ && (activity & kActivityScan);
      st_.scanRunning = scan ? 1 : 0;
      if (st_.lastProgress != kNoProgressTracked && st_.lastProgress == r_.progress()) return;
      st_.lastProgress = r_.progress();
      st_.operationPort = (activity & kActivityP0) ? 0 : 1;
      line(scan ? scanProgressLine(n_, st_.operationPort, r_.progress(), ts_)
                : rebuildProgressLine(n_, st_.operationPort, r_.progress(), ts_));
      return;
    }
    if (st_.scanRunning == 1) {
      if (st_.scanAbortMark == 1) {
        line(scanAbortedLine(n_, st_.operationPort, ts_));
      } else if (st_.lastProgress != kNoProgressTracked && bothPresent()) {
        line(st_.lastProgress == 99 ? scanDoneLine(n_, st_.operationPort, ts_) : bothPortsGoodLine(n_, ts_));
      }
    } else if (st_.lastProgress != kNoProgressTracked && bothPresent()) {
      line(st_.lastProgress == 99 ? rebuildDoneLine(n_, st_.operationPort, ts_) : bothPortsGoodLine(n_, ts_));
    }
    st_.lastProgress = kNoProgressTracked;
    st_.scanRunning = 0;
  }

  // The port whose heading a bad-sector report of code 3 gets; -1: no heading.
  int inferredBadSectorPort() const {
    const std::uint8_t activity = r_.activity();
    if (activity & kActivityP0) return st_.scanRunning == 1 ? 0 : 1;
    if (activity & kActivityP1) return st_.scanRunning == 1 ? 1 : 0;
    if (r_.portState() & kP0Initialized) return 0;
    if (r_.portState() & kP1Initialized) return 1;
    return -1;
  }

  void logBadSectors() {
    const unsigned code = (r_.activity() & kActivityBadSectorMask) >> 2;
    const unsigned count = r_.badSectorCount();
    const unsigned last = st_.lastBadSectorCount;
    if (code == 0 || count == 0 || count == last) return;
    if (count < last) {
      st_.lastBadSectorCount = static_cast<std::uint8_t>(count);
      return;
    }
    const unsigned first = count - last > kBadSectorRingEntries ? count - kBadSectorRingEntries : last;
    const int port = code == 1 ? 0 : code == 2 ? 1 : inferredBadSectorPort();
    if (port >= 0) line(badSectorFoundLine(n_, port, ts_));
    for (unsigned k = first; k < count; ++k) line(badSectorAddressLine(r_.badSectorLba(k)));
    st_.lastBadSectorCount = static_cast<std::uint8_t>(count);
    changed_ = true;
  }

  EventLogState& log_;
  PageLogState& st_;
  StatusRecordView r_;
  int n_;
  bool scanSupported_;
  const std::string& ts_;
  bool changed_ = false;
};

}  // namespace

bool BeginLogPass(Console& console, std::uint8_t mask) {
  EventLogState& log = console.eventLog;
  log.passTime = console.clock.now();
  log.passStamp = formatTimeStamp(log.passTime, log.timeFormat);
  log.dayFile = log.folder.empty() ? std::filesystem::path(dayFileName(log.passTime))
                                   : log.folder / dayFileName(log.passTime);
  const bool firstPass = console.monitor.firstPass;
  bool headerDue = prepareBuffer(log, firstPass);
  if (firstPass) {
    AppendLogLine(log, rulerLine());
    AppendLogLine(log, startBannerLine(console.monitor.startCaption, log.passStamp));
    headerDue = true;
  }
  if (!headerDue) return false;
  const int pages = pagesInUse(console);
  for (int p = 0; p < pages; ++p) {
    if (!(mask & (1u << p))) continue;
    for (const auto& l : deviceBlockLines(p + 1, console.protocol.statusRecords[p], identifyOfPage(console, p)))
      AppendLogLine(log, l);
  }
  AppendLogLine(log, rulerLine());
  return true;
}

void AppendLogLine(EventLogState& log, const std::string& line) { log.buffer.append(toLogText(line)); }

bool EndLogPass(EventLogState& log, bool changed) {
  if (!changed) return true;
  if (log.folder.empty()) {
    log.savedLines = log.buffer.lineCount();
    return true;
  }
  // Never write a buffer over a day file whose content it does not hold.
  if (log.heldFile != log.dayFile) return false;
  if (!saveLogFile(*log.io, log.dayFile, log.buffer.toFileText())) return false;
  log.savedLines = log.buffer.lineCount();
  return true;
}

void UpdateEventLog(Console& console, std::uint8_t mask) {
  EventLogState& log = console.eventLog;
  const int pages = pagesInUse(console);
  const bool headerWritten = BeginLogPass(console, mask);
  bool changed = headerWritten;
  if (console.monitor.firstPass)
    for (int p = 0; p < pages; ++p)
      log.pages[p].prevPortFlags = StatusRecordView(console.protocol.statusRecords[p]).portState();
  for (int p = 0; p < pages; ++p) {
    if (!(mask & (1u << p))) continue;
    PagePass pass(log, log.pages[p], console.protocol.statusRecords[p], p + 1, console.monitor.scanSupported);
    if (pass.run(headerWritten)) changed = true;
  }
  for (auto& page : log.pages) page.scanAbortMark = 0;
  EndLogPass(log, changed);
}

}  // namespace tervalo
