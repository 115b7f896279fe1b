#!/usr/bin/env python3
# Prints a quento-cli --report file as JSON, read with Python's own parsers: a CSV as a list of
# rows by column name, a JUnit XML as the suite's attributes with its properties and test cases.
import csv, json, sys, xml.etree.ElementTree as ET

if sys.argv[1].lower().endswith(".csv"):
    print(json.dumps(list(csv.DictReader(open(sys.argv[1], newline="", encoding="utf-8")))))
else:
    s = ET.parse(sys.argv[1]).getroot()
    print(json.dumps(dict(s.attrib, properties={p.get("name"): p.get("value") for p in s.iter("property")},
                          cases=[dict(c.attrib, **{e.tag: dict(e.attrib, text=e.text or "") for e in c}) for c in s.iter("testcase")])))
