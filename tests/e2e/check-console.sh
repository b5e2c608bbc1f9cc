#!/usr/bin/env bash
# Checks one console session of an end-to-end run: what tervaloctl printed in the guest (serial
# log) against the state report of the simulated enclosure it talked to through the kernel.
#
#   check-console.sh --work-dir DIR --session NAME --flags 0x40 --tervaloctl BIN --scenarios DIR
#
# Cases: detect (flags), status (raw record equals the simulator's), settings order (the buzzer
# bit in the simulator's model), flash backup (SHA-256 equals the simulated flash's), firmware
# upgrade (the flash equals the image, no protocol violation), hot-unplug mid flash read (a
# clear failure, no crash, no backup file).
set -euo pipefail
while (($#)); do
  case $1 in
    --work-dir) work=$2 ;;
    --session) session=$2 ;;
    --flags) flags=$2 ;;
    --tervaloctl) tervaloctl=$2 ;;
    --scenarios) scenarios=$2 ;;
    *) echo "check-console: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
: "${work:?} ${session:?} ${flags:?} ${tervaloctl:?} ${scenarios:?}"
log=$work/serial.txt
report=$work/report-$session.json
unplug_report=$work/report-$session-unplug.json
[[ -f $log ]] || { echo "check-console: no serial log $log (did e2e_usb_storage_attach run?)"; exit 1; }

fail=0
ok() { echo "check-console: ok   $session: $1"; }
bad() { echo "check-console: FAIL $session: $1"; fail=1; }
line() { sed -n "s/^E2E $1 $2 //p" "$log" | head -1; }   # line SESSION KEY
field() { sed -n "s/^ *\"$2\": \"\{0,1\}\([^\",]*\)\"\{0,1\},\{0,1\}$/\1/p" "$1" | head -1; }  # field FILE KEY

if [[ -z $(line "$session" attached) && -z $(grep -E "^E2E $session attached" "$log" || true) ]]; then
  bad "the simulated $session enclosure never appeared as /dev/sda"
  grep -E "^E2E $session " "$log" | sed 's/^/check-console:   /' || true
  exit 1
fi
[[ -f $report ]] || { bad "no state report $report (the server did not end cleanly)"; exit 1; }
echo "check-console: $session report: endedBy=$(field "$report" endedBy) violations=$(field "$report" violationCount)"

# 1. detect: one controller, drive 0, the path's flags.
detect=$(line "$session" detect-out)
if [[ $(line "$session" detect-rc) == rc=0* && $detect == *'"controllerCount": 1'* &&
      $detect == *"\"flags\": \"$flags\""* && $detect == *'"device": "/dev/sda"'* ]]; then
  ok "detect finds /dev/sda with flags $flags"
else
  bad "detect: $(line "$session" detect-rc) $detect"
fi

# 2. settings order: the simulator's model has the buzzer bit cleared.
setting=$(field "$report" settingFlags)
if [[ $(line "$session" set-rc) == rc=0* && -n $setting ]] && (( (setting & 1) == 0 )); then
  ok "set --buzzer off reached the controller (settingFlags $setting)"
else
  bad "set: $(line "$session" set-rc); simulator settingFlags ${setting:-missing}"
fi

# 3. status: the raw record equals the simulator's, over the bytes the path carries.
raw=$(line "$session" status-out | sed -n 's/.*"raw": "\([0-9A-Fa-f]*\)".*/\1/p')
want=$(field "$report" statusRecord)
bytes=$(field "$report" recordBytes)
chars=$((${bytes:-512} * 2))
raw=${raw,,}
want=${want,,}
if [[ $(line "$session" status-rc) == rc=0* && ${#raw} -eq 1024 && ${#want} -eq 1024 &&
      ${raw:0:chars} == "${want:0:chars}" ]]; then
  ok "status --json raw record equals the simulator's (${bytes:-512} bytes)"
else
  bad "status: $(line "$session" status-rc); guest raw ${raw:0:64}... simulator ${want:0:64}..."
fi

# 4. flash backup: the guest's SHA-256 of the backup equals the simulated flash as the session
#    found it (the backup is its first order), read in-process from the same scenario.
expected_flash=$(mktemp)
trap 'rm -f "$expected_flash"' EXIT
"$tervaloctl" --simulate="$scenarios/$session.json" flash read -o "$expected_flash" >/dev/null 2>&1 || true
want_sha=$(sha256sum "$expected_flash" | cut -d' ' -f1)
got_sha=$(line "$session" flash-read-sha256 | cut -d' ' -f1)
if [[ $(line "$session" flash-read-rc) == rc=0* && $got_sha == "$want_sha" ]]; then
  ok "flash read -o backup equals the simulated flash (sha256 ${want_sha:0:16}...)"
else
  bad "flash read: $(line "$session" flash-read-rc); guest sha256 ${got_sha:-none}, simulated $want_sha"
fi

# 5. firmware upgrade: the flash equals the image and the controller saw no protocol violation.
image_sha=$(sha256sum "$work/image/image.bin" | cut -d' ' -f1)
flash_sha=$(field "$report" sha256)
violations=$(field "$report" violationCount)
if [[ $(line "$session" upgrade-rc) == rc=0* && $flash_sha == "$image_sha" && $violations == 0 ]]; then
  ok "firmware upgrade: flash equals the image, 0 protocol violations"
else
  bad "upgrade: $(line "$session" upgrade-rc); flash ${flash_sha:-?} image $image_sha; violations ${violations:-?}"
  grep -A3 '"violations"' "$report" | sed 's/^/check-console:   /' || true
fi

# 6. hot-unplug in the middle of a flash read: a reported failure, no crash, no backup file, and
#    the enclosure really vanished mid-read.
u="$session-unplug"
rc_line=$(line "$u" flash-read-rc)
rc=$(sed -n 's/^rc=\([0-9]*\).*/\1/p' <<<"$rc_line")
if [[ -n $rc && $rc -ne 0 && $rc -lt 128 && $rc_line == *"Flash read failed"* &&
      $(line "$u" backup-files) == 0 && -f $unplug_report && $(field "$unplug_report" present) == false &&
      $(field "$unplug_report" endedBy) == unplugged ]]; then
  ok "unplug mid flash read: exit $rc, \"${rc_line#*err=}\", no backup file"
else
  bad "unplug: ${rc_line:-no result}; backup files $(line "$u" backup-files); report present=$(field "$unplug_report" present 2>/dev/null) endedBy=$(field "$unplug_report" endedBy 2>/dev/null)"
fi
exit $fail
