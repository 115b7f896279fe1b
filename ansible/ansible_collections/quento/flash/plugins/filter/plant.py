# Copyright (c) 2026 The Quento developers. MIT License.
"""quento.flash.not_succeeded: a station's devices to flash again, from a plant CSV."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

from ansible.errors import AnsibleFilterError

from ansible_collections.quento.flash.plugins.module_utils.plant import PlantError, read, succeeded
from ansible_collections.quento.flash.plugins.module_utils.station import expand


def not_succeeded(path, station, devices, sha256):
    """The devices of `station`'s list whose latest row for the image `sha256` in the plant CSV
    at `path` is not a success, a range's devices one by one. A device not in the list is not
    returned, whatever the file says of it."""
    try:
        done = set(succeeded(read(path)[1], sha256).get(station, []))
        return [d for entry in devices for d in expand(str(entry)) if d not in done]
    except (PlantError, ValueError) as e:
        raise AnsibleFilterError(str(e)) from e


class FilterModule:
    def filters(self):
        return {"not_succeeded": not_succeeded}
