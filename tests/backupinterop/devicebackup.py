#!/usr/bin/python3
"""Writes and checks device backups as a device lays them out: an independent peer for the C++ backup
store (standard library and python3-cryptography only). gen-src makes a source tree, write backs it up,
synth writes a manifest without data files, dump prints the records as JSON, view lists them as the
tests describe a device's files (reading every data file), derive times the passcode key derivation."""

import argparse, base64, datetime, hashlib, json, os, plistlib, random, sqlite3, struct, sys, tempfile, time, urllib.parse, uuid

from cryptography.hazmat.primitives import hashes, padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC
from cryptography.hazmat.primitives.keywrap import aes_key_unwrap, aes_key_wrap, InvalidUnwrap

ZERO_IV = bytes(16)
ROW_IV = bytes.fromhex("4E17C2883BD065F9A12C705DE6930BB4")
PROTECTION_CLASSES = range(1, 12)
MODE_DIR, MODE_FILE, MODE_LINK = 0o40755, 0o100644, 0o120755
FLAG_FILE, FLAG_DIR, FLAG_LINK = 1, 2, 4
ITERATIONS = 10  # ITER and DPIC of written keybags: tiny, so tests stay fast
DEVICE_NAME = "Test iPhone"
UDID = "00008030-001a2b3c4d5e6f70"
BACKUP_DATE = datetime.datetime(2024, 5, 1, 10, 20, 30)



def cbc_encrypt(key, data, iv=ZERO_IV):
    p, enc = padding.PKCS7(128).padder(), Cipher(algorithms.AES(key), modes.CBC(iv)).encryptor()
    return enc.update(p.update(data) + p.finalize()) + enc.finalize()


def cbc_decrypt(key, data, iv=ZERO_IV):
    if len(data) % 16:
        raise ValueError("ciphertext length %d is not a multiple of 16" % len(data))
    u, dec = padding.PKCS7(128).unpadder(), Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    return u.update(dec.update(data) + dec.finalize()) + u.finalize()


def pbkdf2(algorithm, password, salt, iterations):
    return PBKDF2HMAC(algorithm=algorithm, length=32, salt=salt, iterations=iterations).derive(password)


def passcode_key(password, attrs):
    """The key that wraps the class keys: a double derivation when DPIC/DPSL are present."""
    secret = password
    if "DPIC" in attrs and "DPSL" in attrs:
        secret = pbkdf2(hashes.SHA256(), secret, attrs["DPSL"], struct.unpack(">I", attrs["DPIC"][:4])[0])
    return pbkdf2(hashes.SHA1(), secret, attrs["SALT"], struct.unpack(">I", attrs["ITER"][:4])[0])


def file_id(domain, path):
    return hashlib.sha1((domain + "-" + path).encode("utf-8")).hexdigest()



def tlv(tag, value):
    value = struct.pack(">I", value) if isinstance(value, int) else value
    return tag.encode("ascii") + struct.pack(">I", len(value)) + value


class Keybag:
    """A backup keybag with freshly made class keys, wrapped with a password."""

    def __init__(self, password, iterations, dpic=None, rng=os.urandom):
        self.class_keys = {c: rng(32) for c in PROTECTION_CLASSES}
        self.attrs = {"SALT": rng(20), "ITER": struct.pack(">I", iterations)}
        if dpic is not None:
            self.attrs.update(DPIC=struct.pack(">I", dpic), DPSL=rng(20))
        pkey = passcode_key(password, self.attrs)
        blob = tlv("VERS", 4 if dpic is not None else 3) + tlv("TYPE", 1)
        blob += tlv("UUID", uuid.uuid4().bytes) + tlv("HMCK", rng(40)) + tlv("WRAP", 0)
        blob += tlv("SALT", self.attrs["SALT"]) + tlv("ITER", iterations)
        if dpic is not None:
            blob += tlv("DPWT", 1) + tlv("DPIC", dpic) + tlv("DPSL", self.attrs["DPSL"])
        for c, key in self.class_keys.items():
            blob += tlv("UUID", uuid.uuid4().bytes) + tlv("CLAS", c) + tlv("WRAP", 2)
            blob += tlv("KTYP", 0) + tlv("WPKY", aes_key_wrap(pkey, key))
        self.blob = blob

    def wrap(self, protection_class, key):
        """A wrapped key blob as records and Manifest.plist store it: class (LE) + RFC 3394 wrap."""
        return struct.pack("<I", protection_class) + aes_key_wrap(self.class_keys[protection_class], key)


