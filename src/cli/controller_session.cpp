#include "cli/controller_session.h"

#include "device/detection.h"
#include "device/drive_table.h"
#include "protocol/record_read.h"

namespace tervalo::cli {

Console* detectControllers(CliContext& ctx) {
  Console* console = ctx.makeConsole();
  if (!console) return nullptr;
  countDrivesAndDetect(*console);
  return console;
}

bool selectController(CliContext& ctx, Console& console, int device) {
  const int count = std::min(console.device.controllerCount, kDevicePages);
  if (count == 0) {
    ctx.err << "No controller found." << (ctx.simulate ? "\n" : " Raw disk access may need root (see 'tervaloctl drives').\n");
    return false;
  }
  if (device < 1 || device > count) {
    ctx.err << "No device " << device << ": " << count << " controller" << (count == 1 ? "" : "s")
            << " found (--device 1.." << count << ").\n";
    return false;
  }
  console.protocol.currentController = device - 1;
  console.controls.activePage = device - 1;
  return true;
}

bool readCurrentRecord(Console& console, Sector& record) {
  if (!ReadStatusRecord(console, record)) return false;
  const int page = console.protocol.currentController;
  console.protocol.statusRecords[static_cast<std::size_t>(page)] = record;
  console.protocol.currentRecordPage = page;
  return true;
}

}  // namespace tervalo::cli
