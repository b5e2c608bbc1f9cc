#include "sim/usbip/usbip_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "core/bytes.h"

namespace tervalo::usbip {

namespace {
// Largest transfer we accept in one URB; the kernel's usb-storage stays far below.
constexpr std::int32_t kMaxTransfer = 16 * 1024 * 1024;
}  // namespace

Server::Server(MassStorageDevice& device, ServerOptions options) : device_(device), options_(std::move(options)) {
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) wakeFds_[0] = wakeFds_[1] = -1;
}

Server::~Server() {
  for (int fd : wakeFds_)
    if (fd >= 0) ::close(fd);
}

void Server::unplug() {
  if (unplugged_.exchange(true)) return;
  if (wakeFds_[1] >= 0) {
    const char b = 1;
    [[maybe_unused]] auto n = ::write(wakeFds_[1], &b, 1);
  }
}

ServerStats Server::stats() const {
  std::lock_guard lock(statsMutex_);
  return stats_;
}

void Server::note(const std::string& line) {
  if (options_.log) *options_.log << line << std::endl;
}

DeviceRecord Server::deviceRecord() const {
  DeviceRecord r;
  r.busId = options_.busId;
  r.path = "/sys/devices/tervalo/usb" + std::to_string(options_.busNum) + "/" + options_.busId;
  r.busNum = options_.busNum;
  r.devNum = options_.devNum;
  r.speed = kSpeedHigh;
  const auto dev = device_.deviceDescriptor();
  r.idVendor = device_.identity().vendorId;
  r.idProduct = device_.identity().productId;
  r.bcdDevice = device_.identity().bcdDevice;
  r.deviceClass = dev[4];
  r.deviceSubClass = dev[5];
  r.deviceProtocol = dev[6];
  r.configurationValue = 1;
  r.numConfigurations = 1;
  r.numInterfaces = 1;
  r.interfaces = {{0x08, 0x06, 0x50}};
  return r;
}

Server::Read Server::readExact(int fd, std::uint8_t* data, std::size_t size, bool wakeOnUnplug) {
  std::size_t got = 0;
  while (got < size) {
    if (wakeOnUnplug && unplugged_.load()) return Read::Woken;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    const int n = ::poll(fds, wakeOnUnplug && wakeFds_[0] >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Read::Error;
    }
    if (wakeOnUnplug && (fds[1].revents & POLLIN)) return Read::Woken;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t r = ::read(fd, data + got, size - got);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Read::Error;
    }
    if (r == 0) return got == 0 ? Read::Closed : Read::Error;
    got += static_cast<std::size_t>(r);
  }
  return Read::Ok;
}

bool Server::writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t w = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) {
      const ssize_t p = ::write(fd, data + done, size - done);
      if (p < 0 && errno == EINTR) continue;
      if (p <= 0) return false;
      done += static_cast<std::size_t>(p);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      continue;
    }
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

ServeEnd Server::serve(int inFd, int outFd) {
  for (;;) {
    std::array<std::uint8_t, kOpHeaderSize> hb{};
    switch (readExact(inFd, hb.data(), hb.size(), true)) {
      case Read::Ok: break;
      case Read::Closed: return ServeEnd::PeerClosed;
      case Read::Woken: return ServeEnd::Unplugged;
      case Read::Error: return ServeEnd::IoError;
    }
    const OpHeader h = decodeOpHeader(hb);
    if (h.version != kUsbipVersion) {
      note("usbip: unsupported protocol version " + std::to_string(h.version));
      return ServeEnd::ProtocolError;
    }
    if (h.code == kOpReqDevlist) {
      const DeviceRecord rec = deviceRecord();
      const auto reply = encodeDevlistReply(unplugged_ ? nullptr : &rec);
      if (!writeAll(outFd, reply.data(), reply.size())) return ServeEnd::IoError;
      note("usbip: device list");
      continue;
    }
    if (h.code != kOpReqImport) {
      note("usbip: unknown operation " + std::to_string(h.code));
      return ServeEnd::ProtocolError;
    }
    std::array<std::uint8_t, kBusIdSize> busId{};
    if (readExact(inFd, busId.data(), busId.size(), false) != Read::Ok) return ServeEnd::IoError;
    const std::string wanted = decodeBusId(busId);
    const bool ok = wanted == options_.busId && !unplugged_;
    const DeviceRecord rec = deviceRecord();
    const auto reply = encodeImportReply(ok ? &rec : nullptr);
    if (!writeAll(outFd, reply.data(), reply.size())) return ServeEnd::IoError;
    note("usbip: import " + wanted + (ok ? " accepted" : " refused"));
    if (!ok) continue;
    {
      std::lock_guard lock(statsMutex_);
      ++stats_.imports;
    }
    return serveUrbs(inFd, outFd);
  }
}