def parse_keybag(blob):
    """Keybag attributes, and class number -> class record; every UUID after the first starts a class record."""
    attrs, recs = {}, []
    pos = 0
    while pos + 8 <= len(blob):
        tag = blob[pos:pos + 4].decode("ascii")
        n = struct.unpack(">I", blob[pos + 4:pos + 8])[0]
        value = blob[pos + 8:pos + 8 + n]
        pos += 8 + n
        if tag == "UUID" and "UUID" in attrs:
            recs.append({})
        elif recs and tag in ("CLAS", "WRAP", "WPKY", "KTYP", "PBKY"):
            recs[-1][tag] = value
        else:
            attrs[tag] = value
    return attrs, {struct.unpack(">I", r["CLAS"][:4])[0]: r for r in recs if "CLAS" in r}


def unlock_keybag(blob, password):
    """Class number -> class key; raises InvalidUnwrap for a wrong password."""
    attrs, classes = parse_keybag(blob)
    pkey = passcode_key(password, attrs)
    return attrs, {c: aes_key_unwrap(pkey, rec["WPKY"]) for c, rec in classes.items()
                   if "WPKY" in rec and struct.unpack(">I", rec["WRAP"][:4])[0] & 2}



class Record:
    def __init__(self, domain, path, mode, size=0, mtime=0, birth=0, inode=0, target=None, source=None):
        self.domain, self.path, self.mode, self.size = domain, path, mode, size
        self.mtime, self.birth, self.inode, self.target, self.source = mtime, birth, inode, target, source
        self.uid, self.gid, self.protection, self.properties = 501, 501, 0, []
        # Encrypted backups: the per-file key and its wrapped form (class + wrapped key); mbdb: the data's SHA-1.
        self.key = self.wrapped = self.digest = None

    @property
    def flags(self):
        kind = self.mode & 0o170000
        return FLAG_DIR if kind == 0o040000 else FLAG_LINK if kind == 0o120000 else FLAG_FILE

    @property
    def fid(self):
        return file_id(self.domain, self.path)


def scan_source(src):
    """Records for SRC/<Domain>/<relative path>: one per domain root, folder, file and link."""
    records = []

    def add(domain, rel, full):
        t = int(os.lstat(full).st_mtime)
        r = Record(domain, rel, MODE_DIR, mtime=t, birth=t, inode=1001 + len(records))
        if os.path.islink(full):
            r.mode, r.target = MODE_LINK, os.readlink(full)
        elif not os.path.isdir(full):
            r.mode, r.size, r.source = MODE_FILE, os.path.getsize(full), full
        records.append(r)

    for domain in sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d))):
        droot = os.path.join(src, domain)
        add(domain, "", droot)
        for top, dirs, files in os.walk(droot):
            dirs.sort()
            for name in sorted(dirs) + sorted(files):
                full = os.path.join(top, name)
                add(domain, os.path.relpath(full, droot).replace(os.sep, "/"), full)
    return records



def mbfile_archive(r):
    """An NSKeyedArchiver binary plist of class MBFile, object order as the device writes it."""
    objects = ["$null", None, r.path]
    rec = {
        "Birth": r.birth, "Flags": 0, "GroupID": r.gid, "InodeNumber": r.inode,
        "LastModified": r.mtime, "LastStatusChange": r.mtime, "Mode": r.mode,
        "ProtectionClass": r.protection, "RelativePath": plistlib.UID(2), "Size": r.size, "UserID": r.uid,
    }
    if r.target is not None:
        rec["Target"] = plistlib.UID(len(objects))
        objects.append(r.target)
    if r.digest is not None:
        rec["Digest"] = plistlib.UID(len(objects))
        objects.append(r.digest)
    if r.wrapped is not None:
        rec["EncryptionKey"] = plistlib.UID(len(objects))
        objects.append({"NS.data": r.wrapped, "$class": plistlib.UID(len(objects) + 1)})
        objects.append({"$classname": "NSMutableData", "$classes": ["NSMutableData", "NSData", "NSObject"]})
    rec["$class"] = plistlib.UID(len(objects))
    objects.append({"$classname": "MBFile", "$classes": ["MBFile", "NSObject"]})
    objects[1] = rec
    archive = {"$version": 100000, "$archiver": "NSKeyedArchiver", "$top": {"root": plistlib.UID(1)},
               "$objects": objects}
    return plistlib.dumps(archive, fmt=plistlib.FMT_BINARY, sort_keys=False)


def mbfile_decode(blob):
    archive = plistlib.loads(blob)
    objs = archive["$objects"]
    root = objs[archive["$top"]["root"].data]
    out = {k: objs[v.data] if isinstance(v, plistlib.UID) else v for k, v in root.items() if k != "$class"}
    for k in ("EncryptionKey", "Digest"):
        if isinstance(out.get(k), dict):
            out[k] = out[k]["NS.data"]
    return out



def mbdb_string(value):
    if value is None or len(value) == 0:
        return b"\xff\xff"
    if isinstance(value, str):
        value = value.encode("utf-8")
    return struct.pack(">H", len(value)) + value


