#!/usr/bin/python
# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.download: quento-cli --json on a station."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: download
short_description: Flash a firmware image into a station's devices with quento-cli
description:
  - Runs C(quento-cli --json) on the station (the managed host) against its devices, and returns
    one result per attempt.
  - The image's SHA-256 is checked on the station before any device is contacted.
  - With C(src) the image on the controller travels with the module's arguments and is written
    into C(dir) on the station when the station does not hold it already; sending and flashing
    are one round trip.
  - In check mode the station side is checked (the program runs and says its version, the
    image's size and digest, and C(quento-cli --dry-run) lists the devices, resolving names and
    refusing what the real run would refuse) and no device is contacted.
version_added: 1.0.1
author: Quento developers
options:
  src:
    description: The firmware image file on the controller; a relative path is taken from the
      folder C(ansible-playbook) runs in.
    type: path
  dir:
    description: With C(src), the station's folder for the image and, unless C(report) says
      otherwise, its C(report.csv).
    type: path
  image:
    description: The firmware image file on the station (without C(src)).
    type: path
  content:
    description: Internal, set from C(src).
    type: str
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
      Its rows from C(report_from) on are returned as C(report_rows).
    type: path
  report_from:
    description: Where the rows the caller already holds end, as C(report_id) and C(report_end)
      of an earlier result gave it (keys C(id) and C(end)); from the start of the file when
      the id is another file's.
    type: dict
    default: {}
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
  - Fails when any device's last attempt did not succeed, naming the first ten devices and
    counting the rest; C(results) are returned all the same.
  - Linux stations only.
"""

EXAMPLES = r"""
- name: Flash line 3
  quento.flash.download:
    src: firmware.bin
    dir: /var/tmp/quento/line3
    sha256: "{{ image_sha256 }}"
    devices:
      - 10.3.0.11-10.3.0.42
      - line3-slot07
    pacing: fast
    jobs: 64
    retries: 2
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
report_header:
  description: The report's header, quento-cli's column names.
  returned: when report is set and quento-cli ran
  type: list
  elements: str
report_rows:
  description: The report's whole rows from C(report_from) on, each a list in the header's order.
  returned: when report is set and quento-cli ran
  type: list
  elements: list
report_id:
  description: The report file's identity on the station (device and inode).
  returned: when report is set and quento-cli ran
  type: str
report_end:
  description: The byte offset where the report's whole rows end; pass it back in C(report_from).
  returned: when report is set and quento-cli ran
  type: int
dry_run:
  description: In check mode, what C(quento-cli --dry-run) printed, a line each.
  returned: in check mode
  type: list
  elements: str
cmd:
  description: The quento-cli command line that ran.
  returned: when quento-cli ran
  type: list
  elements: str
rc:
  description: quento-cli's exit status.
  returned: when quento-cli ran
  type: int
"""

import base64
import csv
import hashlib
import io
import json
import os
import re
import tempfile

from ansible.module_utils.basic import AnsibleModule


# Outcomes of an attempt that wrote nothing into its device.
UNWRITTEN = ("connect_failed", "cancelled")
# A failure names this many devices; the rest are counted (all are in failed_devices).
NAMED = 10


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 16), b""):
            h.update(chunk)
    return h.hexdigest()


def holds(path, data):
    return os.path.isfile(path) and os.path.getsize(path) == len(data) and \
        digest(path) == hashlib.sha256(data).hexdigest()


def place(path, data):
    """Writes the image the controller sent, unless the station already has these bytes there."""
    if holds(path, data):
        return False
    os.makedirs(os.path.dirname(path) or ".", mode=0o755, exist_ok=True)
    with tempfile.NamedTemporaryFile(dir=os.path.dirname(path) or ".", delete=False) as f:
        f.write(data)
    os.chmod(f.name, 0o644)
    os.replace(f.name, path)
    return True


def report_rows(path, since):
    """The header and whole rows of a report from `since` (an {"id", "end"} this file gave
    before), the file's id, and where its whole rows end: a cut last row waits for its repair."""
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            ident = "%d:%d" % (st.st_dev, st.st_ino)
            header = next(csv.reader(io.StringIO(f.readline().decode("utf-8", "replace"))), [])
            start = since.get("end", 0) if since.get("id") == ident else 0
            if start > st.st_size:
                start = 0
            f.seek(start)
            data = f.read()
    except OSError:
        return [], [], "", 0
    end = data.rfind(b"\n") + 1
    rows = list(csv.reader(io.StringIO(data[:end].decode("utf-8", "replace"), newline="")))
    if start == 0:
        rows = rows[1:]
    return header, [r for r in rows if len(r) == len(header)], ident, start + end


