// End to end: the main window against the simulated device framework
// (libsimdevice.so) and a demo device on disk. Python's plistlib and a plain
// walk of the simulator's files/ folder are the oracles. The cases build on
// each other, in the order declared: one window lives through all of them,
// since device notifications are a process-wide subscription.

#include "app/paths.h"
#include "tests/device/simfixture.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"
#include "ui/progressform.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString kNameA = u"Sim Phone"_s;
const QString kNameB = u"Sim Pad"_s;

// The device's user apps and capacity as Python's plistlib reads its store.
const char* const kOracle = R"PY(
import plistlib, sys
print(plistlib.load(open(sys.argv[1] + '/device.plist', 'rb'))['Lockdown']['com.apple.disk_usage']['TotalDataCapacity'])
for a in plistlib.load(open(sys.argv[1] + '/apps.plist', 'rb')):
    if a.get('ApplicationType') == 'User':
        i = a.get('CFBundleIdentifier', '')
        print(i + '\t' + (a.get('CFBundleName') or i))
)PY";

// What the device holds; the caches from a plain walk of its files/ folder.
struct DeviceState {
    QList<QStringList> apps; // identifier, shown name
    QHash<QString, qint64> cache;
    qint64 total = 0, cacheSum = 0;
};

} // namespace

class TestMainWindowSim : public QObject {
    Q_OBJECT

private:
    SimStore m_sim;
    QString m_udidA, m_udidB;
    std::unique_ptr<MainWindow> m_window;
    QElapsedTimer m_sinceShown;
    QTranslator m_translator;

