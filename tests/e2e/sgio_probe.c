/* sgio_probe: sends the console's kinds of SCSI request to a disk through SG_IO and prints what
 * the kernel hands back (status, host and driver status, residue, sense, data) as one line per
 * request, for reading on the test guest's serial console.
 *
 *   sgio_probe /dev/sdX */
#include <fcntl.h>
#include <scsi/sg.h>
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static void hex(const char *label, const unsigned char *p, int n) {
  printf(" %s=", label);
  for (int i = 0; i < n; ++i) printf("%02x", p[i]);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void probe(int fd, const char *name, const unsigned char *cdb, int cdb_len, int dir, int len, int show) {
  unsigned char data[1024];
  unsigned char sense[64];
  sg_io_hdr_t io;
  memset(data, 0xEE, sizeof data);
  memset(sense, 0, sizeof sense);
  memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.cmdp = (unsigned char *)cdb;
  io.cmd_len = (unsigned char)cdb_len;
  io.dxfer_direction = dir;
  io.dxferp = data;
  io.dxfer_len = (unsigned)len;
  io.sbp = sense;
  io.mx_sb_len = sizeof sense;
  io.timeout = 2000;
  double t0 = now();
  int rc = ioctl(fd, SG_IO, &io);
  double took = now() - t0;
  printf("PROBE %s rc=%d wall=%.2fs status=0x%02x masked=0x%02x host=0x%04x driver=0x%04x resid=%d duration=%u sb_len=%d", name,
         rc, took, io.status, io.masked_status, io.host_status, io.driver_status, io.resid, io.duration, io.sb_len_wr);
  hex("sense", sense, io.sb_len_wr);
  if (show > 0) hex("data", data, show);
  if (len >= 94 && (cdb[0] == 0x85 || cdb[0] == 0xA1)) {
    char model[41];
    for (int i = 0; i < 40; ++i) {
      unsigned char c = data[54 + (i ^ 1)];
      model[i] = (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    model[40] = 0;
    printf(" model=\"%s\"", model);
  }
  printf("\n");
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: sgio_probe /dev/sdX\n");
    return 2;
  }
  int fd = open(argv[1], O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    perror(argv[1]);
    return 1;
  }
  const unsigned char inquiry10[10] = {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0};
  const unsigned char read58[10] = {0x28, 0, 0, 0, 0, 58, 0, 0, 1, 0};
  const unsigned char readShort[10] = {0x28, 0, 0, 0, 0, 5, 0, 0, 1, 0};
  const unsigned char readPastEnd[10] = {0x28, 0, 0x7F, 0, 0, 0, 0, 0, 1, 0};
  const unsigned char vendor[10] = {0xFE, 0x85, 0, 0x07, 0x80, 0, 0, 0, 0, 0};
  const unsigned char identify16[16] = {0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC, 0};
  const unsigned char identify12[12] = {0xA1, 0x08, 0x2E, 0, 1, 0, 0, 0, 0xA0, 0xEC, 0, 0};
  const unsigned char vendorAta16[16] = {0x85, 0x06, 0x20, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x88, 0};
  const unsigned char powerMode16[16] = {0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0xE5, 0};

  probe(fd, "inquiry-cdb10", inquiry10, 10, SG_DXFER_FROM_DEV, 36, 36);
  probe(fd, "read10-lba58", read58, 10, SG_DXFER_FROM_DEV, 512, 16);
  probe(fd, "read10-1-sector-into-1024", readShort, 10, SG_DXFER_FROM_DEV, 1024, 8);
  probe(fd, "read10-past-end", readPastEnd, 10, SG_DXFER_FROM_DEV, 512, 0);
  probe(fd, "vendor-fe85-plain-disk", vendor, 10, SG_DXFER_FROM_DEV, 512, 0);
  probe(fd, "ata16-identify-ckcond-1st", identify16, 16, SG_DXFER_FROM_DEV, 512, 0);
  probe(fd, "ata16-identify-ckcond-2nd", identify16, 16, SG_DXFER_FROM_DEV, 512, 0);
  probe(fd, "ata12-identify-ckcond", identify12, 12, SG_DXFER_FROM_DEV, 512, 0);
  probe(fd, "ata16-check-power-ckcond", powerMode16, 16, SG_DXFER_NONE, 0, 0);
  probe(fd, "ata16-vendor88-abort", vendorAta16, 16, SG_DXFER_NONE, 0, 0);
  /* The test server never answers a READ of LBA 3000: a 2-second time-out, then recovery. */
  const unsigned char readHung[10] = {0x28, 0, 0, 0, 0x0B, 0xB8, 0, 0, 1, 0};
  probe(fd, "read10-timeout", readHung, 10, SG_DXFER_FROM_DEV, 512, 0);
  probe(fd, "read10-after-timeout", read58, 10, SG_DXFER_FROM_DEV, 512, 16);
  close(fd);
  return 0;
}
