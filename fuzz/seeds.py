#!/usr/bin/python3
"""Writes the starting corpus of every fuzz target into OUT/<target>/: messages
shaped as the peers send them, plus records taken from real files (REALDATA)
and from backups the independent Python peer writes."""

import glob
import os
import plistlib
import sqlite3
import struct
import subprocess
import sys
import tempfile

OUT, SRC, REALDATA = sys.argv[1], sys.argv[2], sys.argv[3]
PEER = os.path.join(SRC, "tests/backupinterop/devicebackup.py")


def put(target, name, data):
    os.makedirs(os.path.join(OUT, target), exist_ok=True)
    with open(os.path.join(OUT, target, name), "wb") as f:
        f.write(data)


def both(value):
    return [plistlib.dumps(value, fmt=plistlib.FMT_XML), plistlib.dumps(value, fmt=plistlib.FMT_BINARY)]


def afc(op, payload=b"", header=b""):
    length = 40 + len(header) + len(payload)
    return b"CFA6LPAA" + struct.pack("<QQQQ", length, 40 + len(header), 1, op) + header + payload


def framed(values, binary=False):
    fmt = plistlib.FMT_BINARY if binary else plistlib.FMT_XML
    out = b""
    for v in values:
        body = plistlib.dumps(v, fmt=fmt)
        out += struct.pack(">I", len(body)) + body
    return out


# Backups written by the peer: one per manifest form, encrypted with "pw".
work = tempfile.mkdtemp(prefix="fuzzseeds.")
backups = []
for i, args in enumerate([["--format", "db", "--password", "pw"], ["--format", "db", "--password", "pw", "--row-salt"],
                          ["--format", "mbdb", "--password", "pw"], ["--format", "mbdb"], ["--format", "db"]]):
    out = os.path.join(work, str(i))
    if subprocess.call([sys.executable, PEER, "synth", out, "--records", "12"] + args,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0:
        backups.append(out)

plists = []
for path in glob.glob(os.path.join(REALDATA, "**/*.plist"), recursive=True) + \
        [p for b in backups for p in glob.glob(os.path.join(b, "*.plist"))]:
    with open(path, "rb") as f:
        data = f.read()
    plists.append(data)
    try:
        plists += both(plistlib.loads(data))
    except Exception:
        pass
for i, data in enumerate(plists):
    put("plist", "p%d" % i, data)
    if len(data) < 60000:
        put("framing", "p%d" % i, struct.pack(">I", len(data)) + data)
        put("pipe", "p%d" % i, struct.pack("=i", len(data)) + data)

for b in backups:
    name = os.path.basename(b)
    with open(os.path.join(b, "Manifest.plist"), "rb") as f:
        manifest = plistlib.load(f)
    if "BackupKeyBag" in manifest:
        put("keybag", "bag" + name, manifest["BackupKeyBag"])
    if os.path.exists(os.path.join(b, "Manifest.mbdb")):
        with open(os.path.join(b, "Manifest.mbdb"), "rb") as f:
            put("mbdb", "mbdb" + name, f.read())
dbs = glob.glob(os.path.join(REALDATA, "**/Manifest.db"), recursive=True) + \
    [os.path.join(b, "Manifest.db") for b in backups if os.path.exists(os.path.join(b, "Manifest.db"))]
for path in dbs:
    try:
        con = sqlite3.connect("file:%s?mode=ro&immutable=1" % path, uri=True)
        rows = con.execute("SELECT file FROM Files WHERE file IS NOT NULL LIMIT 40").fetchall()
    except sqlite3.Error:
        continue  # an encrypted Manifest.db
    for i, (blob,) in enumerate(rows):
        put("mbfile", "%s-%d" % (os.path.basename(os.path.dirname(path)), i), bytes(blob))

names = b"".join(n + b"\0" for n in [b".", b"..", b"a.cache", b"Cookies", b"../x"])
info = b"st_size\0" + b"12\0" + b"st_ifmt\0S_IFREG\0st_mtime\0" + b"1700000000000000000\0"
put("afc", "listing", afc(2, names) + afc(2, info) * 3 + afc(1, struct.pack("<Q", 8)) + afc(2, info))
put("afc", "file", afc(1, struct.pack("<Q", 0)) + afc(14, struct.pack("<Q", 3)) + afc(2, b"hello") + afc(2) +
    afc(1, struct.pack("<Q", 0)) * 4)

ready = ["DLMessageDeviceReady"]
process = ["DLMessageProcessMessage", {"MessageName": "Response", "ErrorCode": 0}]
put("devicelink", "ready", framed([ready, process]))
put("devicelink", "exchange", framed([["DLMessageVersionExchange", 300, 0], ready, process], binary=True))
put("devicelink", "upload", framed([ready, ["DLMessageUploadFiles", {}, 0.5], process]))

for i, reply in enumerate([{"AMSBackupPercentageKey": 42.5}, {}, {"errorCode": 105}, {"other": "x"}]):
    for body in both(reply):
        put("pipe", "r%d-%d" % (i, len(body)), struct.pack("=i", len(body)) + body)

put("update", "address", b"http://example.com/download.html\0trailing")
put("update", "empty", b"")
put("update", "anchor", b'<a href="https://example.com/news">New version out</a>')
put("webd", "report", b"prod=U3BhY2U-&ver=My4xLjEz&err=bGluZTEKbGluZTI-")
put("webd", "escaped", b"prod=U3BhY2U%2D&ver=My4x+MTM!&err=YQ--\r\n")

def mux(request, tag=1, version=1, mtype=8):
    body = plistlib.dumps(request)
    return struct.pack("<IIII", 16 + len(body), version, mtype, tag) + body

pair = {"HostID": "HOST-1", "SystemBUID": "B", "DeviceCertificate": b"-----", "HostCertificate": b"--",
        "RootCertificate": b"-"}
put("usbmuxd", "session", b"".join(mux(r, i) for i, r in enumerate([
    {"MessageType": "ReadBUID"}, {"MessageType": "ListDevices"}, {"MessageType": "Listen"},
    {"MessageType": "SavePairRecord", "PairRecordID": "abc", "PairRecordData": plistlib.dumps(pair)},
    {"MessageType": "ReadPairRecord", "PairRecordID": "abc"}, {"MessageType": "DeletePairRecord", "PairRecordID": "abc"},
    {"MessageType": "Connect", "DeviceID": 1, "PortNumber": 32498}])))
put("usbmuxd", "version", mux({"MessageType": "ListDevices"}, version=0))
put("lockdown", "session", framed([
    {"Request": "QueryType"}, {"Request": "GetValue", "Key": "ProductVersion"}, {"Request": "GetValue"},
    {"Request": "GetValue", "Key": "DevicePublicKey"}, {"Request": "Pair", "PairRecord": pair},
    {"Request": "ValidatePair", "PairRecord": pair}, {"Request": "StartService", "Service": "com.apple.afc"},
    {"Request": "SetValue", "Domain": "d", "Key": "k", "Value": 1}, {"Request": "Goodbye"}]))
put("lockdown", "tls", framed([{"Request": "Pair", "PairRecord": pair}, {"Request": "StartSession", "HostID": "HOST-1"}]) +
    b"\x16\x03\x01\x00\x05hello")
