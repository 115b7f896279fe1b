# Copyright (c) 2026 The Quento developers. MIT License.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import pytest

from ansible_collections.quento.flash.plugins.module_utils.station import plan, timeout

PLANT = dict(image=dict(size=12000), offsets={"s": {"id": "1:2", "end": 99}},
             succeeded={"s": ["127.0.0.1:18810", "line3-slot07"]})


@pytest.mark.parametrize("values, problems", [
    ({"quento_devices": ["127.0.0.1", "10.0.0.0/30:7", "127.0.0.5-127.0.0.6", "slot"]}, []),
    ({"quento_devices": []}, ["no devices"]),
    ({"quento_device": ["127.0.0.1"]}, ["did you mean quento_devices?", "no devices"]),
    ({"quento_devices": ["127.0.0.1", "127.0.0.1:18810"]},
     ["127.0.0.1:18810 is given twice: '127.0.0.1' and '127.0.0.1:18810'"]),
    ({"quento_devices": ["10.0.0.1-10.0.0.3", "10.0.0.0/30"]}, ["10.0.0.1:18810 is given twice"]),
    ({"quento_devices": ["127.0.0.9-127.0.0.1"]}, ["is not a range"]),
    ({"quento_devices": "127.0.0.1", "quento_jobs": "many"}, ["quento_jobs"]),
    ({"quento_devices": ["a"], "quento_pacing": "slow"}, ["quento_pacing"]),
    ({"quento_devices_file": "/srv/plant.txt"}, []),
])
def test_plan_checks_the_variables(values, problems):
    got = plan("s", dict(values, quento_image="fw.bin"), PLANT)
    for words in problems:
        assert any(words in p for p in got["problems"]), got
    assert bool(got["problems"]) == bool(problems)
    if not problems:
        assert got["devices"] == values.get("quento_devices", [])
        assert got["dir"] == "/var/tmp/quento/s" and got["report_from"]["end"] == 99


@pytest.mark.parametrize("listed, chosen", [
    (["127.0.0.1", "127.0.0.2"], ["127.0.0.2:18810"]),          # a success is not flashed again
    (["127.0.0.2", "127.0.0.3"], ["127.0.0.2:18810", "127.0.0.3:18810"]),   # one added
    (["127.0.0.1-127.0.0.2", "line3-slot07"], ["127.0.0.2:18810"]),
])
def test_only_failed_follows_the_inventory(listed, chosen):
    values = dict(quento_image="fw.bin", quento_devices=listed, quento_only_failed="plant.csv")
    assert plan("s", values, PLANT)["devices"] == chosen


@pytest.mark.parametrize("values, count, size, low, high", [
    ({"quento_pacing": "fast"}, 3, 12000, 60, 120),
    ({"quento_pacing": "standard", "quento_jobs": 64}, 1000, 262144, 16 * 700, 16 * 800),
    ({"quento_retries": 2, "quento_retry_delay": 100.0}, 1, 1024, 260, 320),
    ({"quento_timeout": 5}, 10 ** 5, 262144, 5, 5),
    ({"quento_devices_file": "x"}, 0, 1024, 3600, 3600),
])
def test_the_flash_is_given_up_within_a_bound(values, count, size, low, high):
    assert low <= timeout(values, count, size) <= high
