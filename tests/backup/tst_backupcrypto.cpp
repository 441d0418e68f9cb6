// Known answers for the crypto wrapper, the keybag and whole-file encryption.

#include "backup/backupcrypto.h"
#include "backup/backupmanifest.h"
#include "backup/keybag.h"
#include "backup/mbdbparser.h"
#include "backupfixture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// RFC 3394 section 4.6: 256-bit KEK, 256-bit key.
const QByteArray kKek = QByteArray::fromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
const QByteArray kKey = QByteArray::fromHex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
const QByteArray kWrapped =
    QByteArray::fromHex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
const QByteArray kFileKey(32, '\x5a');

// One-shot CBC, independent of the streaming file code.
QByteArray cbc(const QByteArray& key, const QByteArray& in) {
    AesContext ctx;
    QByteArray iv(16, '\0');
    return setAESKeyEncrypt(&ctx, key)
               ? AESencryptCBC(&ctx, in.constData(), in.size(), reinterpret_cast<unsigned char*>(iv.data()))
               : QByteArray();
}

QString decryptError(const QString& src, const QString& dst, const QByteArray& key = kFileKey) {
    return thrownText([&] { BackupManifest::decryptFileThrow(key, src, dst, nullptr, nullptr); });
}

} // namespace

class TestBackupCrypto : public QObject {
    Q_OBJECT

private slots:
    void keyUnwrap_data() {
        QTest::addColumn<QByteArray>("kek");
        QTest::addColumn<QByteArray>("wrapped");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("rfc3394 4.6") << kKek << kWrapped << kKey;
        QTest::newRow("short kek") << kKek.left(16) << kWrapped << QByteArray();
        QTest::newRow("empty") << kKek << QByteArray() << QByteArray();
        QTest::newRow("one block") << kKek << kWrapped.left(8) << QByteArray();
        // Trailing bytes after the last whole block are ignored.
        QTest::newRow("trailing bytes") << kKek << kWrapped + QByteArray("xyz") << kKey;
        QTest::newRow("long kek") << kKek + QByteArray("extra") << kWrapped << kKey;
        for (int bit = 0; bit < kWrapped.size() * 8; ++bit) {
            QByteArray flipped = kWrapped;
            flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
            QTest::addRow("bit-%d", bit) << kKek << flipped << QByteArray();
        }
    }
    void keyUnwrap() {
        QFETCH(QByteArray, kek);
        QFETCH(QByteArray, wrapped);
        QFETCH(QByteArray, expected);
        QCOMPARE(aes_key_unwrap(kek, wrapped), expected);
        QCOMPARE(aes_key_wrap(kKek, kKey), kWrapped);
    }

