#!/bin/sh
# Runs inside the test guest as /e2e/test.sh. Prints "E2E <name> ..." lines that run-e2e.sh checks.
hex16() { od -An -tx1 -N16 | tr -d ' \n'; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
wait_for() {  # wait_for CONDITION-COMMAND TENTHS
  i=0
  while [ $i -lt "$2" ]; do
    if eval "$1"; then return 0; fi
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

echo "E2E attach-start uptime=$(uptime_s)"
out=$(vhci_attach 10.0.2.100 3240 1-1) || echo "E2E attach-failed"
echo "$out"
plain_port=$(echo "$out" | sed -n 's/.* on port \([0-9]*\) .*/\1/p')
if wait_for '[ -b /dev/sda ] && [ "$(cat /sys/block/sda/size 2>/dev/null)" != "0" ]' 300; then
  echo "E2E attached uptime=$(uptime_s) size=$(cat /sys/block/sda/size)"
else
  echo "E2E attach-timeout"
  dmesg | tail -40 | sed 's/^/E2E-DMESG /'
  exit 1
fi
echo "E2E usb-id $(cat /sys/bus/usb/devices/*/idVendor 2>/dev/null | tr '\n' ' ')/$(cat /sys/bus/usb/devices/*/product 2>/dev/null | tr '\n' ' ')"
echo "E2E scsi-model $(cat /sys/block/sda/device/vendor)|$(cat /sys/block/sda/device/model)"

echo "E2E drives-begin"
tervaloctl drives --json
echo "E2E drives-end rc=$?"

echo "E2E sector5 $(dd if=/dev/sda bs=512 skip=5 count=1 2>/dev/null | hex16)"
dd if=/dev/zero bs=512 count=1 2>/dev/null | tr '\000' 'T' > /tmp/t
dd if=/tmp/t of=/dev/sda bs=512 seek=7 count=1 conv=fsync 2>/dev/null
echo "E2E write-rc $?"
blockdev --flushbufs /dev/sda
echo 3 > /proc/sys/vm/drop_caches
echo "E2E sector7 $(dd if=/dev/sda bs=512 skip=7 count=1 2>/dev/null | hex16)"

sgio_probe /dev/sda | sed 's/^/E2E /'

# Hot-unplug: a second device that vanishes when LBA 2000 is read.
vhci_attach 10.0.2.100 3241 1-1 || echo "E2E attach2-failed"
if wait_for '[ -b /dev/sdb ] && [ "$(cat /sys/block/sdb/size 2>/dev/null)" != "0" ]' 300; then
  echo "E2E attached2 uptime=$(uptime_s)"
  t0=$(uptime_s)
  dd if=/dev/sdb of=/dev/null bs=512 skip=2000 count=1 iflag=direct 2>/tmp/dd.err
  rc=$?
  echo "E2E unplug-read rc=$rc err=$(head -1 /tmp/dd.err) t0=$t0 t1=$(uptime_s)"
  if wait_for '[ ! -e /dev/sdb ]' 300; then
    echo "E2E unplug-gone uptime=$(uptime_s)"
  else
    echo "E2E unplug-still-there"
  fi
else
  echo "E2E attach2-timeout"
fi
dmesg | grep -iE 'usb|scsi|sd[ab]|vhci|sense|reset' | tail -60 | sed 's/^/E2E-DMESG /'

# The console sessions each want the controller as /dev/sda: the RAM disk leaves first.
echo "$plain_port" > /sys/devices/platform/vhci_hcd.0/detach
if wait_for '[ ! -e /dev/sda ]' 300; then
  echo "E2E plain-detached uptime=$(uptime_s)"
else
  echo "E2E plain-still-attached"
fi
if [ -x /e2e/console.sh ] && [ -f /e2e/sessions ]; then
  /e2e/console.sh $(cat /e2e/sessions)
fi
