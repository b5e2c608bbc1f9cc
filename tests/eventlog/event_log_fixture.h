#pragma once
// A console with one to four controllers, a manual clock and a day-log folder of its own.
#include <algorithm>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "core/console.h"
#include "eventlog/event_log.h"
#include "support/fake_host.h"
#include "support/recording_ui.h"
#include "support/status_record_builder.h"

namespace tervalo::testing {

// Real files, with writes that can be made to fail after a number of bytes or not to start.
class ScriptedIo : public PosixLogFileIo {
 public:
  class File : public LogWriteFile {
   public:
    File(std::unique_ptr<LogWriteFile> inner, ScriptedIo& io) : inner_(std::move(inner)), io_(io) {}
    bool write(std::string_view bytes) override {
      if (io_.failAfterBytes >= 0 && static_cast<long>(bytes.size()) > io_.failAfterBytes) {
        inner_->write(bytes.substr(0, static_cast<std::size_t>(io_.failAfterBytes)));  // half-way, then the disk is full
        return false;
      }
      return inner_->write(bytes);
    }
    bool sync() override { return inner_->sync(); }
    bool close() override { return inner_->close(); }

   private:
    std::unique_ptr<LogWriteFile> inner_;
    ScriptedIo& io_;
  };

  std::unique_ptr<LogWriteFile> create(const std::filesystem::path& path) override {
    ++creates;
    if (refuseCreate) return nullptr;
    auto inner = PosixLogFileIo::create(path);
    if (!inner) return nullptr;
    return std::make_unique<File>(std::move(inner), *this);
  }

  std::optional<std::string> readAll(const std::filesystem::path& path) override {
    if (refuseRead) return std::nullopt;
    return PosixLogFileIo::readAll(path);
  }

  int creates = 0;
  bool refuseCreate = false;
  bool refuseRead = false;
  long failAfterBytes = -1;  // negative: writes succeed
};

class EventLogFixture : public ::testing::Test {
 protected:
  EventLogFixture() {
    static std::atomic<int> counter{0};
    dir = std::filesystem::temp_directory_path() /
          ("tervalo-eventlog-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    console.eventLog.folder = dir;
    console.eventLog.timeFormat = {"%d/%m/%Y", "%H:%M:%S"};
    console.eventLog.io = io;
    console.device.controllerCount = 1;
    for (int p = 0; p < 4; ++p) {
      console.device.controllerList[p] = static_cast<std::uint32_t>(0x40 | (p + 1));
      console.device.identifyData[p + 1] = makeIdentify("090619.1", "RAID Bridge " + std::to_string(p + 1));
    }
  }
  ~EventLogFixture() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  void setRecord(int page, const Sector& record) { console.protocol.statusRecords[page] = record; }

  // One pass; returns the lines it appended.
  std::vector<std::string> pass(std::uint8_t mask = 0x01) {
    const std::size_t before = console.eventLog.buffer.lineCount();
    UpdateEventLog(console, mask);
    const auto& lines = console.eventLog.buffer.lines();
    if (lines.size() < before) return lines;  // the buffer started again: all of it
    return {lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()};
  }

  // The first pass at start-up followed by the first presentation.
  void start(std::uint8_t mask = 0x01) {
    pass(mask);
    console.monitor.firstPass = false;
  }

  std::string fileBytes(const std::string& name) const {
    std::ifstream in(dir / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::vector<std::string> fileLines(const std::string& name) const { return splitLogText(fileBytes(name)); }
  // The names in the log folder, sorted.
  std::vector<std::string> folderEntries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  void writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir / name, std::ios::binary) << bytes;
  }

  static std::string at(const std::string& line) { return line + "15/03/2010 09:41:07"; }

  std::filesystem::path dir;
  FakeHost host;
  RecordingUi ui;
  ManualClock clock{LocalDateTime{2010, 3, 15, 9, 41, 7}};
  Console console{host, ui, clock};
  std::shared_ptr<ScriptedIo> io = std::make_shared<ScriptedIo>();
};

}  // namespace tervalo::testing
