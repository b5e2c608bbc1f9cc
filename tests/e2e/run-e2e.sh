#!/usr/bin/env bash
# Boots the test guest under QEMU with our USB/IP server as the user-mode network's guestfwd
# command (no host port is opened), runs tests/e2e/guest-test.sh in it and checks its results.
# Then, in the same boot, guest-console.sh runs tervaloctl against simulated enclosures that
# `tervaloctl simulate --stdio` serves, one session per access path plus one that is unplugged
# mid-operation; check-console.sh compares what the guest saw with each server's state report
# (report-SESSION.json).
#
#   run-e2e.sh --guest-dir DIR --serve BIN --tervaloctl BIN --vhci-attach BIN --sgio-probe BIN --work-dir DIR
# The guest runs under TCG; E2E_ACCEL=kvm uses KVM instead where it works. E2E_SERVE_ARGS adds
# options for the first device's server (for instance --inquiry-version 4 or --fixed-sense).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
while (($#)); do
  case $1 in
    --guest-dir) guest_dir=$2 ;;
    --serve) serve=$2 ;;
    --tervaloctl) tervaloctl=$2 ;;
    --vhci-attach) vhci_attach=$2 ;;
    --sgio-probe) sgio_probe=$2 ;;
    --work-dir) work=$2 ;;
    *) echo "run-e2e: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
: "${guest_dir:?} ${serve:?} ${tervaloctl:?} ${vhci_attach:?} ${sgio_probe:?} ${work:?}"
t_start=$(date +%s.%N)

"$here/build-guest.sh" "$guest_dir"
rm -rf "$work"
mkdir -p "$work/overlay/bin" "$work/overlay/e2e"
work=$(cd "$work" && pwd)

# Overlay archive: our programs, the shared libraries tervaloctl needs, the test script.
cp "$tervaloctl" "$work/overlay/bin/tervaloctl"
cp "$vhci_attach" "$work/overlay/bin/vhci_attach"
cp "$sgio_probe" "$work/overlay/bin/sgio_probe"
cp "$here/guest-test.sh" "$work/overlay/e2e/test.sh"
cp "$here/guest-console.sh" "$work/overlay/e2e/console.sh"
chmod 755 "$work/overlay/e2e/test.sh" "$work/overlay/e2e/console.sh"

# The image the console sessions upgrade to, built by tervaloctl itself: a head with "FIPS" and
# the settings offset 0x78000, one sub-code, a fixed seed. Deterministic, and unlike the
# simulated controllers' own flash.
mkdir -p "$work/image"
{
  printf 'FIPS'; head -c 12 /dev/zero; printf '\000\200\007'
  head -c $((16384 - 19)) /dev/zero | tr '\000' '\132'
} > "$work/image/SPIHEAD.BIN"
head -c 40000 /dev/zero | tr '\000' '\245' > "$work/image/sub1.bin"
"$tervaloctl" image build --head "$work/image/SPIHEAD.BIN" --sub "$work/image/sub1.bin" --size 4M --seed 7 \
  -o "$work/image/image.bin" >/dev/null
cp "$work/image/image.bin" "$work/overlay/e2e/image.bin"

# Console sessions: NAME:PORT:UNPLUG_PORT, one per access path, each with its scenario file
# (scenarios/NAME.json) and the same controller unplugged mid-flash-read (NAME-unplug.json).
sessions=(mailbox:3250:3260 ata:3251:3261 vendor-single:3252:3262)
echo "${sessions[*]}" > "$work/overlay/e2e/sessions"
guestfwds=""
serve_cmd() {  # serve_cmd NAME PORT: a guestfwd command serving scenarios/NAME.json
  cat > "$work/serve-$1.sh" <<WRAP
#!/bin/sh
exec "$tervaloctl" simulate --stdio "$here/scenarios/$1.json" --report "$work/report-$1.json" \\
  --log "$work/serve-$1.log" 2>>"$work/serve-$1.err"
WRAP
  chmod 755 "$work/serve-$1.sh"
  guestfwds+=",guestfwd=tcp:10.0.2.100:$2-cmd:$work/serve-$1.sh"
}
for s in "${sessions[@]}"; do
  IFS=: read -r name port unplug_port <<<"$s"
  serve_cmd "$name" "$port"
  serve_cmd "$name-unplug" "$unplug_port"
done
for lib in $(ldd "$tervaloctl" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}'); do
  mkdir -p "$work/overlay$(dirname "$lib")"
  cp -L "$lib" "$work/overlay$lib"
done
(cd "$work/overlay" && find . | cpio -o -H newc --quiet | gzip -1 > "$work/overlay.cpio.gz")
cat "$guest_dir/base.cpio.gz" "$work/overlay.cpio.gz" > "$work/initrd.cpio.gz"

