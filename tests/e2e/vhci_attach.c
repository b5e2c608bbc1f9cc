/* vhci_attach: imports bus id BUSID from a USB/IP server at HOST:PORT and hands the connection
 * to the kernel's vhci-hcd, which then enumerates the device as if it were plugged in.
 *
 *   vhci_attach HOST PORT BUSID
 *
 * The technique is the usbip tool's: OP_REQ_IMPORT on a TCP connection, then
 * "port sockfd devid speed" written to vhci_hcd.0/attach. Built static for the test guest. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int read_all(int fd, unsigned char *p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return -1;
    p += r;
    n -= (size_t)r;
  }
  return 0;
}

static uint32_t be32(const unsigned char *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

/* The first free port of the USB 2.0 root hub in vhci_hcd.0/status ("hs" rows, status 004 = free). */
static int free_port(void) {
  FILE *f = fopen("/sys/devices/platform/vhci_hcd.0/status", "r");
  char line[256];
  int port = -1;
  if (!f) return -1;
  while (fgets(line, sizeof line, f)) {
    char hub[8];
    int p, status;
    if (sscanf(line, "%7s %d %d", hub, &p, &status) == 3 && strcmp(hub, "hs") == 0 && status == 4) {
      port = p;
      break;
    }
  }
  fclose(f);
  return port;
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: vhci_attach HOST PORT BUSID\n");
    return 2;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &addr.sin_addr) != 1) {
    fprintf(stderr, "vhci_attach: bad address %s\n", argv[1]);
    return 2;
  }
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
    fprintf(stderr, "vhci_attach: connect %s:%s: %s\n", argv[1], argv[2], strerror(errno));
    return 1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  unsigned char req[40];
  memset(req, 0, sizeof req);
  req[0] = 0x01; req[1] = 0x11;  /* version 1.1.1 */
  req[2] = 0x80; req[3] = 0x03;  /* OP_REQ_IMPORT */
  strncpy((char *)req + 8, argv[3], 31);
  if (write(fd, req, sizeof req) != (ssize_t)sizeof req) {
    fprintf(stderr, "vhci_attach: send import: %s\n", strerror(errno));
    return 1;
  }
  unsigned char rep[8 + 312];
  if (read_all(fd, rep, 8) != 0) {
    fprintf(stderr, "vhci_attach: no import reply\n");
    return 1;
  }
  if (rep[2] != 0x00 || rep[3] != 0x03 || be32(rep + 4) != 0) {
    fprintf(stderr, "vhci_attach: import refused (status %u)\n", be32(rep + 4));
    return 1;
  }
  if (read_all(fd, rep + 8, 312) != 0) {
    fprintf(stderr, "vhci_attach: short import reply\n");
    return 1;
  }
  const unsigned char *dev = rep + 8;
  uint32_t busnum = be32(dev + 288), devnum = be32(dev + 292), speed = be32(dev + 296);
  int port = free_port();
  if (port < 0) {
    fprintf(stderr, "vhci_attach: no free vhci port\n");
    return 1;
  }
  char line[64];
  int n = snprintf(line, sizeof line, "%d %d %u %u", port, fd, (busnum << 16) | devnum, speed);
  int a = open("/sys/devices/platform/vhci_hcd.0/attach", O_WRONLY);
  if (a < 0 || write(a, line, (size_t)n) != n) {
    fprintf(stderr, "vhci_attach: attach \"%s\": %s\n", line, strerror(errno));
    return 1;
  }
  close(a);
  printf("vhci_attach: attached %s on port %d (devid %u, speed %u)\n", argv[3], port, (busnum << 16) | devnum, speed);
  /* The kernel holds its own reference to the socket now. */
  return 0;
}
