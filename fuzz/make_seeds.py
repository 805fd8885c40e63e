#!/usr/bin/env python3
# Writes the seed corpora under fuzz/corpus/. Run from anywhere; the seeds
# are checked in, so this is only needed to change them. Inputs that once
# crashed a target are kept beside them as regress-* files.
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEEP = 100000


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def nested(depth, inner="1"):
    return "[" * depth + inner + "]" * depth


def device(mac, **extra):
    d = {"mac": mac, "label": "", "dhcp_fingerprint": "1,3,6,15", "dhcp_vendor": "android-dhcp-13",
         "dhcp_hostname": "Pixel-7", "http_user_agents": ["Dalvik/2.1.0"], "ja4_clients": ["t13d1516h2"],
         "mdns_services": ["_googlecast._tcp.local"], "ssdp_user_agents": [], "ip_list": ["192.168.1.23"],
         "confidence": 0, "cached": False, "other_device": False}
    d.update(extra)
    return d


# --- configuration reload: the file's text.
with open(os.path.join(ROOT, "examples", "dev-discovery.json"), encoding="utf-8") as f:
    write("config_reload", "sample", f.read())
write("config_reload", "empty-object", "{}")
write("config_reload", "empty-file", "")
write("config_reload", "null", "null")
write("config_reload", "array", "[1, 2]")
write("config_reload", "trailing-comma", '{"max_confidence": 80,}')
write("config_reload", "truncated", '{"sinks": {"a": {"b": {"format": "json"')
write("config_reload", "wrong-types", json.dumps({
    "max_confidence": -5, "max_device_age": 80.5, "max_mdns_services": {"max": "5", "update_ttl": 60},
    "max_http_user_agents": 4294967296, "max_ja4_clients": 18446744073709551615, "process_all_macs": "yes",
    "device_mac_ignore": "00:11:22:33:44:55", "device_mac_ignore_group": 5, "path_device_cache": ["x"],
    "ostrel_api": [], "format": 3, "flush": "true"}))
write("config_reload", "bad-set", '{"max_ssdp_user_agents": "25"}')
write("config_reload", "bad-ignore-element", '{"device_mac_ignore": ["00:11:22:33:44:55", 7]}')
write("config_reload", "bad-channel", '{"format": "msgpack", "compressor": "gz", "sinks": '
      '{"s": {"a": {"enable": "false"}, "b": {"format": "JSON"}}}}')
write("config_reload", "sinks-array", '{"sinks": [{"s": {}}]}')
write("config_reload", "api-bootstrap", '{"ostrel_api": {"enable": true}, "path_device_cache": "${state}/c"}')
write("config_reload", "api-url", '{"ostrel_api": {"enable": true, "url": "http://127.0.0.1:9/upload"}}')
write("config_reload", "comments", '/* a */ {"max_confidence": 10 // b\n, "flush": true}')
write("config_reload", "bad-utf8", b'{"device_mac_ignore": ["\xff\xfe"], "sinks": {"\xc3": {}}}')
write("config_reload", "huge-number", '{"max_confidence": 1e400, "max_device_age": 123456789012345678901234567890}')
write("config_reload", "deep-nesting", nested(DEEP))
write("config_reload", "deep-nesting-unclosed", "[" * DEEP)
write("config_reload", "deep-nesting-in-sinks", '{"sinks": {"s": {"c": {"x": ' + nested(DEEP) + '}}}}')

# --- cache load: the cache file's text.
good = {"00:11:22:33:44:55": device("00:11:22:33:44:55"),
        "3c:28:6d:41:9a:10": device("3c:28:6d:41:9a:10", label="phone", confidence=60, cached=True)}
write("cache_load", "two-devices", json.dumps(good, separators=(",", ":")))
write("cache_load", "array-form", json.dumps(list(good.values())))
write("cache_load", "null", "null")
write("cache_load", "empty-file", "")
write("cache_load", "truncated", json.dumps(good)[:150])
second_bad = dict(good)
second_bad["3c:28:6d:41:9a:10"] = {k: v for k, v in device("3c:28:6d:41:9a:10").items() if k != "other_device"}
write("cache_load", "second-missing-field", json.dumps(second_bad))
write("cache_load", "wrong-types", json.dumps({"a": device("aa:bb:cc:dd:ee:ff", confidence="80")}))
write("cache_load", "confidence-range", json.dumps([device("00:00:00:00:00:01", confidence=-5),
                                                  device("00:00:00:00:00:02", confidence=4294967296)]))
