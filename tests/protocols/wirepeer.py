"""Independent reader of what the simulated services saw and sent.

frames FILE   decodes a capture of length-prefixed property lists with plistlib
cpio FILE     lists a gzip-compressed cpio archive ("070707" or "070701")
Both print JSON; numbers are tagged "int:N" / "real:N" so their kind shows.
"""
import gzip
import hashlib
import json
import plistlib
import sys


def tag(v):
    if isinstance(v, bool):
        return v
    if isinstance(v, int):
        return f"int:{v}"
    if isinstance(v, float):
        return f"real:{v!r}"
    if isinstance(v, list):
        return [tag(x) for x in v]
    if isinstance(v, dict):
        return {k: tag(x) for k, x in v.items()}
    return v


def frames(data):
    out, i = [], 0
    while i < len(data):
        n = int.from_bytes(data[i:i + 4], "big")
        body = data[i + 4:i + 4 + n]
        i += 4 + n
        out.append({"format": "binary" if body.startswith(b"bplist00") else "xml", "value": tag(plistlib.loads(body))})
    return out


def cpio(raw):
    out, i = [], 0
    up = lambda n, a: -(-n // a) * a
    while True:
        if raw[i:i + 6] == b"070707":
            size, mode, namesize, filesize, align = 76, int(raw[i + 18:i + 24], 8), int(raw[i + 59:i + 65], 8), int(raw[i + 65:i + 76], 8), 1
        elif raw[i:i + 6] in (b"070701", b"070702"):
            size, mode, namesize, filesize, align = 110, int(raw[i + 14:i + 22], 16), int(raw[i + 94:i + 102], 16), int(raw[i + 54:i + 62], 16), 4
        else:
            sys.exit("not a cpio member at %d" % i)
        name = raw[i + size:i + size + namesize - 1].decode()
        i = up(i + size + namesize, align)
        body = raw[i:i + filesize]
        i = up(i + filesize, align)
        if name == "TRAILER!!!":
            return out
        out.append({"name": name, "type": oct(mode & 0o170000), "sha1": hashlib.sha1(body).hexdigest()})


data = open(sys.argv[2], "rb").read()
print(json.dumps(frames(data) if sys.argv[1] == "frames" else cpio(gzip.decompress(data))))
