# Copyright (c) 2026 The Quento developers. MIT License.
"""The plant CSV: quento-cli's report rows from every station in one file, each row once."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import csv
import io
import json
import os
import re

from ansible_collections.quento.flash.plugins.module_utils.page import SAYINGS, latest_rows

# The columns the plant's own logic reads; the file's full column list is quento-cli's header,
# taken from the stations' reports.
NEEDED = ("time", "station", "device", "attempt", "outcome", "sha256", "image")
KEY = ("station", "device", "attempt", "time")


class PlantError(Exception):
    """The plant CSV or its folder cannot be used; the text says why."""


def _rows_of(text):
    """(header, rows as lists, end of the last whole row): a last row without its line end, with
    an open quote or with fewer fields than the header is not whole."""
    rows = list(csv.reader(io.StringIO(text, newline="")))
    if not rows or text.endswith("\n") and len(rows[-1]) >= len(rows[0]):
        return (rows or [[]])[0], [r for r in rows[1:] if r], len(text)
    # The last row is cut: read again, noting where each row ends.
    ends = [0]

    def lines():
        for line in io.StringIO(text, newline=""):
            ends.append(ends[-1] + len(line))
            yield line

    reader = csv.reader(lines())
    records = [(row, ends[reader.line_num]) for row in reader]
    if not records:
        return [], [], 0
    header = records[0][0]
    if not text.endswith("\n"):
        records.pop()
    while len(records) > 1 and len(records[-1][0]) < len(header):
        records.pop()
    end = records[-1][1] if records else 0
    return header, [r for r, _ in records[1:] if r], end


def read(path):
    """(header, rows as dicts, bytes of a cut last row) of a plant CSV; ([], [], 0) when there
    is none. Raises PlantError when the file is not Quento's."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return [], [], 0
    except OSError as e:
        raise PlantError("cannot read %s: %s" % (path, e.strerror or e)) from e
    text = data.decode("utf-8", "replace")
    header, rows, end = _rows_of(text)
    if not header and not text.strip():
        return [], [], 0
    missing = [c for c in NEEDED if c not in header]
    if missing:
        raise PlantError("%s is not a Quento plant CSV: its first line has no %s column%s%s"
                         % (path, ", ".join(missing), "s" if len(missing) > 1 else "",
                            " (it is separated by ';': saved by a spreadsheet?)"
                            if ";" in (header[0] if header else "") else ""))
    cut = len(data) - len(text[:end].encode("utf-8", "replace"))
    return header, [dict(zip(header, r)) for r in rows], cut


def set_aside(path, cut):
    """Moves a cut last row (`cut` bytes at the end) to PATH.cut, never to be glued to a new one."""
    if cut <= 0:
        return
    with open(path, "rb+") as f:
        f.seek(-cut, os.SEEK_END)
        fragment = f.read()
        with open(path + ".cut", "ab") as aside:
            aside.write(fragment + (b"" if fragment.endswith(b"\n") else b"\r\n"))
        f.seek(-cut, os.SEEK_END)
        f.truncate()


def key(row):
    return tuple(row.get(k, "") for k in KEY)


def append(path, header, rows, new):
    """Appends the rows of `new` (dicts) that `rows` (the file's) does not hold yet, and returns
    them. The header is the file's, or the new rows' own for a new file."""
    known = {key(r) for r in rows}
    fresh = []
    for row in new:
        if key(row) not in known:
            known.add(key(row))
            fresh.append(row)
    if not fresh:
        return []
    out = io.StringIO(newline="")
    writer = csv.writer(out, lineterminator="\r\n")
    columns = header or list(fresh[0])
    if not header:
        writer.writerow(columns)
    writer.writerows([row.get(c, "") for c in columns] for row in fresh)
    with open(path, "a", encoding="utf-8", newline="") as f:
        f.write(out.getvalue())
    return fresh


def load_offsets(path):
    """How far into each station's report.csv the plant CSV holds its rows: station -> {"id",
    "end"}. A lost or damaged file costs nothing but rows sent again (and not appended twice)."""
    try:
        with open(path, encoding="utf-8") as f:
            offsets = json.load(f)
        return offsets if isinstance(offsets, dict) else {}
    except (OSError, ValueError):
        return {}


def save_offsets(path, offsets):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(offsets, f, indent=1, sort_keys=True)
    os.replace(path + ".tmp", path)


def writable_folder(folder):
    """Raises PlantError unless a file can be made in `folder`."""
    if not os.path.isdir(folder):
        raise PlantError("the report folder %s does not exist (quento_report_dir)" % folder)
    probe = os.path.join(folder, ".quento-write-test-%d" % os.getpid())
    try:
        with open(probe, "w", encoding="utf-8"):
            pass
        os.remove(probe)
    except OSError as e:
        raise PlantError("cannot write in the report folder %s (quento_report_dir): %s"
                         % (folder, e.strerror or e)) from e


def succeeded(rows, sha256):
    """Per station, the devices whose latest row for this image is a success."""
    out = {}
    for row in latest_rows(rows, sha256):
        if row.get("outcome") == "success":
            out.setdefault(row.get("station"), []).append(row.get("device"))
    return out


def verdict(state, why):
    """A station's failure in words, as the play reports it."""
    return "%s: %s" % (SAYINGS[state], why) if state in SAYINGS else why


def station_state(check, run):
    """What became of a station this run: (state, why, whether the play fails it)."""
    if check is None:
        return "waiting", "not run yet", False
    if check.get("problems"):
        return "refused", check["msg"], True
    if run.get("unreachable"):
        return "unreachable", run.get("msg", "").strip(), True
    if "expected time frame" in run.get("msg", ""):
        return "unreachable", "given up: %s" % run["msg"], True
    if run.get("skipped"):
        return "flashed", "every device already holds this image", False
    if "results" not in run and "dry_run" not in run:
        return "refused", run.get("msg") or "no result", True
    # failed_when: false leaves `failed` false; the devices say what became of them.
    return "flashed", "", bool(run.get("failed_devices"))
