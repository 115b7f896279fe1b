# Copyright (c) 2026 The Quento developers. MIT License.
"""The plant page: one self-contained HTML file that tells a shift, for one image, what was
flashed, the yield per station, what failed and where, and why a station gave no result."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import html
import re

OUTCOMES = ["success", "connect_failed", "send_failed", "no_response", "verify_failed", "error",
            "cancelled"]
COLOURS = {"success": "#2e9e44", "connect_failed": "#8e44ad", "send_failed": "#e67e22",
           "no_response": "#f1c40f", "verify_failed": "#c0392b", "error": "#1f3a93",
           "cancelled": "#95a5a6"}
OTHER_COLOUR = "#e91e8c"
SAYINGS = {"unreachable": "no answer over SSH", "refused": "refused", "stopped": "not run",
           "waiting": "waiting for its batch", "no_devices": "no devices"}
CSS = """
body{font:14px/1.4 system-ui,sans-serif;margin:16px 24px;color:#1d1d1d;background:#fff}
h1{font-size:22px;margin:0 0 6px}h2{font-size:17px;margin:22px 0 8px}
.head{border:1px solid #ccc;border-radius:6px;padding:10px 16px;background:#f4f6f8}
.head dl{display:grid;grid-template-columns:max-content 1fr;gap:2px 14px;margin:6px 0}
.head dt{color:#555}.head dd{margin:0}code{font-size:13px;word-break:break-all}
.big{font-size:30px;font-weight:700}.note{color:#8a5a00;font-weight:600}
table{border-collapse:collapse;margin:4px 0 8px}
td,th{border:1px solid #c8c8c8;padding:3px 9px;text-align:left;vertical-align:top}
th{background:#eceff1;white-space:nowrap}td.n,th.n{text-align:right}
tr.sum td{font-weight:700;border-top:2px solid #777}
.y{display:inline-block;min-width:64px;padding:1px 8px;border-radius:4px;text-align:right;
font-weight:700;color:#fff;border:2px solid transparent}
.good{background:#2e9e44}.warn{background:#e0a100;color:#1d1d1d}.bad{background:#c0392b}
.none{background:#bbb;color:#333}.why{color:#a3261a}.sub{color:#666;font-size:12px}
details{margin:2px 0}summary{cursor:pointer;padding:2px 0}summary b{margin-right:6px}
details table{margin-left:18px}
.map{display:flex;flex-wrap:wrap;gap:1px;max-width:1220px;margin:2px 0 10px}
.map i,.sq{display:inline-block;width:10px;height:10px}
.sq{vertical-align:-1px;margin-right:5px}.key{margin:0 14px 0 0;white-space:nowrap}
td.why{max-width:420px}.y{white-space:nowrap}
@media print{
body{margin:0;color:#000;background:#fff}.head,th{background:none}
.y{background:none;color:#000}.good{border-color:#2e9e44}.warn{border-color:#e0a100}
.bad{border-color:#c0392b;color:#c0392b}.none{border-color:#999}
.map i,.sq{print-color-adjust:exact;-webkit-print-color-adjust:exact}
td.why{min-width:16em}
}
"""


def _natural(text):
    """A sort key that orders the numbers within a text by value: 127.0.0.2 before 127.0.0.10."""
    return [int(p) if i % 2 else p.lower() for i, p in enumerate(re.split(r"(\d+)", text or ""))]


def _int(text):
    try:
        return int(text)
    except (TypeError, ValueError):
        return 0


def latest_image(rows) -> str | None:
    """The sha256 of the newest row: the largest time, the later row on a tie. None for none."""
    best = None
    for row in rows:
        if best is None or (row.get("time") or "") >= (best.get("time") or ""):
            best = row
    return None if best is None else best.get("sha256")


def latest_rows(rows, sha256=None, station=None) -> list[dict]:
    """The last row of each (station, device), by time, then attempt, then list order, among the
    rows of image `sha256` (all rows when None) and of `station` when given. First-seen order."""
    found = {}
    for i, row in enumerate(rows):
        if sha256 is not None and row.get("sha256") != sha256:
            continue
        if station is not None and row.get("station") != station:
            continue
        key = (row.get("station"), row.get("device"))
        rank = (row.get("time") or "", _int(row.get("attempt")), i)
        if key not in found or rank >= found[key][0]:
            found[key] = (rank, row)
    return [row for _, row in found.values()]


def _colour(outcome):
    return COLOURS.get(outcome, OTHER_COLOUR)


def _yield(ok, total):
    """The yield as a coloured badge: never good without devices, never rounded up to 100 %."""
    if not total:
        return '<span class="y none">none</span>'
    pct = 100.0 * ok / total
    grade = "good" if pct >= 99 else "warn" if pct >= 90 else "bad"
    shown = int(pct * 10) / 10
    return '<span class="y %s">%s %%</span>' % (grade, ("%.1f" % shown).rstrip("0").rstrip("."))


def _image_name(row):
    return "%s (%s)" % (row.get("image") or "unnamed image", (row.get("sha256") or "")[:12])


def _count(rows, outcome):
    return sum(r.get("outcome") == outcome for r in rows)


def _why(run, theirs, shown):
    """In words, what this run says of a station, and why it has no result for this image."""
    said = []
    if run is not None and run.get("state") != "flashed":
        said.append(SAYINGS.get(run.get("state"), run.get("state") or "no result"))
        if run.get("why"):
            said[-1] += ": " + run["why"]
    if theirs and not shown:
        last = latest_image(theirs)
        said.append("no result for this image; its latest is %s" % _image_name(
            next(r for r in reversed(theirs) if r.get("sha256") == last)))
    elif not shown and not said:
        said.append("no result for this image")
    return "; ".join(said)


def _head(e, shown, ok, sha, newest, csv_name, silent):
    image_row = next((r for r in shown if r.get("image")), shown[0] if shown else {})
    name = image_row.get("image") or ("unnamed image" if shown else "no results yet")
    failed = len(shown) - ok
    out = ["<title>Quento plant: %s, %d of %d</title>" % (e(name), ok, len(shown)),
           "<style>%s</style></head><body>" % CSS,
           '<div class="head"><h1>Plant report: %s</h1>' % e(name),
           '<div><span class="big"><b id="total-ok">%d</b> of <b id="total">%d</b></span> '
           "devices succeeded %s" % (ok, len(shown), _yield(ok, len(shown)))]
    if failed:
        out.append(' &nbsp;<b class="why">%d failed</b>' % failed)
    if silent:
        out.append(' &nbsp;<b class="why">%d station%s without a result</b>'
                   % (silent, "s" * (silent != 1)))
    out.append("</div><dl>")
    if sha is not None:
        size = max([_int(r.get("bytes")) for r in shown] or [0])
        out.append("<dt>Image</dt><dd><b>%s</b>, %s bytes</dd><dt>SHA-256</dt><dd><code>%s"
                   "</code></dd>" % (e(name), "{:,}".format(size), e(sha)))
    versions = {}
    for row in shown:
        versions.setdefault(row.get("quento_version") or "unknown", set()).add(row.get("station"))
    if versions:
        out.append("<dt>Quento</dt><dd>%s</dd>" % "; ".join(
            "%s on %s" % (e(v), e(", ".join(sorted(versions[v], key=_natural))))
            for v in sorted(versions, key=_natural)))
    times = sorted(r.get("time") or "" for r in shown)
    if times:
        out.append("<dt>Results</dt><dd>%s to %s</dd>" % (e(times[0]), e(times[-1])))
    elsewhere = [r for r in newest if r.get("sha256") != sha]
    if elsewhere:
        at = sorted({r.get("station") or "" for r in elsewhere}, key=_natural)
        out.append('<dt>Other images</dt><dd class="note">%d device%s on %d station%s (%s) '
                   "%s their latest result for another image</dd>"
                   % (len(elsewhere), "s" * (len(elsewhere) != 1), len(at), "s" * (len(at) != 1),
                      e(", ".join(at)), "has" if len(elsewhere) == 1 else "have"))
    out.append("<dt>From</dt><dd>%s, each device by its latest attempt</dd></dl></div>"
               % e(csv_name))
    return out


def _table(e, order, per, says, shown, ok, bad):
    out = ["<h2>Yield per station</h2><table><tr><th>Station</th><th class=n>Devices</th>"
           "<th class=n>Succeeded</th><th>Yield</th>%s<th>Note</th></tr>"
           % "".join('<th class=n><i class="sq" style="background:%s"></i>%s</th>'
                     % (_colour(o), e(o)) for o in bad)]
    for name in order:
        got = per.get(name, [])
        good = _count(got, "success")
        note = e(says[name]) if not got else ("this run: " + e(says[name])) * bool(says[name])
        out.append('<tr data-station="%s"><td><b>%s</b></td><td class=n>%d</td><td class=n>%s'
                   '</td><td>%s</td>%s<td class="why">%s</td></tr>'
                   % (e(name), e(name), len(got), good if got else "",
                      _yield(good, len(got)), "".join(
                          "<td class=n>%s</td>" % (_count(got, o) or "") for o in bad), note))
    out.append('<tr class="sum"><td>All</td><td class=n>%d</td><td class=n>%d</td><td>%s</td>%s'
               "<td></td></tr></table>" % (len(shown), ok, _yield(ok, len(shown)), "".join(
                   "<td class=n>%d</td>" % _count(shown, o) for o in bad)))
    return out


def _failures(e, shown):
    failed = [r for r in shown if r.get("outcome") != "success"]
    out = ["<h2>Failed devices: %d</h2>" % len(failed)]
    if not failed:
        out.append("<p>None.</p>")
    rank = {o: i for i, o in enumerate(OUTCOMES)}
    groups = {}
    for row in failed:
        groups.setdefault((row.get("station") or "", row.get("outcome") or ""), []).append(row)
    for name, outcome in sorted(groups, key=lambda k: (_natural(k[0]), rank.get(k[1], 99),
                                                       _natural(k[1]))):
        group = sorted(groups[(name, outcome)], key=lambda r: _natural(r.get("device")))
        out.append('<details><summary><i class="sq" style="background:%s"></i><b>%s</b> %s: '
                   '<b>%d</b> <span class="sub">%s</span></summary><table><tr><th>Device</th>'
                   "<th>Message</th><th>Detail</th><th class=n>Attempt</th><th>Time</th></tr>"
                   % (_colour(outcome), e(name), e(outcome), len(group),
                      e(group[0].get("message") or "")))
        for r in group:
            out.append("<tr><td>%s</td><td>%s</td><td>%s</td><td class=n>%s</td><td>%s</td></tr>"
                       % tuple(e(r.get(k) or "") for k in
                               ("device", "message", "detail", "attempt", "time")))
        out.append("</table></details>")
    return out


def _map(e, order, per, present):
    klass = {o: "o%d" % i for i, o in enumerate(present)}
    out = ["<style>%s</style>" % "".join(".map .%s{background:%s}" % (klass[o], _colour(o))
                                         for o in present),
           "<h2>Device map</h2><p>%s</p>" % "".join(
               '<span class="key"><i class="sq" style="background:%s"></i>%s</span>'
               % (_colour(o), e(o)) for o in present)]
    for name in order:
        got = sorted(per.get(name, []), key=lambda r: _natural(r.get("device")))
        if got:
            out.append('<div class="sub"><b>%s</b>: %d of %d succeeded</div><div class="map">%s'
                       "</div>" % (e(name), _count(got, "success"), len(got), "".join(
                           '<i class=%s title="%s"></i>' % (klass[r.get("outcome") or ""], e(
                               "%s \u2014 %s \u2014 %s" % (r.get("device"), r.get("outcome"),
                                                           r.get("message"))))
                           for r in got)))
    return out


def render(rows, stations, csv_name, sha256=None) -> str:
    """The plant page for image `sha256` (the newest image when None): each device by its latest
    row of that image. `stations` maps this run's stations to {"state": ..., "why": ...}."""
    e = html.escape
    sha = sha256 if sha256 is not None else latest_image(rows)
    shown = latest_rows(rows, sha) if sha is not None else []
    per, theirs = {}, {}
    for row in shown:
        per.setdefault(row.get("station") or "", []).append(row)
    for row in rows:
        theirs.setdefault(row.get("station") or "", []).append(row)
    order = sorted(set(per) | set(stations) | set(theirs), key=_natural)
    says = {n: _why(stations.get(n), theirs.get(n), per.get(n)) for n in order}
    present = [o for o in OUTCOMES if _count(shown, o)]
    present += sorted({r.get("outcome") or "" for r in shown} - set(OUTCOMES), key=_natural)
    ok = _count(shown, "success")
    out = ['<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">']
    out += _head(e, shown, ok, sha, latest_rows(rows), csv_name,
                 sum(not per.get(n) for n in order))
    out += _table(e, order, per, says, shown, ok, [o for o in present if o != "success"])
    drawn = _map(e, order, per, present)
    out.insert(1, drawn[0])
    out += drawn[1:]
    out += _failures(e, shown)
    out.append("</body></html>\n")
    return "\n".join(out)