def find_cli(module, name):
    """quento-cli's path and its version; a quento-cli that does not run fails the task here."""
    cli = name if "/" in name else module.get_bin_path(name, required=True)
    rc, out, err = module.run_command([cli, "--version"])
    if rc != 0:
        module.fail_json(msg="%s --version failed: %s" % (cli, (err or out).strip()), rc=rc)
    return cli, out.strip()


def place_image(module, result):
    """Where quento-cli reads the image, and the scratch folder to remove after it (or None).
    An image that cannot be placed or read, or is not the sha256 asked for, fails the task before
    any device is contacted."""
    p = module.params
    image, scratch = p["image"], None
    try:
        if p["content"] is not None:
            data = base64.b64decode(p["content"])
            if module.check_mode:
                # quento-cli --dry-run reads the image from a scratch folder that goes again.
                result["changed"] = not holds(image, data)
                scratch = tempfile.mkdtemp(prefix="quento-check-")
                image = os.path.join(scratch, os.path.basename(image))
                place(image, data)
            else:
                result["changed"] = place(image, data)
        result["image_size"] = os.path.getsize(image)
        result["sha256"] = digest(image)
    except (OSError, ValueError) as e:
        module.fail_json(msg="cannot place or read image %s: %s" % (image, e), **result)
    if p["sha256"] and p["sha256"].lower() != result["sha256"]:
        module.fail_json(msg="image %s has sha256 %s, not %s: no device contacted"
                         % (image, result["sha256"], p["sha256"].lower()), **result)
    return image, scratch


def build_command(module, cli, image):
    p = module.params
    cmd = [cli, "--json", "--pacing", p["pacing"], "--retries", str(p["retries"])]
    for flag, key in (("--jobs", "jobs"), ("--retry-delay", "retry_delay"),
                      ("--devices-file", "devices_file"), ("--report", "report"),
                      ("--station", "station")):
        if p[key] is not None and not (module.check_mode and key == "report"):
            cmd += [flag, str(p[key])]
    cmd += ["--dry-run"] if module.check_mode else []
    cmd += ["--", image] + p["devices"]
    return cmd


def read_results(module, rc, out, err, result):
    """Ends the task with what quento-cli's run printed: the dry run's lines in check mode, else
    each device's records, and a failure that names failed devices."""
    p = module.params
    if module.check_mode:
        if rc != 0:
            module.fail_json(msg=err.strip() or "quento-cli --dry-run ended with status %d" % rc,
                             rc=rc, **result)
        module.exit_json(dry_run=out.splitlines(), **result)
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
        changed=result["changed"] or any(r["outcome"] not in UNWRITTEN for r in results),
        rc=rc,
    )
    if p["report"]:
        (result["report_header"], result["report_rows"], result["report_id"],
         result["report_end"]) = report_rows(p["report"], p["report_from"])
    if failed:
        named = ", ".join("%s (%s)" % (d, last[d].get("message", last[d]["outcome"]))
                          for d in failed[:NAMED])
        more = " and %d more" % (len(failed) - NAMED) if len(failed) > NAMED else ""
        module.fail_json(msg="%d of %d devices failed: %s%s" % (len(failed), len(last), named,
                                                                 more), **result)
    module.exit_json(**result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            src=dict(type="path"),
            dir=dict(type="path"),
            image=dict(type="path"),
            content=dict(type="str", no_log=True),
            sha256=dict(type="str"),
            devices=dict(type="list", elements="str", default=[]),
            devices_file=dict(type="path"),
            jobs=dict(type="int"),
            pacing=dict(type="str", choices=["standard", "fast"], default="standard"),
            report=dict(type="path"),
            report_from=dict(type="dict", default={}),
            retries=dict(type="int", default=0),
            retry_delay=dict(type="float"),
            station=dict(type="str"),
            cli=dict(type="str", default="quento-cli"),
        ),
        required_one_of=[("devices", "devices_file")],
        supports_check_mode=True,
    )
    if not module.params["image"]:
        module.fail_json(msg="image (or src and dir) is needed")
    cli, version = find_cli(module, module.params["cli"])
    result = dict(changed=False, version=version)
    image, scratch = place_image(module, result)
    cmd = build_command(module, cli, image)
    rc, out, err = module.run_command(cmd)
    if scratch:
        os.remove(image)
        os.rmdir(scratch)
    result["cmd"] = cmd
    read_results(module, rc, out, err, result)


if __name__ == "__main__":
    main()
