#!/usr/bin/env bash
# conform_test.sh WORK_DIR CONFORM_EXE DEVICE_EXE: quento-conform.exe checks quento-device.exe,
# both under Wine (WINEPREFIX: the run's prefix, made under the same LC_ALL), the report and the
# trace with Chinese names: a good loader passes every check, one that keeps a block's first
# content fails write.twice and nothing else, a group that does not exist is a usage error.
set -uo pipefail
work=$(realpath -m "$1") conform=$(realpath "$2") device=$(realpath "$3")
read_report=$(realpath "$(dirname "$0")/../support/read_report.py")
which wine >/dev/null || { echo "SKIPPED: wine is missing"; exit 77; }
export LC_ALL=${LC_ALL:-C.UTF-8} WINEDEBUG=-all
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
fail() { echo "FAILED: $*" >&2; exit 1; }
trap 'kill $DEVICE_PID 2>/dev/null' EXIT

coproc DEVICE { exec timeout 300 wine "$device" --listen 127.0.8.1-127.0.8.2:0 \
  --fault 127.0.8.2/keep-first-write </dev/null 2>&1; }
for i in 1 2; do # ready once it has said where every device listens
  read -r -t 60 -u "${DEVICE[0]}" line && [[ $line == "listening on 127.0.8.$i:"* ]] || fail "$line"
  at[i]=${line#listening on }
done

timeout 120 wine "$conform" --pacing fast --report 报告.xml --trace 跟踪.txt "${at[1]}" \
  </dev/null >out 2>&1
(($? == 0)) && grep -qE "^${at[1]}: 12 passed, 0 failed, 4 information; " out ||
  fail "good loader: $(cat out)"
python3 -c "import json, subprocess as s
r = json.loads(s.check_output(['python3', '$read_report', '报告.xml']))
assert len(r['cases']) == 16 and not [c for c in r['cases'] if 'failure' in c], r" ||
  fail "good loader's report"
grep -q ' send ' 跟踪.txt || fail "no frame in the trace"

timeout 120 wine "$conform" --pacing fast --json "${at[2]}" </dev/null >out 2>err
(($? == 1)) || fail "keep-first-write: exit status, $(cat out err)"
python3 -c "import json, sys
failed = [o['id'] for o in map(json.loads, sys.stdin) if o['verdict'] == 'fail']
assert failed == ['write.twice'], failed" <out || fail "keep-first-write: $(cat out err)"

timeout 60 wine "$conform" --only nosuch "${at[1]}" </dev/null >out 2>&1
(($? == 2)) && grep -q "'nosuch' is no group" out || fail "usage error: $(cat out)"
kill -INT "$DEVICE_PID"
wait "$DEVICE_PID" || fail "quento-device stopped with exit status $?"