write("cache_load", "confidence-float", '[' + json.dumps(device("00:00:00:00:00:03"))[:-1] +
      ', "confidence": 1e30}]')
write("cache_load", "empty-and-ignored-mac", json.dumps([device(""), device("00:00:00:00:00:00"),
                                                        device("00:00:00:00:00:04")]))
write("cache_load", "duplicate-macs", json.dumps([device("00:00:00:00:00:05"), device("00:00:00:00:00:05",
                                                                                      label="again")]))
write("cache_load", "over-bounds", json.dumps([device("00:00:00:00:00:06", ip_list=[str(i) for i in range(50)],
                                                      mdns_services=["s%d" % i for i in range(50)])]))
write("cache_load", "bad-utf8", b'{"x": {"mac": "\xff"}}')
write("cache_load", "scalar", "42")
write("cache_load", "deep-nesting", nested(DEEP))
write("cache_load", "last-seen", json.dumps([device("00:00:00:00:00:%02x" % n, last_seen=v) for n, v in enumerate(
    [1767225000, 1767225600 + 86400, 1000000000, -9223372036854775808, 18446744073709551615, 1.5e9, "x", None])]))
write("cache_load", "deep-nesting-in-device", '[' + json.dumps(device("00:00:00:00:00:07"))[:-1] +
      ', "extra": ' + nested(DEEP) + '}]')


# --- cloud answer: code choice, content type choice, then the body.
def answer(body, code=0, content_type=0):
    return bytes([code, content_type]) + body.encode("utf-8", "surrogateescape")


def entry(mac, label, score, **extra):
    d = {"label": label, "score": score}
    d.update(extra)
    return {"mac": mac, "discovery": d}


ok = {"status_code": 0, "status_message": "ok",
      "data": [entry("00:11:22:33:44:55", "printer", 90, vendor="Acme"), entry("3c:28:6d:41:9a:10", "", 20)]}
write("api_answer", "two-verdicts", answer(json.dumps(ok)))
write("api_answer", "error-code-still-applied", answer(json.dumps(ok), code=9))
write("api_answer", "charset", answer(json.dumps(ok), content_type=4))
write("api_answer", "no-content-type", answer(json.dumps(ok), content_type=3))
write("api_answer", "text-content-type", bytes([0, 7 + 10, 10]) + b"text/plain" + b"{}")
write("api_answer", "empty-body", answer(""))
write("api_answer", "malformed", answer('{"status_code": 0,'))
write("api_answer", "api-error", answer('{"status_code": 401, "status_message": "unauthorized"}', code=7))
write("api_answer", "missing-data", answer('{"status_code": 0, "status_message": "ok"}'))
write("api_answer", "negative-status", answer('{"status_code": -1, "status_message": "ok", "data": []}'))
write("api_answer", "third-entry-bad", answer(json.dumps({"status_code": 0, "status_message": "ok", "data": [
    entry("00:00:00:00:00:01", "a", 1), entry("00:00:00:00:00:02", "b", 2), {"discovery": {}},
    entry("00:00:00:00:00:04", "d", 4)]})))
write("api_answer", "bad-scores", answer(json.dumps({"status_code": 0, "status_message": "ok", "data": [
    entry("00:00:00:00:00:01", "a", 4294967296), entry("00:00:00:00:00:02", "b", 0.5)]})))
write("api_answer", "unknown-macs", answer(json.dumps({"status_code": 0, "status_message": "ok", "data": [
    entry("", "empty", 90), entry("not a mac", "text", 90), entry("00:11:22:33:44:55", "x" * 5000, 100)]})))
write("api_answer", "skipped-and-held", answer(json.dumps({"status_code": 0, "status_message": "ok", "data": [
    7, {"mac": "3c:28:6d:41:9a:10", "discovery": {"label": "phone", "score": "90"}},
    entry("00:00:00:00:00:02", "held", 20), entry("00:00:00:00:00:01", "sent", 30),
    entry("00:11:22:33:44:55", "known", 40)]})))
write("api_answer", "bad-utf8", answer('{"status_code": 0, "status_message": "\udcff", "data": []}'))
write("api_answer", "deep-nesting", answer(nested(DEEP)))
write("api_answer", "deep-nesting-unclosed", answer("[" * DEEP))
write("api_answer", "deep-nesting-in-discovery", answer(
    '{"status_code": 0, "status_message": "ok", "data": [{"mac": "00:11:22:33:44:55", "discovery": '
    '{"label": "deep", "score": 10, "extra": ' + nested(DEEP) + '}}]}'))