def mbdb_record(r):
    out = mbdb_string(r.domain) + mbdb_string(r.path) + mbdb_string(r.target)
    out += mbdb_string(r.digest) + mbdb_string(r.wrapped)
    out += struct.pack(">HIIIIiiiqBB", r.mode, 0, r.inode, r.uid, r.gid, r.mtime, r.mtime, r.birth, r.size,
                       r.protection, len(r.properties))
    for name, value in r.properties:
        out += mbdb_string(name) + mbdb_string(value)
    return out


def row_key(password, salt):
    return hashlib.sha1(password + salt).digest()[:16]


def write_backup(records, out, fmt, password, version, row_salt, iterations=ITERATIONS, dpic=ITERATIONS):
    os.makedirs(out, exist_ok=True)
    encrypted = password is not None
    keybag = None
    if encrypted:
        newer = tuple(int(p) for p in (version + ".0").split(".")[:2]) >= (10, 2)
        keybag = Keybag(password, iterations, dpic if fmt == "db" and newer else None)
    rng = random.Random(7)
    for i, r in enumerate(records):
        if r.flags != FLAG_FILE:
            continue
        if encrypted:
            r.protection = [3, 4, 1, 2, 3, 3, 5, 6, 7, 11][i % 10]
            r.key = os.urandom(32)
            r.wrapped = keybag.wrap(r.protection, r.key)
        if r.source is not None:
            with open(r.source, "rb") as f:
                plain = f.read()
            # Devices since iOS 10 no longer record the digest in Manifest.db.
            if fmt == "mbdb":
                r.digest = hashlib.sha1(plain).digest()
            dest = os.path.join(out, r.fid) if fmt == "mbdb" else os.path.join(out, r.fid[:2], r.fid)
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            with open(dest, "wb") as f:
                f.write(cbc_encrypt(r.key, plain) if encrypted else plain)
        if fmt == "mbdb" and rng.random() < 0.3:
            r.properties.append(("com.apple.assetsd.UUID", uuid.UUID(int=rng.getrandbits(128)).bytes))
    manifest_key = None
    if fmt == "mbdb":
        with open(os.path.join(out, "Manifest.mbdb"), "wb") as f:
            f.write(b"mbdb\x05\x00")
            for r in records:
                f.write(mbdb_record(r))
    else:
        dbpath = os.path.join(out, "Manifest.db")
        if os.path.exists(dbpath):
            os.remove(dbpath)
        db = sqlite3.connect(dbpath)
        db.executescript("""
            CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath TEXT, flags INTEGER, file BLOB);
            CREATE INDEX FilesDomainIdx ON Files(domain);
            CREATE INDEX FilesRelativePathIdx ON Files(relativePath);
            CREATE INDEX FilesFlagsIdx ON Files(flags);
            CREATE TABLE Properties (key TEXT PRIMARY KEY, value BLOB);
        """)
        rk = None
        if encrypted and row_salt:
            salt = os.urandom(20)
            db.execute("INSERT INTO Properties(key, value) VALUES('salt', ?)", (salt,))
            rk = row_key(password, salt)
        rows = []
        for r in records:
            blob = mbfile_archive(r)
            if rk is not None:
                blob = base64.b64encode(cbc_encrypt(rk, blob, ROW_IV)).decode("ascii")
            rows.append((r.fid, r.domain, r.path, r.flags, blob))
        db.executemany("INSERT INTO Files VALUES(?,?,?,?,?)", rows)
        db.commit()
        db.close()
        if keybag is not None and "DPIC" in keybag.attrs:
            mkey = os.urandom(32)
            manifest_key = keybag.wrap(4, mkey)
            with open(dbpath, "rb") as f:
                plain = f.read()
            with open(dbpath, "wb") as f:
                f.write(cbc_encrypt(mkey, plain))
    lockdown = {"DeviceName": DEVICE_NAME, "UniqueDeviceID": UDID, "ProductVersion": version,
                "ProductType": "iPhone12,1", "SerialNumber": "F2LZK0ABCDEF", "BuildVersion": "18C66"}
    manifest = {"Lockdown": lockdown, "IsEncrypted": encrypted, "Date": BACKUP_DATE,
                "Version": "10.0" if fmt == "db" else "9.1", "WasPasscodeSet": False, "Applications": {}}
    if encrypted:
        manifest["BackupKeyBag"] = keybag.blob
    if manifest_key is not None:
        manifest["ManifestKey"] = manifest_key
    with open(os.path.join(out, "Manifest.plist"), "wb") as f:
        plistlib.dump(manifest, f, fmt=plistlib.FMT_BINARY)
    with open(os.path.join(out, "Status.plist"), "wb") as f:
        plistlib.dump({"IsFullBackup": True, "Version": "3.3", "UUID": str(uuid.uuid4()).upper(), "Date": BACKUP_DATE,
                       "BackupState": "new", "SnapshotState": "finished"}, f, fmt=plistlib.FMT_BINARY)



