// The framework loader: missing library (exact user text), then a real shared
// library whose function is resolved by name and called.

#include "app/tips.h"
#include "device/mobiledevice_abi.h"
#include "device/mobiledevice_loader.h"
#include "tests/app/recordingpresenter.h"

#include <QTest>

namespace {
QString expectedError(const QString& host) {
    return QStringLiteral("Failed to load (Apple Mobile Device) framework. Please uninstall current version iTunes "
                          "from your computer first. Then download this <a href=\"http://%1/download_itunes.php\">"
                          "iTunes</a> to install on your computer.")
        .arg(host);
}
} // namespace

class TestLoader : public QObject {
    Q_OBJECT

private slots:
    // Runs first: the framework is not loaded yet.
    void missingLibrary_data() {
        QTest::addColumn<QByteArray>("library");
        QTest::addColumn<QByteArray>("webHost");
        QTest::addColumn<QString>("expected");
        QTest::newRow("unset, macOS path")
            << QByteArray() << QByteArray() << expectedError(QStringLiteral("www.spacevexlar.invalid"));
        QTest::newRow("missing file") << QByteArray("/nonexistent/libMobileDevice.so") << QByteArray()
                                      << expectedError(QStringLiteral("www.spacevexlar.invalid"));
        QTest::newRow("not a library") << QByteArray(VEXLAR_SOURCE_DIR "/tests/app/fakeframework.c")
                                       << QByteArray("127.0.0.1:8080")
                                       << expectedError(QStringLiteral("127.0.0.1:8080"));
    }
    void missingLibrary() {
        QFETCH(QByteArray, library);
        QFETCH(QByteArray, webHost);
        QFETCH(QString, expected);
        library.isEmpty() ? qunsetenv("VEXLAR_MOBILEDEVICE") : qputenv("VEXLAR_MOBILEDEVICE", library);
        webHost.isEmpty() ? qunsetenv("VEXLAR_WEB_HOST") : qputenv("VEXLAR_WEB_HOST", webHost);

        QString error;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot load the device framework")));
        QCOMPARE(mobiledevice_loader_ini(error, QStringLiteral("C:/uwp")), 0);
        QCOMPARE(error, expected);
        QVERIFY(!mobiledevice_loader_is_loaded());
        QVERIFY(mobiledevice_loader_is_corefoundation_loaded());
        QVERIFY(!mobiledevice_loader_mf("AMDeviceConnect"));
        // The program's start shows the same text as a warning.
        RecordingPresenter presenter;
        Tips::setPresenter(&presenter);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot load the device framework")));
        QCOMPARE(mobiledevice_init(), 0);
        Tips::setPresenter(nullptr);
        QCOMPARE(presenter.shown, (QList<QPair<TipsPresenter::Kind, QString>>{{TipsPresenter::Warning, expected}}));
    }

    void realLibrary() {
        qputenv("VEXLAR_MOBILEDEVICE", VEXLAR_FAKE_FRAMEWORK);
        QString error;
        QCOMPARE(mobiledevice_loader_ini(error, QString()), 1);
        QVERIFY(error.isEmpty());
        QVERIFY(mobiledevice_loader_is_loaded());
        QVERIFY(!mobiledevice_loader_mf("AMDeviceNoSuchFunction"));
        QVERIFY(!mobiledevice_loader_mf(nullptr));
        QVERIFY(!mobiledevice_loader_cf("CFRelease"));

        auto connect = reinterpret_cast<AMDeviceConnect_t>(mobiledevice_loader_mf("AMDeviceConnect"));
        QVERIFY(connect);
        QCOMPARE(connect(reinterpret_cast<am_device*>(&error)), 7);

        // Loaded once: a later call with a broken path keeps the library.
        qputenv("VEXLAR_MOBILEDEVICE", "/nonexistent");
        QCOMPARE(mobiledevice_loader_ini(error, QString()), 1);
        QCOMPARE(mobiledevice_init(), 1);
    }
};

QTEST_GUILESS_MAIN(TestLoader)
#include "test_loader.moc"
