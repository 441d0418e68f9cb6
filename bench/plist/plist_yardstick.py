#!/usr/bin/python3
"""Yardstick of bench_plist: Python's plistlib reading and writing the same
property lists. For each file named on the command line (FORMAT-NAME.plist,
FORMAT xml or bin) it reads the file, writes the value back in the same format
to FILE.py, and prints one JSON line: file, element count, read and write
seconds. `--archive FILE N` reads FILE N times instead."""

import json
import plistlib
import sys
import time


def main():
    if sys.argv[1] == "--archive":
        blob = open(sys.argv[2], "rb").read()
        n = int(sys.argv[3])
        t0 = time.perf_counter()
        decoded = sum(1 for _ in range(n) if plistlib.loads(blob))
        print(json.dumps({"file": sys.argv[2], "count": decoded, "read": time.perf_counter() - t0}))
        return 0
    for path in sys.argv[1:]:
        data = open(path, "rb").read()
        fmt = plistlib.FMT_BINARY if path.rsplit("/", 1)[-1].startswith("bin") else plistlib.FMT_XML
        t0 = time.perf_counter()
        value = plistlib.loads(data)
        read = time.perf_counter() - t0
        t0 = time.perf_counter()
        out = plistlib.dumps(value, fmt=fmt, sort_keys=False)
        write = time.perf_counter() - t0
        with open(path + ".py", "wb") as f:
            f.write(out)
        print(json.dumps({"file": path, "count": len(value), "read": read, "write": write}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
