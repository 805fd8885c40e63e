#!/usr/bin/env python3
"""Scores ostrel-classifier on a labelled set: per class, devices right, wrong
with a score of 50 or more (confidently wrong), wrong below 50, and no answer;
then how often answers at 50+ and 80+ are right.

    cmake --build build/dev --target ostrel-classifier
    scripts/classifier_score.py [--set tests/classifier/data/labelled-devices.json] [--show]

The service runs on a free loopback port with the shipped rules and the IEEE
registry (Debian's ieee-data), and the whole set goes in one upload.
"""
import argparse
import json
import os
import socket
import subprocess
import sys
import time
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def classify(binary, rules, registry, devices):
    port = free_port()
    service = subprocess.Popen([binary, "--bind", "127.0.0.1", "--port", str(port), "--rules", rules,
                                "--registry", registry, "--allow-no-token", "--quiet"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        body = json.dumps(devices).encode()
        for _ in range(100):
            try:
                request = urllib.request.Request("http://127.0.0.1:%d/v1/discovery/upload" % port, data=body,
                                                 headers={"Content-Type": "application/json"})
                with urllib.request.urlopen(request, timeout=10) as reply:
                    return json.load(reply)["data"]
            except (ConnectionError, urllib.error.URLError) as error:
                if isinstance(error, urllib.error.HTTPError):
                    sys.exit("ostrel-classifier refused the upload: %s" % error.read().decode())
                if service.poll() is not None:
                    sys.exit("ostrel-classifier ended: " + service.stderr.read().decode())
                time.sleep(0.1)
        sys.exit("ostrel-classifier did not answer")
    finally:
        service.terminate()
        service.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--set", default=os.path.join(ROOT, "tests/classifier/data/labelled-devices.json"))
    parser.add_argument("--binary", default=os.path.join(ROOT, "build/dev/classifier/ostrel-classifier"))
    parser.add_argument("--rules", default=os.path.join(ROOT, "examples/classifier-rules.json"))
    parser.add_argument("--registry", default="/usr/share/ieee-data")
    parser.add_argument("--show", action="store_true", help="print every device's answer and reasons")
    args = parser.parse_args()
    with open(args.set) as f:
        labelled = json.load(f)["devices"]
    answers = classify(args.binary, args.rules, args.registry, [d["device"] for d in labelled])
    rows = {}
    claims = {50: [0, 0], 80: [0, 0]}
    for entry, answer in zip(labelled, answers):
        verdict = answer["discovery"]
        want, got, score = entry["class"], verdict["type"], verdict["score"]
        if not verdict["label"]:
            got = "unknown"
        row = rows.setdefault(want, {"devices": 0, "right": 0, "wrong50": 0, "wrong": 0, "none": 0})
        row["devices"] += 1
        if got == want:
            row["right"] += 1
        elif got == "unknown":
            row["none"] += 1
        elif score >= 50:
            row["wrong50"] += 1
        else:
            row["wrong"] += 1
        for level in claims:
            if score >= level and got != "unknown":
                claims[level][0] += 1
                claims[level][1] += got == want
        if args.show or (got != want and score >= 50):
            print("%-38s %s %-17s -> %-17s %3d %s" % (entry["capture"], answer["mac"], want, got, score,
                                                      "; ".join(verdict.get("reasons", []))))
    print("| class | devices | right | wrong, score >= 50 | wrong, below 50 | no answer |")
    print("|---|---:|---:|---:|---:|---:|")
    total = {"devices": 0, "right": 0, "wrong50": 0, "wrong": 0, "none": 0}
    for name in sorted(rows):
        row = rows[name]
        print("| %s | %d | %d | %d | %d | %d |" % (name, row["devices"], row["right"], row["wrong50"], row["wrong"],
                                                 row["none"]))
        for key in total:
            total[key] += row[key]
    print("| all | %d | %d (%.0f%%) | %d (%.0f%%) | %d | %d |" % (
        total["devices"], total["right"], 100.0 * total["right"] / total["devices"], total["wrong50"],
        100.0 * total["wrong50"] / total["devices"], total["wrong"], total["none"]))
    for level, (count, right) in sorted(claims.items()):
        print("answers at %d or more: %d, right %d (%.0f%%)" % (level, count, right,
                                                              100.0 * right / count if count else 100.0))


if __name__ == "__main__":
    main()
