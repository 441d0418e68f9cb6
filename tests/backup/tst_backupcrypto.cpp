// Known answers for the crypto wrapper, the keybag and whole-file encryption.

#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "backup/keybag.h"
#include "backup/mbdbparser.h"
#include "backupfixture.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kRfc3394Kek = QByteArray::fromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
const QByteArray kRfc3394Key = QByteArray::fromHex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
const QByteArray kRfc3394Wrapped =
    QByteArray::fromHex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");

// SP 800-38A F.2.5, CBC-AES256, first two blocks.
const QByteArray kCbcKey = QByteArray::fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const QByteArray kCbcIv = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
const QByteArray kCbcPlain = QByteArray::fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
const QByteArray kCbcCipher = QByteArray::fromHex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d");

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

QByteArray cbc(const QByteArray& key, QByteArray iv, const QByteArray& in, bool encrypt) {
    AesContext ctx;
    if (!(encrypt ? setAESKeyEncrypt(&ctx, key) : setAESKeyDecrypt(&ctx, key))) {
        return {};
    }
    auto* ivp = reinterpret_cast<unsigned char*>(iv.data());
    return encrypt ? AESencryptCBC(&ctx, in.constData(), in.size(), ivp)
                   : AESdecryptCBC(&ctx, in.constData(), in.size(), ivp);
}

QString thrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

} // namespace

class TestBackupCrypto : public QObject {
    Q_OBJECT

private slots:
    // The wrapper refuses to run the suite on a crypto library that gets the basics wrong.
    void initTestCase() {
        QCOMPARE(aes_key_unwrap(kRfc3394Kek, kRfc3394Wrapped), kRfc3394Key);
        QCOMPARE(aes_key_wrap(kRfc3394Kek, kRfc3394Key), kRfc3394Wrapped);
        QCOMPARE(cbc(kCbcKey, kCbcIv, kCbcPlain, true), kCbcCipher);
        QCOMPARE(pbkdf2HmacSha1("password", "salt", 2, 20).toHex(),
                 QByteArray("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"));
    }

    void keyUnwrapDetectsEveryBitFlip_data() {
        QTest::addColumn<int>("bit");
        for (int bit = 0; bit < kRfc3394Wrapped.size() * 8; ++bit) {
            QTest::addRow("bit-%d", bit) << bit;
        }
    }
    void keyUnwrapDetectsEveryBitFlip() {
        QFETCH(int, bit);
        QByteArray wrapped = kRfc3394Wrapped;
        wrapped[bit / 8] = static_cast<char>(wrapped[bit / 8] ^ (1 << (bit % 8)));
        QVERIFY(aes_key_unwrap(kRfc3394Kek, wrapped).isEmpty());
    }

    void keyUnwrapBadInput_data() {
        QTest::addColumn<QByteArray>("kek");
        QTest::addColumn<QByteArray>("wrapped");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("short kek") << kRfc3394Kek.left(16) << kRfc3394Wrapped << QByteArray();
        QTest::newRow("empty") << kRfc3394Kek << QByteArray() << QByteArray();
        QTest::newRow("one block") << kRfc3394Kek << kRfc3394Wrapped.left(8) << QByteArray();
        // Trailing bytes after the last whole block are ignored.
        QTest::newRow("trailing bytes") << kRfc3394Kek << kRfc3394Wrapped + QByteArray("xyz") << kRfc3394Key;
        QTest::newRow("long kek") << kRfc3394Kek + QByteArray("extra") << kRfc3394Wrapped << kRfc3394Key;
    }
    void keyUnwrapBadInput() {
        QFETCH(QByteArray, kek);
        QFETCH(QByteArray, wrapped);
        QFETCH(QByteArray, expected);
        QCOMPARE(aes_key_unwrap(kek, wrapped), expected);
    }

