# Copyright (c) 2026 The Quento developers. MIT License.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import pytest

from ansible_collections.quento.flash.plugins.filter.plant import not_succeeded
from ansible_collections.quento.flash.plugins.module_utils.plant import (append, read,
                                                                         set_aside, station_state)

HEADER = "time,station,device,address,attempt,outcome,message,detail,image,sha256\r\n"
ROW = '2026-12-07T10:00:0%d,s,127.0.0.%d:18810,,1,%s,"说, ""好""",,fw.bin,abc\r\n'


@pytest.mark.parametrize("tail", [
    "",
    '2026-12-07T10:00:09,s,127.0.0.9:18810,,1,success,"block 2,',     # an open quote
    "2026-12-07T10:00:09,s,127.0.0.9\r\n",                           # fewer fields
    "2026-12-07T10:00:09,s,127.0.0.9:18810,,1,success,好",             # no line end
])
def test_a_cut_last_row_is_set_aside_never_glued(tmp_path, tail):
    rows, cut = 2, len(tail.encode())
    path = tmp_path / "plant.csv"
    path.write_bytes((HEADER + ROW % (1, 1, "success") + ROW % (2, 2, "error") + tail)
                     .encode("utf-8"))
    header, got, n = read(str(path))
    assert (len(got), n) == (rows, cut) and got[0]["message"] == '说, "好"'
    set_aside(str(path), n)
    new = dict(got[1], time="2026-12-07T11:00:00")
    assert append(str(path), header, got, got + [new, new]) == [new]     # known rows not twice
    header, got, n = read(str(path))
    assert (len(got), n) == (rows + 1, 0)
    assert not cut or (tmp_path / "plant.csv.cut").read_bytes().startswith(tail.encode())


def test_not_succeeded_takes_this_images_latest_rows_of_the_listed_devices(tmp_path):
    path = tmp_path / "plant.csv"
    path.write_text(HEADER + ROW % (1, 1, "success") + ROW % (2, 2, "error") +
                    ROW % (3, 3, "success") + (ROW % (4, 3, "error")).replace("abc", "old"),
                    encoding="utf-8")
    assert not_succeeded(str(path), "s", ["127.0.0.1-127.0.0.3", "127.0.0.7"], "abc") == [
        "127.0.0.2:18810", "127.0.0.7:18810"]


OK = dict(problems=[], devices=["d"])


@pytest.mark.parametrize("check, run, state, words, fails", [
    (None, {}, "waiting", "not run yet", False),
    (dict(problems=["no devices"], msg="s: no devices"), {}, "refused", "s: no devices", True),
    (OK, dict(unreachable=True, msg="ssh: Connection refused\r\n"), "unreachable",
     "ssh: Connection refused", True),
    (OK, dict(failed=True, msg="quento-cli: device d is given 2 times"), "refused",
     "given 2 times", True),
    (OK, dict(failed=True, msg="The quento.flash.download action failed to execute in the "
              "expected time frame (5) and was terminated"), "unreachable", "given up", True),
    (OK, dict(failed=False, results=[{}], failed_devices=["d"], msg="1 of 1 devices failed"),
     "flashed", "", True),
    (OK, dict(failed=False, results=[{}], failed_devices=[]), "flashed", "", False),
    (dict(problems=[], devices=[]), dict(skipped=True), "flashed", "already holds", False),
])
def test_every_station_gets_a_state_and_a_reason(check, run, state, words, fails):
    got = station_state(check, run)
    assert got[0] == state and words in got[1] and got[2] == fails
