# Copyright (c) 2026 The Quento developers. MIT License.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import re

import pytest

from ansible_collections.quento.flash.plugins.module_utils.page import (latest_image, latest_rows,
                                                                        render)

T1, T2 = "2026-12-07T19:08:04Z", "2026-12-07T19:09:00Z"


def row(station, device, outcome="success", time=T1, attempt="1", sha="new", image="fw.bin"):
    return dict(time=time, station=station, device=device, attempt=attempt, outcome=outcome,
                message="下载成功！", detail="", bytes="4096", image=image, sha256=sha,
                quento_version="1.4.0")


@pytest.mark.parametrize("rows, expected", [
    ([], None),
    ([row("a", "d", time=T2, sha="x"), row("a", "d", time=T1, sha="y")], "x"),
    ([row("a", "d", sha="x"), row("b", "d", sha="y")], "y"),
])
def test_latest_image(rows, expected):
    assert latest_image(rows) == expected


@pytest.mark.parametrize("rows, sha256, station, expected", [
    ([row("a", "d", "no_response", attempt="2"), row("a", "d", attempt="1")], None, None,
     [("a", "d", "no_response")]),
    ([row("a", "d", attempt="3"), row("a", "d", "error", T2, "1")], None, None,
     [("a", "d", "error")]),
    ([row("a", "d", "error", sha="old"), row("a", "e"), row("a", "d", sha="new")], "new", None,
     [("a", "e", "success"), ("a", "d", "success")]),
    ([row("a", "d"), row("b", "d", "error"), row("a", "d", "cancelled")], None, "b",
     [("b", "d", "error")]),
])
def test_latest_rows(rows, sha256, station, expected):
    got = latest_rows(rows, sha256=sha256, station=station)
    assert [(r["station"], r["device"], r["outcome"]) for r in got] == expected


def grade(page, station):
    return re.search(r'data-station="%s">.*?class="y (\w+)"' % station, page).group(1)


@pytest.mark.parametrize("rows, stations, ok, total, grades, says", [
    ([row("a", "d1"), row("b", "d1", "error")], {}, 1, 2, {"a": "good", "b": "bad"}, []),
    ([row("a", "d1")], {"c": {"state": "unreachable", "why": "ssh: <port 22> & refused"}}, 1, 1,
     {"c": "none"}, ["no answer over SSH: ssh: &lt;port 22&gt; &amp; refused"]),
    ([row("o", "d1", sha="old", image="fw-0.bin", time="2026-12-01T00:00:00Z"), row("a", "d1")],
     {"o": {"state": "stopped", "why": "the rollout stopped"}}, 1, 1, {"o": "none"},
     ["not run: the rollout stopped; no result for this image; its latest is fw-0.bin (old)",
      "1 device on 1 station (o) has their latest result for another image"]),
    ([row("a", "d0", "no_response")] + [row("a", "d%d" % i) for i in range(1, 10)], {}, 9, 10,
     {"a": "warn"}, []),
])
def test_render_totals_and_sayings(rows, stations, ok, total, grades, says):
    page = render(rows, stations, "plant.csv")
    assert re.search(r'<b id="total-ok">(\d+)</b>.*?<b id="total">(\d+)</b>', page).groups() == (
        str(ok), str(total))
    assert {s: grade(page, s) for s in grades} == grades
    assert all(s in page for s in says)
    assert not re.search(r"src=|href=|url\(", page) and "<port" not in page


def test_render_groups_failures_by_station_then_outcome_in_device_order():
    rows = [row("line10", "127.0.0.1:1", "error"), row("line2", "127.0.0.10:1", "no_response"),
            row("line2", "127.0.0.2:1", "no_response"), row("line2", "127.0.0.3:1", "send_failed"),
            row("line2", "127.0.0.4:1")]
    page = render(rows, {}, "plant.csv")
    groups = re.findall(r"<details><summary>.*?<b>(.*?)</b> (\w+): <b>(\d+)</b>(.*?)</details>",
                        page, re.S)
    assert [g[:3] for g in groups] == [("line2", "send_failed", "1"),
                                       ("line2", "no_response", "2"), ("line10", "error", "1")]
    assert re.findall(r"<tr><td>([\d.:]+)</td>", groups[1][3]) == ["127.0.0.2:1", "127.0.0.10:1"]
