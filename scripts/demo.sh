#!/usr/bin/env bash
# Starts the device simulator on loopback, downloads a generated 8 KiB image into it at the
# loader's standard pace, checks what the device saved, and stops the simulator.
set -euo pipefail
bin="$(cd "$(dirname "$0")/.." && pwd)/build/default/src"
work=$(mktemp -d)
trap 'kill "$device_pid" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

# A recognisable sample: 8 blocks of counting bytes.
python3 -c "import sys; sys.stdout.buffer.write(bytes(i * 7 % 256 for i in range(8192)))" \
  > "$work/sample.bin" 2>/dev/null || head -c 8192 /dev/urandom > "$work/sample.bin"

mkfifo "$work/device.out"
"$bin/device/quento-device" --listen 127.0.0.1:0 --save "$work" > "$work/device.out" &
device_pid=$!
exec 3< "$work/device.out"
read -r -t 10 ready <&3 || { echo "the simulator did not start" >&2; exit 1; }
echo "simulator: $ready"
address=${ready#listening on }

echo "quento-cli $work/sample.bin $address"
"$bin/cli/quento-cli" "$work/sample.bin" "$address" && status=0 || status=$?

if read -r -t 5 saved <&3; then
  echo "simulator: $saved"
  if cmp -s "$work/sample.bin" "${saved##* to }"; then
    echo "the device holds exactly the sample image (8192 bytes)"
  else
    echo "the device's image differs from the sample" >&2
    status=1
  fi
fi
exit $status
