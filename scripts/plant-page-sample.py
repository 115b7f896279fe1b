# Copyright (c) 2026 The Quento developers. MIT License.
"""A synthetic plant page for screenshots: STATIONS stations of DEVICES devices, a few failures
of several outcomes and retries, one more station whose rows are all for an older image and that
SSH did not reach this run, and one the failure limit stopped.
    python3 scripts/plant-page-sample.py OUT.html STATIONS DEVICES_PER_STATION"""

from __future__ import annotations

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../ansible"))
from ansible_collections.quento.flash.plugins.module_utils.page import render  # noqa: E402

# The operator's texts as quento-cli records them.
FAILS = [("verify_failed", "下载失败，上传校验时出错！", "block 41, offset 7"),
         ("no_response", "下载失败，固件无响应！", "no reply to block 12"),
         ("connect_failed", "连接失败，请确认IP地址和端口号是否正确！", "connect: Connection refused"),
         ("send_failed", "下载失败，请确认IP地址是否正确！", "send: Broken pipe")]
SSH = "ssh: connect to host 10.250.3.2 port 22: Connection refused"


def main(out, n, m):
    rng, rows, names = random.Random(7), [], ["line%d" % s for s in range(1, n + 2)]
    for s, name in enumerate(names, 1):
        image, sha, day = ("fw-2.4.0.bin", "ab12" * 16, 7) if s <= n else ("fw-2.3.1.bin",
                                                                         "0fe9" * 16, 6)
        bad = set(rng.sample(range(m), max(1, m * (2 * s + 3) // 300)))
        for d in range(m):
            fail = FAILS[d % 4] if d in bad else None
            for attempt in (1, 2) if fail or d % 97 == 5 else (2,):
                said = fail or (FAILS[d % 4] if attempt == 1 else ("success", "下载成功！", ""))
                rows.append(dict(zip(
                    ("time", "station", "device", "attempt", "outcome", "message", "detail",
                     "bytes", "image", "sha256", "quento_version"),
                    ("2026-12-%02dT19:0%d:%02dZ" % (day, s, 10 * attempt + d % 40), name,
                     "127.%d.%d.%d:18810" % (s, d // 250, d % 250 + 1), str(attempt), *said,
                     "262144", image, sha, "1.4.%d" % (s > 1)))))
    stations = {name: {"state": "flashed", "why": ""} for name in names[:n]}
    stations[names[n]] = {"state": "unreachable", "why": SSH}
    stations["line%d" % (n + 2)] = {"state": "stopped",
                                    "why": "the rollout stopped after 2 stations failed"}
    with open(out, "w", encoding="utf-8") as f:
        f.write(render(rows, stations, "plant.csv"))


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