class OpenBackup:
    def __init__(self, path, password):
        self.path = path
        with open(os.path.join(path, "Manifest.plist"), "rb") as f:
            self.manifest = plistlib.load(f)
        self.encrypted = bool(self.manifest.get("IsEncrypted"))
        self.attrs, self.class_keys = {}, {}
        if self.encrypted:
            if password is None:
                raise SystemExit("backup is encrypted: --password is required")
            self.attrs, self.class_keys = unlock_keybag(self.manifest["BackupKeyBag"], password)
        self.password = password
        self.mbdb = os.path.exists(os.path.join(path, "Manifest.mbdb"))

    def unwrap(self, protection_class, wrapped):
        return aes_key_unwrap(self.class_keys[protection_class], wrapped[4:])

    def records(self):
        """Yields dicts with domain, path, mode, size, mtime, protection, key (wrapped), digest, target."""
        if self.mbdb:
            yield from self._mbdb_records()
        else:
            yield from self._db_records()

    def _mbdb_records(self):
        with open(os.path.join(self.path, "Manifest.mbdb"), "rb") as f:
            data = f.read()
        if data[:6] != b"mbdb\x05\x00":
            raise ValueError("bad Manifest.mbdb header")
        pos = 6

        def string():  # 0xFFFF: absent
            nonlocal pos
            n = struct.unpack(">H", data[pos:pos + 2])[0]
            pos += 2 + (0 if n == 0xFFFF else n)
            return None if n == 0xFFFF else data[pos - n:pos]

        while pos < len(data):
            domain, path, target, digest, key = string(), string(), string(), string(), string()
            mode, _hi, inode, uid, gid, mtime, ctime, birth, size, prot, nprops = struct.unpack(
                ">HIIIIiiiqBB", data[pos:pos + 40])
            pos += 40
            props = [(string(), string()) for _ in range(nprops)]
            yield {"domain": domain.decode(), "path": (path or b"").decode(), "mode": mode, "size": size,
                   "mtime": mtime, "protection": prot, "key": key, "digest": digest, "inode": inode,
                   "target": target.decode() if target else None, "properties": len(props)}

    def _db_records(self):
        dbpath = os.path.join(self.path, "Manifest.db")
        tmp = None
        if self.encrypted and "DPIC" in self.attrs and "DPSL" in self.attrs:
            mk = self.manifest["ManifestKey"]
            key = self.unwrap(struct.unpack("<I", mk[:4])[0], mk)
            with open(dbpath, "rb") as f:
                plain = cbc_decrypt(key, f.read())
            tmp = dbpath + ".peer-%d" % os.getpid()
            with open(tmp, "wb") as f:
                f.write(plain)
            dbpath = tmp
        try:
            db = sqlite3.connect("file:%s?mode=ro" % urllib.parse.quote(os.path.abspath(dbpath)), uri=True)
            if db.execute("PRAGMA integrity_check").fetchone()[0] != "ok":
                raise ValueError("Manifest.db fails its integrity check")
            rk = None
            if self.encrypted:
                row = db.execute("SELECT value FROM Properties WHERE key='salt'").fetchone() if db.execute(
                    "SELECT 1 FROM sqlite_master WHERE type='table' AND name='Properties'").fetchone() else None
                if row:
                    rk = row_key(self.password, row[0])
            for fid, domain, path, flags, blob in db.execute(
                    "SELECT fileID, domain, relativePath, flags, file FROM Files"):
                if rk is not None:
                    blob = cbc_decrypt(rk, base64.b64decode(blob), ROW_IV)
                rec = mbfile_decode(blob)
                if fid != file_id(domain, path):
                    raise ValueError("fileID %s does not match %s-%s" % (fid, domain, path))
                yield {"domain": domain, "path": path, "mode": rec.get("Mode", 0), "size": rec.get("Size", 0),
                       "mtime": rec.get("LastModified", 0), "protection": rec.get("ProtectionClass", 0),
                       "key": rec.get("EncryptionKey"), "digest": rec.get("Digest"), "flags": flags,
                       "inode": rec.get("InodeNumber", 0), "target": rec.get("Target")}
            db.close()
        finally:
            if tmp:
                os.remove(tmp)

    def data_path(self, domain, path):
        fid = file_id(domain, path)
        return os.path.join(self.path, fid) if self.mbdb else os.path.join(self.path, fid[:2], fid)

    def read_plain(self, rec):
        with open(self.data_path(rec["domain"], rec["path"]), "rb") as f:
            stored = f.read()
        if self.encrypted and rec["key"]:
            return cbc_decrypt(self.unwrap(rec["protection"], rec["key"]), stored)
        return stored


