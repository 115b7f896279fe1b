#!/usr/bin/python
# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.plant_check: the image, the report folder and the stations' variables, checked on
the controller."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: plant_check
short_description: Check a plant run's image and report folder on the controller
description:
  - Runs on the controller, in its action plugin, before any station is touched (C(run_once)).
  - Resolves the image's path against the folder C(ansible-playbook) runs in, follows a symlink
    to its file, refuses a folder, an unreadable file and a size quento-cli refuses, and digests
    the image.
  - Proves the report folder writable and an existing C(plant.csv) readable as Quento's format
    (a file a spreadsheet saved with C(;) between fields is refused), and with C(only_failed)
    reads which devices already hold this image.
  - Validates every C(quento_*) variable of each station of the batch (inventory, group, extra
    vars) against the variables C(quento.flash.flash_line) reads; a misspelt name, a value of the
    wrong type, no devices, or a device given twice (as quento-cli names it) is a problem of that
    station, returned for the play to act on after the merge. For each other station it chooses
    the devices to flash (with C(quento_only_failed), those of C(quento_devices) without a
    success for this image), its folder, and how long its flash may take.
version_added: 1.0.2
author: Quento developers
options:
  image:
    description: The firmware image on the controller.
    type: path
    required: true
  report_dir:
    description: The folder for C(plant.csv) and C(plant.html); default the folder
      C(ansible-playbook) runs in.
    type: path
  only_failed:
    description: A plant CSV whose successes for this image are not flashed again.
    type: path
notes:
  - 'The variables: C(quento_image), C(quento_devices), C(quento_devices_file), C(quento_pacing),
    C(quento_jobs), C(quento_retries), C(quento_retry_delay), C(quento_cli),
    C(quento_remote_dir) (default C(/var/tmp/quento/INVENTORY_HOST)), C(quento_report_dir),
    C(quento_only_failed), C(quento_timeout), C(quento_stations), C(quento_serial),
    C(quento_max_fail_percentage), and the station role''s C(quento_deb), C(quento_version),
    C(quento_deb_dir).'
"""

EXAMPLES = r"""
- name: Check the image and the report folder
  quento.flash.plant_check:
    image: firmware.bin
    report_dir: /srv/reports
  run_once: true
  register: plant
"""

RETURN = r"""
image:
  description: The image, with keys C(path) (absolute, symlinks followed), C(name), C(size) and
    C(sha256).
  returned: success
  type: dict
csv:
  description: The plant CSV's absolute path.
  returned: success
  type: str
html:
  description: The plant page's absolute path.
  returned: success
  type: str
offsets:
  description: Per station, C(id) and C(end) of its report as far as the plant CSV holds it.
  returned: success
  type: dict
stations:
  description: Per station of the batch, C(problems) (a list, empty when there are none) and
    C(msg), or C(devices) to flash, C(dir) (its folder), C(timeout) (seconds its flash may take,
    C(quento_timeout) or from the devices, pacing, jobs, retries and image size with a margin)
    and C(report_from).
  returned: success
  type: dict
succeeded:
  description: With C(only_failed), per station the devices whose latest row for this image is
    a success.
  returned: success
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(argument_spec=dict(image=dict(type="path", required=True),
                                              report_dir=dict(type="path"),
                                              only_failed=dict(type="path")))
    module.fail_json(msg="quento.flash.plant_check runs in its action plugin on the controller")


if __name__ == "__main__":
    main()
