// The main window without any device framework: virtual devices from the data
// directory, the check-all box, the device pictures, the "not found" reminder and
// the settings dialog.

#include "app/paths.h"
#include "backup/restorepoint.h"
#include "tests/app/datarows.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/settingsdlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/ui/tst_mainwindow_virtual.json");

template <class T>
T* child(const QWidget& window, const char* name) {
    return window.findChild<T*>(QLatin1String(name));
}

} // namespace

class TestMainWindowVirtual : public QObject {
    Q_OBJECT

private:
    QDir m_virtual;

    void writeVirtual(const QString& name, const QByteArray& data) {
        QVERIFY(m_virtual.mkpath(name));
        if (!data.isNull()) {
            QFile file(m_virtual.filePath(name + u"/data.txt"_s));
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
        m_virtual = QDir(g_dataSaveDir().filePath(u"virtual_ios"_s));
        g_delDirCascade(m_virtual.absolutePath());
    }

    void init() {
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
    }

    void cleanup() { g_delDirCascade(m_virtual.absolutePath()); }

    void virtualDeviceFillsTheWindow() {
        QImage icon(32, 32, QImage::Format_RGB32);
        icon.fill(Qt::red);
        writeVirtual(u"Test iPad"_s, QByteArrayLiteral("1000,250\r\n5000\n100,200,300\n"
                                                       "VirtApp One,icon.png,1024\n"
                                                       "short,line\n"
                                                       "Virtual Application Two,nothing.png,2048\n"
                                                       "Third,icon.png,0"));
        QVERIFY(icon.save(m_virtual.filePath(u"Test iPad/icon.png"_s), "PNG"));
        MainWindow window;
        auto* cb = child<QComboBox>(window, "cbDevices");
        QCOMPARE(cb->count(), 1);
        QCOMPARE(cb->currentText(), u"Test iPad"_s);
        QVERIFY(!child<QWidget>(window, "wdDeviceInfoInner")->isHidden());
        QCOMPARE(child<QProgressBar>(window, "pgSpace")->value(), 75);
        QCOMPARE(child<QLabel>(window, "lbSpaceInfo")->text(), u"Total: 1.0 KB, Available: 0.2 KB"_s);
        QVERIFY(child<QLabel>(window, "lbDeviceIcon")->text().contains(u"ipad-big"_s));
        QCOMPARE(child<QLabel>(window, "lbTotalSysCache")->text(), u"(4.9 KB)"_s);
        QCOMPARE(child<QLabel>(window, "lbTotalRemoveData")->text(), u"(0.6 KB)"_s);
        QCOMPARE(captions(window.dataFunModel()),
                 (QStringList{u"Messages\n(0.1 KB)"_s, u"Safari\n(0.2 KB)"_s, u"Call History\n(0.3 KB)"_s}));
        QCOMPARE(captions(window.appModel()),
                 (QStringList{u"VirtApp One\n(1.0 KB)"_s, u"Virtual A...\n(2.0 KB)"_s, u"Third\n(0.0 KB)"_s}));
        QCOMPARE(child<QLabel>(window, "lbTotalAppCache")->text(), u"(3.0 KB)"_s);
        const QImage shown =
            window.appModel()->data(window.appModel()->index(0, 0), Qt::DecorationRole).value<QPixmap>().toImage();
        QCOMPARE(shown.size(), QSize(64, 64));
        QCOMPARE(shown.pixelColor(10, 10), QColor(Qt::red));

        // Both function lists show each icon with its caption and the longest size line, whole.
        window.show();
        for (auto [model, list] :
             {std::pair{window.sysFunModel(), "listSysFun"}, std::pair{window.dataFunModel(), "listRemoveFun"}}) {
            auto* view = child<QListView>(window, list);
            for (int i = 0; i < model->count(); ++i) {
                model->node(i)->size = qint64(1023) << 40;
            }
            model->contentsUpdate();
            QApplication::processEvents();
            for (int i = 0; i < model->count(); ++i) {
                QVERIFY(view->viewport()->rect().contains(view->visualRect(model->index(i, 0))));
                // Figures from the test file are no scan: a row's details say to scan first.
                const QPoint at = view->visualRect(model->index(i, 0)).center();
                QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at); // a double-click's first press
                QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
                QVERIFY(MessageBoxPresenter::shownTexts().constLast().startsWith(
                    u"Press Scan first: the details of "_s + model->node(i)->appName));
            }
        }
    }

    void shortOrMissingDataFile_data() { addRowsFrom(kTables, "shortOrMissingDataFile"); }

    void shortOrMissingDataFile() {
        QFETCH(QByteArray, data);
        writeVirtual(u"iPhone Bare"_s, data);
        MainWindow window;
        QTEST(child<QLabel>(window, "lbSpaceInfo")->text(), "space");
        QTEST(child<QProgressBar>(window, "pgSpace")->value(), "bar");
        QTEST(child<QLabel>(window, "lbTotalSysCache")->text(), "sysTotal");
        QCOMPARE(window.appModel()->rowCount(), 0);
        QCOMPARE(window.dataFunModel()->node(0)->size, qint64(-1));
    }

