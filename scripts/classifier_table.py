#!/usr/bin/env python3
"""What the classifier says about every device of the shared captures.

Replays each capture of ../shared/testdata/captures through ostrel-host
--pcap with the device-discovery plug-in, its API pointed at a local
ostrel-classifier with examples/classifier-rules.json, and prints a Markdown
table: per device the label, score, type and vendor the plug-in was given,
and what the capture's README says the device is.

    scripts/classifier_table.py [--build build/dev] [--rules FILE] [--out FILE | --update-doc docs/CLASSIFIER.md]

Needs ostrel-host, ostrel-classifier and the plug-in built in the build
folder (cmake --build build/dev --target ostrel-host ostrel-classifier
ostrel-proc-dev-discovery). Each capture gets a fresh classifier and a fresh
plug-in state, so a device seen in two captures is judged on each alone.

The plug-in runs with max_confidence 101, so that no device is retired before
the capture ends and every device's last verdict is in its cache; the cache
gives the label and score, the classifier's index (its last answer to the
plug-in's uploads) the type and vendor. The two must agree on label and score.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.request

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
CAPTURES = os.path.normpath(os.path.join(ROOT, "..", "shared", "testdata", "captures"))
TOKEN = "table-token"
MARKER = "<!-- capture table -->"

# What the captures' README says each device is, in its own words (from the
# "what it covers" column; devices it says nothing about are left out).
README_SAYS = {
    ("dhcp.pcapng", "00:0b:82:01:fc:42"): "DHCP without host name or vendor class",
    ("android.pcap", "4c:6a:f6:9f:f6:27"): "Android 9 ('android-dhcp-9')",
    ("android.pcap", "d8:30:62:56:00:1c"): "macOS (host name, no vendor class)",
    ("iphone.pcap", "c4:61:8b:35:82:a9"): "iOS (iPhone)",
    ("iphone.pcap", "d8:30:62:56:00:1c"): "macOS",
    ("ssdp-m-search-ua.pcap", "f0:2f:4b:09:93:bc"): "Chrome on macOS",
    ("hw-type0.pcap", "cc:00:0a:c4:00:00"): "embedded Cisco IOS router",
    ("http-vlan-0.pcap", "c8:bc:c8:96:d2:a0"): "HTTP user agent (Wget)",
    ("suricata-ja4-tls-quic.pcap", "f0:18:98:e8:7a:f3"): "Chrome",
    ("suricata-dhcp-option-52-overload.pcap", "92:dd:a4:8d:5f:de"): "BusyBox udhcpc, embedded Linux",
    ("1kxun.pcap", "70:f1:a1:f8:2a:fd"): "Windows 7 ('MSFT 5.0')",
    ("1kxun.pcap", "48:d2:24:63:0a:de"): "Windows 7 ('MSFT 5.0')",
    ("1kxun.pcap", "60:c5:47:05:bc:8c"): "macOS",
    ("1kxun.pcap", "bc:ee:7b:0c:b3:de"): "Android 'dhcpcd-5.5.6'",
    ("1kxun.pcap", "e0:ca:94:6b:96:44"): "Ubuntu dhclient",
    ("1kxun.pcap", "4c:5e:0c:ea:03:65"): "an option-55-only device",
    ("1kxun.pcap", "70:3e:ac:f0:f0:07"): "Android host 'Shen'",
    ("1kxun.pcap", "e8:b1:fc:ab:fb:b2"): "Windows (SSDP NOTIFY SERVER)",
    ("alexa-app.pcapng", "78:f8:82:d3:fb:c2"): "Android 5.1.1 phone",
    ("netflix.pcap", "e4:98:d6:1f:bd:14"): "iPhone app traffic",
    ("wechat.pcap", "b8:78:2e:e2:da:07"): "iPhone",
}


def start_classifier(bin_dir, rules, workdir):
    out = open(os.path.join(workdir, "classifier.out"), "w+")
    err = open(os.path.join(workdir, "classifier.log"), "w")
    proc = subprocess.Popen(
        [os.path.join(bin_dir, "classifier", "ostrel-classifier"), "--port", "0", "--token", TOKEN, "--rules", rules, "--quiet"],
        stdout=out, stderr=err)
    # Its first line names the port it took; it comes at once or not at all.
    for _ in range(100):
        out.seek(0)
        found = re.search(r"listening on http://127\.0\.0\.1:(\d+)", out.read())
        if found:
            return proc, int(found.group(1))
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    proc.kill()
    proc.wait()
    sys.exit("ostrel-classifier did not start; see " + err.name)


def stop(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def index(port):
    # The service keeps an index per agent: ask as the agent of examples/ostrel-host.json.
    with open(os.path.join(ROOT, "examples", "ostrel-host.json")) as config:
        uuids = json.loads(re.sub(r"^\s*//.*$", "", config.read(), flags=re.M))["uuids"]
    request = urllib.request.Request("http://127.0.0.1:%d/v1/discovery/index" % port,
                                     headers={"Authorization": "Bearer " + TOKEN, "X-UUID": uuids["agent"],
                                              "X-UUID-Serial": uuids["serial"]})
    with urllib.request.urlopen(request, timeout=10) as answer:
        return {entry["mac"]: entry["discovery"] for entry in json.load(answer)["data"]}


def replay(bin_dir, rules, capture, workdir):
    """Runs one capture; returns (index answers, cache entries)."""
    classifier, port = start_classifier(bin_dir, rules, workdir)
    try:
        with open(os.path.join(workdir, "dev-discovery.json"), "w") as conf:
            json.dump({"max_confidence": 101, "path_device_cache": "${path_state}/cache.json",
                       "ostrel_api": {"enable": True}}, conf)
        with open(os.path.join(workdir, "host.log"), "w") as log:
            status = subprocess.call(
                [os.path.join(bin_dir, "daemon", "ostrel-host"), "--config", os.path.join(ROOT, "examples", "ostrel-host.json"),
                 "--conf", conf.name, "--var", "path_state=" + workdir, "--var", "classifier_port=%d" % port,
                 "--var", "classifier_token=" + TOKEN, "--pcap", capture, "--speed", "0",
                 "--update-interval", "0.2", "--exit-after-input", "20"],
                stdout=subprocess.DEVNULL, stderr=log, timeout=300)
        if status != 0:
            sys.exit("ostrel-host failed on %s (status %d); see %s" % (capture, status, log.name))
        answers = index(port)
    finally:
        stop(classifier)
    cache_path = os.path.join(workdir, "cache.json")
    cache = json.load(open(cache_path)) if os.path.exists(cache_path) else {}
    return answers, cache


def cell(text):
    return str(text).replace("|", "\\|") if text != "" else "—"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "dev"), help="build folder (build/dev)")
    parser.add_argument("--rules", default=os.path.join(ROOT, "examples", "classifier-rules.json"))
    parser.add_argument("--out", help="write the table here rather than to stdout")
    parser.add_argument("--update-doc", metavar="FILE",
                        help="replace the table between the <!-- capture table --> markers of FILE (docs/CLASSIFIER.md)")
    args = parser.parse_args()
    bin_dir = args.build

    answers_file = json.load(open(os.path.join(CAPTURES, "ANSWERS.json")))
    rows = []
    others = {}
    problems = []
    for entry in answers_file:
        name = entry["file"]
        with tempfile.TemporaryDirectory(prefix="classifier-table-") as workdir:
            verdicts, cache = replay(bin_dir, args.rules, os.path.join(CAPTURES, name), workdir)
        for mac in entry["devices"]:
            verdict = verdicts.get(mac)
            cached = cache.get(mac)
            if verdict is None or cached is None:
                problems.append("%s %s: %s" % (name, mac, "never uploaded" if verdict is None else "not in the cache"))
                verdict = verdict or {"label": "", "score": 0, "type": "unknown", "vendor": ""}
            elif (cached.get("label"), cached.get("confidence")) != (verdict["label"], verdict["score"]):
                problems.append("%s %s: cache says %s %s, classifier %s %s" % (
                    name, mac, cached.get("label"), cached.get("confidence"), verdict["label"], verdict["score"]))
            rows.append((name, mac, verdict, README_SAYS.get((name, mac), "")))
        # MACs the plug-in uploaded that carry none of the attributes.
        labelled = sum(1 for mac, v in verdicts.items() if mac not in entry["devices"] and v["label"])
        others[name] = (len([mac for mac in verdicts if mac not in entry["devices"]]), labelled)

    lines = ["| capture | MAC | label | score | type | vendor | the README says |",
             "|---|---|---|---:|---|---|---|"]
    for name, mac, verdict, says in rows:
        vendor = verdict.get("vendor", "")
        if verdict.get("mac_randomised"):
            vendor = (vendor + " " if vendor else "") + "(randomised MAC)"
        label = cell(verdict["label"])
        if verdict.get("tied_with"):
            label += " (tied with %s)" % verdict["tied_with"]
        lines.append("| `%s` | `%s` | %s | %d | %s | %s | %s |" % (
            name, mac, label, verdict["score"], cell(verdict["type"]), cell(vendor), cell(says)))
    extra = ["", "MACs the plug-in uploaded beyond these (they carried none of the attributes): " + ", ".join(
        "`%s` %d (%d labelled)" % (name, count, labelled) for name, (count, labelled) in others.items() if count)]
    text = "\n".join(lines + extra) + "\n"
    if args.update_doc:
        with open(args.update_doc) as doc:
            parts = doc.read().split(MARKER)
        if len(parts) != 3:
            sys.exit("%s: needs exactly two %s lines" % (args.update_doc, MARKER))
        with open(args.update_doc, "w") as doc:
            doc.write(parts[0] + MARKER + "\n" + text + MARKER + parts[2])
    elif args.out:
        with open(args.out, "w") as out:
            out.write(text)
    else:
        sys.stdout.write(text)
    for problem in problems:
        print("classifier_table: " + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
