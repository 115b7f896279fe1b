# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.plant_check: on the controller, before any station is touched, the image, the
plant report's folder and files, and every station's quento_* variables."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import hashlib
import os

from ansible.plugins.action import ActionBase

from ansible_collections.quento.flash.plugins.module_utils.plant import (
    PlantError, load_offsets, read, succeeded, writable_folder)
from ansible_collections.quento.flash.plugins.module_utils.station import (
    MAX_IMAGE_BYTES, plan)

ARGUMENTS = dict(image=dict(type="path", required=True),
                 report_dir=dict(type="path"),
                 only_failed=dict(type="path"))


def image_facts(given):
    """The image file the operator means: a relative path from the folder ansible-playbook runs
    in, a symlink followed to its file. Raises PlantError."""
    path = os.path.realpath(os.path.join(os.getcwd(), os.path.expanduser(given)))
    where = given if given == path else "%s (%s)" % (given, path)
    if not os.path.exists(path):
        raise PlantError("the image %s does not exist (quento_image)" % where)
    if not os.path.isfile(path):
        raise PlantError("the image %s is not a file (quento_image)" % where)
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_IMAGE_BYTES + 1)
    except OSError as e:
        raise PlantError("cannot read the image %s: %s" % (where, e.strerror or e)) from e
    if not data or len(data) > MAX_IMAGE_BYTES:
        raise PlantError("the image %s has %s bytes; quento-cli takes 1 to %d" % (
            where, "more than %d" % MAX_IMAGE_BYTES if data else "no", MAX_IMAGE_BYTES))
    return dict(path=path, name=os.path.basename(path), size=len(data),
                sha256=hashlib.sha256(data).hexdigest())


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _requires_connection = False

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        _, args = self.validate_argument_spec(ARGUMENTS)
        folder = os.path.realpath(os.path.join(os.getcwd(), args["report_dir"] or "."))
        csv_path = os.path.join(folder, "plant.csv")
        try:
            image = image_facts(args["image"])
            writable_folder(folder)
            rows = read(csv_path)[1]
            if args["only_failed"]:
                only = os.path.join(os.getcwd(), args["only_failed"])
                if os.path.realpath(only) != csv_path and not os.path.isfile(only):
                    raise PlantError("quento_only_failed: %s is not a file" % only)
                rows = read(only)[1] if os.path.realpath(only) != csv_path else rows
        except PlantError as e:
            return dict(result, failed=True, msg=str(e))
        plant = dict(image=image, csv=csv_path, html=os.path.join(folder, "plant.html"),
                     offsets=load_offsets(csv_path + ".stations.json"),
                     succeeded=succeeded(rows, image["sha256"]) if args["only_failed"] else {})
        hostvars = task_vars["hostvars"]
        stations = {}
        for host in task_vars.get("ansible_play_batch", []):
            names = [k for k in hostvars[host] if k.startswith("quento_")]
            stations[host] = plan(host, {k: hostvars[host][k] for k in names}, plant)
        return dict(result, changed=False, stations=stations, **plant)