    void checkAllBox() {
        writeVirtual(u"Three"_s, QByteArrayLiteral("1,1\n0\n0,0,0\nA,a.png,1\nB,b.png,2\nC,c.png,3\n"));
        MainWindow window;
        ItemModelAppIcon* model = window.appModel();
        auto* box = child<QCheckBox>(window, "ckAllApp");
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(box->checkState(), Qt::Checked);

        // Each step clicks an app's box (row, new state) or the check-all box (row -1), then reads the check-all
        // state and the apps' states. The partial state changes no app; the user's click on the box checks every
        // app, also from the partial state.
        for (const QJsonValue& step : jsonFile(kTables)[u"checkAllBox"_s][u"steps"_s].toArray()) {
            if (step[0].toInt() < 0) {
                box->click();
            } else {
                QVERIFY(model->setData(model->index(step[0].toInt(), 0), step[1].toInt(), Qt::CheckStateRole));
            }
            QString apps;
            for (int i = 0; i < model->rowCount(); ++i) {
                apps += QLatin1Char(model->node(i)->checked ? '1' : '0');
            }
            QCOMPARE(QStringList({QString::number(box->checkState()), apps}),
                     QStringList({QString::number(step[2].toInt()), step[3].toString()}));
        }
    }

    void pictures_data() { addRowsFrom(kTables, "pictures"); }

    void pictures() {
        QFETCH(QString, productType);
        QFETCH(QString, image);
        QCOMPARE(MainWindow::devicePicture(productType),
                 u"<img src=\"%1\" width=\"96\" style=\"bolder:none;\" />"_s.arg(image));
        QVERIFY(QFile::exists(image));
    }

    // The chosen folder gets a backup folder of its own; one that cannot be made is refused and nothing changes.
    void settingsChooseTheBackupFolder() {
        QTemporaryDir tmp;
        QFile plain(tmp.filePath(u"plain"_s));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        const QString defaultFolder = g_backupDirPath();
        SettingsDlg dlg;
        QCOMPARE(child<QLineEdit>(dlg, "txtBackupFolder")->text(), defaultFolder);
        QVERIFY(child<QLabel>(dlg, "lbFreeSpace")->text().endsWith(u" free"_s));

        dlg.setLocation(plain.fileName());
        dlg.accept();
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QCOMPARE(g_backupDirPath(), defaultFolder);
        QVERIFY(MessageBoxPresenter::shownTexts().value(0).contains(u"cannot be written"_s));

        dlg.setLocation(tmp.path());
        dlg.accept();
        QCOMPARE(g_backupDirPath(), tmp.path() + u"/spacevexlar-backups"_s);
        QCOMPARE(SettingsDlg().location(), tmp.path());

        // Restore points: how many a clean keeps, the space they hold alone, and their removal.
        const QString backup = g_backupDirPath() + u"/UDID1"_s;
        QVERIFY(QDir().mkpath(backup));
        QFile data(backup + u"/0123456789012345678901234567890123456789"_s);
        QVERIFY(data.open(QIODevice::WriteOnly) && data.write(QByteArray(3000, 'x')) == 3000);
        data.close();
        QCOMPARE(SettingsDlg::restorePointsText(g_backupDirPath()), u"No restore points"_s);
        restorepoint::makeThrow(backup, {u"messages"_s});
        QVERIFY(QFile::remove(data.fileName())); // the restore point alone holds it now
        SettingsDlg points;
        QCOMPARE(child<QLabel>(points, "lbRestorePoints")->text(),
                 u"Restore points: 1, holding %1 alone"_s.arg(formatSpaceShow(3000)));
        MessageBoxPresenter::setNextAnswers({QMessageBox::Yes});
        QTest::mouseClick(child<QPushButton>(points, "btnRemoveRestorePoints"), Qt::LeftButton);
        QCOMPARE(child<QLabel>(points, "lbRestorePoints")->text(), u"No restore points"_s);
        QVERIFY(restorepoint::list(backup).isEmpty());
        child<QSpinBox>(points, "sbRestorePoints")->setValue(3);
        points.accept();
        QCOMPARE(g_restorePointsToKeep(), 3);
        g_setRestorePointsToKeep(1);
        g_setBackupDirPath(QString());
    }

    void clearLogFilesRemovesTheCaches() {
        const QDir data = g_cacheDir();
        QVERIFY(data.mkpath(u"ios_cache/UDID1/com.example.app"_s));
        QVERIFY(data.mkpath(u"itunes_cache/x"_s));
        QVERIFY(QDir().mkpath(g_logDirPath()));
        QFile log(g_logDirPath() + u"/log-20260101.txt"_s);
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.close();
        MainWindow window;
        window.miClearLogs();
        QVERIFY(!data.exists(u"ios_cache"_s));
        QVERIFY(!data.exists(u"itunes_cache"_s));
        QVERIFY(QFile::exists(log.fileName()));
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{u"Successfully cleared log files."_s});
    }

    // The reminder comes ten seconds after start when no device is listed (none once one was:
    // tst_mainwindow_sim::noReminderOnceADeviceWasListed); until then panel and buttons stay hidden.
    void notFoundReminder() {
        MainWindow window;
        QVERIFY(child<QWidget>(window, "wdDeviceInfoInner")->isHidden());
        QVERIFY(child<QPushButton>(window, "btnScanAppCache")->isHidden());
        QTest::qWait(11000);
        QCOMPARE(MessageBoxPresenter::shownTexts(),
                 QStringList{u"Device not found. Please connect your device with USB cable."_s});
    }
};

QTEST_MAIN(TestMainWindowVirtual)
#include "tst_mainwindow_virtual.moc"