# The guestfwd commands: QEMU gives each one socket as stdin, stdout and stderr.
cat > "$work/serve-plain.sh" <<WRAP
#!/bin/sh
exec "$serve" --hang-at-lba 3000 ${E2E_SERVE_ARGS:-} --log "$work/serve-plain.log" 2>>"$work/serve-plain.err"
WRAP
cat > "$work/serve-vanish.sh" <<WRAP
#!/bin/sh
exec "$serve" --vanish-at-lba 2000 --log "$work/serve-vanish.log" 2>>"$work/serve-vanish.err"
WRAP
chmod 755 "$work/serve-plain.sh" "$work/serve-vanish.sh"

# TCG by default: it behaves the same everywhere, while nested KVM on CI machines can hang.
accel=(-accel tcg)
if [[ ${E2E_ACCEL:-tcg} == kvm && -w /dev/kvm ]]; then accel=(-accel kvm); fi
echo "run-e2e: booting ($(cat "$guest_dir/kernel-version"), ${accel[*]})"
t_boot=$(date +%s.%N)
status=0
timeout 480 qemu-system-x86_64 "${accel[@]}" -m 256 -smp 1 -no-reboot \
  -display none -monitor none -serial "file:$work/serial.log" \
  -kernel "$guest_dir/vmlinuz" -initrd "$work/initrd.cpio.gz" \
  -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
  -netdev "user,id=n0,restrict=on,guestfwd=tcp:10.0.2.100:3240-cmd:$work/serve-plain.sh,guestfwd=tcp:10.0.2.100:3241-cmd:$work/serve-vanish.sh$guestfwds" \
  -device e1000,netdev=n0 </dev/null || status=$?
t_end=$(date +%s.%N)
tr -d '\r' < "$work/serial.log" > "$work/serial.txt"
grep -E '^E2E' "$work/serial.txt" || true

fail=0
check() {  # check DESCRIPTION PATTERN
  if grep -qE -- "$2" "$work/serial.txt"; then
    echo "run-e2e: ok   $1"
  else
    echo "run-e2e: FAIL $1 (no line matching: $2)"
    fail=1
  fi
}
[[ $status -eq 0 ]] || { echo "run-e2e: FAIL qemu exited with $status"; fail=1; }
check "guest booted" '^E2E boot-done'
check "device attached as /dev/sda" '^E2E attached uptime'
check "tervaloctl drives --json ran" '^E2E drives-end rc=0'
check "sector 5 pattern read back" '^E2E sector5 00000005090a0b0c0d0e0f1011121314$'
check "sector 7 written and read back" '^E2E sector7 54545454545454545454545454545454$'
check "SG_IO READ(10) of LBA 58" '^E2E PROBE read10-lba58 rc=0 .*status=0x00 .* data=0000003a3e3f40414243444546474849'
check "SG_IO ATA PASS-THROUGH(16) IDENTIFY" '^E2E PROBE ata16-identify-ckcond-2nd rc=0 .*status=0x02 .*sense=72.*090c.* model="TERVALO RAMDISK'
check "a hung READ(10) times out" '^E2E PROBE read10-timeout rc=0 .*host=0x0003 '
check "the device answers after the time-out" '^E2E PROBE read10-after-timeout rc=0 .*status=0x00 .* data=0000003a3e3f40414243444546474849'
# The read fails with EIO, or, when the disk is already gone by the time dd's read returns,
# ends at once with nothing read; either way no data comes back.
check "hot-unplug fails the read" '^E2E unplug-read (rc=[1-9]|rc=0 err=0\+0 records in)'
check "hot-unplugged disk disappears" '^E2E unplug-gone'
check "the RAM disk is detached before the console sessions" '^E2E plain-detached'
check "guest powered off" '^E2E end'

boot_done=$(sed -n 's/^E2E boot-done uptime=//p' "$work/serial.txt" | head -1)
# Guest time of each console session, from its start to its end.
for s in "${sessions[@]}"; do
  name=${s%%:*}
  a=$(sed -n "s/^E2E $name session-start uptime=//p" "$work/serial.txt" | head -1)
  b=$(sed -n "s/^E2E $name session-end uptime=//p" "$work/serial.txt" | head -1)
  if [[ -n $a && -n $b ]]; then
    awk -v n="$name" -v a="$a" -v b="$b" 'BEGIN { printf "run-e2e: session %s %.1fs (guest clock)\n", n, b - a }'
  fi
done
awk -v b="${boot_done:-?}" -v s="$t_start" -v q="$t_boot" -v e="$t_end" \
  'BEGIN { printf "run-e2e: guest boot %ss (guest clock, to init); qemu run %.1fs; whole test %.1fs\n", b, e - q, e - s }'
if ((fail)); then
  echo "run-e2e: serial log: $work/serial.txt; server logs: $work/serve-*.log"
  exit 1
fi