def cmd_dump(args, b):
    for r in b.records():
        out = {k: (v.hex() if isinstance(v, bytes) else v) for k, v in r.items()}
        print(json.dumps(out, ensure_ascii=False))
    return 0


def sound_db(plain):
    with tempfile.NamedTemporaryFile() as f:
        f.write(plain)
        f.flush()
        db = sqlite3.connect("file:%s?mode=ro" % urllib.parse.quote(f.name), uri=True)
        try:
            return db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        except sqlite3.DatabaseError:
            return False
        finally:
            db.close()


def cmd_view(args, b):
    """Status.plist's state, then one sorted line per record as the tests describe a device's files:
    "Domain/path<TAB>d", "l <target>" or "f <size> <sha1>" (a digest not matching its data is marked)."""
    lines = []
    for r in b.records():
        kind, name = r["mode"] & 0o170000, r["domain"] + ("/" + r["path"] if r["path"] else "")
        if name == "MediaDomain/Media/com.apple.itunes.lock_sync":
            continue  # the sync lock a real phone keeps, left out of the tests' device trees too
        if kind == 0o100000:
            plain = b.read_plain(r)
            sha1 = hashlib.sha1(plain)
            bad = " BAD DIGEST" if r["digest"] and r["digest"] != sha1.digest() else ""
            bad += " BAD DB" if plain.startswith(b"SQLite format 3\0") and not sound_db(plain) else ""
            lines.append("%s%s\tf %d %s" % (name, bad, len(plain), sha1.hexdigest()))
        else:
            lines.append(name + ("\tl " + r["target"] if kind == 0o120000 else "\td"))
    with open(os.path.join(b.path, "Status.plist"), "rb") as f:
        print(plistlib.load(f)["SnapshotState"] + "\n" + "\n".join(sorted(lines)), end="")
    return 0



def gen_source(root, large):
    """A small device-like tree with the awkward cases: empty, block-sized and odd-sized files,
    a real SQLite database, non-ASCII names, app containers and a symbolic link."""
    rng = random.Random(1)

    def put(domain, rel, data):
        full = os.path.join(root, domain, rel)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        t = 1600000000 + rng.randrange(10 ** 7)
        os.utime(full, (t, t))

    put("HomeDomain", "Library/Notes/empty.txt", b"")
    for n in (1, 15, 16, 17, 8191, 8192, 8193, 8208):
        put("HomeDomain", "Library/Sizes/f%d.bin" % n, rng.randbytes(n))
    put("HomeDomain", "Library/Notes/tab\there.txt", b"a name with a tab")
    put("HomeDomain", "Library/Notes/\u00fcn\u00efc\u00f8d\u00e9 \u540d\u524d.txt", "h\u00e9llo".encode())
    put("HomeDomain", "Library/Preferences/com.apple.x.plist",
        plistlib.dumps({"a": 1, "b": "two"}, fmt=plistlib.FMT_BINARY))
    put("RootDomain", "Library/Preferences/root.plist", plistlib.dumps({"root": True}))
    put("MediaDomain", "Library/SMS/Attachments/0a/00/IMG_0001.jpg", rng.randbytes(3000))
    put("MediaDomain", "Library/SMS/Attachments/0a/00/IMG_0001-preview-left.jpg", rng.randbytes(500))
    put("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG", rng.randbytes(large))
    put("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.MOV", rng.randbytes(20000))
    put("AppDomain-com.example.app", "Documents/a.txt", b"app document\n")
    put("AppDomain-com.example.app", "Library/Caches/cache.bin", rng.randbytes(4096))
    put("AppDomainGroup-group.example", "Library/shared.txt", b"group\n")
    put("WirelessDomain", "Library/CallHistory/call_history.db", rng.randbytes(64))
    sms = os.path.join(root, "HomeDomain", "Library/SMS/sms.db")
    os.makedirs(os.path.dirname(sms), exist_ok=True)
    db = sqlite3.connect(sms)
    # The tables of an older device's message store, so that cleaning the messages has them to empty.
    for table in ("message", "msg_pieces", "group_member", "msg_group"):
        db.execute("CREATE TABLE %s (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT)" % table)
    db.executemany("INSERT INTO message(text) VALUES(?)", [("message %d" % i,) for i in range(200)])
    db.commit()
    db.close()
    os.utime(sms, (1600000000, 1600000000))
    link = os.path.join(root, "HomeDomain", "Library/Notes/link")
    if not os.path.lexists(link):
        os.symlink("empty.txt", link)


APPLE_EPOCH = 978307200  # 2001-01-01 in Unix seconds