write("api_answer", "deep-nesting-in-message", answer(
    '{"status_code": 1, "status_message": ' + nested(DEEP) + '}'))


# --- flow observation: a small byte program (see flow_observation_fuzz.cpp).
def text(t):
    b = t.encode("utf-8", "surrogateescape")
    return bytes([len(b)]) + b


def flow(op=0, bits=0x04 | 0x08, lower=(1, 0), upper=(1, 1), lower_ip=b"\x01" + bytes([192, 168, 1, 23]),
         upper_ip=b"\x00", texts=("android-dhcp-13", "1,3,6,15", "Pixel-7", "Dalvik/2.1.0", "t13d", "_ipp._tcp.local")):
    out = bytes([op, bits])
    for kind, index in (lower, upper):
        out += bytes([kind | (index << 2)])
    out += lower_ip + upper_ip
    if not bits & 0x04:
        out += b"\x07"
    for t in texts:
        out += text(t)
    return out


config = bytes([0x03 | 0x30, 0x01 | 0x40])  # max 10 everywhere, all MACs, one sink
update = bytes([4])
verdict = bytes([6, 1 | (2 << 2)]) + text("phone") + bytes([90])
advance = bytes([5, 0xff, 0xff])
write("flow_observation", "dhcp-then-update", config + flow() + flow() + update)
write("flow_observation", "verdict-to-sink", config + flow() + update + verdict + update)
write("flow_observation", "purge", config + flow() + advance + advance + advance + advance + bytes([7]) + update)
write("flow_observation", "bad-utf8", config + flow(texts=("\udcff\udcfe", "\udcc3", "a\x00b", "\udce2\udc82",
                                                           "", "_x._tcp.local")) + update)
write("flow_observation", "huge-texts", config + flow(texts=("a", "b", "c", "x", "y", "z"))[:-12] +
      bytes([0xff]) + text("\udcffUA") + bytes([0xf8]) + text("ja4") + text("m") + update)
write("flow_observation", "unknown-origin", config + flow(bits=0x07) + flow(bits=0x04 | 0x02) + update)
write("flow_observation", "raw-and-text-addresses", config + bytes([0, 0x04]) + b"\x02" + bytes(range(6)) +
      b"\x03" + text("aa-bb-cc-dd-ee-ff") + b"\x02" + bytes(range(16)) + b"\x03" + text("::1") +
      b"".join(text(t) for t in ("v", "f", "h", "u", "j", "m")) + update)
write("flow_observation", "excluded-and-events", config + flow(op=(9 << 3), bits=0x84) + flow(op=(2 << 3)) + update)
write("flow_observation", "limits-zero", bytes([0x00, 0x01]) + flow() + update)

# --- flow lines: one line of a capture.
with open(os.path.join(ROOT, "examples", "home-network.jsonl"), encoding="utf-8") as f:
    lines = [l.rstrip("\n") for l in f]
for i, l in enumerate(lines[:6]):
    write("flow_line", "sample-%d" % i, l)
write("flow_line", "blank", "   \t")
write("flow_line", "unknown-key", '{"lower_mac": "00:11:22:33:44:55", "lowr_ip": "1.2.3.4"}')
write("flow_line", "bad-mac", '{"lower_mac": "not-a-mac", "upper_ip": "00:11:22:33:44:55"}')
write("flow_line", "user-agent-no-source", '{"user_agent": "curl"}')
write("flow_line", "numbers", '{"time": 1e400, "event": 256, "origin": -1, "protocol": 65536}')
write("flow_line", "names", '{"event": "flow_new", "origin": "upper", "user_agent": "x", '
      '"user_agent_source": "both", "excluded": true}')
write("flow_line", "event-number", '{"event": 200, "lower_mac": "00:11:22:33:44:55"}')
write("flow_line", "long-key", '{"' + "\udcff" * 70 + '": 1}')
write("flow_line", "over-long", '{"note": "' + "x" * 70000 + '"}')
write("flow_line", "deep-nesting", nested(32000))
write("flow_line", "deep-nesting-unclosed", "[" * 65000)
write("flow_line", "deep-nesting-over-long", nested(DEEP))
