// Framing of service messages over a real socketpair; the other end is played
// by the test (and by Python's plistlib for independent payloads).

#include "device/cftype.h"
#include "device/mobiledevice_msg.h"
#include "tests/device/socketpair.h"

#include <QProcess>
#include <QtTest>
#include <sys/resource.h>
#include <thread>

namespace {

QByteArray bigEndian32(quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    return QByteArray(bytes, 4);
}

// A plist made by Python's plistlib, so the parser is checked against an independent writer.
QByteArray pythonPlist(const char* format) {
    QProcess python;
    python.start(
        QStringLiteral(VEXLAR_PYTHON),
        {QStringLiteral("-c"), QStringLiteral("import plistlib,sys; sys.stdout.buffer.write(plistlib.dumps("
                                              "{'Command':'VendContainer','Count':300,'Blob':bytes(range(256)),"
                                              "'List':['a','\\u00e9']}, fmt=plistlib.%1))")
                                   .arg(QLatin1String(format))});
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        return {};
    }
    return python.readAllStandardOutput();
}

// Runs recmsg and returns the error text, or "" when it succeeded.
QString recvError(unsigned int socket, const CFType& lastSent, int timeout, CFType* result = nullptr) {
    try {
        const CFType value = mobiledevice_recmsg(socket, lastSent, timeout);
        if (result) {
            *result = value;
        }
        return QString();
    } catch (const std::runtime_error& e) {
        return QString::fromUtf8(e.what());
    }
}

} // namespace

