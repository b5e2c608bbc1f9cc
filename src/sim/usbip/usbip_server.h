#pragma once
// A USB/IP server exporting one MassStorageDevice as bus id "1-1".
//
// serve() handles one connection on a pair of file descriptors (the same socket twice, or
// stdin/stdout when the server runs as a QEMU guestfwd command): OP_REQ_DEVLIST and
// OP_REQ_IMPORT, then URB traffic (CMD_SUBMIT / RET_SUBMIT, CMD_UNLINK / RET_UNLINK) until the
// peer closes, a protocol error, or unplug(). serveTcp() accepts connections on 127.0.0.1 for
// hosts that attach with the usbip tool and vhci-hcd.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <set>
#include <string>

#include "sim/usbip/mass_storage_device.h"
#include "sim/usbip/usbip_wire.h"

namespace tervalo::usbip {

enum class UnplugMode {
  Disconnect,    // the connection ends: the importer sees the device go away
  FailRequests,  // the connection stays; every further URB completes with -ENODEV
};

struct ServerOptions {
  std::string busId = "1-1";
  std::uint32_t busNum = 1;
  std::uint32_t devNum = 2;
  UnplugMode unplugMode = UnplugMode::Disconnect;
  // Unplug on its own once this many CBWs have arrived (0: never). The CBW that reaches the
  // count is not answered: the device vanishes mid-command.
  std::uint32_t unplugAfterCommands = 0;
  // One line per request when set.
  std::ostream* log = nullptr;
};

struct ServerStats {
  std::uint32_t imports = 0;
  std::uint32_t submits = 0;
  std::uint32_t unlinks = 0;
  std::uint32_t unlinkedPending = 0;  // unlinks that cancelled a pending submit
};

enum class ServeEnd {
  PeerClosed,     // orderly end of the stream
  Unplugged,      // unplug() or the target went away
  ProtocolError,  // a malformed or unexpected message
  IoError,        // reading or writing failed
};

class Server {
 public:
  Server(MassStorageDevice& device, ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  ServeEnd serve(int inFd, int outFd);

  // Opens a listening socket on 127.0.0.1:port (0 picks a free port); -1 on failure.
  // boundPort receives the port.
  int listenTcp(std::uint16_t port, std::uint16_t& boundPort);
  // Serves the connections that arrive on listenFd one after another, until unplug() in
  // Disconnect mode. Closes nothing it did not accept.
  ServeEnd serveTcp(int listenFd);

  // Drops the device now; safe from any thread.
  void unplug();
  bool unplugged() const { return unplugged_.load(); }
  ServerStats stats() const;

  DeviceRecord deviceRecord() const;

 private:
  enum class Read { Ok, Closed, Woken, Error };
  Read readExact(int fd, std::uint8_t* data, std::size_t size, bool wakeOnUnplug);
  bool writeAll(int fd, const std::uint8_t* data, std::size_t size);
  ServeEnd serveUrbs(int inFd, int outFd);
  void note(const std::string& line);

  MassStorageDevice& device_;
  ServerOptions options_;
  std::atomic<bool> unplugged_{false};
  int wakeFds_[2] = {-1, -1};
  std::set<std::uint32_t> pending_;  // seqnums of submits the device has not completed
  mutable std::mutex statsMutex_;
  ServerStats stats_;
};

}  // namespace tervalo::usbip
