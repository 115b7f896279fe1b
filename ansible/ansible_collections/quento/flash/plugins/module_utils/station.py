# Copyright (c) 2026 The Quento developers. MIT License.
"""A station's quento_* variables: what each may hold, the devices they name, and how long a
station may take before the controller gives it up."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import difflib
import ipaddress
import math
import re

from ansible.module_utils.common.arg_spec import ArgumentSpecValidator

PORT = 18810
# quento-cli's own limits: at most 100,000 devices in one run and 262,144 bytes of image.
MAX_DEVICES = 100000
MAX_IMAGE_BYTES = 262144

# The variables flash_line reads, with the role's own so that one inventory can serve both.
VARIABLES = dict(
    quento_image=dict(type="path", required=True),
    quento_devices=dict(type="list", elements="str", default=[]),
    quento_devices_file=dict(type="path"),
    quento_pacing=dict(type="str", choices=["standard", "fast"], default="standard"),
    quento_jobs=dict(type="int"),
    quento_retries=dict(type="int", default=0),
    quento_retry_delay=dict(type="float", default=2.0),
    quento_cli=dict(type="str", default="quento-cli"),
    quento_remote_dir=dict(type="str"),
    quento_report_dir=dict(type="path"),
    quento_only_failed=dict(type="path"),
    quento_timeout=dict(type="int"),
    quento_stations=dict(type="str"),
    quento_serial=dict(type="raw"),
    quento_max_fail_percentage=dict(type="raw"),
    quento_deb=dict(type="path"),
    quento_version=dict(type="str"),
    quento_deb_dir=dict(type="path"),
)

# The slowest a device may be and still succeed, in seconds: the connection's 3 s, six greetings
# that each wait a second after a 0.3 s pause, and per block a write and a read-back that wait
# for their replies as long (fast pacing drops the pauses).
CONNECT, GREETING, PER_BLOCK = 3.0, 6 * 1.35, dict(standard=2 * 1.35, fast=2 * 1.05)
# On top of the devices: Python and quento-cli starting, the report read back, SSH itself.
MARGIN = 60
# A devices file lives on the station, so its length is not known here: this long, unless
# quento_timeout says otherwise.
UNKNOWN_LENGTH_TIMEOUT = 3600

# What the station's flash takes from the variables as they are, defaults applied.
SETTINGS = ("devices_file", "pacing", "jobs", "retries", "retry_delay", "cli")

_SINGLE = re.compile(r"^(\d+\.\d+\.\d+\.\d+)(?::(\d+))?$")
_RANGE = re.compile(r"^(\d+\.\d+\.\d+\.\d+)-(\d+\.\d+\.\d+\.\d+)(?::(\d+))?$")
_BLOCK = re.compile(r"^(\d+\.\d+\.\d+\.\d+/\d+)(?::(\d+))?$")


def expand(entry):
    """The devices one entry stands for, as quento-cli names them in its rows: ADDR:PORT for an
    address, a range or a block's host addresses; a host name as given. Raises ValueError."""
    entry = entry.strip()
    m = _SINGLE.match(entry)
    if m:
        return ["%s:%s" % (ipaddress.IPv4Address(m.group(1)), m.group(2) or PORT)]
    m = _RANGE.match(entry)
    if m:
        first, last = (int(ipaddress.IPv4Address(a)) for a in m.group(1, 2))
        if last < first or last - first >= MAX_DEVICES:
            raise ValueError("'%s' is not a range of at most %d addresses" % (entry, MAX_DEVICES))
        return ["%s:%s" % (ipaddress.IPv4Address(a), m.group(3) or PORT)
                for a in range(first, last + 1)]
    m = _BLOCK.match(entry)
    if m:
        net = ipaddress.IPv4Network(m.group(1), strict=False)
        if net.num_addresses > 2 * MAX_DEVICES:
            raise ValueError("'%s' holds more than %d addresses" % (entry, MAX_DEVICES))
        return ["%s:%s" % (a, m.group(2) or PORT) for a in net.hosts()]
    if not entry or any(c.isspace() for c in entry):
        raise ValueError("'%s' is not a device" % entry)
    return [entry]


def check(values, known=VARIABLES):
    """Problems with a station's quento_* variables (name -> value, already templated) that
    argument validation does not see: a misspelt name, no devices, a device given twice.
    Returns (problems, devices) with the devices expanded in order."""
    problems = []
    for name in sorted(set(values) - set(known)):
        close = difflib.get_close_matches(name, known, n=1)
        problems.append("unknown variable %s%s" % (name, " (did you mean %s?)" % close[0]
                                                    if close else ""))
    devices, seen = [], {}
    for entry in values.get("quento_devices") or []:
        try:
            names = expand(str(entry))
        except ValueError as e:
            problems.append("quento_devices: %s" % e)
            continue
        for device in names:
            if device in seen:
                problems.append("quento_devices: device %s is given twice: '%s' and '%s'"
                                % (device, seen[device], entry))
            else:
                seen[device] = entry
                devices.append(device)
    if len(devices) > MAX_DEVICES:
        problems.append("quento_devices: %d devices, more than quento-cli's %d"
                        % (len(devices), MAX_DEVICES))
    if not devices and not values.get("quento_devices_file"):
        problems.append("no devices: set quento_devices (a list) or quento_devices_file")
    more = ["and %d more" % (len(problems) - 10)] if len(problems) > 10 else []
    return problems[:10] + more, devices


def choose(values, devices, succeeded):
    """The station's entries to flash: all of quento_devices, or with quento_only_failed those
    of its devices without a success row for this image (`succeeded`, a set of device names);
    a range's devices one by one. A device no longer in the list is never chosen."""
    if not values.get("quento_only_failed"):
        return list(values.get("quento_devices") or [])
    return [d for d in devices if d not in succeeded]


def timeout(values, count, image_size):
    """Seconds the Flash task may take on a station with `count` devices before it is given up."""
    if values.get("quento_timeout"):
        return int(values["quento_timeout"])
    if values.get("quento_devices_file"):
        return UNKNOWN_LENGTH_TIMEOUT
    blocks = max(1, math.ceil(image_size / 1024))
    device = CONNECT + GREETING + blocks * PER_BLOCK[values.get("quento_pacing") or "standard"]
    waves = math.ceil(max(count, 1) / (values.get("quento_jobs") or max(count, 1)))
    retries = values.get("quento_retries") or 0
    delay = values.get("quento_retry_delay")
    delay = 2.0 if delay is None else delay
    return int(MARGIN + waves * (retries + 1) * device + retries * delay)


def plan(host, values, plant):
    """What a station will flash, where and within how long, or what is wrong with its
    variables (name -> templated value)."""
    valid = ArgumentSpecValidator(
        {k: v for k, v in VARIABLES.items() if k in values or "default" in v}
    ).validate({k: v for k, v in values.items() if k in VARIABLES})
    problems = [str(e) for e in valid.errors]
    if not problems:
        values = dict(values, **valid.validated_parameters)
        problems, devices = check(values)
    if problems:
        return dict(problems=problems, msg="%s: %s" % (host, "; ".join(problems)))
    chosen = choose(values, devices, set(plant["succeeded"].get(host, [])))
    count = len(chosen) if values.get("quento_only_failed") else len(devices)
    return dict(problems=[], devices=chosen,
                **{k: values.get("quento_" + k) for k in SETTINGS},
                dir=values.get("quento_remote_dir") or "/var/tmp/quento/%s" % host,
                timeout=timeout(values, count, plant["image"]["size"]),
                report_from=plant["offsets"].get(host, {}))