def gen_sms_ios5(root, now):
    """An iOS 5 message store: SMS and iMessage conversations over weeks, with parts, attachments and triggers."""
    put = lambda rel, data: (os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True),
                             open(os.path.join(root, rel), "wb").write(data))
    put("HomeDomain/Library/SMS/sms.db", b"")
    db = sqlite3.connect(os.path.join(root, "HomeDomain/Library/SMS/sms.db"))
    db.create_function("read", 1, lambda flags: (flags or 0) & 2)
    db.executescript("""
CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, text TEXT, flags INTEGER, group_id INTEGER, is_madrid INTEGER, madrid_handle TEXT);
CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, newest_message INTEGER, unread_count INTEGER, hash INTEGER);
CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER, address TEXT, country TEXT);
CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER, data BLOB, part_id INTEGER, preview_part INTEGER, content_type TEXT, content_loc TEXT);
CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, attachment_guid TEXT, filename TEXT, mime_type TEXT, message_id INTEGER);
CREATE TRIGGER delete_message AFTER DELETE ON message WHEN NOT read(old.flags) BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM msg_group WHERE ROWID = old.group_id) - 1 WHERE ROWID = old.group_id; END;
CREATE TRIGGER delete_pieces AFTER DELETE ON message BEGIN DELETE from msg_pieces where old.ROWID == msg_pieces.message_id; END;
""")
    rng = random.Random(5)
    for g, who in enumerate(("+15550100001", "+15550100002", "kim@example.com"), start=1):
        db.execute("INSERT INTO msg_group VALUES (?, 0, 0, 0, 0)", (g,))
        db.execute("INSERT INTO group_member(group_id, address, country) VALUES (?, ?, 'us')", (g, who))
        for k in range(6):
            madrid = "@" in who
            date = now - 86400 * (7 * k + g) - 3600 - (APPLE_EPOCH if madrid else 0)
            m = db.execute("INSERT INTO message(address, date, text, flags, group_id, is_madrid, madrid_handle) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?)", (who, date, "message %d" % k, 3 if k % 2 else 0, g,
                                                            int(madrid), who if madrid else None)).lastrowid
            if k % 3 == 1 and madrid:
                folder = "Library/SMS/Attachments/%02x/%02d/%s" % (m, m % 16, uuid.UUID(int=rng.getrandbits(128)))
                put("MediaDomain/" + folder + "/IMG_%d.jpeg" % m, rng.randbytes(4000 + m))
                put("MediaDomain/" + folder + "/IMG_%d-preview.jpeg" % m, rng.randbytes(300))
                db.execute("INSERT INTO madrid_attachment(attachment_guid, filename, mime_type, message_id) "
                           "VALUES (?, ?, 'image/jpeg', ?)", (str(m), "~/" + folder + "/IMG_%d.jpeg" % m, m))
            elif k % 3 == 1:
                for part, kind, loc in ((1, "text/plain", "text_0001.txt"), (2, "image/jpeg", "IMG_%d.jpg" % m)):
                    db.execute("INSERT INTO msg_pieces(message_id, data, part_id, content_type, content_loc) VALUES "
                               "(?, ?, ?, ?, ?)", (m, b"caption" if part == 1 else None, part, kind, loc))
                    put("MediaDomain/Library/SMS/Parts/%02x/%02d/%d-%d.%s" % (
                        g % 256, m % 16, m, part, loc.rsplit(".", 1)[1]), rng.randbytes(50 if part == 1 else 6000))
    db.commit()