ServeEnd Server::serveUrbs(int inFd, int outFd) {
  std::vector<std::uint8_t> out;
  pending_.clear();
  for (;;) {
    if (device_.targetGone()) unplug();
    const bool failing = unplugged_ && options_.unplugMode == UnplugMode::FailRequests;
    if (unplugged_ && !failing) {
      note("usbip: device unplugged, closing the connection");
      return ServeEnd::Unplugged;
    }
    std::array<std::uint8_t, kUrbHeaderSize> hb{};
    switch (readExact(inFd, hb.data(), hb.size(), !failing)) {
      case Read::Ok: break;
      case Read::Closed: return ServeEnd::PeerClosed;
      case Read::Woken: continue;
      case Read::Error: return ServeEnd::IoError;
    }
    const auto h = decodeUrbHeader(hb);
    if (!h) {
      note("usbip: unknown URB command");
      return ServeEnd::ProtocolError;
    }
    if (h->command == kCmdUnlink) {
      {
        std::lock_guard lock(statsMutex_);
        ++stats_.unlinks;
      }
      // A submit the device left pending is cancelled (-ECONNRESET, and it gets no RET_SUBMIT);
      // any other has completed already, which status 0 says.
      UrbHeader r;
      r.command = kRetUnlink;
      r.seqnum = h->seqnum;
      r.status = pending_.erase(h->unlinkSeqnum) ? kUrbUnlinked : 0;
      if (r.status != 0) {
        std::lock_guard lock(statsMutex_);
        ++stats_.unlinkedPending;
      }
      const auto rb = encodeUrbHeader(r);
      if (!writeAll(outFd, rb.data(), rb.size())) return ServeEnd::IoError;
      note("usbip: unlink " + std::to_string(h->unlinkSeqnum) + " -> status " + std::to_string(r.status));
      continue;
    }
    if (h->command != kCmdSubmit || h->transferBufferLength < 0 || h->transferBufferLength > kMaxTransfer) {
      note("usbip: unexpected URB header");
      return ServeEnd::ProtocolError;
    }
    {
      std::lock_guard lock(statsMutex_);
      ++stats_.submits;
    }
    const auto length = static_cast<std::uint32_t>(h->transferBufferLength);
    std::vector<std::uint8_t> outData;
    if (h->direction == kDirOut && length > 0) {
      outData.resize(length);
      if (readExact(inFd, outData.data(), length, false) != Read::Ok) return ServeEnd::IoError;
    }
    // No isochronous endpoints: a submit with packets is a protocol error.
    if (h->numberOfPackets > 0) {
      note("usbip: isochronous submit refused");
      return ServeEnd::ProtocolError;
    }

    UsbReply reply;
    if (unplugged_) {
      reply.status = kUrbNoDevice;
    } else if (h->ep == 0) {
      reply = device_.control(h->setup, outData);
    } else if (h->direction == kDirIn) {
      reply = device_.bulkIn(static_cast<std::uint8_t>(h->ep), length);
    } else {
      reply = device_.bulkOut(static_cast<std::uint8_t>(h->ep), outData);
      if (options_.unplugAfterCommands != 0 && device_.commandCount() >= options_.unplugAfterCommands) {
        note("usbip: unplugging after command " + std::to_string(device_.commandCount()));
        unplug();
        if (options_.unplugMode == UnplugMode::Disconnect) return ServeEnd::Unplugged;
        reply = {kUrbNoDevice, {}};
      }
    }
    if (device_.targetGone() && options_.unplugMode == UnplugMode::Disconnect) {
      note("usbip: target gone, closing the connection");
      unplug();
      return ServeEnd::Unplugged;
    }
    if (reply.pending) {
      pending_.insert(h->seqnum);
      note("usbip: submit seq " + std::to_string(h->seqnum) + " left pending");
      continue;
    }
    if (reply.data.size() > length) reply.data.resize(length);

    UrbHeader r;
    r.command = kRetSubmit;
    r.seqnum = h->seqnum;
    r.status = reply.status;
    const bool in = h->direction == kDirIn;
    r.actualLength = static_cast<std::int32_t>(in ? reply.data.size() : (reply.status == 0 ? length : 0));
    if (!in) reply.data.clear();
    if (options_.log) {
      char line[160];
      std::snprintf(line, sizeof line, "usbip: submit seq %u ep %u %s len %u -> status %d actual %d", h->seqnum,
                    h->ep, in ? "in" : "out", length, r.status, r.actualLength);
      std::string text = line;
      // Name the Bulk-Only messages: the command block of a CBW, status and residue of a CSW.
      CommandBlockWrapper cbw;
      if (!in && parseCbw(outData, cbw)) {
        text += " CBW tag " + std::to_string(cbw.tag) + " len " + std::to_string(cbw.dataLength) + " cdb";
        for (auto b : cbw.cdb) {
          std::snprintf(line, sizeof line, " %02x", b);
          text += line;
        }
      } else if (in && reply.data.size() == kCswSize && readLe(reply.data, 0, 4) == kCswSignature) {
        text += " CSW residue " + std::to_string(readLe(reply.data, 8, 4)) + " status " +
                std::to_string(reply.data[12]);
      }
      note(text);
    }
    const auto rb = encodeUrbHeader(r);
    out.assign(rb.begin(), rb.end());
    out.insert(out.end(), reply.data.begin(), reply.data.end());
    if (!writeAll(outFd, out.data(), out.size())) return ServeEnd::IoError;
  }
}

int Server::listenTcp(std::uint16_t port, std::uint16_t& boundPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  boundPort = ntohs(addr.sin_port);
  return fd;
}

ServeEnd Server::serveTcp(int listenFd) {
  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    if (unplugged_ && options_.unplugMode == UnplugMode::Disconnect) return ServeEnd::Unplugged;
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ServeEnd::IoError;
    }
    if (fds[1].revents & POLLIN) return ServeEnd::Unplugged;
    const int conn = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    const int one = 1;
    ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const ServeEnd end = serve(conn, conn);
    ::close(conn);
    if (end == ServeEnd::Unplugged) return end;
  }
}

}  // namespace tervalo::usbip
