# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.download with `src`: the controller's image goes to the station inside the
module's own arguments, so sending it and flashing cost one round trip."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import base64
import os

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase

from ansible_collections.quento.flash.plugins.module_utils.station import MAX_IMAGE_BYTES


# Without a keep-alive of the inventory's own, a station that drops out is given up after 30 s
# of silence rather than when TCP gives up.
KEEP_ALIVE = "-o ServerAliveInterval=5 -o ServerAliveCountMax=6"
SSH_ARGS = ("ssh_args", "ssh_common_args", "ssh_extra_args")


class ActionModule(ActionBase):
    TRANSFERS_FILES = False

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        args = dict(self._task.args)
        src = args.pop("src", None)
        if src is not None:
            if not args.get("dir"):
                raise AnsibleActionFail("src needs dir, the station's folder for the image")
            path = os.path.realpath(os.path.join(os.getcwd(), os.path.expanduser(str(src))))
            try:
                with open(path, "rb") as f:
                    data = f.read(MAX_IMAGE_BYTES + 1)
            except OSError as e:
                raise AnsibleActionFail("cannot read the image %s: %s" % (path, e)) from e
            args["image"] = "%s/%s" % (str(args["dir"]).rstrip("/"), os.path.basename(path))
            args["content"] = base64.b64encode(data).decode("ascii")
            args.setdefault("report", "%s/report.csv" % str(args["dir"]).rstrip("/"))
        args.pop("dir", None)
        if self._connection.transport.endswith("ssh"):
            given = [self._connection.get_option(k) or "" for k in SSH_ARGS]
            if not any("ServerAlive" in g for g in given):
                self._connection.set_option("ssh_extra_args", ("%s %s" % (given[2], KEEP_ALIVE)).strip())
        result.update(self._execute_module(module_name="quento.flash.download", module_args=args,
                                           task_vars=task_vars))
        return result
