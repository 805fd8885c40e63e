#!/usr/bin/env python3
"""Converts the 2014 open DHCP fingerprint database (dhcp_fingerprints.conf,
ODbL 1.0 / DbCL 1.0) into a rule file of ostrel-classifier kinds.

Each database class becomes one of the classifier's classes (smartphones by
the OS their entry names); request lists and vendor classes that entries of
two different classes share are left out, since they tell no class, and so
are short lists and generic clients' defaults.

    scripts/convert_dhcp_fingerprints.py ../shared/data/dhcp-fingerprints \\
        data/classifier/dhcp-fingerprints.json
"""
import json
import re
import shutil
import sys
from pathlib import Path

# Database class number -> (our class, label). None: too mixed to say.
CLASSES = {
    1: ("computer-windows", "Windows computer"),
    2: ("computer-macos", "Mac"),
    3: ("voip", "VoIP phone"),
    4: ("network", "Router or access point"),
    5: ("computer-linux", "Linux device"),
    6: ("console", "Game console"),
    7: ("media", "TV or media player"),
    8: ("printer", "Printer"),
    9: ("network", "Network switch"),
    10: ("nas", "NAS"),
    12: ("iot", "Monitoring device"),
    13: ("voip", "Video conferencing unit"),
    20: ("media", "Projector"),
    22: ("iot", "Security camera or panel"),
    25: ("printer", "Scanner"),
}
# A whole request list from this old database: one sign, not a claim alone.
STRENGTH = {"computer-linux": 30}
DEFAULT_STRENGTH = 45
# Lists of a few options, and the defaults of clients that many kinds of
# device run (BusyBox udhcpc), are sent by all sorts of embedded devices: the
# one the database happens to name says nothing of the next.
FEWEST_OPTIONS = 5
GENERIC_LISTS = {"1,3,6,12,15,28,42"}


def telling(field, value):
    if field != "dhcp_fingerprint":
        return True
    return value not in GENERIC_LISTS and len(value.split(",")) >= FEWEST_OPTIONS


def smartphone(description):
    text = description.lower()
    if "android" in text:
        return ("mobile-android", "Android phone or tablet")
    if any(word in text for word in ("iphone", "ipod", "ipad", "apple ios")):
        return ("mobile-ios", "iPhone or iPad")
    return None


def parse(text):
    """Yields (class number or None, os number, description, vendor ids, fingerprints)."""
    classes = {}
    entries = []
    section = None
    lines = iter(text.splitlines())
    for line in lines:
        head = re.match(r"\[(class|os) (\d+)\]", line)
        if head:
            section = {"kind": head.group(1), "id": int(head.group(2)), "members": "", "description": "",
                       "vendor_id": [], "fingerprints": []}
            if section["kind"] == "class":
                classes[section["id"]] = section
            else:
                entries.append(section)
            continue
        if section is None or "=" not in line:
            continue
        key, value = line.split("=", 1)
        if value == "<<EOT":
            block = []
            for more in lines:
                if more == "EOT":
                    break
                if more.strip():
                    block.append(more.strip())
            section[key] = block
        else:
            section[key] = value.strip()
    ranges = []
    for number, c in classes.items():
        for part in c["members"].split(","):
            low, _, high = part.partition("-")
            ranges.append((int(low), int(high or low), number))
    for entry in entries:
        number = next((n for low, high, n in ranges if low <= entry["id"] <= high), None)
        yield number, entry["id"], entry["description"], entry["vendor_id"], entry["fingerprints"]


def convert(text):
    signs = {}  # (field, value) -> {class: (label, description)}
    for number, _, description, vendors, fingerprints in parse(text):
        target = smartphone(description) if number == 11 else CLASSES.get(number)
        if target is None:
            continue
        for field, values in (("dhcp_fingerprint", fingerprints), ("dhcp_vendor", vendors)):
            for value in values:
                signs.setdefault((field, value), {}).setdefault(target, description)
    kinds = {}
    for (field, value), targets in sorted(signs.items()):
        if len({klass for klass, _ in targets}) != 1 or not telling(field, value):
            continue
        (klass, label), description = next(iter(targets.items()))
        kind = kinds.setdefault(label, {"label": label, "type": klass, "vendor": "",
                                        "note": "From the 2014 DHCP fingerprint database's entries of this class.",
                                        "rules": []})
        kind["rules"].append({"field": field, "equals": value,
                              "score": STRENGTH.get(klass, DEFAULT_STRENGTH), "note": description})
    return list(kinds.values())


def main():
    source, out = Path(sys.argv[1]), Path(sys.argv[2])
    text = (source / "dhcp_fingerprints.conf").read_text(encoding="utf-8", errors="replace")
    header = next(line for line in text.splitlines() if "Version" in line).lstrip("# ").strip()
    kinds = convert(text)
    doc = {"note": "Converted by scripts/convert_dhcp_fingerprints.py from " + header
           + " (FingerBank, Copyright (C) 2008-2013 Inverse inc.). This converted database is made available"
           " under the Open Database License 1.0 (LICENSE.odbl-10.txt beside it); its contents under the"
           " Database Contents License 1.0 (LICENSE.dbcl-10.txt). Request lists and vendor classes shared by"
           " entries of different classes are left out, as are lists of fewer than five options and BusyBox"
           " udhcpc's default list, which all sorts of embedded devices send.",
           "kinds": kinds}
    with open(out, "w", encoding="utf-8") as f:
        f.write("{\n  \"note\": " + json.dumps(doc["note"]) + ",\n  \"kinds\": [\n")
        for i, kind in enumerate(kinds):
            rules = ",\n".join("        " + json.dumps(rule) for rule in kind["rules"])
            f.write("    {\"label\": %s, \"type\": %s, \"vendor\": \"\", \"generic\": true, \"note\": %s, \"rules\": [\n%s\n    ]}%s\n"
                    % (json.dumps(kind["label"]), json.dumps(kind["type"]), json.dumps(kind["note"]), rules,
                       "," if i + 1 < len(kinds) else ""))
        f.write("  ]\n}\n")
    for name in ("LICENSE.odbl-10.txt", "LICENSE.dbcl-10.txt"):
        shutil.copyfile(source / name, out.parent / name)
    print("%s: %d kinds, %d rules" % (out, len(kinds), sum(len(k["rules"]) for k in kinds)))


if __name__ == "__main__":
    main()