    void pbkdf2_data() {
        QTest::addColumn<bool>("sha256");
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray longPw("passwordPASSWORDpassword"), longSalt("saltSALTsaltSALTsaltSALTsaltSALTsalt");
        // RFC 6070 (all but the 16777216-iteration case).
        QTest::newRow("rfc6070-1") << false << QByteArray("password") << QByteArray("salt") << 1
                                   << QByteArray("0c60c80f961f0e71f3a9b524af6012062fe037a6");
        QTest::newRow("rfc6070-2") << false << QByteArray("password") << QByteArray("salt") << 2
                                   << QByteArray("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
        QTest::newRow("rfc6070-3") << false << QByteArray("password") << QByteArray("salt") << 4096
                                   << QByteArray("4b007901b765489abead49d926f721d065a429c1");
        QTest::newRow("rfc6070-5") << false << longPw << longSalt << 4096
                                   << QByteArray("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
        QTest::newRow("rfc6070-6") << false << QByteArray("pass\0word", 9) << QByteArray("sa\0lt", 5) << 4096
                                   << QByteArray("56fa6aa75548099dcc37d7f03425e0c3");
        // Published PBKDF2-HMAC-SHA256 vectors.
        QTest::newRow("sha256-1") << true << QByteArray("password") << QByteArray("salt") << 1
                                  << QByteArray("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
        QTest::newRow("sha256-5")
            << true << longPw << longSalt << 4096
            << QByteArray("348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9");
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

    void fileEncryptionErrors_data() {
        QTest::addColumn<QByteArray>("cipher");
        QTest::addColumn<QString>("error");
        QByteArray lastZero(16, 'A'), last17(16, 'A'), badPad(32, 'A');
        lastZero[15] = 0;
        last17[15] = 17;
        badPad[31] = 3; // a valid count, but the two bytes before it are not 3
        badPad[30] = 3;
        const QString padText = QStringLiteral("BackupManifest::decryptFile, last byte must GT 0 and LET 16");
        const QString lenText = QStringLiteral("enc, POLARSSL_ERR_AES_INVALID_INPUT_LENGTH (rd%16 != 0).");
        QTest::newRow("last byte 0") << cbc(kFileKey, lastZero) << padText;
        QTest::newRow("last byte 17") << cbc(kFileKey, last17) << padText;
        QTest::newRow("padding bytes differ")
            << cbc(kFileKey, badPad)
            << QStringLiteral("enc: the padding is damaged; the file is cut short or not encrypted with this key.");
        QTest::newRow("length 20") << QByteArray(20, 'x') << lenText;
        QTest::newRow("length 8200") << QByteArray(8200, 'x') << lenText;
    }
    void fileEncryptionErrors() {
        QFETCH(QByteArray, cipher);
        QFETCH(QString, error);
        QTemporaryDir tmp;
        QVERIFY(writeFile(tmp.filePath(QStringLiteral("enc")), cipher));
        QCOMPARE(decryptError(tmp.filePath(QStringLiteral("enc")), tmp.filePath(QStringLiteral("dec"))), error);
    }

    void fileCopyErrors() {
        QTemporaryDir tmp;
        const QString src = tmp.filePath(QStringLiteral("src")), dst = tmp.filePath(QStringLiteral("dst"));
        QVERIFY(writeFile(src, "abc") && writeFile(dst, "old"));
        // Plain output never goes through a planted link.
        const QString link = tmp.filePath(QStringLiteral("link"));
        QVERIFY(QFile::link(dst, link));
        QVERIFY(decryptError(src, link).endsWith(QStringLiteral("It is a symbolic link.")));
        QCOMPARE(readAll(dst), QByteArray("old"));
        // Without a key the file is copied over the existing one, through a new file renamed over it.
        QCOMPARE(thrownText([&] { BackupManifest::encryptFileThrow(src, link, QByteArray()); }), QString());
        QCOMPARE(readAll(link), QByteArray("abc"));
        QCOMPARE(readAll(dst), QByteArray("old"));
        const QString missing = tmp.filePath(QStringLiteral("missing"));
        QVERIFY(decryptError(missing, dst).startsWith(QStringLiteral("can not open %1. ").arg(missing)));
    }

    void rowEncryption_data() {
        QTest::addColumn<QByteArray>("plain");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("16") << QByteArray(16, 'b');
        QTest::newRow("1000") << QByteArray(1000, 'c');
    }
    void rowEncryption() {
        QFETCH(QByteArray, plain);
        const QByteArray key = MBDBParser::fileDescKey("0000", QByteArray(16, '\x01'));
        const QByteArray enc = MBDBParser::encryptFileDescThrow(plain, key);
        QCOMPARE(enc.size(), (plain.size() / 16 + 1) * 16);
        QCOMPARE(MBDBParser::decryptFileDescThrow(enc, key), plain);
        QCOMPARE(thrownText([&] { MBDBParser::decryptFileDescThrow(enc.left(enc.size() - 1), key); }),
                 QStringLiteral("MBDBParser::decryptFileDesc, size % 16 != 0."));
    }

    void keybagParse() {
        QMap<int, QByteArray> classKeys{{1, QByteArray(32, '\x01')}, {3, QByteArray(32, '\x03')}};
        const _KeybagInfo info = parseKeybag(buildKeybag("pw", classKeys, true));
        QCOMPARE(info.attributes.value(QStringLiteral("UUID")), QByteArray(16, '\x01'));
        QCOMPARE(info.classKeys.keys(), (QList<int>{1, 3}));
        // The second "WRAP" belongs to the first class record, not to the keybag.
        QCOMPARE(info.classKeys.value(1).getInt32(QStringLiteral("WRAP")), quint32(3));
        QCOMPARE(info.attributeInt32(QStringLiteral("WRAP")), quint32(0));

        _KeybagInfo wrong = info, right = info;
        QVERIFY(!unlockWithPasscode("not pw", wrong));
        QVERIFY(unlockWithPasscode("pw", right));
        QCOMPARE(right.classKeys.value(3).value(QStringLiteral("KEY")), classKeys.value(3));

        const QByteArray fileKey(32, '\x77');
        const QByteArray wrapped = aes_key_wrap(classKeys.value(3), fileKey);
        QCOMPARE(unwrapKeyForClass(right, 3, wrapped), fileKey);
        QVERIFY(unwrapKeyForClass(right, 3, QByteArray(4, '\0') + wrapped).isEmpty()); // prefix not removed
        QVERIFY(unwrapKeyForClass(right, 2, wrapped).isEmpty());                       // no such class
        QVERIFY(unwrapKeyForClass(info, 3, wrapped).isEmpty());                        // still locked

        // Class keys not wrapped with the passcode: nothing to check, any password unlocks, no keys.
        _KeybagInfo unwrapped = parseKeybag(buildKeybag("pw", {{1, QByteArray(32, '\x01')}}, false, 1));
        QVERIFY(unlockWithPasscode("anything", unwrapped));
        QVERIFY(!unwrapped.classKeys.value(1).contains(QStringLiteral("KEY")));
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