def check_messages(args):
    """Judges a selective messages clean by the rows and records before and after it; prints problems and figures."""
    before, after = (OpenBackup(d, args.password and args.password.encode()) for d in (args.before, args.after))
    recs = [{r["domain"] + "/" + r["path"]: r for r in b.records()} for b in (before, after)]
    tmp, sms = tempfile.TemporaryDirectory(), "HomeDomain/Library/SMS/sms.db"
    for i, (b, r) in enumerate(zip((before, after), recs)):
        for suffix in [x for x in ("", "-wal") if sms + x in r]:
            open(os.path.join(tmp.name, str(i) + suffix), "wb").write(b.read_plain(r[sms + suffix]))
    old, new = (sqlite3.connect(os.path.join(tmp.name, str(i))) for i in (0, 1))
    q = lambda db, sql: db.execute(sql).fetchall()
    folder = lambda f: "Library/SMS/Attachments/" + f.split("Library/SMS/Attachments/", 1)[-1].rsplit("/", 1)[0]
    newer = {"chat", "handle", "chat_handle_join", "message", "chat_message_join"} <= {
        n for (n,) in q(old, "select name from sqlite_master where type='table'")}
    cutoff = (args.now - args.older_than * 86400) if args.older_than else None
    if newer:
        convo_of = {m: c for c, m in q(old, "select chat_id, message_id from chat_message_join")}
        ids = {str(g): c for c, g in q(old, "select ROWID, guid from chat")}
        unix = lambda d: (d // 10 ** 9 if d > 10 ** 12 else d) + APPLE_EPOCH
        messages = {m: (convo_of.get(m), unix(d or 0) if d else None) for m, d in q(old, "select ROWID, date from message")}
    else:
        ids = {str(g): g for (g,) in q(old, "select ROWID from msg_group")}
        messages = {m: (g, (d + (APPLE_EPOCH if madrid == 1 else 0)) if d else None)
                    for m, g, d, madrid in q(old, "select ROWID, group_id, date, is_madrid from message")}
    chosen = {ids[c] for c in args.conversation if c in ids}
    picked = {m for m, (c, d) in messages.items()
              if (not args.conversation or c in chosen) and (cutoff is None or (d is not None and d < cutoff))}
    if cutoff is not None and any(d is not None and cutoff <= d < cutoff + time.time() - args.now + 1
                                  for m, (c, d) in messages.items()):
        return print(json.dumps({"skip": "a message lies on the cutoff"}))
    gone, gone_parts = (set() if args.attachments_only else picked), set()
    problems = []
    expect = lambda what, want, got: want == got or problems.append("%s: want %s, got %s" % (what, sorted(want), sorted(got)))
    expect("messages", set(messages) - gone, {m for (m,) in q(new, "select ROWID from message")})
    if newer:
        links = q(old, "select message_id, attachment_id from message_attachment_join")
        att = dict(q(old, "select ROWID, filename from attachment"))
        gone_att = {a for m, a in links if m in picked} - {a for m, a in links if m not in picked}
        expect("attachments", set(att) - gone_att, {a for (a,) in q(new, "select ROWID from attachment")})
        used = [{h for (h,) in q(db, "select handle_id from message union select handle_id from chat_handle_join")}
                for db in (old, new)]  # a handle goes once nothing uses it
        expect("handles", {h for (h,) in q(old, "select ROWID from handle")} - (used[0] - used[1]),
               {h for (h,) in q(new, "select ROWID from handle")})
        gone_files = {folder(att[a]) for a in gone_att}
    else:
        pieces = q(old, "select p.ROWID, p.message_id, p.part_id, p.content_type, p.content_loc, m.group_id from "
                        "msg_pieces p join message m on m.ROWID = p.message_id")
        went = {p for p in pieces if p[1] in picked and (not args.attachments_only or (
            p[4] and not (p[3] or "").startswith("text/")))}
        expect("pieces", {p[0] for p in pieces} - {p[0] for p in went}, {p for (p,) in q(new, "select ROWID from msg_pieces")})
        madrid = q(old, "select ROWID, filename, message_id from madrid_attachment")
        expect("madrid attachments", {a for a, f, m in madrid if m not in picked},
               {a for (a,) in q(new, "select ROWID from madrid_attachment")})
        gone_att = {("madrid", a) for a, f, m in madrid if m in picked} | {
            ("piece", p[0]) for p in went if p[4] and not (p[3] or "").startswith("text/")}
        gone_files = {folder(f) for a, f, m in madrid if m in picked}
        gone_parts = {"Library/SMS/Parts/%02x/%02d/%d-%d.%s" % (g % 256, m % 16, m, part, loc.rsplit(".", 1)[-1])
                      for _, m, part, _, loc, g in went if loc}
    table = "chat" if newer else "msg_group"
    emptied = chosen if args.conversation else {messages[m][0] for m in gone}
    kept = {c for (c,) in q(old, "select ROWID from " + table)} - {
        c for c in emptied if all(messages[m][0] != c for m in set(messages) - gone)}
    expect("conversations", kept, {c for (c,) in q(new, "select ROWID from " + table)})
    if not newer:
        expect("members", {r for r in q(old, "select * from group_member") if r[1] in kept}, set(q(new, "select * from group_member")))
    for check in ("integrity_check", "foreign_key_check"):  # only what the clean broke: real files may come broken
        expect(check, set(), set(q(new, "pragma " + check)) - set(q(old, "pragma " + check)) - {("ok",)})
    went_records = set(recs[0]) - set(recs[1]) - {"HomeDomain/Library/SMS/sms.db-wal", "HomeDomain/Library/SMS/sms.db-shm"}
    expect("records gone", {k for k in recs[0] if k in ("MediaDomain/" + p for p in gone_parts) or (
        k.startswith("MediaDomain/") and k[12:].rsplit("/", 1)[0] in gone_files)}, went_records)
    expect("records changed", set(), {k for k, r in recs[1].items() if k != sms and r["digest"] != recs[0].get(k, r)["digest"]})
    dates = [d for c, d in messages.values() if d]
    iso = lambda d: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(d)) if d else ""
    print(json.dumps({"problems": problems, "range": [len(messages), iso(min(dates, default=0)), iso(max(dates, default=0))],
                      "went": [len(gone), len(gone_att), sum(recs[0][k]["size"] for k in went_records)]}))


