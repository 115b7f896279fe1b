#!/usr/bin/python3
# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.download: quento-cli --json on a station."""

from __future__ import annotations

DOCUMENTATION = r"""
module: download
short_description: Flash a firmware image into a station's devices with quento-cli
description:
  - Runs C(quento-cli --json) on the station (the managed host) against its devices, and returns
    one result per attempt.
  - The image's SHA-256 is checked on the station before any device is contacted.
  - In check mode the station side is checked (the program runs and says its version, the image
    is there, its size and digest) and no device is contacted.
version_added: 1.0.1
author: Quento developers
options:
  image:
    description: The firmware image file on the station.
    type: path
    required: true
  sha256:
    description: The image's expected SHA-256 (hex); when it differs, the station fails before
      any device is contacted.
    type: str
  devices:
    description: Devices as quento-cli takes them, ADDR[:PORT], FIRST-LAST[:PORT],
      NET/PREFIX[:PORT] or a host name.
    type: list
    elements: str
    default: []
  devices_file:
    description: A file on the station with more devices, one per line.
    type: path
  jobs:
    description: Devices downloaded at once (C(-j)); default all.
    type: int
  pacing:
    description: C(standard) keeps the loader's fixed pauses, C(fast) only waits for replies.
    type: str
    choices: [standard, fast]
    default: standard
  report:
    description: A CSV file on the station that every attempt is appended to (C(--report)).
      The rows this run added are returned as RV(report_rows).
    type: path
  retries:
    description: Tries a device that failed on its side up to this many more times.
    type: int
    default: 0
  retry_delay:
    description: Seconds before a device is tried again.
    type: float
  station:
    description: The station's name in the report (C(--station)); default the host name.
    type: str
  cli:
    description: The quento-cli program, a name on PATH or a path.
    type: str
    default: quento-cli
notes:
  - C(changed) when any attempt reached its device (every outcome but C(connect_failed) and
    C(cancelled)).
  - Fails when any device's last attempt did not succeed, naming the devices; C(results) are
    returned all the same.
  - Linux stations only.
"""

EXAMPLES = r"""
- name: Flash line 3
  quento.flash.download:
    image: /var/tmp/quento/firmware.bin
    sha256: "{{ image_sha256 }}"
    devices:
      - 10.3.0.11-10.3.0.42
      - line3-slot07
    pacing: fast
    jobs: 64
    retries: 2
    report: /var/tmp/quento/line3.csv
    station: "{{ inventory_hostname }}"
  register: flashed
"""

RETURN = r"""
results:
  description: One object per attempt, as C(quento-cli --json) prints it (device, address,
    attempt, outcome, message, detail, bytes, blocks, write_retries, read_retries, seconds,
    first_difference, sha256).
  returned: when quento-cli ran
  type: list
  elements: dict
counts:
  description: 'Devices by the outcome of their last attempt, e.g. C({"success": 40, "verify_failed": 2}).'
  returned: when quento-cli ran
  type: dict
failed_devices:
  description: The devices whose last attempt did not succeed.
  returned: when quento-cli ran
  type: list
  elements: str
sha256:
  description: The image's SHA-256 on the station.
  returned: always
  type: str
image_size:
  description: The image's size in bytes.
  returned: always
  type: int
version:
  description: What C(quento-cli --version) says.
  returned: always
  type: str
report_rows:
  description: The report's rows this run appended, as objects keyed by the CSV header.
  returned: when report is set and quento-cli ran
  type: list
  elements: dict
"""

import csv
import hashlib
import io
import json
import os
import re

from ansible.module_utils.basic import AnsibleModule


# Outcomes of an attempt that wrote nothing into its device.
UNWRITTEN = ("connect_failed", "cancelled")


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 16), b""):
            h.update(chunk)
    return h.hexdigest()


def new_rows(path, offset):
    """The rows after `offset` of a CSV report, keyed by its header."""
    try:
        with open(path, "rb") as f:
            header = next(csv.reader(io.StringIO(f.readline().decode("utf-8", "replace"))), [])
            f.seek(offset)
            tail = f.read().decode("utf-8", "replace")
    except OSError:
        return []
    rows = csv.reader(io.StringIO(tail, newline=""))
    if offset == 0:
        next(rows, None)
    return [dict(zip(header, row)) for row in rows if row]


def main():
    module = AnsibleModule(
        argument_spec=dict(
            image=dict(type="path", required=True),
            sha256=dict(type="str"),
            devices=dict(type="list", elements="str", default=[]),
            devices_file=dict(type="path"),
            jobs=dict(type="int"),
            pacing=dict(type="str", choices=["standard", "fast"], default="standard"),
            report=dict(type="path"),
            retries=dict(type="int", default=0),
            retry_delay=dict(type="float"),
            station=dict(type="str"),
            cli=dict(type="str", default="quento-cli"),
        ),
        required_one_of=[("devices", "devices_file")],
        supports_check_mode=True,
    )
    p = module.params
    cli = p["cli"] if "/" in p["cli"] else module.get_bin_path(p["cli"], required=True)
    rc, out, err = module.run_command([cli, "--version"])
    if rc != 0:
        module.fail_json(msg="%s --version failed: %s" % (cli, (err or out).strip()), rc=rc)
    result = dict(changed=False, version=out.strip())
    try:
        result["image_size"] = os.path.getsize(p["image"])
        result["sha256"] = digest(p["image"])
    except OSError as e:
        module.fail_json(msg="cannot read image %s: %s" % (p["image"], e), **result)
    if p["sha256"] and p["sha256"].lower() != result["sha256"]:
        module.fail_json(msg="image %s has sha256 %s, not %s: no device contacted"
                         % (p["image"], result["sha256"], p["sha256"].lower()), **result)
    if not p["devices"] and not p["devices_file"]:
        module.fail_json(msg="no devices given", **result)
    if module.check_mode:
        module.exit_json(**result)

    cmd = [cli, "--json", "--pacing", p["pacing"], "--retries", str(p["retries"])]
    for flag, key in (("--jobs", "jobs"), ("--retry-delay", "retry_delay"),
                      ("--devices-file", "devices_file"), ("--report", "report"),
                      ("--station", "station")):
        if p[key] is not None:
            cmd += [flag, str(p[key])]
    cmd += ["--", p["image"]] + p["devices"]
    offset = 0
    if p["report"] and os.path.exists(p["report"]):
        offset = os.path.getsize(p["report"])
    rc, out, err = module.run_command(cmd)
    result["cmd"] = cmd
    if rc not in (0, 1):
        module.fail_json(msg=err.strip() or "quento-cli ended with status %d" % rc,
                         rc=rc, stderr=err, **result)
    results = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    last = {}
    for r in results:
        last[r.get("device")] = r
    counts = {}
    for r in last.values():
        counts[r["outcome"]] = counts.get(r["outcome"], 0) + 1
    failed = [d for d, r in last.items() if r["outcome"] != "success"]
    result.update(
        results=results,
        counts=counts,
        failed_devices=failed,
        changed=any(r["outcome"] not in UNWRITTEN for r in results),
        rc=rc,
    )
    if p["report"]:
        # A cut last row is moved out of the report before this run's first row: they start
        # that much earlier.
        moved = re.search(r"an incomplete last row \((\d+) bytes\) was moved", err)
        offset -= int(moved.group(1)) if moved else 0
        result["report_rows"] = new_rows(p["report"], offset)
    if failed:
        named = ", ".join("%s (%s)" % (d, last[d].get("message", last[d]["outcome"]))
                          for d in failed)
        module.fail_json(msg="%d of %d devices failed: %s" % (len(failed), len(last), named),
                         **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
