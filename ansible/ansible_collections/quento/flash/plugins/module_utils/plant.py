# Copyright (c) 2026 The Quento developers. MIT License.
"""The plant CSV and its page, for quento.flash.plant_report."""

from __future__ import annotations

import csv
import html
import os

COLUMNS = ["time", "station", "device", "address", "attempt", "outcome", "message", "detail",
           "bytes", "blocks", "write_retries", "read_retries", "seconds", "image", "sha256",
           "quento_version"]
PALETTE = ["#c0392b", "#d35400", "#8e44ad", "#2c3e50", "#7f8c8d", "#b7950b"]


def latest(path):
    """The last row of every (station, device) in the file, in first-seen order."""
    rows = {}
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        for row in csv.DictReader(f):
            rows[(row.get("station"), row.get("device"))] = row
    return list(rows.values())


def chart(failures):
    if not failures:
        return "<p>No failures.</p>"
    most = max(failures.values())
    bar_h, width = 26, 420
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" role="img" '
             'aria-label="failures by outcome">' % (width + 220, bar_h * len(failures) + 4)]
    for i, (outcome, n) in enumerate(sorted(failures.items(), key=lambda kv: -kv[1])):
        y = i * bar_h + 2
        w = max(2, int(width * n / most))
        parts.append('<text x="0" y="%d" font-size="14">%s</text>' % (y + 17, html.escape(outcome)))
        parts.append('<rect x="150" y="%d" width="%d" height="%d" fill="%s"/>'
                     % (y, w, bar_h - 6, PALETTE[i % len(PALETTE)]))
        parts.append('<text x="%d" y="%d" font-size="14">%d</text>' % (156 + w, y + 17, n))
    parts.append("</svg>")
    return "".join(parts)


def page(rows, unreached, csv_name):
    per_station, failures, failed = {}, {}, []
    for r in rows:
        s = per_station.setdefault(r["station"], [0, 0])
        s[0] += 1
        if r["outcome"] == "success":
            s[1] += 1
        else:
            failures[r["outcome"]] = failures.get(r["outcome"], 0) + 1
            failed.append(r)
    e = html.escape
    total = sum(s[0] for s in per_station.values())
    ok = sum(s[1] for s in per_station.values())
    out = ['<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">',
           "<title>Quento plant report</title><style>",
           "body{font-family:sans-serif;margin:2em;color:#222}",
           "table{border-collapse:collapse;margin-bottom:1.5em}",
           "td,th{border:1px solid #bbb;padding:4px 10px;text-align:left}",
           "th{background:#eee}.bad{color:#c0392b}.num{text-align:right}",
           "</style></head><body>",
           "<h1>Plant report</h1>",
           '<p>From <code>%s</code>, each device by its latest attempt: '
           '<b id="total-ok">%d</b> of <b id="total">%d</b> devices succeeded.</p>'
           % (e(csv_name), ok, total),
           "<h2>Yield per station</h2><table><tr><th>Station</th><th>Devices</th>"
           "<th>Succeeded</th><th>Failed</th><th>Yield</th></tr>"]
    for name in sorted(per_station):
        n, good = per_station[name]
        out.append('<tr><td>%s</td><td class="num">%d</td><td class="num">%d</td>'
                   '<td class="num">%d</td><td class="num">%.1f %%</td></tr>'
                   % (e(name), n, good, n - good, 100.0 * good / n))
    for name in sorted(unreached):
        out.append('<tr class="bad"><td>%s</td><td colspan="4">not reached: no result came back '
                   "from this station</td></tr>" % e(name))
    out.append("</table><h2>Failures by outcome</h2>")
    out.append(chart(failures))
    out.append("<h2>Failed devices</h2>")
    if failed:
        out.append("<table><tr><th>Station</th><th>Device</th><th>Outcome</th><th>Message</th>"
                   "<th>Detail</th><th>Time</th></tr>")
        for r in failed:
            out.append("<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>"
                       % tuple(e(r.get(k) or "") for k in
                               ("station", "device", "outcome", "message", "detail", "time")))
        out.append("</table>")
    else:
        out.append("<p>None.</p>")
    out.append("</body></html>\n")
    return "\n".join(out)


def merge(stations, csv_path, html_path):
    """Appends the stations' rows to the plant CSV and rewrites the page. `stations` maps each
    station to {"reached": bool, "rows": [dict]}. Returns (rows added, per-station summary,
    stations without a result)."""
    new, unreached = [], []
    for name, station in sorted(stations.items()):
        if not station.get("reached"):
            unreached.append(name)
        for row in station.get("rows") or []:
            new.append([row.get(c, "") for c in COLUMNS])
    fresh = not os.path.exists(csv_path) or os.path.getsize(csv_path) == 0
    with open(csv_path, "a", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        if fresh:
            writer.writerow(COLUMNS)
        writer.writerows(new)
    rows = latest(csv_path)
    with open(html_path + ".tmp", "w", encoding="utf-8") as f:
        f.write(page(rows, unreached, os.path.basename(csv_path)))
    os.replace(html_path + ".tmp", html_path)
    summary = {}
    for r in rows:
        s = summary.setdefault(r["station"], {"devices": 0, "succeeded": 0})
        s["devices"] += 1
        s["succeeded"] += r["outcome"] == "success"
    return len(new), summary, unreached
