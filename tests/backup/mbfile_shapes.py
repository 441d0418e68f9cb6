# Writes "MBFile" keyed archives of unusual shapes, each in binary and XML form,
# as JSON: [{"name", "bin", "xml"}] with the property lists in hex.
import plistlib, json, sys
UID = plistlib.UID
def archive(root_fields, extra_objects=(), top=None, drop=None):
    objects = ["$null", None] + list(extra_objects)
    root = {"$class": UID(len(objects))}
    root.update(root_fields)
    objects[1] = root
    objects.append({"$classes": ["MBFile", "NSObject"], "$classname": "MBFile"})
    a = {"$archiver": "NSKeyedArchiver", "$objects": objects,
         "$top": top if top is not None else {"root": UID(1)}, "$version": 100000}
    if drop:
        del a[drop]
    return a
base = {"Birth": 1400000000, "Flags": 0, "GroupID": 501, "InodeNumber": 123456789012,
        "LastModified": 1500000000, "LastStatusChange": 1500000001, "Mode": 0o100644,
        "ProtectionClass": 3, "RelativePath": UID(2), "Size": 1 << 40, "UserID": 501}
def rec(**over):
    r = dict(base); r.update(over); return r
key = {"$class": UID(6), "NS.data": b"\x00\x01\x02\x03" + bytes(range(40))}
cases = {
  "usual": archive(rec(Digest=UID(3), EncryptionKey=UID(4), Target=UID(5)),
                   ["Library/a.db", b"d" * 20, key, "../b.db", {"$classes": ["NSMutableData"], "$classname": "NSMutableData"}]),
  "non-ASCII target": archive(rec(Target=UID(3)), ["p", "lien-\u00fc-\u20ac"]),
  "negative numbers": archive(rec(Size=-5, UserID=-1, Birth=-2**40), ["p"]),
  "fractional mode": archive(rec(Mode=16877.0), ["p"]),
  "fraction refused": archive(rec(Mode=1.5), ["p"]),
  "above 64 bits signed": archive(rec(Size=2**64 - 1), ["p"]),
  "uid outside objects": archive(rec(Digest=UID(99), EncryptionKey=UID(3), Target=UID(1000)), ["p", {"NS.data": UID(99)}]),
  "inline values": archive(rec(Digest=b"inline digest bytes!", Target="t", EncryptionKey=b"k" * 44), ["p"]),
  "data dict without NS.data": archive(rec(EncryptionKey=UID(3)), ["p", {"$class": UID(1)}]),
  "empty digest": archive(rec(Digest=b""), ["p"]),
  "empty target": archive(rec(Target=""), ["p"]),
  "boolean and string numbers": archive(rec(Mode=True, Size="12", GroupID=b"x"), ["p"]),
  "root is a string": archive(rec(), ["p"], top={"root": UID(2)}),
  "no $top": archive(rec(), ["p"], drop="$top"),
  "no $objects": archive(rec(), ["p"], drop="$objects"),
  "objects not an array": dict(archive(rec(), ["p"]), **{"$objects": "no"}),
  "root through nothing": archive(rec(), ["p"], top={"root": UID(50)}),
  "one-byte widths": archive(rec(Mode=7, Size=255, UserID=65535, GroupID=2**31), ["p"]),
}
def xmlform(v):
    if isinstance(v, UID):
        return {"CF$UID": v.data}
    if isinstance(v, dict):
        return {k: xmlform(x) for k, x in v.items()}
    if isinstance(v, list):
        return [xmlform(x) for x in v]
    return v
out = []
for name, a in cases.items():
    out.append({"name": name, "bin": plistlib.dumps(a, fmt=plistlib.FMT_BINARY).hex(),
                "xml": plistlib.dumps(xmlform(a), fmt=plistlib.FMT_XML).hex()})
json.dump(out, sys.stdout)
