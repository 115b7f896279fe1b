# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.not_succeeded: a station's devices to flash again, from a plant CSV."""

from __future__ import annotations

import csv

from ansible.errors import AnsibleFilterError


def not_succeeded(path, station, devices=None):
    """The devices of `station` whose latest row in the plant CSV at `path` is not a success; when
    the file has no row from the station at all (it was never reached), `devices`."""
    latest = {}
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as f:
            for row in csv.DictReader(f):
                if row.get("station") == station:
                    latest[row.get("device")] = row.get("outcome")
    except OSError as e:
        raise AnsibleFilterError("cannot read plant report %s: %s" % (path, e))
    if not latest:
        return list(devices or [])
    return [device for device, outcome in latest.items() if outcome != "success"]


class FilterModule:
    def filters(self):
        return {"not_succeeded": not_succeeded}
