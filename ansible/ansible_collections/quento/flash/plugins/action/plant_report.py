# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.plant_report on the controller: the stations' results straight from hostvars,
without sending thousands of rows through a module's arguments."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os

from ansible.plugins.action import ActionBase

from ansible_collections.quento.flash.plugins.module_utils.page import render
from ansible_collections.quento.flash.plugins.module_utils.plant import (
    PlantError, append, load_offsets, read, save_offsets, set_aside, station_state,
    verdict)

ARGUMENTS = dict(results_from=dict(type="str", default="flash_run"),
                 checks_from=dict(type="str", default="flash_plant_check"),
                 csv=dict(type="path", required=True),
                 html=dict(type="path", required=True))


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _requires_connection = False

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        _, args = self.validate_argument_spec(ARGUMENTS)
        hostvars = task_vars["hostvars"]
        batch = list(task_vars.get("ansible_play_batch", []))
        stations, verdicts, new, offsets = {}, {}, [], {}
        for host in task_vars.get("ansible_play_hosts_all", []):
            check = (hostvars[host].get(args["checks_from"]) or {}).get("stations", {}).get(host)
            run = hostvars[host].get(args["results_from"]) or {}
            state, why, fails = station_state(check, run)
            stations[host] = dict(state=state, why=why)
            if fails:
                verdicts[host] = verdict(state, why) if why else run.get("msg", "failed")
            if host in batch and run.get("report_header"):
                header = run["report_header"]
                new += [dict(zip(header, row)) for row in run.get("report_rows", [])]
                offsets[host] = dict(id=run.get("report_id"), end=run.get("report_end"))
        failing = sum(1 for h in batch if h in verdicts)
        block = self._task._parent
        while block is not None and getattr(block, "_play", None) is None:
            block = getattr(block, "_parent", None)
        limit = block._play.max_fail_percentage if block is not None else None
        if batch and (failing == len(batch) or
                      (limit is not None and failing / len(batch) > float(limit) / 100)):
            for host, station in stations.items():
                if station["state"] == "waiting":
                    station.update(state="stopped", why=(
                        "the rollout stopped after %d of the %d stations of the last batch "
                        "failed (quento_max_fail_percentage %s)" % (
                            failing, len(batch), 100 if limit is None else limit)))
        result.update(changed=False, rows_added=0, verdicts=verdicts, stations=stations)
        if self._play_context.check_mode:
            return result
        csv_path, html_path = (os.path.expanduser(args[k]) for k in ("csv", "html"))
        try:
            header, rows, cut = read(csv_path)
            set_aside(csv_path, cut)
            fresh = append(csv_path, header, rows, new)
            state_path = csv_path + ".stations.json"
            save_offsets(state_path, dict(load_offsets(state_path), **offsets))
            with open(html_path + ".tmp", "w", encoding="utf-8") as f:
                f.write(render(rows + fresh, stations, os.path.basename(csv_path)))
            os.replace(html_path + ".tmp", html_path)
        except (OSError, PlantError) as e:
            if os.path.exists(html_path + ".tmp"):
                os.remove(html_path + ".tmp")
            why = "the plant report was not written: %s" % (
                "%s: %s" % (e.filename, e.strerror) if getattr(e, "filename", None) else e)
            verdicts.update({h: "%s; %s" % (v, why) for h, v in verdicts.items()})
            return dict(result, merge_error=why, verdicts=verdicts)
        return dict(result, changed=bool(fresh), rows_added=len(fresh),
                    cut_row_set_aside=cut)
