#!/usr/bin/python
# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.plant_report: the stations' rows in one plant CSV, and a page to read it."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: plant_report
short_description: Merge the stations' quento-cli report rows into one plant CSV and HTML page
description:
  - Appends to one CSV file every row of the batch's stations' reports that the file does not
    hold yet (a row is known by station, device, attempt and time), with quento-cli's columns
    from the stations' own header, writing the header when the file is new. A cut last row of
    the file is moved to C(FILE.cut) first, never glued to a new row.
  - Keeps beside it, in C(FILE.stations.json), how far the file holds each station's report, so
    that a station that dropped out sends its rows with its next result.
  - Writes a self-contained HTML page beside it for the latest image, and says for every station
    of the play without a result why (unreachable, refused, stopped by the failure limit).
  - Decides which stations the play fails (C(verdicts)); never fails itself, so that the stations'
    failures are shown whatever became of the files (C(merge_error)).
  - Runs on the controller, in its action plugin, which reads the stations' registered results
    itself; run it once per play or batch (C(run_once)).
version_added: 1.0.1
author: Quento developers
options:
  results_from:
    description: The variable each station's C(quento.flash.download) result was registered as.
    type: str
    default: flash_run
  checks_from:
    description: The variable C(quento.flash.plant_check)'s result was registered as; a station
      it does not list has not run yet.
    type: str
    default: flash_plant_check
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
    csv: /srv/reports/plant.csv
    html: /srv/reports/plant.html
  run_once: true
  register: plant
"""

RETURN = r"""
rows_added:
  description: Rows this run appended.
  returned: always
  type: int
stations:
  description: Per station of the play, C(state) (flashed, unreachable, refused, waiting,
    stopped) and C(why).
  returned: always
  type: dict
verdicts:
  description: Per station the play should fail, the reason.
  returned: always
  type: dict
merge_error:
  description: Why the CSV or the page could not be written.
  returned: when they could not
  type: str
cut_row_set_aside:
  description: Bytes of a cut last row moved from the CSV to C(FILE.cut).
  returned: when the files were written
  type: int
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec=dict(results_from=dict(type="str", default="flash_run"),
                                              checks_from=dict(type="str",
                                                               default="flash_plant_check"),
                                              csv=dict(type="path", required=True),
                                              html=dict(type="path", required=True)))
    module.fail_json(msg="quento.flash.plant_report runs in its action plugin on the controller")


if __name__ == "__main__":
    main()
