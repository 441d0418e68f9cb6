// The AFC packet layer against hand-made replies on a socketpair: exact error
// texts, hostile lengths, and the shape of what goes out.

#include "services/mobiledevice_afc.h"
#include "tests/app/datarows.h"
#include "tests/device/socketpair.h"

#include <QtEndian>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const QString kRows = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/services/afc.json");

QByteArray le64(quint64 value) {
    char bytes[8];
    qToLittleEndian(value, bytes);
    return QByteArray(bytes, 8);
}

QByteArray packet(quint64 op, const QByteArray& payload, quint64 entireLength = ~0ull) {
    const quint64 entire = entireLength == ~0ull ? 40 + quint64(payload.size()) : entireLength;
    return "CFA6LPAA" + le64(entire) + le64(entire) + le64(1) + le64(op) + payload;
}

} // namespace

class TestAfcPackets : public QObject {
    Q_OBJECT

private slots:
    void replies_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("payload");

        QTest::newRow("data") << packet(AFC_OP_DATA, "abc") << QString() << QByteArray("abc");
        QTest::newRow("status 0") << packet(AFC_OP_STATUS, le64(0)) << QString() << le64(0);
        QTest::newRow("short status counts as 0") << packet(AFC_OP_STATUS, "\x05") << QString() << QByteArray("\x05");
        QTest::newRow("open result") << packet(AFC_OP_FILE_OPEN_RES, le64(9)) << QString() << le64(9);
        QTest::newRow("tell result") << packet(AFC_OP_FILE_TELL_RES, le64(3)) << QString() << le64(3);
        QTest::newRow("status 8") << packet(AFC_OP_STATUS, le64(8))
                                  << "read AFC failed, received AFC_OP_STATUS, param1=8." << QByteArray();
        QTest::newRow("unknown op") << packet(77, le64(42))
                                    << "read AFC failed, Unknown operation code received 77, param1=42."
                                    << QByteArray();
        QTest::newRow("short header") << QByteArray("CFA6LPAA1234") << "read AFC header failed." << QByteArray();
        QTest::newRow("wrong magic") << QByteArray(40, 'z') << "read AFC header failed." << QByteArray();
        QTest::newRow("length below header")
            << packet(AFC_OP_DATA, {}, 12) << "read AFC header failed." << QByteArray();
        QTest::newRow("cut payload") << packet(AFC_OP_DATA, "abc", 100) << "read AFC file block data failed."
                                     << QByteArray();
        QTest::newRow("huge length") << packet(AFC_OP_DATA, "abc", 40 + kAfcMaxPayload + 1)
                                     << "read AFC file block data failed." << QByteArray();
        QTest::newRow("length wraps") << packet(AFC_OP_DATA, "abc", ~0ull - 1) << "read AFC file block data failed."
                                      << QByteArray();
    }

    void replies() {
        QFETCH(QByteArray, stream);
        QFETCH(QString, error);
        QFETCH(QByteArray, payload);
        SocketPair pair;
        pair.feed(stream, true);
        _AFCHeader header;
        try {
            const QByteArray got = mobiledevice_afc_read_data(pair.ours, header, nullptr);
            QCOMPARE(QString(), error);
            QCOMPARE(got, payload);
        } catch (const std::runtime_error& e) {
            QCOMPARE(QString::fromUtf8(e.what()), error);
        }
    }

    void statusPointerTakesStatus() {
        SocketPair pair;
        pair.feed(packet(AFC_OP_STATUS, le64(7)) + packet(AFC_OP_DATA, "next"));
        _AFCHeader header;
        int status = -1;
        QCOMPARE(mobiledevice_afc_read_data(pair.ours, header, &status), le64(7));
        QCOMPARE(status, 7);
        // The failed status was read whole: the stream is still in step.
        QCOMPARE(mobiledevice_afc_read_data(pair.ours, header, nullptr), QByteArray("next"));
    }

    void requestShapes() {
        SocketPair pair;
        // Answers queued up front: open result, status for the write chunk, status for close.
        pair.feed(packet(AFC_OP_FILE_OPEN_RES, le64(5)) + packet(AFC_OP_STATUS, le64(0)) +
                  packet(AFC_OP_STATUS, le64(0)));
        QCOMPARE(mobiledevice_afc_open_file(pair.ours, u"/a"_s, AFC_FOPEN_WRONLY), 5ull);
        QCOMPARE(pair.sent(), "CFA6LPAA" + le64(51) + le64(51) + le64(pair.ours) + le64(AFC_OP_FILE_OPEN) +
                                  le64(AFC_FOPEN_WRONLY) + QByteArray("/a", 3));
        QCOMPARE(mobiledevice_afc_file_write(pair.ours, 5, "hello", 5), 5u);
        QCOMPARE(pair.sent(), "CFA6LPAA" + le64(53) + le64(48) + le64(pair.ours) + le64(AFC_OP_FILE_WRITE) + le64(5) +
                                  QByteArray("hello"));
        mobiledevice_afc_close_file(pair.ours, 5);
        QCOMPARE(pair.sent(), "CFA6LPAA" + le64(48) + le64(48) + le64(pair.ours) + le64(AFC_OP_FILE_CLOSE) + le64(5));
        QCOMPARE(mobiledevice_afc_file_write(pair.ours, 5, "x", 0), 0u);
        QVERIFY(pair.sent().isEmpty());
    }

    void readDirSplitsNames() {
        SocketPair pair;
        pair.feed(packet(AFC_OP_DATA, QByteArray("a\0b\0.\0..\0tail", 13)));
        QCOMPARE(mobiledevice_afc_read_dir(pair.ours, u"/"_s), QStringList({u"a"_s, u"b"_s, u"."_s, u".."_s}));
        pair.feed(packet(AFC_OP_DATA, QByteArray("st_size\0"
                                                 "12\0st_ifmt\0S_IFREG\0odd\0",
                                                 31)));
        const QMap<QString, QString> info = mobiledevice_afc_file_info(pair.ours, u"/f"_s);
        QCOMPARE(info, (QMap<QString, QString>{{u"st_size"_s, u"12"_s}, {u"st_ifmt"_s, u"S_IFREG"_s}}));
    }

    void escapingPathsNeverLeave_data() { addRowsFrom(kRows, "escapingPathsNeverLeave"); }

    void escapingPathsNeverLeave() {
        QFETCH(QString, path);
        SocketPair pair;
        QVERIFY_THROWS_EXCEPTION(afc_status_error, mobiledevice_afc_remove(pair.ours, path));
        // The client refuses them too and stays usable: nothing was sent.
        mobiledevice_afc afc(nullptr);
        afc.socket = static_cast<unsigned int>(pair.ours);
        AfcFile file;
        const bool refused =
            !afc.del(path) && !afc.rename(u"/ok"_s, path) && !afc.readFile(path, file) && afc.lt(path).isEmpty();
        afc.socket = 0; // the pair closes it
        QVERIFY(refused);
        QVERIFY(pair.sent().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAfcPackets)
#include "test_afc_packets.moc"
