// Which event lines a detection pass writes, and what each page remembers.
#include <algorithm>

#include "event_log_fixture.h"

namespace tervalo {
namespace {

using testing::RecordBuilder;
using Lines = std::vector<std::string>;

const std::string kTs = "15/03/2010 09:41:07";

class EventDetectionTest : public testing::EventLogFixture {
 protected:
  EventDetectionTest() {
    for (int p = 0; p < 4; ++p) setRecord(p, RecordBuilder().healthyMirror());
  }
  RecordBuilder healthy() const { return RecordBuilder().healthyMirror(); }
  // A record of the healthy mirror with other port bits, activity and progress.
  Sector rec(std::uint8_t portState, std::uint8_t activity = 0, std::uint8_t progress = 0) const {
    return RecordBuilder().healthyMirror().portState(portState).activity(activity).progress(progress);
  }
  Lines step(const Sector& record, std::uint8_t mask = 0x01) {
    setRecord(0, record);
    clock.advance(0);
    return pass(mask);
  }
  const PageLogState& page(int p = 0) const { return console.eventLog.pages[p]; }
};

TEST_F(EventDetectionTest, PortTransitions) {
  struct Case {
    std::uint8_t from, to;
    Lines lines;
  };
  const Lines p0Init{"D1 P0 was initialized (SATA2), " + kTs, "  Serial no.: \"S1Z3A0B1            \"",
                     "  Capacity : 465 GB(976773168 Sectors)"};
  const Lines p1Init{"D1 P1 was initialized, (SATA2), " + kTs, "  Serial no.: \"W2X4C5D6            \"",
                     "  Capacity : 465 GB(976773168 Sectors)"};
  const std::vector<Case> cases{
      {0x22, 0x24, {"D1 P0 was removed, " + kTs}},
      {0x22, 0x2A, {}},
      {0x04, 0x01, {"D1 P0 was inserted, " + kTs}},
      {0x01, 0x02, p0Init},
      {0x22, 0x44, {"D1 P0 was removed, " + kTs, "D1 P1 was removed, " + kTs}},
      {0x42, 0x12, {"D1 P1 was inserted, " + kTs}},
      {0x12, 0x22, p1Init},
      {0x22, 0x28, {"D1 P0 was failed, Capacity too small." + kTs, "  Serial no.: \"S1Z3A0B1            \"",
                    "  Capacity : 465 GB(976773168 Sectors)"}},
      {0x22, 0x82, {"D1 P1 was failed, Capacity too small." + kTs, "  Serial no.: \"W2X4C5D6            \"",
                    "  Capacity : 465 GB(976773168 Sectors)"}},
      {0x24, 0x26, {}},  // absent still wins
      {0x00, 0x22, [&] { Lines l = p0Init; l.insert(l.end(), p1Init.begin(), p1Init.end()); return l; }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << int{c.from} << " -> " << int{c.to});
    console.eventLog = EventLogState{};
    console.eventLog.folder = dir;
    console.eventLog.timeFormat = {"%d/%m/%Y", "%H:%M:%S"};
    console.eventLog.io = io;
    std::filesystem::remove(dir / "100315.log");
    console.monitor.firstPass = true;
    setRecord(0, rec(c.from));
    start();
    const int creates = io->creates;
    EXPECT_EQ(step(rec(c.to)), c.lines);
    EXPECT_EQ(page().prevPortFlags, c.to);
    EXPECT_EQ(io->creates, creates + 1);  // saved even without a line
    EXPECT_EQ(fileLines("100315.log"), console.eventLog.buffer.lines());
  }
}

TEST_F(EventDetectionTest, RememberedFFCountsAsNothing) {
  setRecord(0, rec(0xFF));
  start();
  EXPECT_EQ(page().prevPortFlags, 0xFF);
  const Lines lines = step(rec(0x22));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "D1 P0 was initialized (SATA2), " + kTs);
  EXPECT_EQ(lines[3], "D1 P1 was initialized, (SATA2), " + kTs);
}

TEST_F(EventDetectionTest, FirstPassSeedsEveryPageAndComparesNothing) {
  console.device.controllerCount = 2;
  setRecord(1, rec(0x24));
  setRecord(0, rec(0x24));
  pass(0x01);
  pass(0x00);  // still the first pass: no comparison
  EXPECT_EQ(page(0).prevPortFlags, 0x24);
  EXPECT_EQ(page(1).prevPortFlags, 0x24);  // seeded although not refreshed
  EXPECT_EQ(page(2).prevPortFlags, 0);     // beyond the controller count
  console.monitor.firstPass = false;
  EXPECT_TRUE(pass(0x03).empty());
}

TEST_F(EventDetectionTest, RebuildProgressLinesOnlyOnChange) {
  start();
  Lines all;
  for (std::uint8_t p : {0, 0, 5, 5, 17})
    for (auto& l : step(rec(0x2A, 0x01, p))) all.push_back(l);
  EXPECT_EQ(all, (Lines{"D1 P1 --> P0 0%, " + kTs, "D1 P1 --> P0 5%, " + kTs, "D1 P1 --> P0 17%, " + kTs}));
  EXPECT_EQ(page().lastProgress, 17);
  EXPECT_EQ(page().operationPort, 0);
  EXPECT_EQ(page().scanRunning, 0);
}

TEST_F(EventDetectionTest, OperationEndings) {
  struct Case {
    bool scan;
    std::uint8_t activity, lastPercent, endPortState;
    bool abortMark;
    Lines lines;
  };
  const std::vector<Case> cases{
      {false, 0x01, 99, 0x22, false, {"D1 P1 --> P0 Done, " + kTs}},
      {false, 0x02, 99, 0x22, false, {"D1 P0 --> P1 Done, " + kTs}},
      {false, 0x01, 98, 0x22, false, {"D1 P0 OK, P1 OK, " + kTs}},
      {false, 0x01, 100, 0x22, false, {"D1 P0 OK, P1 OK, " + kTs}},
      {false, 0x01, 99, 0x24, false, {"D1 P0 was removed, " + kTs}},  // a disk missing: no closing line
      {false, 0x01, 99, 0x22, true, {"D1 P1 --> P0 Done, " + kTs}},  // the mark only concerns scans
      {true, 0x81, 99, 0x22, false, {"D1 P0 Scan Done, " + kTs}},
      {true, 0x82, 50, 0x22, false, {"D1 P0 OK, P1 OK, " + kTs}},
      {true, 0x82, 50, 0x22, true, {"D1 P1 Scan User Abort, " + kTs}},
      {true, 0x81, 99, 0x24, true, {"D1 P0 Scan User Abort, " + kTs, "D1 P0 was removed, " + kTs}},
      {true, 0x81, 99, 0x24, false, {"D1 P0 was removed, " + kTs}},
      {true, 0x81, 99, 0x20, false, {}},  // P0 in no state: no port line, no closing line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "activity " << int{c.activity} << " at " << int{c.lastPercent} << "% ends on "
                                      << int{c.endPortState} << (c.abortMark ? " after a stop" : ""));
    console.eventLog.pages[0] = PageLogState{};
    console.monitor.scanSupported = c.scan;
    setRecord(0, rec(0x22));
    start();
    step(rec(0x22, c.activity, c.lastPercent));
    EXPECT_EQ(page().scanRunning, c.scan ? 1 : 0);
    console.eventLog.pages[0].scanAbortMark = c.abortMark ? 1 : 0;
    Lines got = step(rec(c.endPortState, 0, c.lastPercent));
    // Port lines come before the closing line in a pass; compare as sets of the two kinds.
    std::sort(got.begin(), got.end());
    Lines want = c.lines;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(page().lastProgress, 0xFF);
    EXPECT_EQ(page().scanRunning, 0);
    EXPECT_EQ(page().scanAbortMark, 0);
    console.monitor.firstPass = true;
  }
}

