#!/bin/sh
# Runs inside the test guest as /e2e/console.sh: tervaloctl against simulated enclosures that
# `tervaloctl simulate --stdio` serves over USB/IP, one access path after another, each as
# /dev/sda. Every result line starts "E2E <session> "; check-console.sh compares them on the
# host with the simulator's state report.
#
#   console.sh NAME:PORT:UNPLUG_PORT ...
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
# Kernel messages must not land in the middle of a result line.
dmesg -n 1

attach() {  # attach SESSION PORT: imports the device and waits for /dev/sda; sets VHCI_PORT
  if ! wait_for '[ ! -e /dev/sda ]' 300; then
    echo "E2E $1 sda-still-taken"
    return 1
  fi
  out=$(vhci_attach 10.0.2.100 "$2" 1-1) || { echo "E2E $1 attach-failed $out"; return 1; }
  VHCI_PORT=$(echo "$out" | sed -n 's/.* on port \([0-9]*\) .*/\1/p')
  if ! wait_for '[ -b /dev/sda ] && [ "$(cat /sys/block/sda/size 2>/dev/null)" != "0" ]' 300; then
    echo "E2E $1 attach-timeout"
    return 1
  fi
  echo "E2E $1 attached uptime=$(uptime_s) port=$VHCI_PORT"
}

detach() {  # detach SESSION: unplugs the vhci port; the server's connection closes
  echo "$VHCI_PORT" > /sys/devices/platform/vhci_hcd.0/detach 2>/dev/null
  if wait_for '[ ! -e /dev/sda ]' 300; then
    echo "E2E $1 detached uptime=$(uptime_s)"
  else
    echo "E2E $1 detach-timeout"
  fi
}

# step SESSION STEP COMMAND...: one line with the command's whole standard output folded onto it,
# one with its exit code and the last line of its standard error.
step() {
  s=$1
  n=$2
  shift 2
  "$@" > /tmp/out 2> /tmp/err
  rc=$?
  echo "E2E $s $n-out $(tr '\n' ' ' < /tmp/out)"
  echo "E2E $s $n-rc rc=$rc err=$(tr '\r' '\n' < /tmp/err | grep -v '^ *$' | tail -1)"
}

for session_arg in "$@"; do
  name=${session_arg%%:*}
  rest=${session_arg#*:}
  port=${rest%%:*}
  unplug_port=${rest#*:}

  echo "E2E $name session-start uptime=$(uptime_s)"
  if attach "$name" "$port"; then
    step "$name" detect tervaloctl detect --json
    # The backup comes first: on the vendor path a settings order appends a record slot to the flash.
    t0=$(uptime_s)
    step "$name" flash-read tervaloctl flash read --device 1 -o /tmp/backup.bin
    echo "E2E $name flash-read-sha256 $(sha256sum /tmp/backup.bin 2>/dev/null | cut -d' ' -f1) t0=$t0 t1=$(uptime_s)"
    rm -f /tmp/backup.bin
    step "$name" set tervaloctl set --device 1 --buzzer off
    # Read after the order, so the record is the one the simulator holds at the end.
    step "$name" status tervaloctl status --device 1 --json
    t0=$(uptime_s)
    step "$name" upgrade tervaloctl firmware upgrade /e2e/image.bin --device 1 --yes
    echo "E2E $name upgrade-time t0=$t0 t1=$(uptime_s)"
    detach "$name"
  fi

  # Hot-unplug: the enclosure of this session vanishes in the middle of a flash read.
  if attach "$name-unplug" "$unplug_port"; then
    step "$name-unplug" detect tervaloctl detect --json
    step "$name-unplug" flash-read tervaloctl flash read --device 1 -o /tmp/unplug.bin
    # The backup must not exist, neither whole nor in part.
    echo "E2E $name-unplug backup-files $(ls /tmp/unplug.bin /tmp/unplug.bin.part 2>/dev/null | wc -l)"
    if wait_for '[ ! -e /dev/sda ]' 300; then
      echo "E2E $name-unplug gone uptime=$(uptime_s)"
    else
      echo "E2E $name-unplug still-there"
      detach "$name-unplug"
    fi
  fi
  echo "E2E $name session-end uptime=$(uptime_s)"
done
