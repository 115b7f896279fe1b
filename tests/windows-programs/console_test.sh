#!/usr/bin/env bash
# console_test.sh WORK_DIR CLI_EXE DEVICE_EXE: quento-cli.exe against quento-device.exe, both
# under Wine (WINEPREFIX: the run's prefix, made under the same LC_ALL), every file with a
# Chinese name. LC_ALL=zh_CN.UTF-8 makes a Chinese Windows, whose system texts are Chinese.
set -uo pipefail
work=$(realpath -m "$1") cli=$(realpath "$2") device=$(realpath "$3")
read_report=$(realpath "$(dirname "$0")/../support/read_report.py")
which wine >/dev/null || { echo "SKIPPED: wine is missing"; exit 77; }
# Wine takes the command line and file names in the locale's encoding.
export LC_ALL=${LC_ALL:-C.UTF-8} WINEDEBUG=-all
[[ $(locale -a) == *"${LC_ALL/UTF-8/utf8}"* ]] || { echo "FAILED: no locale $LC_ALL"; exit 1; }
rm -rf "$work" && mkdir -p "$work/保存" && cd "$work" || exit 1
head -c 5000 /dev/urandom >固件.bin
fail() { echo "FAILED: $*" >&2; exit 1; }
trap 'kill $DEVICE_PID 2>/dev/null' EXIT

# Every program runs under timeout, which also passes a SIGINT on.
coproc DEVICE { exec timeout 300 wine "$device" --listen 127.0.7.1-127.0.7.16:0 --save 保存 \
  --fault 127.0.7.16/silent --fault 127.0.7.15/corrupt-read:0 </dev/null 2>&1; }
for i in {1..16}; do # ready once it has said where every device listens
  read -r -t 60 -u "${DEVICE[0]}" line && [[ $line == "listening on 127.0.7.$i:"* ]] || fail "$line"
  at[i]=${line#listening on }
done
printf '%s\n' "${at[@]}" >设备.txt

# STATUS|ARGUMENTS|COUNT ERE;... over stdout and stderr|Python test of o, stdout's JSON lines by
# device, r(FILE), a --report file read back, and zh, a Chinese Windows (@N: 127.0.7.N's device)
# A pair, one device refused (under timeout: a hang fails): the system's words for it, Chinese
# on a Chinese Windows, arrive as UTF-8 (not GBK, not U+FFFD) in the JSON, the CSV and the XML.
refused="len(o) == 2 and (d := o['127.0.0.1:1']['detail']).startswith('connect: ') and \
'\ufffd' not in d and (not zh or re.search('[\u4e00-\u9fff]', d)) and \
{k: v.get('detail') for k, v in o.items()} == "
pair="1|--json --report r.@ 固件.bin @1 127.0.0.1:1|1 ^summary: 2 devices, 1 succeeded, 1 failed"
cases=(
  "0|固件.bin @1|1 ^@1: 下载成功！$;1 ^summary: 1 device, 1 succeeded, 0 failed"
  "1|--devices-file 设备.txt 固件.bin|14 : 下载成功！$;1 ^@16: 下载失败，固件无响应！ \(;1 ^@15: \
下载失败，上传校验时出错！ \(block 0, offset 6\)$;1 ^summary: 16 devices, 14 succeeded, 2 failed"
  "1|--json 固件.bin @15|1 ^summary: 1 device, 0 succeeded|\
o['@15']['message'] == '下载失败，上传校验时出错！' and o['@15']['first_difference'] == 6"
  "2|不在.bin @1|1 ^quento-cli: 不在.bin: 文件不存在！$"
  "${pair/@/csv}|$refused{x['device']: x['detail'] or None for x in r('r.csv')}"
  "${pair/@/xml}|$refused{x['name']: x.get('failure', {}).get('text') for x in r('r.xml')['cases']}"
)
for row in "${cases[@]}"; do
  for i in 16 15 1; do row=${row//@$i/${at[i]}}; done
  IFS='|' read -r status arguments expected json <<<"$row"
  timeout 60 wine "$cli" --pacing fast $arguments </dev/null >out 2>err
  (($? == status)) || fail "$row: exit status, $(cat out err)"
  IFS=';' read -ra lines <<<"$expected"
  for want in "${lines[@]}"; do
    (($(cat out err | grep -cE "${want#* }") == ${want%% *})) || fail "$row: $want"
  done
  [[ -z $json ]] || python3 -c "import json, os, re, subprocess as s, sys
o, zh = {d['device']: d for d in map(json.loads, sys.stdin)}, os.environ['LC_ALL'][:5] == 'zh_CN'
r = lambda f: json.loads(s.check_output(['python3', '$read_report', f]))
assert $json" <out || fail "$row: $(cat out err)"
done
# Every success saved exactly the image.
for _ in {1..17}; do
  read -r -t 20 -u "${DEVICE[0]}" line && [[ $line == "saved 5000 bytes from "* ]] || fail "$line"
  path=${line##* to } && cmp 固件.bin "${path//\\//}" || fail "$line"
done

# Ctrl-C (SIGINT to Wine) once the first frame is out; a standard pace download takes seconds.
timeout 60 wine "$cli" --trace 跟踪.txt 固件.bin "${at[1]}" </dev/null >out 2>&1 &
for _ in {1..400}; do grep -qs ' send ' 跟踪.txt && break; sleep 0.05; done
kill -INT $!
wait $!
(($? == 130)) && grep -q '^summary: 1 device, 0 succeeded, 0 failed, 1 interrupted' out ||
  fail "Ctrl-C: exit status, $(cat out)"
kill -INT "$DEVICE_PID"
wait "$DEVICE_PID" || fail "quento-device stopped with exit status $?"
