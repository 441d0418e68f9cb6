// End to end: app caches of a simulated device that refuses to vend app
// containers go through a backup made and restored by the real helper
// stand-in. The device's files/ folder, read directly, is the oracle.

#include "app/paths.h"
#include "device/mobiledevice_loader.h"
#include "tests/device/simfixture.h"
#include "ui/mainwindow.h"
#include "ui/messagebox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

// "Domain/path" -> "d", or the size and SHA-1 of a regular file, for everything below files/.
QMap<QString, QPair<qint64, QByteArray>> tree(const QString& files) {
    QMap<QString, QPair<qint64, QByteArray>> out;
    QDirIterator it(files, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        QCryptographicHash sha(QCryptographicHash::Sha1);
        const bool isFile =
            !it.fileInfo().isSymLink() && it.fileInfo().isFile() && f.open(QIODevice::ReadOnly) && sha.addData(&f);
        out.insert(QDir(files).relativeFilePath(path), {isFile ? f.size() : 0, isFile ? sha.result() : "d"});
    }
    return out;
}

// The app whose cache folder the entry lies strictly below; empty for any other entry.
QString cacheOwner(const QString& rel) {
    static const QRegularExpression cache(u"^AppDomain-([^/]+)/Library/(Caches|tmp)/."_s);
    return cache.match(rel).captured(1);
}

} // namespace

class TestAppCacheFallback : public QObject {
    Q_OBJECT

    SimStore m_sim;
    QString m_udid;
    std::unique_ptr<MainWindow> m_window;

    QString files() const { return m_sim.deviceDir(m_udid) + u"/files"_s; }
    template <class T>
    T* child(const char* name) const {
        return m_window->findChild<T*>(QLatin1String(name));
    }

private slots:
    void initTestCase() {
        QString why;
        QVERIFY2(m_sim.init(&why), qPrintable(why));
        qputenv("VEXLAR_BACKUP_HELPER", VEXLAR_SIMBACKUP);
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::setAutoAnswer(true);
        m_udid = m_sim.create({u"--ios"_s, u"14.4"_s, u"--preset"_s, u"demo"_s});
        QVERIFY(!m_udid.isEmpty());
        // As on a real phone since iOS 8.3: house arrest vends no app container.
        QVERIFY(m_sim.set(m_udid, u"Sim.VendContainer"_s, u"false"_s));
        QCOMPARE(mobiledevice_init(), 1);
        m_window = std::make_unique<MainWindow>();
        m_window->show();
        QTRY_COMPARE_WITH_TIMEOUT(child<QComboBox>("cbDevices")->count(), 1, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->appModel()->rowCount() >= 3, 60000);
    }

    void cleanupTestCase() { m_window.reset(); }

    void scanMeasuresThroughABackup() {
        const auto before = tree(files());
        QTest::mouseClick(child<QPushButton>("btnScanAppCache"), Qt::LeftButton);
        ItemModelAppIcon* model = m_window->appModel();
        QTRY_VERIFY_WITH_TIMEOUT(model->node(0)->size >= 0, 120000);
        QHash<QString, qint64> bytes;
        qint64 total = 0;
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            bytes[cacheOwner(it.key())] += it.value().first;
            total += cacheOwner(it.key()).isEmpty() ? 0 : it.value().first;
        }
        for (int i = 0; i < model->rowCount(); ++i) {
            QCOMPARE(model->node(i)->size, bytes.value(model->node(i)->appId));
        }
        QVERIFY(total > 0);
        QCOMPARE(child<QLabel>("lbTotalAppCache")->text(), u"(%1)"_s.arg(formatSpaceShow(total)));
        QCOMPARE(tree(files()), before);
    }

    void freeUpRemovesOnlyTheChosenCaches() {
        ItemModelAppIcon* model = m_window->appModel();
        child<QCheckBox>("ckAllApp")->setCheckState(Qt::Unchecked);
        const QStringList chosen = {model->node(0)->appId, model->node(2)->appId};
        for (int row : {0, 2}) {
            QVERIFY(model->setData(model->index(row, 0), int(Qt::Checked), Qt::CheckStateRole));
        }
        const auto before = tree(files());
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
        QTest::mouseClick(child<QPushButton>("btnClearAppCache"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(MessageBoxPresenter::shownTexts(),
                                  QStringList{u"Successfully removed App Cache & Junk. Now please disconnect your "
                                              "iPhone from computer."_s},
                                  240000);

        auto expected = before;
        expected.removeIf([&chosen](auto it) { return chosen.contains(cacheOwner(it.key())); });
        QVERIFY(expected.size() < before.size());
        // The cache folders themselves stay; every other device file is byte-identical.
        QCOMPARE(tree(files()), expected);
    }
};

QTEST_MAIN(TestAppCacheFallback)
#include "tst_appcache_fallback.moc"
