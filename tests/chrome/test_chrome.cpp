// Window chrome: the resource bundle and style sheet, the message boxes (also
// asked from a worker thread), and dragging; the translation table and the
// message-box test hook serve every window suite. Then the real program
// started offscreen: without a device framework it warns and still opens its
// window; with the simulated framework it loads it quietly. Either way the
// day's log starts with the start-up line.

#include "app/errreport.h"
#include "app/paths.h"
#include "app/tips.h"
#include "tests/app/datarows.h"
#include "ui/messagebox.h"
#include "ui/stylesheet.h"
#include "ui/winmovable.h"

#include <QApplication>
#include <QDate>
#include <QFile>
#include <QImage>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace Qt::StringLiterals;

// Resources with their least width and height; message boxes by the names of their buttons; drags (by 20, 15).
static const QString kRows = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/chrome/test_chrome.json");

class TestChrome : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Error boxes send reports: keep them off the network.
        qputenv("VEXLAR_WEB_HOST", "127.0.0.1:9");
    }
    void cleanup() { MessageBoxPresenter::resetTestHook(); }

    void resources_data() { addRowsFrom(kRows, "resources"); }
    void resources() {
        QFETCH(QString, name);
        QFETCH(QList<int>, minSize);
        const QImage image(name);
        QVERIFY2(!image.isNull(), qPrintable(name));
        QVERIFY(image.width() >= minSize.value(0) && image.height() >= minSize.value(1));
    }

    void styleSheetParsesAndIsCached() {
        const QString first = getStyleSheet();
        QTest::failOnWarning(QRegularExpression(u".*[Ss]tyle ?[Ss]heet.*"_s));
        QDialog dialog;
        dialog.setStyleSheet(first);
        auto* button = new QPushButton(u"Scan"_s, &dialog);
        button->setObjectName(u"btnScanSysCache"_s);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        button->ensurePolished();
        // The rule of the orange Scan buttons applies: a fixed width of 80 plus padding, border and margin.
        QVERIFY(button->minimumWidth() >= 80);
        QCOMPARE(button->maximumWidth(), button->minimumWidth());
    }

    void showMessageBox_data() { addRowsFrom(kRows, "showMessageBox"); }
    void showMessageBox() {
        QFETCH(QString, offered);
        QFETCH(QString, pressed);
        QFETCH(QString, shown);
        const QMetaEnum names = QMetaEnum::fromType<QMessageBox::StandardButtons>();
        const int buttons = names.keysToValue(offered.toLatin1().constData());
        const auto press = QMessageBox::StandardButton(names.keysToValue(pressed.toLatin1().constData()));
        QList<QMessageBox::StandardButton> expected, seen;
        for (const QString& name : shown.split(u'|')) {
            expected << QMessageBox::StandardButton(names.keysToValue(name.toLatin1().constData()));
        }
        std::sort(expected.begin(), expected.end());
        QString title;
        Qt::WindowFlags flags;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            for (QAbstractButton* b : box->buttons()) {
                seen << box->standardButton(b);
            }
            std::sort(seen.begin(), seen.end());
            title = box->windowTitle();
            flags = box->windowFlags();
            box->button(press)->click();
        });
        const int result = g_showMessageBox(QMessageBox::Warning, u"<b>text</b>"_s, buttons);
        QCOMPARE(result, int(press));
        QCOMPARE(seen, expected);
        QCOMPARE(title, prodDisplayName());
        QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    }

    // Workers ask their questions from their own thread; the box still opens on the GUI thread.
    void questionFromWorkerThread() {
        MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::setNextAnswers({QMessageBox::No, QMessageBox::Yes});
        bool first = true, second = false;
        QThread* worker = QThread::create([&] {
            first = Tips::question(u"first?"_s);
            second = Tips::question(u"second?"_s);
        });
        worker->start();
        QTRY_VERIFY(worker->isFinished());
        delete worker;
        Tips::setPresenter(nullptr);
        QVERIFY(!first && second);
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList({u"first?"_s, u"second?"_s}));
    }

    void dragging_data() { addRowsFrom(kRows, "dragging"); }
    void dragging() {
        QFETCH(bool, left);
        QFETCH(QList<int>, at);
        QFETCH(bool, moves);
        const Qt::MouseButton button = left ? Qt::LeftButton : Qt::RightButton;
        const QPoint press(at.value(0), at.value(1)), expectedMove = moves ? QPoint(20, 15) : QPoint();
        QDialog dialog;
        WinMovable movable(&dialog);
        dialog.move(100, 100);
        const QPoint start = dialog.pos();
        auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton b, Qt::MouseButtons held) {
            QMouseEvent event(type, QPointF(at), QPointF(dialog.mapToGlobal(at)), b, held, Qt::NoModifier);
            QCoreApplication::sendEvent(&dialog, &event);
        };
        send(QEvent::MouseButtonPress, press, button, button);
        send(QEvent::MouseMove, press + QPoint(20, 15), Qt::NoButton, button);
        send(QEvent::MouseButtonRelease, press + QPoint(20, 15), button, Qt::NoButton);
        QCOMPARE(dialog.pos() - start, expectedMove);
        // Moving after the release drags no more.
        send(QEvent::MouseMove, press + QPoint(50, 50), Qt::NoButton, Qt::NoButton);
        QCOMPARE(dialog.pos() - start, expectedMove);
    }
    void startsUp_data() {
        QTest::addColumn<QString>("framework");
        QTest::addColumn<bool>("warned");
        QTest::newRow("no framework") << QString() << true;
#ifdef VEXLAR_SIM_FRAMEWORK
        QTest::newRow("simulated framework") << QStringLiteral(VEXLAR_SIM_FRAMEWORK) << false;
#endif
    }
    void startsUp() {
        QFETCH(QString, framework);
        QFETCH(bool, warned);
        if (!framework.isEmpty() && !warned && !QFile::exists(framework)) {
            QSKIP("the simulated framework is not built");
        }
        const QString program = QStringLiteral(VEXLAR_BINARY_DIR "/bin/spacevexlar");
        if (!QFile::exists(program)) {
            QSKIP("spacevexlar is not built");
        }
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home.path());
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"VEXLAR_TEST_AUTOANSWER"_s, u"1"_s);
        env.insert(u"VEXLAR_QUIT_AFTER_MS"_s, u"2000"_s);
        env.insert(u"VEXLAR_WEB_HOST"_s, u"127.0.0.1:9"_s);
        env.remove(u"VEXLAR_MOBILEDEVICE"_s);
        if (!framework.isEmpty()) {
            env.insert(u"VEXLAR_MOBILEDEVICE"_s, framework);
        }
        QTemporaryDir simRoot; // no simulated devices
        env.insert(u"VEXLAR_SIM_ROOT"_s, simRoot.path());

        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, {});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);

        const QString log =
            home.path() +
            QStringLiteral("/.local/state/spacevexlar/logs/log-%1.txt").arg(QDate::currentDate().toString(u"yyyyMMdd"));
        QFile file(log);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(log));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        QVERIFY(lines.first().endsWith(") Space Vexlar 3.1.13 starting"_L1));

        const auto indexOf = [&lines](const QString& needle) {
            return lines.indexOf(QRegularExpression(u".*"_s + QRegularExpression::escape(needle) + u".*"_s));
        };
        const qsizetype warning = indexOf(QStringLiteral("box answered OK : Phones cannot be reached: %1 cannot be "
                                                         "loaded. Install the spacevexlar package (built "
                                                         "with libimobiledevice) and usbmuxd.")
                                              .arg(framework.isEmpty() ? g_installedDeviceLibraryPath() : framework));
        const qsizetype shown = indexOf(u"main window shown"_s);
        QCOMPARE(indexOf(u"translation :/en.qm is missing"_s), qsizetype(-1));
        QVERIFY2(shown > 0, "main window not opened");
        if (warned) {
            QVERIFY2(warning > 0, "framework warning not shown");
            QVERIFY2(shown > warning, "main window opened before the warning");
        } else {
            QCOMPARE(warning, qsizetype(-1));
            QVERIFY(indexOf(u"device framework loaded from "_s + framework) > 0);
        }
    }
};

QTEST_MAIN(TestChrome)
#include "test_chrome.moc"