TEST_F(EventDetectionTest, ScanBitIgnoredWithoutScanSupport) {
  start();
  console.monitor.scanSupported = false;
  EXPECT_EQ(step(rec(0x22, 0x82, 3)), (Lines{"D1 P0 --> P1 3%, " + kTs}));
  console.monitor.scanSupported = true;
  EXPECT_EQ(step(rec(0x22, 0x82, 4)), (Lines{"D1 P1 Scan 4%, " + kTs}));
  // Kind changes without a new percent write nothing but are remembered.
  console.monitor.scanSupported = false;
  EXPECT_TRUE(step(rec(0x22, 0x82, 4)).empty());
  EXPECT_EQ(page().scanRunning, 0);
}

TEST_F(EventDetectionTest, AbortMarkIsClearedByEveryPass) {
  console.monitor.scanSupported = true;
  start();
  step(rec(0x22, 0x81, 40));
  console.eventLog.pages[0].scanAbortMark = 1;
  console.eventLog.pages[3].scanAbortMark = 1;
  EXPECT_EQ(step(rec(0x22, 0x81, 41)), (Lines{"D1 P0 Scan 41%, " + kTs}));  // still running
  EXPECT_EQ(page(0).scanAbortMark, 0);
  EXPECT_EQ(page(3).scanAbortMark, 0);
  console.eventLog.pages[0].scanAbortMark = 1;
  step(rec(0x22), 0x00);  // not refreshed: mark cleared, nothing else changes
  EXPECT_EQ(page().scanAbortMark, 0);
  EXPECT_EQ(page().lastProgress, 41);
  EXPECT_EQ(step(rec(0x22)), (Lines{"D1 P0 OK, P1 OK, " + kTs}));
}

