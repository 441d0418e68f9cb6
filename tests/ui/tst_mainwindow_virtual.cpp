// The main window without any device framework: virtual devices from the data
// directory, the check-all box, the device pictures and the "not found" reminder.

#include "app/paths.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <memory>

class TestMainWindowVirtual : public QObject {
    Q_OBJECT

private:
    QDir m_virtual;

    void writeVirtual(const QString& name, const QByteArray& data) {
        QVERIFY(m_virtual.mkpath(name));
        if (!data.isNull()) {
            QFile file(m_virtual.filePath(name + QStringLiteral("/data.txt")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(data);
        }
    }

    static QStringList captions(ItemModelAppIcon* model) {
        QStringList out;
        for (int i = 0; i < model->rowCount(); ++i) {
            out << model->data(model->index(i, 0), Qt::DisplayRole).toString();
        }
        return out;
    }

private slots:
    void initTestCase() {
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        m_virtual = QDir(g_dataSaveDir().filePath(QStringLiteral("virtual_ios")));
        g_delDirCascade(m_virtual.absolutePath());
    }

    void init() {
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
    }

    void cleanup() { g_delDirCascade(m_virtual.absolutePath()); }

    void startsWithoutADevice() {
        MainWindow window;
        QCOMPARE(
            captions(window.sysFunModel()),
            (QStringList{QStringLiteral("Cache Files"), QStringLiteral("Temp Files"), QStringLiteral("Junk Files")}));
        QCOMPARE(captions(window.dataFunModel()),
                 (QStringList{QStringLiteral("Messages"), QStringLiteral("Safari"), QStringLiteral("Call History")}));
        // The always-included functions show no check box; the data functions start unchecked.
        QVERIFY(!window.sysFunModel()->data(window.sysFunModel()->index(0, 0), Qt::CheckStateRole).isValid());
        QCOMPARE(window.dataFunModel()->data(window.dataFunModel()->index(0, 0), Qt::CheckStateRole).toInt(),
                 int(Qt::Unchecked));
        // No device: panel and buttons hidden.
        QVERIFY(window.findChild<QWidget*>(QStringLiteral("wdDeviceInfoInner"))->isHidden());
        QVERIFY(window.findChild<QPushButton*>(QStringLiteral("btnScanAppCache"))->isHidden());
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("lbSpaceInfo"))->text(),
                 QStringLiteral("Total:, Available:"));
    }

