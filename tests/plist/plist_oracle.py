#!/usr/bin/env python3
"""Independent property-list reader and writer for tst_plist: `dump PATH` prints the file's canonical form,
`write xml|bin PATH` writes this script's own sample and prints its canonical form (one JSON line each).
Canonical form, one-key objects naming the kind: {"s": text} {"i": "decimal"} {"r": "hex of the IEEE double"|"nan"}
{"b": bool} {"d": "hex"} {"t": "YYYY-MM-DDTHH:MM:SS.ffffff"} {"u": n} {"a": [values]} {"o": [[key, value], ...] sorted
by key}; a lone integer "CF$UID" is a UID."""
import datetime
import json
import plistlib
import struct
import sys


def canon(v):
    if isinstance(v, bool):
        return {"b": v}
    if isinstance(v, plistlib.UID):
        return {"u": v.data}
    if isinstance(v, int):
        return {"i": str(v)}
    if isinstance(v, float):
        return {"r": "nan" if v != v else struct.pack(">d", v).hex()}
    if isinstance(v, str):
        return {"s": v}
    if isinstance(v, (bytes, bytearray)):
        return {"d": bytes(v).hex()}
    if isinstance(v, datetime.datetime):
        return {"t": v.strftime("%Y-%m-%dT%H:%M:%S.%f")}
    if isinstance(v, list):
        return {"a": [canon(x) for x in v]}
    if isinstance(v, dict):
        if len(v) == 1 and isinstance(v.get("CF$UID"), int) and not isinstance(v.get("CF$UID"), bool):
            return {"u": v["CF$UID"]}
        return {"o": [[k, canon(v[k])] for k in sorted(v)]}
    raise TypeError("unexpected value %r" % (v,))


def sample(fmt):
    value = {
        "ascii": "plain text",
        "unicode": "gr\u00fc\u00dfe \u65e5\u672c \U0001F600 <&>",
        "empty": "",
        "ints": [0, 1, -1, 255, 256, 65535, -32769, 2**31, -2**31 - 1, 2**63 - 1, -2**63, 5000000000],
        "big": 2**64 - 1,
        "above": 2**63,
        "reals": [0.0, 0.1, 3.5, -1e-300, 1.7976931348623157e308, 2.5e-310],
        "true": True,
        "false": False,
        "data": bytes(range(256)),
        "nodata": b"",
        "dates": [datetime.datetime(2013, 5, 1, 10, 20, 30), datetime.datetime(1999, 12, 31, 23, 59, 59),
                  datetime.datetime(2001, 1, 1)],
        "nested": {"a": [{"b": [[], {}, [1, [2, [3]]]]}], "z": {"y": {"x": "deep"}}},
    }
    if fmt == "bin":
        value["uids"] = [plistlib.UID(0), plistlib.UID(1), plistlib.UID(255), plistlib.UID(70000)]
        value["dates"].append(datetime.datetime(2021, 12, 3, 19, 33, 13, 250000))
    return value


def main():
    if sys.argv[1] == "dump":
        with open(sys.argv[2], "rb") as f:
            value = plistlib.load(f)
    else:
        value = sample(sys.argv[2])
        with open(sys.argv[3], "wb") as f:
            plistlib.dump(value, f, fmt=plistlib.FMT_BINARY if sys.argv[2] == "bin" else plistlib.FMT_XML,
                          sort_keys=False)
    print(json.dumps(canon(value), sort_keys=True, ensure_ascii=True))


if __name__ == "__main__":
    main()
