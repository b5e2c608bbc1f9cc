#!/usr/bin/env bash
# Checks, in the serial log of an end-to-end run, that `tervaloctl drives --json` in the guest
# listed /dev/sda as physical drive 0 and opened it.
#
#   check-drives.sh SERIAL_LOG
set -euo pipefail
log=${1:?usage: check-drives.sh SERIAL_LOG}
[[ -f $log ]] || { echo "check-drives: no serial log $log (did e2e_usb_storage_attach run?)" >&2; exit 1; }
json=$(sed -n '/^E2E drives-begin/,/^E2E drives-end/p' "$log" | sed '1d;$d' | tr -d ' \n')
echo "check-drives: $json"
fail=0
[[ $json == *'"number":0'* ]] || { echo "check-drives: FAIL physical drive 0 missing"; fail=1; }
[[ $json == *'"device":"/dev/sda"'* ]] || { echo "check-drives: FAIL /dev/sda not listed"; fail=1; }
[[ $json == *'"opens":true'* ]] || { echo "check-drives: FAIL /dev/sda does not open"; fail=1; }
exit $fail