TEST_F(EventDetectionTest, BadSectorsFromTheRing) {
  RecordBuilder b = healthy();
  for (unsigned e = 0; e < 10; ++e) b.badSectorEntry(e, 1000 + e);
  start();
  console.eventLog.pages[0].lastBadSectorCount = 3;
  Lines want{"D1 P0 Bad Sector was found. " + kTs};
  for (unsigned e : {7, 8, 9, 0, 1, 2, 3, 4, 5, 6}) want.push_back("  LBA: " + std::to_string(1000 + e));
  EXPECT_EQ(step(b.activity(0x04).badSectorCount(17)), want);
  EXPECT_EQ(page().lastBadSectorCount, 17);
  EXPECT_TRUE(step(b).empty());
}

TEST_F(EventDetectionTest, BadSectorCountGoingDown) {
  RecordBuilder b = healthy();
  for (unsigned e = 0; e < 10; ++e) b.badSectorEntry(e, 500 + e);
  start();
  console.eventLog.pages[0].lastBadSectorCount = 5;
  EXPECT_TRUE(step(b.activity(0x08).badSectorCount(0)).empty());
  EXPECT_EQ(page().lastBadSectorCount, 5);
  EXPECT_TRUE(step(b.badSectorCount(3)).empty());
  EXPECT_EQ(page().lastBadSectorCount, 3);
  EXPECT_EQ(step(b.badSectorCount(4)), (Lines{"D1 P1 Bad Sector was found. " + kTs, "  LBA: 503"}));
  // Code 0: the count is not looked at.
  EXPECT_TRUE(step(b.activity(0).badSectorCount(9)).empty());
  EXPECT_EQ(page().lastBadSectorCount, 4);
}

TEST_F(EventDetectionTest, BadSectorPortInferredForCodeThree) {
  struct Case {
    std::uint8_t portState, activity;
    bool scanSupported;
    std::string heading;  // empty: no heading line
  };
  const std::vector<Case> cases{
      {0x22, 0x0D, false, "D1 P1 Bad Sector was found. "},  // rebuilding P0: P1 is read
      {0x22, 0x8D, true, "D1 P0 Bad Sector was found. "},   // scanning P0
      {0x22, 0x0E, false, "D1 P0 Bad Sector was found. "},
      {0x22, 0x8E, true, "D1 P1 Bad Sector was found. "},
      {0x22, 0x0C, false, "D1 P0 Bad Sector was found. "},
      {0x24, 0x0C, false, "D1 P1 Bad Sector was found. "},
      {0x44, 0x0C, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << int{c.portState} << " " << int{c.activity});
    console.eventLog.pages[0] = PageLogState{};
    console.monitor.scanSupported = c.scanSupported;
    RecordBuilder b = healthy();
    b.portState(c.portState).activity(c.activity).progress(10).badSectorCount(1).badSectorEntry(0, 77);
    setRecord(0, rec(c.portState));
    console.monitor.firstPass = true;
    start();
    Lines got = step(b);
    Lines want;
    if (c.activity & 0x03) {
      ASSERT_FALSE(got.empty());
      got.erase(got.begin());  // the progress line
    }
    if (!c.heading.empty()) want.push_back(c.heading + kTs);
    want.push_back("  LBA: 77");
    EXPECT_EQ(got, want);
  }
}

TEST_F(EventDetectionTest, ZeroPortStateWhileTrackingIgnoresThePage) {
  start();
  step(rec(0x22, 0x02, 30));
  const PageLogState before = page();
  RecordBuilder b = healthy();
  b.portState(0).activity(0x04).badSectorCount(2);
  EXPECT_TRUE(step(b).empty());
  EXPECT_EQ(page().prevPortFlags, before.prevPortFlags);
  EXPECT_EQ(page().lastProgress, 30);
  EXPECT_EQ(page().lastBadSectorCount, 0);
  // Without tracking, portState 0 is an ordinary change.
  console.eventLog.pages[0].lastProgress = 0xFF;
  EXPECT_EQ(step(b), (Lines{"D1 P0 Bad Sector was found. " + kTs, "  LBA: 0", "  LBA: 0"}));
  EXPECT_EQ(page().prevPortFlags, 0);
}

TEST_F(EventDetectionTest, UnrefreshedPagesKeepTheirState) {
  console.device.controllerCount = 2;
  setRecord(1, rec(0x22));
  start(0x03);
  setRecord(1, rec(0x24, 0x01, 50));
  EXPECT_TRUE(pass(0x01).empty());
  EXPECT_EQ(page(1).prevPortFlags, 0x22);
  EXPECT_EQ(page(1).lastProgress, 0xFF);
  EXPECT_EQ(pass(0x02), (Lines{"D2 P0 was removed, " + kTs, "D2 P1 --> P0 50%, " + kTs}));
}

}  // namespace
}  // namespace tervalo