    DeviceState state(const QString& udid) {
        QProcess p;
        p.start(QStringLiteral(VEXLAR_PYTHON), {u"-c"_s, QString::fromUtf8(kOracle), m_sim.deviceDir(udid)});
        p.waitForFinished(60000);
        const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        const QMap<QString, QString> tree = fileTree(m_sim.deviceDir(udid) + u"/files"_s);
        DeviceState s;
        s.total = lines.value(0).toLongLong();
        for (const QString& line : lines.mid(1)) {
            const QString id = line.section(u'\t', 0, 0), library = u"AppDomain-"_s + id + u"/Library/"_s;
            s.apps << line.split(u'\t');
            s.cache[id] = 0;
            for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
                if (it.key().startsWith(library + u"Caches/"_s) || it.key().startsWith(library + u"tmp/"_s)) {
                    s.cache[id] += treeSize(it.value());
                    s.cacheSum += treeSize(it.value());
                }
            }
        }
        return s;
    }

    template <class T>
    T* child(const char* name) const {
        return m_window->findChild<T*>(QLatin1String(name));
    }

    IOSDevice currentDevice() const {
        auto* cb = child<QComboBox>("cbDevices");
        return qvariant_cast<IOSDevice>(cb->itemData(cb->currentIndex()));
    }

    qint64 available(const IOSDevice& device) {
        const QList<CFType> v = mobiledevice_info(device.device, {QString()}, u"com.apple.disk_usage"_s);
        return v.value(0).get(u"AmountDataAvailable"_s).CFNumberInt64(-1);
    }

    int row(const QString& appId) const {
        for (int i = 0; i < m_window->appModel()->rowCount(); ++i) {
            if (m_window->appModel()->node(i)->appId == appId) {
                return i;
            }
        }
        return -1;
    }

    static QStringList boxesMatching(const QString& start) {
        return MessageBoxPresenter::shownTexts().filter(QRegularExpression(u'^' + QRegularExpression::escape(start)));
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_SIMBACKUP);
        if (m_translator.load(u":/en.qm"_s)) {
            QCoreApplication::installTranslator(&m_translator);
        }
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
        QFile::remove(g_settingsFilePath()); // a Notes box dismissed by an earlier run
        // A fresh icon cache: the first listing must fetch every icon.
        g_delDirCascade(g_cacheDir().filePath(u"ios_cache"_s));
        g_delDirCascade(g_dataSaveDir().filePath(u"virtual_ios"_s));

        m_udidA = m_sim.create({u"--name"_s, kNameA, u"--product-type"_s, u"iPhone8,1"_s, u"--ios"_s, u"12.4"_s,
                                u"--preset"_s, u"demo"_s});
        QVERIFY(!m_udidA.isEmpty());
        QCOMPARE(mobiledevice_init(), 1);
        QVERIFY(mobiledevice_loader_is_loaded());
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        m_sinceShown.start();
    }

    void cleanupTestCase() { m_window.reset(); }

    void deviceIsListedWithItsApps() {
        auto* cb = child<QComboBox>("cbDevices");
        QTRY_COMPARE_WITH_TIMEOUT(cb->count(), 1, 60000);
        const DeviceState disk = state(m_udidA);
        QVERIFY(disk.apps.size() >= 3);
        QTRY_COMPARE_WITH_TIMEOUT(m_window->appModel()->rowCount(), int(disk.apps.size()), 60000);
        QCOMPARE(cb->currentText(), kNameA);
        QCOMPARE(boxesMatching(u"<p>Notes:</p>"_s).size(), 1);

        const IOSDevice device = currentDevice();
        QCOMPARE(device.udid, m_udidA);
        QCOMPARE(device.productType, u"iPhone8,1"_s);
        QCOMPARE(device.productVersion, u"12.4"_s);
        const qint64 avail = available(device);
        QVERIFY(avail > 0 && avail < disk.total);
        QCOMPARE(child<QLabel>("lbSpaceInfo")->text(),
                 u"Total: %1, Available: %2"_s.arg(formatSpaceShow(disk.total), formatSpaceShow(avail)));
        QCOMPARE(child<QProgressBar>("pgSpace")->value(), int(double(disk.total - avail) * 100.0 / double(disk.total)));
        QVERIFY(child<QLabel>("lbDeviceIcon")->text().contains(u":res/iphone-big.png"_s));

        // Listing order and names; each icon is the one the app worker cached (its content is that suite's).
        ItemModelAppIcon* model = m_window->appModel();
        for (int i = 0; i < disk.apps.size(); ++i) {
            const _APPIconItemNode* node = model->node(i);
            QCOMPARE(node->appId, disk.apps.at(i).at(0));
            QCOMPARE(node->appName, disk.apps.at(i).at(1));
            QVERIFY(node->checked && node->size == -1);
            QCOMPARE(node->iconPath, device.appDir(node->appId).filePath(u"iTunesArtwork"_s));
        }
    }

    // Scan, then Free Up of two apps: through house arrest on the demo phone, and through a backup the helper
    // stand-in makes and restores on a device that vends no app container, as every phone since iOS 8.3.
    void appCaches_data() {
        QTest::addColumn<bool>("viaBackup");
        QTest::newRow("house arrest") << false;
        QTest::newRow("through a backup") << true;
    }

    void appCaches() {
        QFETCH(bool, viaBackup);
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
        auto* cb = child<QComboBox>("cbDevices");
        ItemModelAppIcon* model = m_window->appModel();
        QString udid = m_udidA;
        if (viaBackup) {
            udid = m_sim.create({u"--name"_s, u"Sim Vault"_s, u"--ios"_s, u"14.4"_s, u"--preset"_s, u"demo"_s});
            QVERIFY(!udid.isEmpty() && m_sim.set(udid, u"Sim.VendContainer"_s, u"false"_s));
            QTRY_COMPARE_WITH_TIMEOUT(cb->currentText(), u"Sim Vault"_s, 60000);
            QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() >= 3, 60000);
        }
        const QString files = m_sim.deviceDir(udid) + u"/files"_s;
        const auto before = fileTree(files);
        const DeviceState disk = state(udid);
        QTest::mouseClick(child<QPushButton>("btnScanAppCache"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() > 0 && model->node(0)->size >= 0, 120000);
        for (int i = 0; i < model->rowCount(); ++i) {
            const _APPIconItemNode* node = model->node(i);
            QCOMPARE(node->size, disk.cache.value(node->appId));
            QVERIFY(model->data(model->index(i, 0), Qt::DisplayRole)
                        .toString()
                        .endsWith(u"\n(%1)"_s.arg(formatSpaceShow(node->size))));
        }
        QVERIFY(disk.cacheSum > 0);
        QCOMPARE(child<QLabel>("lbTotalAppCache")->text(), u"(%1)"_s.arg(formatSpaceShow(disk.cacheSum)));
        // A scan deletes nothing.
        QCOMPARE(fileTree(files), before);
        QVERIFY(boxesMatching(u"Successfully"_s).isEmpty());

        // Free Up: what lies below the two apps' cache folders goes; every other file is byte-identical.
        const QString first = u"com.example.pixelpost"_s, second = u"com.example.trailmap"_s;
        const QString other = u"com.example.chirpchat"_s;
        QVERIFY(disk.cache.value(first) > 0 && disk.cache.value(second) > 0 && disk.cache.value(other) > 0);
        const qint64 expectFreed = disk.cache.value(first) + disk.cache.value(second);
        auto* box = child<QCheckBox>("ckAllApp");
        box->setCheckState(Qt::Unchecked);
        QVERIFY(model->setData(model->index(row(first), 0), int(Qt::Checked), Qt::CheckStateRole));
        QVERIFY(model->setData(model->index(row(second), 0), int(Qt::Checked), Qt::CheckStateRole));
        QCOMPARE(box->checkState(), Qt::PartiallyChecked);
        const IOSDevice device = currentDevice();
        const qint64 availBefore = available(device);
        QTest::mouseClick(child<QPushButton>("btnClearAppCache"), Qt::LeftButton);
        const QString done =
            viaBackup ? u"Successfully removed App Cache & Junk. Now please disconnect your iPhone from computer."_s
                      : u"Successfully deleted %1 App cache (Total: %1)."_s.arg(formatSpaceShow(expectFreed));
        QTRY_COMPARE_WITH_TIMEOUT(boxesMatching(u"Successfully"_s), QStringList{done}, 240000);
        auto expected = before;
        expected.removeIf([&first, &second](auto it) {
            static const QRegularExpression cache(u"^AppDomain-([^/]+)/Library/(Caches|tmp)/."_s);
            const QString owner = cache.match(it.key()).captured(1);
            return owner == first || owner == second;
        });
        QVERIFY(expected.size() < before.size());
        QCOMPARE(fileTree(files), expected);
        if (viaBackup) {
            QVERIFY(m_sim.unplug(udid));
            QTRY_COMPARE_WITH_TIMEOUT(cb->currentText(), kNameA, 60000);
            return;
        }
        // The panel shows the space the device reports, now larger by what was deleted.
        const DeviceState after = state(m_udidA);
        const qint64 availAfter = available(device);
        QCOMPARE(availAfter - availBefore, expectFreed);
        QCOMPARE(child<QLabel>("lbSpaceInfo")->text(),
                 u"Total: %1, Available: %2"_s.arg(formatSpaceShow(disk.total), formatSpaceShow(availAfter)));
        // The rescan that follows shows the emptied apps at zero.
        QTRY_COMPARE_WITH_TIMEOUT(model->node(row(first))->size + model->node(row(second))->size, qint64(0), 60000);
        QCOMPARE(model->node(row(other))->size, after.cache.value(other));
        QCOMPARE(child<QLabel>("lbTotalAppCache")->text(), u"(%1)"_s.arg(formatSpaceShow(after.cacheSum)));
    }

    // Cancel while the clear deletes: it stops there, only cache files went, and no success is shown.
    void cancelledClearKeepsWhatWasDeleted() {
        QVERIFY(m_sim.set(m_udidA, u"Sim.Faults.ReplyDelayMs"_s, u"15"_s));
        const QString files = m_sim.deviceDir(m_udidA) + u"/files"_s;
        const auto before = fileTree(files);
        const qint64 cacheBefore = state(m_udidA).cacheSum;
        child<QCheckBox>("ckAllApp")->setCheckState(Qt::Checked);
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
        MessageBoxPresenter::setNextAnswers({QMessageBox::Yes});
        bool pressed = false;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, this, [&pressed, &watcher] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* form = qobject_cast<ProgressForm*>(w);
                if (form && form->isVisible() && form->progressText().contains(u"/Library/"_s) &&
                    form->statusText().contains(u"cache"_s)) {
                    watcher.stop();
                    pressed = true;
                    QTest::mouseClick(form->findChild<QPushButton*>(u"btnCancel"_s), Qt::LeftButton);
                    return;
                }
            }
        });
        watcher.start(10);
        QTest::mouseClick(child<QPushButton>("btnClearAppCache"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(pressed, 120000);
        QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeModalWidget() == nullptr, 120000);
        QVERIFY(m_sim.set(m_udidA, u"Sim.Faults.ReplyDelayMs"_s, u"null"_s));
        const qint64 cacheAfter = state(m_udidA).cacheSum;
        QVERIFY2(cacheAfter < cacheBefore && cacheAfter > 0, "the clear did not stop partway");
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{u"Are You Sure You Want To Cancel?"_s});
        const auto withoutCaches = [](auto tree) {
            static const QRegularExpression cache(u"^AppDomain-[^/]+/Library/(Caches|tmp)/."_s);
            tree.removeIf([](auto it) { return cache.match(it.key()).hasMatch(); });
            return tree;
        };
        QCOMPARE(withoutCaches(fileTree(files)), withoutCaches(before));
    }

    // A phone that answers no identifier in its first session (still being paired, say) is asked again quietly:
    // no box, and it is listed once it answers.
    void unansweredIdentifierAskedAgain() {
        auto* cb = child<QComboBox>("cbDevices");
        QVERIFY(m_sim.unplug(m_udidA));
        QTRY_VERIFY_WITH_TIMEOUT(cb->findText(kNameA) < 0, 10000);
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
        QVERIFY(m_sim.set(m_udidA, u"Lockdown.UniqueDeviceID"_s, u"null"_s) && m_sim.plug(m_udidA));
        QTest::qWait(1500);
        QVERIFY(cb->findText(kNameA) < 0);
        QVERIFY(m_sim.set(m_udidA, u"Lockdown.UniqueDeviceID"_s, m_udidA));
        QTRY_VERIFY_WITH_TIMEOUT(cb->findText(kNameA) >= 0, 10000);
        QCOMPARE(MessageBoxPresenter::shownTexts().filter(u"invalid identifier"_s), QStringList());
        cb->setCurrentIndex(cb->findText(kNameA));
    }

    // The reminder's timer (10 s after start) fires while a device is listed: no box. Waited for here,
    // before the next case unplugs everything, however fast the cases before ran.
    // Tools, Encrypt Backups: two different new passwords are refused; then on, and off with its password, as
    // the phone itself reports it through lockdown.
    void encryptBackups() {
        const struct {
            QString current, fresh, again, box;
            bool encrypted;
        } steps[] = {{{}, u"pw 1"_s, u"pw 2"_s, u"The two new passwords differ"_s, false},
                     {{}, u"pw 1"_s, u"pw 1"_s, u"are now encrypted"_s, true},
                     {u"pw 1"_s, {}, {}, u"are no longer encrypted"_s, false}};
        for (const auto& step : steps) {
            MessageBoxPresenter::resetTestHook();
            MessageBoxPresenter::setAutoAnswer(true);
            MessageBoxPresenter::setDialogHandler(u"EncryptDlg"_s, [&step](QDialog* dlg) {
                dlg->findChild<QLineEdit*>(u"txtCurrentPassword"_s)->setText(step.current);
                dlg->findChild<QCheckBox*>(u"ckTurnOff"_s)->setChecked(step.fresh.isEmpty());
                dlg->findChild<QLineEdit*>(u"txtNewPassword"_s)->setText(step.fresh);
                dlg->findChild<QLineEdit*>(u"txtConfirmPassword"_s)->setText(step.again);
                dlg->accept();
                if (dlg->isVisible()) {
                    dlg->reject(); // refused: the dialog stays open for a correction
                }
            });
            m_window->miEncryptBackups();
            QVERIFY2(MessageBoxPresenter::shownTexts().join(u'|').contains(step.box),
                     qPrintable(MessageBoxPresenter::shownTexts().join(u'|')));
            const CFType will =
                mobiledevice_info(currentDevice().device, {u"WillEncrypt"_s}, u"com.apple.mobile.backup"_s).value(0);
            QCOMPARE(will.isCFBoolean() && will.CFNumberBool(), step.encrypted);
        }
        MessageBoxPresenter::setDialogHandler(u"EncryptDlg"_s, nullptr);
    }

    void noReminderOnceADeviceWasListed() {
        QTest::qWait(int(qMax<qint64>(0, 10500 - m_sinceShown.elapsed())));
        QVERIFY(boxesMatching(u"Device not found"_s).isEmpty());
    }

    void unplugging() {
        // The Notes box of this connection is dismissed for good.
        MessageBoxPresenter::setNextAnswers({u"Don't show this again"_s, QMessageBox::Ok});
        m_udidB = m_sim.create({u"--name"_s, kNameB, u"--product-type"_s, u"iPad6,3"_s, u"--ios"_s, u"9.3.2"_s,
                                u"--preset"_s, u"empty"_s});
        QVERIFY(!m_udidB.isEmpty());
        auto* cb = child<QComboBox>("cbDevices");
        QTRY_COMPARE_WITH_TIMEOUT(cb->count(), 2, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(cb->currentText(), kNameB, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>("lbDeviceIcon")->text().contains(u"ipad-big"_s), 60000);
        QCOMPARE(m_window->appModel()->rowCount(), 0);

        // The selected device leaves: the panel is reset. (Other devices coming and going, each entry
        // going and coming back alone, are tst_load's.)
        QVERIFY(m_sim.unplug(m_udidA) && m_sim.unplug(m_udidB));
        QTRY_COMPARE_WITH_TIMEOUT(cb->count(), 0, 60000);
        QVERIFY(child<QWidget>("wdDeviceInfoInner")->isHidden());
        QVERIFY(child<QPushButton>("btnClearAppCache")->isHidden());
        QCOMPARE(child<QLabel>("lbSpaceInfo")->text(), u"Total:, Available:"_s);
        QCOMPARE(child<QProgressBar>("pgSpace")->value(), 0);
        QCOMPARE(m_window->appModel()->rowCount(), 0);
        QVERIFY(child<QLabel>("lbTotalAppCache")->text().isEmpty());

        QVERIFY(m_sim.plug(m_udidA));
        QTRY_COMPARE_WITH_TIMEOUT(cb->count(), 1, 60000);
        QCOMPARE(boxesMatching(u"<p>Notes:</p>"_s).size(), 1);
    }
};

QTEST_MAIN(TestMainWindowSim)
#include "tst_mainwindow_sim.moc"