    void pbkdf2_data() {
        QTest::addColumn<bool>("sha256");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<QByteArray>("expected");
        // RFC 6070 (all but the 16777216-iteration case).
        QTest::newRow("rfc6070-1") << false << QByteArray("password") << QByteArray("salt") << 1
                                   << QByteArray("0c60c80f961f0e71f3a9b524af6012062fe037a6");
        QTest::newRow("rfc6070-2") << false << QByteArray("password") << QByteArray("salt") << 2
                                   << QByteArray("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
        QTest::newRow("rfc6070-3") << false << QByteArray("password") << QByteArray("salt") << 4096
                                   << QByteArray("4b007901b765489abead49d926f721d065a429c1");
        QTest::newRow("rfc6070-5") << false << QByteArray("passwordPASSWORDpassword")
                                   << QByteArray("saltSALTsaltSALTsaltSALTsaltSALTsalt") << 4096
                                   << QByteArray("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
        QTest::newRow("rfc6070-6") << false << QByteArray("pass\0word", 9) << QByteArray("sa\0lt", 5) << 4096
                                   << QByteArray("56fa6aa75548099dcc37d7f03425e0c3");
        // Published PBKDF2-HMAC-SHA256 vectors.
        QTest::newRow("sha256-1") << true << QByteArray("password") << QByteArray("salt") << 1
                                  << QByteArray("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
        QTest::newRow("sha256-4096") << true << QByteArray("password") << QByteArray("salt") << 4096
                                     << QByteArray("c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
        QTest::newRow("sha256-5")
            << true << QByteArray("passwordPASSWORDpassword") << QByteArray("saltSALTsaltSALTsaltSALTsaltSALTsalt")
            << 4096 << QByteArray("348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9");
    }
    void pbkdf2() {
        QFETCH(bool, sha256);
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(int, iterations);
        QFETCH(QByteArray, expected);
        const int len = static_cast<int>(expected.size() / 2);
        const QByteArray got = sha256 ? pbkdf2HmacSha256(password, salt, iterations, len)
                                      : pbkdf2HmacSha1(password, salt, iterations, len);
        QCOMPARE(got.toHex(), expected);
    }

    void cbcChainsAcrossCalls() {
        // Two one-block calls continue the same stream as one two-block call.
        AesContext enc;
        QVERIFY(setAESKeyEncrypt(&enc, kCbcKey));
        QByteArray iv = kCbcIv;
        auto* ivp = reinterpret_cast<unsigned char*>(iv.data());
        const QByteArray first = AESencryptCBC(&enc, kCbcPlain.constData(), 16, ivp);
        const QByteArray second = AESencryptCBC(&enc, kCbcPlain.constData() + 16, 16, ivp);
        QCOMPARE(first + second, kCbcCipher);
        QCOMPARE(iv, kCbcCipher.right(16));
        AesContext dec;
        QVERIFY(setAESKeyDecrypt(&dec, kCbcKey));
        QByteArray iv2 = kCbcIv;
        auto* ivp2 = reinterpret_cast<unsigned char*>(iv2.data());
        const QByteArray plain1 = AESdecryptCBC(&dec, kCbcCipher.constData(), 16, ivp2);
        const QByteArray plain2 = AESdecryptCBC(&dec, kCbcCipher.constData() + 16, 16, ivp2);
        QCOMPARE(plain1 + plain2, kCbcPlain);
        // Not a whole number of blocks, or a short key: empty.
        QVERIFY(AESdecryptCBC(&dec, kCbcCipher.constData(), 15, ivp2).isEmpty());
        AesContext shortKey;
        QVERIFY(!setAESKeyEncrypt(&shortKey, kCbcKey.left(31)));
    }

    void fileEncryptionSizes_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("encryptedSize");
        for (int n : {0, 1, 15, 16, 17, 8191, 8192, 8193, 16384, 20000}) {
            QTest::addRow("%d", n) << n << (n / 16 + 1) * 16;
        }
    }
    void fileEncryptionSizes() {
        QFETCH(int, size);
        QFETCH(int, encryptedSize);
        QTemporaryDir tmp;
        QByteArray plain(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) {
            plain[i] = static_cast<char>(i * 7 + 3);
        }
        writeFile(tmp.filePath(QStringLiteral("plain")), plain);
        const QByteArray key(32, '\x5a');
        QVERIFY(thrownText([&] {
                    BackupManifest::encryptFileThrow(tmp.filePath(QStringLiteral("plain")),
                                                     tmp.filePath(QStringLiteral("enc")), key);
                }).isEmpty());
        const QByteArray enc = readAll(tmp.filePath(QStringLiteral("enc")));
        QCOMPARE(int(enc.size()), encryptedSize);
        // Independent of the stream code: one-shot CBC of the padded plaintext with a zero IV.
        const int pad = 16 - size % 16;
        QCOMPARE(enc, cbc(key, QByteArray(16, '\0'), plain + QByteArray(pad, char(pad)), true));
        QVERIFY(thrownText([&] {
                    BackupManifest::decryptFileThrow(key, tmp.filePath(QStringLiteral("enc")),
                                                     tmp.filePath(QStringLiteral("dec")), nullptr, nullptr);
                }).isEmpty());
        QCOMPARE(readAll(tmp.filePath(QStringLiteral("dec"))), plain);
    }

    void fileEncryptionErrors_data() {
        QTest::addColumn<QByteArray>("cipher");
        QTest::addColumn<QString>("error");
        const QByteArray key(32, '\x5a');
        QByteArray lastZero(16, 'A');
        lastZero[15] = 0;
        QByteArray last17(16, 'A');
        last17[15] = 17;
        const QString padText = QStringLiteral("BackupManifest::decryptFile, last byte must GT 0 and LET 16");
        QTest::newRow("last byte 0") << cbc(key, QByteArray(16, '\0'), lastZero, true) << padText;
        QTest::newRow("last byte 17") << cbc(key, QByteArray(16, '\0'), last17, true) << padText;
        QTest::newRow("length 20") << QByteArray(20, 'x')
                                   << QStringLiteral("enc, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH (rd%16 != 0).");
        QTest::newRow("length 8200") << QByteArray(8200, 'x')
                                     << QStringLiteral("enc, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH (rd%16 != 0).");
    }
    void fileEncryptionErrors() {
        QFETCH(QByteArray, cipher);
        QFETCH(QString, error);
        QTemporaryDir tmp;
        writeFile(tmp.filePath(QStringLiteral("enc")), cipher);
        QCOMPARE(thrownText([&] {
                     BackupManifest::decryptFileThrow(QByteArray(32, '\x5a'), tmp.filePath(QStringLiteral("enc")),
                                                      tmp.filePath(QStringLiteral("dec")), nullptr, nullptr);
                 }),
                 error);
    }

    void fileCopyErrors() {
        QTemporaryDir tmp;
        const QString src = tmp.filePath(QStringLiteral("src"));
        const QString dst = tmp.filePath(QStringLiteral("dst"));
        writeFile(src, "abc");
        writeFile(dst, "old");
        // Without a key the file is copied, never over an existing one.
        QVERIFY(thrownText([&] {
                    BackupManifest::encryptFileThrow(src, dst, QByteArray());
                }).startsWith(QStringLiteral("can not write %1. ").arg(dst)));
        QCOMPARE(readAll(dst), QByteArray("old"));
        // Plain output never goes through a planted link.
        const QString link = tmp.filePath(QStringLiteral("link"));
        QVERIFY(QFile::link(dst, link));
        QVERIFY(thrownText([&] {
                    BackupManifest::decryptFileThrow(QByteArray(32, 'k'), src, link, nullptr, nullptr);
                }).endsWith(QStringLiteral("It is a symbolic link.")));
        QCOMPARE(readAll(dst), QByteArray("old"));
        const QString missing = tmp.filePath(QStringLiteral("missing"));
        QVERIFY(thrownText([&] {
                    BackupManifest::decryptFileThrow(QByteArray(32, 'k'), missing, dst, nullptr, nullptr);
                }).startsWith(QStringLiteral("can not open %1. ").arg(missing)));
    }

    // Python's cryptography package is an independent implementation of the same cipher.
    void fileEncryptionMatchesPython() {
        QTemporaryDir tmp;
        const QByteArray plain = QByteArray("interop payload ").repeated(700);
        const QByteArray key = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
        writeFile(tmp.filePath(QStringLiteral("plain")), plain);
        QVERIFY(thrownText([&] {
                    BackupManifest::encryptFileThrow(tmp.filePath(QStringLiteral("plain")),
                                                     tmp.filePath(QStringLiteral("ours")), key);
                }).isEmpty());
        const char* script = R"(
import sys
try:
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    from cryptography.hazmat.primitives import padding
except ImportError:
    print('SKIP'); sys.exit(0)
key = bytes.fromhex(sys.argv[1])
ours = open(sys.argv[2], 'rb').read()
d = Cipher(algorithms.AES(key), modes.CBC(bytes(16))).decryptor()
u = padding.PKCS7(128).unpadder()
plain = u.update(d.update(ours) + d.finalize()) + u.finalize()
assert plain == open(sys.argv[3], 'rb').read(), 'python decrypts something else'
p = padding.PKCS7(128).padder()
e = Cipher(algorithms.AES(key), modes.CBC(bytes(16))).encryptor()
open(sys.argv[4], 'wb').write(e.update(p.update(plain) + p.finalize()) + e.finalize())
print('OK')
)";
        QProcess py;
        py.start(QStringLiteral(VEXLAR_PYTHON),
                 {QStringLiteral("-c"), QString::fromLatin1(script), QString::fromLatin1(key.toHex()),
                  tmp.filePath(QStringLiteral("ours")), tmp.filePath(QStringLiteral("plain")),
                  tmp.filePath(QStringLiteral("theirs"))});
        QVERIFY(py.waitForFinished(60000));
        const QByteArray out = py.readAllStandardOutput().trimmed();
        if (out == "SKIP") {
            QSKIP("python3 cryptography is not installed");
        }
        QCOMPARE(out, QByteArray("OK"));
        QVERIFY(thrownText([&] {
                    BackupManifest::decryptFileThrow(key, tmp.filePath(QStringLiteral("theirs")),
                                                     tmp.filePath(QStringLiteral("back")), nullptr, nullptr);
                }).isEmpty());
        QCOMPARE(readAll(tmp.filePath(QStringLiteral("back"))), plain);
    }

    void rowEncryption_data() {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("15") << QByteArray(15, 'a');
        QTest::newRow("16") << QByteArray(16, 'b');
        QTest::newRow("1000") << QByteArray(1000, 'c');
    }
    void rowEncryption() {
        QFETCH(QByteArray, plain);
        const QByteArray key = MBDBParser::fileDescKey("0000", QByteArray(16, '\x01'));
        QCOMPARE(key, sha1Digest(QByteArray("0000") + QByteArray(16, '\x01')).left(16));
        const QByteArray enc = MBDBParser::encryptFileDescThrow(plain, key);
        QCOMPARE(enc.size() % 16, 0);
        QVERIFY(enc.size() > plain.size());
        QCOMPARE(MBDBParser::decryptFileDescThrow(enc, key), plain);
        QCOMPARE(thrownText([&] { MBDBParser::decryptFileDescThrow(enc.left(enc.size() - 1), key); }),
                 QStringLiteral("MBDBParser::decryptFileDesc, size % 16 != 0."));
    }

    void keybagParse() {
        QMap<int, QByteArray> classKeys{{1, QByteArray(32, '\x01')}, {3, QByteArray(32, '\x03')}};
        const QByteArray bag = buildKeybag("pw", classKeys, true);
        const _KeybagInfo info = parseKeybag(bag);
        QCOMPARE(info.attributes.value(QStringLiteral("UUID")), QByteArray(16, '\x01'));
        QCOMPARE(info.attributeInt32(QStringLiteral("ITER")), quint32(kFixtureIterations));
        QVERIFY(info.attributes.contains(QStringLiteral("DPSL")));
        QCOMPARE(info.classKeys.keys(), (QList<int>{1, 3}));
        // The second "WRAP" belongs to the first class record, not to the keybag.
        QCOMPARE(info.classKeys.value(1).getInt32(QStringLiteral("WRAP")), quint32(3));
        QCOMPARE(info.attributeInt32(QStringLiteral("WRAP")), quint32(0));

        _KeybagInfo wrong = info;
        QVERIFY(!unlockWithPasscode("not pw", wrong));
        _KeybagInfo right = info;
        QVERIFY(unlockWithPasscode("pw", right));
        QCOMPARE(right.classKeys.value(3).value(QStringLiteral("KEY")), classKeys.value(3));

        const QByteArray fileKey(32, '\x77');
        const QByteArray wrapped = aes_key_wrap(classKeys.value(3), fileKey);
        QCOMPARE(unwrapKeyForClass(right, 3, wrapped), fileKey);
        QVERIFY(unwrapKeyForClass(right, 3, QByteArray(4, '\0') + wrapped).isEmpty()); // prefix not removed
        QVERIFY(unwrapKeyForClass(right, 2, wrapped).isEmpty());                       // no such class
        QVERIFY(unwrapKeyForClass(info, 3, wrapped).isEmpty());                        // still locked
    }

    void keybagWithoutPasscodeWrap() {
        // Class keys not wrapped with the passcode: nothing to check, any password unlocks, no keys.
        _KeybagInfo info = parseKeybag(buildKeybag("pw", {{1, QByteArray(32, '\x01')}}, false, 1));
        QVERIFY(unlockWithPasscode("anything", info));
        QVERIFY(!info.classKeys.value(1).contains(QStringLiteral("KEY")));
        // Without SALT/ITER it cannot be unlocked at all.
        _KeybagInfo bare = parseKeybag(keybagItem("UUID", QByteArray(16, 'u')) + keybagItem("WRAP", be32(0)));
        QVERIFY(!unlockWithPasscode("pw", bare));
    }

    void keybagMalformed_data() {
        QTest::addColumn<QByteArray>("blob");
        const QByteArray good = keybagItem("VERS", be32(4)) + keybagItem("UUID", QByteArray(16, 'u'));
        QTest::newRow("length past end") << good + QByteArray("SALT") + be32(1000) + QByteArray(20, 's');
        QTest::newRow("length 0xffffffff") << good + QByteArray("SALT") + be32(0xFFFFFFFFu) + QByteArray(4, 's');
        QTest::newRow("cut header") << good + QByteArray("SAL");
        QTest::newRow("cut length") << good + QByteArray("SALT\0\0", 6);
    }
    void keybagMalformed() {
        QFETCH(QByteArray, blob);
        const QString text = thrownText([&] { parseKeybag(blob); });
        QVERIFY2(text.startsWith(QStringLiteral("Keybag item")), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestBackupCrypto)
#include "tst_backupcrypto.moc"