class TestMobileDeviceMsg : public QObject {
    Q_OBJECT

private slots:
    // The length prefix is the payload's size in network order (above 255 bytes, so a wrong order shows); a null
    // message sends nothing; towards a closed peer the count comes back short or the send throws, never SIGPIPE.
    void sending() {
        const CFType message = CFType::createCFString(QString(300, QLatin1Char('x')));
        SocketPair pair;
        mobiledevice_sendmsg(pair.ours, message, false, 60000);
        const QByteArray xml = message.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0);
        QCOMPARE(pair.sent(), bigEndian32(quint32(xml.size())) + xml);
        mobiledevice_sendmsg(pair.ours, CFType(), true, 60000);
        mobiledevice_sendmsg(pair.ours, CFType(), false, 60000);
        QVERIFY(pair.sent().isEmpty());
        QCOMPARE(mobiledevice_send_all(pair.ours, "x", 0, 100), 0);
        char buffer[1];
        QCOMPARE(mobiledevice_recv_all(pair.ours, buffer, -5, 100), 0);
        pair.closePeer();
        const QByteArray data(100000, 'z');
        QVERIFY(mobiledevice_send_all(pair.ours, data.constData(), static_cast<int>(data.size()), 1000) < data.size());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, mobiledevice_sendmsg(pair.ours, message, false, 1000));
    }

    void receiveFailures_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<bool>("peerCloses");
        QTest::addColumn<QString>("error");

        QTest::newRow("nothing then close")
            << QByteArray() << true << "mobiledevice_recmsg(msg-length) error, received length: 0.";
        QTest::newRow("3 bytes then close")
            << QByteArray::fromHex("000001") << true << "mobiledevice_recmsg(msg-length) error, received length: 3.";
        QTest::newRow("payload stalls") << bigEndian32(16) + "12345" << false
                                        << "mobiledevice_recmsg(msg) error, received length: 5.";
        QTest::newRow("payload cut by close")
            << bigEndian32(16) + "1234567" << true << "mobiledevice_recmsg(msg) error, received length: 7.";
        QTest::newRow("length above bound") << bigEndian32(kMobileDeviceMaxMessageLength + 1u) + "abc" << false
                                            << "mobiledevice_recmsg(msg) error, received length: 0.";
        QTest::newRow("length ffffffff") << bigEndian32(0xffffffffu) << false
                                         << "mobiledevice_recmsg(msg) error, received length: 0.";
        // The text names what was sent last, cut to 800 characters.
        QTest::newRow("with the last message")
            << QByteArray::fromHex("00") << true << "mobiledevice_recmsg(msg-length) error, received length: 1.\n";
    }

    void receiveFailures() {
        QFETCH(QByteArray, stream);
        QFETCH(bool, peerCloses);
        QFETCH(QString, error);
        CFType sent;
        if (error.endsWith(QLatin1Char('\n'))) {
            sent = CFType::createCFDictionary();
            sent.put(QStringLiteral("Command"), CFType::createCFString(QString(2000, QLatin1Char('y'))));
            error += QString::fromUtf8(sent.CFPropertyListToBytes(kCFPropertyListXMLFormat_v1_0)).left(800);
        }
        SocketPair pair;
        pair.feed(stream, peerCloses);
        // The short time-out bounds the stalled payload phase.
        QCOMPARE(recvError(pair.ours, sent, 300), error);
    }

    void parsesForeignPayloads_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<bool>("highFd"); // received on a descriptor above FD_SETSIZE
        const QByteArray binary = pythonPlist("FMT_BINARY");
        const QByteArray xml = pythonPlist("FMT_XML");
        if (binary.isEmpty() || xml.isEmpty()) {
            QSKIP("python3 with plistlib is not available");
        }
        QVERIFY(binary.startsWith("bplist00"));
        QTest::newRow("binary") << binary << true << false;
        QTest::newRow("xml") << xml << true << false;
        QTest::newRow("empty payload") << QByteArray() << false << false;
        QTest::newRow("not a plist") << QByteArray("hello world") << false << false;
        QTest::newRow("truncated binary") << binary.left(binary.size() / 2) << false << false;
        QTest::newRow("descriptor above FD_SETSIZE") << binary << true << true;
    }

    void parsesForeignPayloads() {
        QFETCH(QByteArray, payload);
        QFETCH(bool, parses);
        QFETCH(bool, highFd);
        rlimit limit{};
        if (highFd && (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= FD_SETSIZE + 10)) {
            QSKIP("descriptor limit too low to test descriptors above FD_SETSIZE");
        }
        SocketPair pair;
        const int fd = highFd ? ::dup2(pair.ours, FD_SETSIZE + 5) : pair.ours;
        pair.feed(bigEndian32(static_cast<quint32>(payload.size())) + payload);
        CFType value;
        const QString error = recvError(fd, CFType(), 1000, &value);
        if (highFd) {
            ::close(fd);
        }
        QCOMPARE(error, QString());
        QCOMPARE(value.isNull(), !parses);
        if (parses) {
            QCOMPARE(value.get(QStringLiteral("Command")).CFStringQString(), QStringLiteral("VendContainer"));
            QCOMPARE(value.get(QStringLiteral("Count")).CFNumberInt(), 300);
            QCOMPARE(value.get(QStringLiteral("Blob")).CFDataLength(), 256);
            QCOMPARE(value.get(QStringLiteral("List")).at(1).CFStringQString(), QStringLiteral("\u00e9"));
        }
    }

    void largeMessageRoundTrip_data() {
        QTest::addColumn<bool>("binary");
        QTest::newRow("binary") << true;
        QTest::newRow("xml") << false;
    }

    void largeMessageRoundTrip() {
        QFETCH(bool, binary);
        // Larger than the socket buffers, so both loops must handle partial transfers.
        QByteArray blob(3 * 1024 * 1024, Qt::Uninitialized);
        for (qsizetype i = 0; i < blob.size(); ++i) {
            blob[i] = static_cast<char>(i * 7);
        }
        CFType message = CFType::createCFDictionary();
        message.put(QStringLiteral("Blob"), CFType::createCFData(blob));
        SocketPair pair;
        QString sendError;
        std::thread peer([&] {
            try {
                mobiledevice_sendmsg(pair.peer, message, binary, 60000);
            } catch (const std::runtime_error& e) {
                sendError = QString::fromUtf8(e.what());
            }
        });
        CFType received;
        const QString error = recvError(pair.ours, CFType(), 60000, &received);
        peer.join();
        QCOMPARE(sendError, QString());
        QCOMPARE(error, QString());
        QCOMPARE(received.get(QStringLiteral("Blob")).CFDataBytes(), blob);
    }
};

QTEST_GUILESS_MAIN(TestMobileDeviceMsg)
#include "test_mobiledevice_msg.moc"
