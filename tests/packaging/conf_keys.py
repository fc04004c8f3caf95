#!/usr/bin/env python3
"""Prints every key that doc/configuration.md documents and the rendered pellomar.conf(5) does
not name in the same section, as "[section] key".
    conf_keys.py CONFIGURATION_MD MAN_TEXT"""
import re
import sys

doc, man = (open(f, encoding="utf-8").read() for f in sys.argv[1:3])
# A section of the page runs from its "[name]: ..." heading to the next heading (column 0).
pages = {m.group(1): m.group(0)
         for m in re.finditer(r"^\[(\w+)\]:.*?\n(?=\S|\Z)", man, re.S | re.M)}
for section, body in re.findall(r"^## \[(\w+)\][^\n]*\n(.*?)(?=^## |\Z)", doc, re.S | re.M):
    for key in re.findall(r"^\| `(\w+)` \|", body, re.M):
        if not re.search(r"^\s+" + key + r" = ", pages.get(section, ""), re.M):
            print(f"[{section}] {key}")
