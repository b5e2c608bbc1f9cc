#pragma once
// A scripted USB/IP client over a socketpair: imports the device from a Server running on a
// thread and drives URBs by hand, the way the kernel's vhci-hcd and usb-storage would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "sim/usbip/mass_storage_device.h"
#include "sim/usbip/usbip_server.h"
#include "sim/usbip/usbip_wire.h"

namespace tervalo::usbip::testing {

inline bool readAll(int fd, std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

inline bool writeAllTo(int fd, std::span<const std::uint8_t> b) {
  std::size_t done = 0;
  while (done < b.size()) {
    const ssize_t w = ::write(fd, b.data() + done, b.size() - done);
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

struct Completion {
  UrbHeader header;
  std::vector<std::uint8_t> data;
};

class ScriptedClient {
 public:
  ScriptedClient(Server& server) : server_(server) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
      fd_ = sv[0];
      serverFd_ = sv[1];
      // The server side closes when serving ends, as a process or a TCP connection would.
      thread_ = std::thread([this] {
        end_ = server_.serve(serverFd_, serverFd_);
        ::close(serverFd_);
        serverFd_ = -1;
      });
    }
  }
  ~ScriptedClient() {
    closeClient();
    if (thread_.joinable()) thread_.join();
    if (serverFd_ >= 0) ::close(serverFd_);
  }
  void closeClient() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  ServeEnd join() {
    if (thread_.joinable()) thread_.join();
    return end_;
  }
  int fd() const { return fd_; }

  // OP_REQ_IMPORT; returns the whole reply (8-byte header, and the record when accepted).
  std::vector<std::uint8_t> import(const std::string& busId) {
    const auto h = encodeOpHeader({kUsbipVersion, kOpReqImport, 0});
    std::vector<std::uint8_t> req(h.begin(), h.end());
    req.resize(kImportRequestSize, 0);
    std::copy(busId.begin(), busId.end(), req.begin() + kOpHeaderSize);
    if (!writeAllTo(fd_, req)) return {};
    std::vector<std::uint8_t> reply(kOpHeaderSize);
    if (!readAll(fd_, reply.data(), reply.size())) return {};
    if (decodeOpHeader(std::span<const std::uint8_t, kOpHeaderSize>(reply.data(), kOpHeaderSize)).status != 0)
      return reply;
    reply.resize(kOpHeaderSize + kDeviceRecordSize);
    if (!readAll(fd_, reply.data() + kOpHeaderSize, kDeviceRecordSize)) return {};
    return reply;
  }

  bool sendSubmit(std::uint32_t ep, bool in, std::uint32_t length, std::span<const std::uint8_t> out = {},
                  std::array<std::uint8_t, 8> setup = {}) {
    UrbHeader h;
    h.command = kCmdSubmit;
    h.seqnum = ++seq_;
    h.devid = 0x00010002;
    h.direction = in ? kDirIn : kDirOut;
    h.ep = ep;
    h.transferBufferLength = static_cast<std::int32_t>(length);
    h.setup = setup;
    const auto b = encodeUrbHeader(h);
    std::vector<std::uint8_t> msg(b.begin(), b.end());
    msg.insert(msg.end(), out.begin(), out.end());
    return writeAllTo(fd_, msg);
  }

  // Reads one RET_SUBMIT or RET_UNLINK with its data.
  bool receive(Completion& c, bool in) {
    std::array<std::uint8_t, kUrbHeaderSize> b{};
    if (!readAll(fd_, b.data(), b.size())) return false;
    const auto h = decodeUrbHeader(b);
    if (!h) return false;
    c.header = *h;
    c.data.clear();
    if (h->command == kRetSubmit && in && h->actualLength > 0) {
      c.data.resize(static_cast<std::size_t>(h->actualLength));
      if (!readAll(fd_, c.data.data(), c.data.size())) return false;
    }
    return true;
  }

  Completion submit(std::uint32_t ep, bool in, std::uint32_t length, std::span<const std::uint8_t> out = {},
                    std::array<std::uint8_t, 8> setup = {}) {
    Completion c;
    c.header.status = 1;  // marks a transport failure in the test
    if (!sendSubmit(ep, in, length, out, setup) || !receive(c, in)) c.header.command = 0;
    return c;
  }

  Completion control(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     std::uint16_t length, std::span<const std::uint8_t> out = {}) {
    std::array<std::uint8_t, 8> s{type, request, static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                  static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
                                  static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8)};
    return submit(0, type & 0x80, length, out, s);
  }

  std::uint32_t lastSeq() const { return seq_; }

 private:
  Server& server_;
  int fd_ = -1;
  int serverFd_ = -1;
  std::thread thread_;
  ServeEnd end_ = ServeEnd::IoError;
  std::uint32_t seq_ = 0;
};

}  // namespace tervalo::usbip::testing
