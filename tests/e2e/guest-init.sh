#!/bin/busybox sh
# Init of the end-to-end test guest: load the USB storage modules, bring up the user-mode
# network, attach the USB/IP device and run /e2e/test.sh. Every result line starts "E2E ".
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "E2E boot-done uptime=$(cut -d' ' -f1 /proc/uptime)"
while read -r m; do
  insmod "/lib/modules/$m.ko" || echo "E2E insmod-failed $m"
done < /lib/modules/load-order
ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
if [ -x /e2e/test.sh ]; then
  /e2e/test.sh
  echo "E2E test-script-exit rc=$?"
else
  echo "E2E no-test-script"
fi
echo "E2E end uptime=$(cut -d' ' -f1 /proc/uptime)"
poweroff -f
