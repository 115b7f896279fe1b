#!/usr/bin/python3
# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.plant_report: the stations' rows in one plant CSV, and a page to read it."""

from __future__ import annotations

DOCUMENTATION = r"""
module: plant_report
short_description: Merge the stations' quento-cli report rows into one plant CSV and HTML page
description:
  - Appends the rows that the play's stations' C(quento.flash.download) returned this run
    (RV(report_rows)) to one CSV file with quento-cli's columns, writing the header when the
    file is new.
  - Writes a self-contained HTML page beside it from the file's latest attempt of every device,
    yield per station, failures by outcome as an inline SVG chart, the failed devices, and the
    stations that gave no result.
  - Runs on the controller, in its action plugin, which reads the stations' registered results
    itself; run it once per play or batch (C(run_once)).
version_added: 1.0.1
author: Quento developers
options:
  results_from:
    description: The variable each station's C(quento.flash.download) result was registered as.
      Rows are taken from the stations of the current batch; a station of the play without
      results is listed as giving none.
    type: str
    default: quento_run
  csv:
    description: The plant CSV file, appended to.
    type: path
    required: true
  html:
    description: The HTML page, rewritten.
    type: path
    required: true
"""

EXAMPLES = r"""
- name: Merge the plant report
  quento.flash.plant_report:
    results_from: flashed
    csv: /srv/reports/plant.csv
    html: /srv/reports/plant.html
  delegate_to: localhost
  run_once: true
"""

RETURN = r"""
rows_added:
  description: Rows this run appended.
  returned: always
  type: int
stations:
  description: Per station, devices and successes by the file's latest attempts.
  returned: always
  type: dict
unreached:
  description: Stations of the play that gave no result.
  returned: always
  type: list
  elements: str
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec=dict(results_from=dict(type="str", default="quento_run"),
                                              csv=dict(type="path", required=True),
                                              html=dict(type="path", required=True)))
    module.fail_json(msg="quento.flash.plant_report runs in its action plugin on the controller")


if __name__ == "__main__":
    main()