def synth_records(count):
    """Records without data files, spread over domains and folders like a large backup."""
    domains = ["HomeDomain", "MediaDomain", "CameraRollDomain", "RootDomain"] + [
        "AppDomain-com.example.app%d" % i for i in range(60)]
    rng = random.Random(1)
    records = []
    inode = 0
    for d in domains:
        inode += 1
        records.append(Record(d, "", MODE_DIR, inode=inode, mtime=1600000000))
    folders = []
    while len(records) < count:
        d = domains[rng.randrange(len(domains))]
        inode += 1
        if rng.random() < 0.08 or not folders:
            p = "Library/F%d/sub%d" % (rng.randrange(1000), inode)
            folders.append((d, p))
            records.append(Record(d, p, MODE_DIR, inode=inode, mtime=1600000000))
        else:
            fd, fp = folders[rng.randrange(len(folders))]
            r = Record(fd, "%s/file-%d.dat" % (fp, inode), MODE_FILE, size=rng.randrange(1, 10 ** 6),
                       inode=inode, mtime=1600000000 + inode)
            records.append(r)
    # Distinct (domain, path) pairs only: the manifest is keyed by their hash.
    seen = set()
    return [r for r in records if not (r.fid in seen or seen.add(r.fid))]



def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)

    g = sub.add_parser("gen-src")
    g.add_argument("dir")
    g.add_argument("--large", type=int, default=300000, help="size of the largest file")

    for name, positional in (("write", ("src", "out")), ("synth", ("out",))):
        p = sub.add_parser(name)
        for a in positional:
            p.add_argument(a)
        if name == "synth":
            p.add_argument("--records", type=int, required=True)
        p.add_argument("--format", choices=["db", "mbdb"], default="db")
        p.add_argument("--password")
        p.add_argument("--version", default=None, help="ProductVersion (default 14.3, or 9.3.5 for mbdb)")
        p.add_argument("--row-salt", action="store_true", help="encrypt Manifest.db rows (early iOS 10)")
        # Device-strength derivation for the benchmark; the tiny default keeps tests fast.
        p.add_argument("--iter", type=int, default=ITERATIONS, help="ITER of the keybag")
        p.add_argument("--dpic", type=int, default=ITERATIONS, help="DPIC of the keybag (iOS 10.2 and later)")

    g5 = sub.add_parser("gen-sms-ios5")
    g5.add_argument("dir"), g5.add_argument("--now", type=int, required=True)
    c = sub.add_parser("check-messages")
    for name in ("before", "after", "--password"):
        c.add_argument(name)
    c.add_argument("--attachments-only", action="store_true")
    c.add_argument("--older-than", type=int, default=0)
    c.add_argument("--conversation", action="append", default=[])
    c.add_argument("--now", type=int, default=0, help="when the scan and clean began, in Unix seconds")

    readers = {"dump": cmd_dump, "view": cmd_view}
    for name in readers:
        r = sub.add_parser(name)
        r.add_argument("backup")
        r.add_argument("--password")

    k = sub.add_parser("derive")
    for option in ("--password", "--dpsl", "--dpic", "--salt", "--iter"):
        k.add_argument(option, required=True, type=int if option in ("--dpic", "--iter") else str)

    args = ap.parse_args()
    if args.cmd == "gen-src":
        gen_source(args.dir, args.large)
        return 0
    if args.cmd in ("gen-sms-ios5", "check-messages"):
        return gen_sms_ios5(args.dir, args.now) if args.cmd == "gen-sms-ios5" else check_messages(args)
    if args.cmd in ("write", "synth"):
        version = args.version or ("9.3.5" if args.format == "mbdb" else "14.3")
        records = scan_source(args.src) if args.cmd == "write" else synth_records(args.records)
        write_backup(records, args.out, args.format, args.password.encode() if args.password is not None else None,
                     version, args.row_salt, args.iter, args.dpic)
        print(len(records))
        return 0
    if args.cmd in readers:
        try:
            b = OpenBackup(args.backup, args.password.encode() if args.password is not None else None)
        except InvalidUnwrap:
            print("wrong password", file=sys.stderr)
            return 3
        return readers[args.cmd](args, b)
    if args.cmd == "derive":
        # hashlib's PBKDF2 (OpenSSL underneath), timed here so a benchmark can compare like with like.
        t0 = time.perf_counter()
        t = hashlib.pbkdf2_hmac("sha256", args.password.encode(), bytes.fromhex(args.dpsl), args.dpic, 32)
        key = hashlib.pbkdf2_hmac("sha1", t, bytes.fromhex(args.salt), args.iter, 32)
        print(json.dumps({"key": key.hex(), "seconds": time.perf_counter() - t0}))
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main())
