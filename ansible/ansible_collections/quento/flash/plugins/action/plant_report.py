# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.plant_report on the controller: the stations' results straight from hostvars,
without sending thousands of rows through a module's arguments."""

from __future__ import annotations

import os

from ansible.plugins.action import ActionBase

from ansible_collections.quento.flash.plugins.module_utils.plant import merge


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("results_from", "csv", "html"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = self._task.args
        name = args.get("results_from", "quento_run")
        try:
            csv_path, html_path = (os.path.expanduser(str(args[k])) for k in ("csv", "html"))
        except KeyError as e:
            return dict(result, failed=True, msg="missing required argument: %s" % e)
        hostvars = task_vars["hostvars"]
        batch = set(task_vars.get("ansible_play_batch", []))
        stations = {}
        for host in task_vars.get("ansible_play_hosts_all", []):
            run = hostvars[host].get(name) or {}
            stations[host] = {
                "reached": "results" in run or bool(run.get("skipped")),
                "rows": run.get("report_rows", []) if host in batch else [],
            }
        if self._play_context.check_mode:
            return dict(result, changed=False, rows_added=0, stations={}, unreached=[])
        try:
            added, summary, unreached = merge(stations, csv_path, html_path)
        except OSError as e:
            return dict(result, failed=True, msg="cannot write the plant report: %s" % e)
        return dict(result, changed=added > 0, rows_added=added, stations=summary,
                    unreached=unreached)