    void virtualDeviceFillsTheWindow() {
        QImage icon(32, 32, QImage::Format_RGB32);
        icon.fill(Qt::red);
        writeVirtual(QStringLiteral("Test iPad"), QByteArrayLiteral("1000,250\r\n5000\n100,200,300\n"
                                                                    "VirtApp One,icon.png,1024\n"
                                                                    "short,line\n"
                                                                    "Virtual Application Two,nothing.png,2048\n"
                                                                    "Third,icon.png,0"));
        QVERIFY(icon.save(m_virtual.filePath(QStringLiteral("Test iPad/icon.png")), "PNG"));
        MainWindow window;
        auto* cb = window.findChild<QComboBox*>(QStringLiteral("cbDevices"));
        QCOMPARE(cb->count(), 1);
        QCOMPARE(cb->currentText(), QStringLiteral("Test iPad"));
        QVERIFY(!window.findChild<QWidget*>(QStringLiteral("wdDeviceInfoInner"))->isHidden());
        QCOMPARE(window.findChild<QProgressBar*>(QStringLiteral("pgSpace"))->value(), 75);
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("lbSpaceInfo"))->text(),
                 QStringLiteral("Total: 1.0 KB, Available: 0.2 KB"));
        QVERIFY(window.findChild<QLabel*>(QStringLiteral("lbDeviceIcon"))->text().contains(QStringLiteral("ipad-big")));
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("lbTotalSysCache"))->text(), QStringLiteral("(4.9 KB)"));
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("lbTotalRemoveData"))->text(), QStringLiteral("(0.6 KB)"));
        QCOMPARE(captions(window.dataFunModel()),
                 (QStringList{QStringLiteral("Messages\n(0.1 KB)"), QStringLiteral("Safari\n(0.2 KB)"),
                              QStringLiteral("Call History\n(0.3 KB)")}));
        QCOMPARE(captions(window.appModel()),
                 (QStringList{QStringLiteral("VirtApp One\n(1.0 KB)"), QStringLiteral("Virtual A...\n(2.0 KB)"),
                              QStringLiteral("Third\n(0.0 KB)")}));
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("lbTotalAppCache"))->text(), QStringLiteral("(3.0 KB)"));
        const QImage shown =
            window.appModel()->data(window.appModel()->index(0, 0), Qt::DecorationRole).value<QPixmap>().toImage();
        QCOMPARE(shown.size(), QSize(64, 64));
        QCOMPARE(shown.pixelColor(10, 10), QColor(Qt::red));
        QCOMPARE(window.findChild<QCheckBox*>(QStringLiteral("ckAllApp"))->checkState(), Qt::Checked);
    }

    void shortOrMissingDataFile_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("space");
        QTest::addColumn<int>("bar");
        QTest::addColumn<QString>("sysTotal");
        QTest::newRow("no file") << QByteArray() << "Total: 0.0 KB, Available: 0.0 KB" << 0 << "";
        QTest::newRow("empty file") << QByteArray("") << "Total: 0.0 KB, Available: 0.0 KB" << 0 << "";
        QTest::newRow("one number") << QByteArray("1000\n") << "Total: 0.0 KB, Available: 0.0 KB" << 0 << "";
        QTest::newRow("zero capacity") << QByteArray("0,0\n2048\n") << "Total: 0.0 KB, Available: 0.0 KB" << 0
                                       << "(2.0 KB)";
        QTest::newRow("more available than total")
            << QByteArray("1024,4096\n") << "Total: 1.0 KB, Available: 4.0 KB" << 0 << "";
        QTest::newRow("full") << QByteArray("2048,0\n") << "Total: 2.0 KB, Available: 0.0 KB" << 100 << "";
    }

    void shortOrMissingDataFile() {
        QFETCH(QByteArray, data);
        writeVirtual(QStringLiteral("iPhone Bare"), data);
        MainWindow window;
        QTEST(window.findChild<QLabel*>(QStringLiteral("lbSpaceInfo"))->text(), "space");
        QTEST(window.findChild<QProgressBar*>(QStringLiteral("pgSpace"))->value(), "bar");
        QTEST(window.findChild<QLabel*>(QStringLiteral("lbTotalSysCache"))->text(), "sysTotal");
        QCOMPARE(window.appModel()->rowCount(), 0);
        QCOMPARE(window.dataFunModel()->node(0)->size, qint64(-1));
    }

    void checkAllBox() {
        writeVirtual(QStringLiteral("Three"), QByteArrayLiteral("1,1\n0\n0,0,0\nA,a.png,1\nB,b.png,2\nC,c.png,3\n"));
        MainWindow window;
        ItemModelAppIcon* model = window.appModel();
        auto* box = window.findChild<QCheckBox*>(QStringLiteral("ckAllApp"));
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(box->checkState(), Qt::Checked);

        auto click = [model](int row, Qt::CheckState state) {
            QVERIFY(model->setData(model->index(row, 0), int(state), Qt::CheckStateRole));
        };
        click(2, Qt::Unchecked);
        QCOMPARE(box->checkState(), Qt::PartiallyChecked);
        // The partial state changes no app.
        QVERIFY(model->node(0)->checked && model->node(1)->checked && !model->node(2)->checked);
        click(2, Qt::Checked);
        QCOMPARE(box->checkState(), Qt::Checked);
        click(0, Qt::Unchecked);
        click(1, Qt::Unchecked);
        QCOMPARE(box->checkState(), Qt::PartiallyChecked);
        click(2, Qt::Unchecked);
        QCOMPARE(box->checkState(), Qt::Unchecked);

        // The user's click on the box checks every app, also from the partial state.
        click(1, Qt::Checked);
        QCOMPARE(box->checkState(), Qt::PartiallyChecked);
        box->click();
        QCOMPARE(box->checkState(), Qt::Checked);
        QVERIFY(model->node(0)->checked && model->node(1)->checked && model->node(2)->checked);
        box->click();
        QCOMPARE(box->checkState(), Qt::Unchecked);
        QVERIFY(!model->node(0)->checked && !model->node(1)->checked && !model->node(2)->checked);
        box->click();
        QCOMPARE(box->checkState(), Qt::Checked);
    }

    void pictures_data() {
        QTest::addColumn<QString>("productType");
        QTest::addColumn<QString>("image");
        QTest::newRow("iPad") << "iPad6,3"
                              << ":res/ipad-big.png";
        QTest::newRow("IPAD upper case") << "IPAD7,1"
                                         << ":res/ipad-big.png";
        QTest::newRow("iPod") << "iPod7,1"
                              << ":res/ipod-big.png";
        QTest::newRow("iPhone") << "iPhone8,1"
                                << ":res/iphone-big.png";
        QTest::newRow("unknown") << "Watch2,3"
                                 << ":res/iphone-big.png";
        QTest::newRow("empty") << ""
                               << ":res/iphone-big.png";
    }

    void pictures() {
        QFETCH(QString, productType);
        QFETCH(QString, image);
        QCOMPARE(MainWindow::devicePicture(productType),
                 QStringLiteral("<img src=\"%1\" width=\"96\" style=\"bolder:none;\" />").arg(image));
        QVERIFY(QFile::exists(image));
    }

    void statusBarAnnouncement() {
        const QString adv = QStringLiteral("<a href=\"http://example.invalid/x\">Spring sale \u2013 40% off</a>");
        {
            QFile file(g_dataSaveDir().filePath(QStringLiteral("last-adv")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(adv.toUtf8());
        }
        MainWindow window;
        QFile::remove(g_dataSaveDir().filePath(QStringLiteral("last-adv")));
        auto* label = window.findChild<QLabel*>(QStringLiteral("lbAdv"));
        QVERIFY(label);
        QCOMPARE(label->text(), adv);
        QVERIFY(label->openExternalLinks());
    }

    void clearLogFilesRemovesTheCaches() {
        const QDir data = g_dataSaveDir();
        QVERIFY(data.mkpath(QStringLiteral("ios_cache/UDID1/com.example.app")));
        QVERIFY(data.mkpath(QStringLiteral("itunes_cache/x")));
        QVERIFY(data.mkpath(QStringLiteral("qlogs")));
        QFile log(data.filePath(QStringLiteral("qlogs/log-20260101.txt")));
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.close();
        MainWindow window;
        window.miClearLogs();
        QVERIFY(!data.exists(QStringLiteral("ios_cache")));
        QVERIFY(!data.exists(QStringLiteral("itunes_cache")));
        QVERIFY(QFile::exists(log.fileName()));
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{QStringLiteral("Successfully cleared log files.")});
    }

    void exitProgramEndsOnlyItself() {
        // The child shares our process group: ending the group would end this test too.
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VEXLAR_TEST_EXIT_PROGRAM"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QVERIFY(child.readAllStandardOutput().contains("exiting now"));
    }

    void notFoundReminder() {
        MainWindow window;
        QCOMPARE(window.findChild<QComboBox*>(QStringLiteral("cbDevices"))->count(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(MessageBoxPresenter::shownTexts().contains(
                                     QStringLiteral("Device not found. Please connect your device with USB cable.")),
                                 30000);
    }

    void noReminderWithADevice() {
        writeVirtual(QStringLiteral("Present"), QByteArrayLiteral("1,1\n"));
        MainWindow window;
        QTest::qWait(11000);
        QVERIFY(MessageBoxPresenter::shownTexts().isEmpty());
    }
};

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsSet("VEXLAR_TEST_EXIT_PROGRAM")) {
        QApplication app(argc, argv);
        MainWindow window;
        std::printf("exiting now\n");
        window.exitProgram();
    }
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    TestMainWindowVirtual test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainwindow_virtual.moc"
