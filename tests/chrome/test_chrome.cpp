// Window chrome: the resource bundle, translation table and style sheet, the
// message boxes and their test hook, and dragging.

#include "app/errreport.h"
#include "app/tips.h"
#include "ui/aboutusform.h"
#include "ui/messagebox.h"
#include "ui/stylesheet.h"
#include "ui/winmovable.h"

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTranslator>

Q_DECLARE_METATYPE(QMessageBox::StandardButton)

using namespace Qt::StringLiterals;

class TestChrome : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Error boxes send reports: keep them off the network.
        qputenv("VEXLAR_WEB_HOST", "127.0.0.1:9");
    }
    void cleanup() { MessageBoxPresenter::resetTestHook(); }

    void resources_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("minSize"); // empty: not an image
        QTest::newRow("translation") << QStringLiteral(":/en.qm") << QSize();
        QTest::newRow("product picture") << QStringLiteral(":main") << QSize(64, 64);
        QTest::newRow("device picture") << QStringLiteral(":res/ipad-big.png") << QSize(96, 96);
        QTest::newRow("style sheet arrow") << QStringLiteral(":res/arrow.png") << QSize(8, 6);
        QTest::newRow("jpeg") << QStringLiteral(":res/close_icloudbk.jpg") << QSize(200, 100);
    }
    void resources() {
        QFETCH(QString, name);
        QFETCH(QSize, minSize);
        QVERIFY2(QFile::exists(name), qPrintable(name));
        if (minSize.isValid()) {
            const QImage image(name);
            QVERIFY(!image.isNull());
            QVERIFY(image.width() >= minSize.width() && image.height() >= minSize.height());
        }
    }

    void translations_data() {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("english");
        QTest::newRow("app clear result") << u"IOSClearAppCacheThread"_s << u"IDS_FOUND_%1_APPCACHE_SUC_CLEAR_%2"_s
                                          << u"Successfully deleted %2 App cache (Total: %1)."_s;
        QTest::newRow("no entry: as written") << u"MainWindow"_s << u"IDS_NOT_THERE"_s << u"IDS_NOT_THERE"_s;
    }
    void translations() {
        QFETCH(QString, context);
        QFETCH(QString, key);
        QFETCH(QString, english);
        QTranslator translator;
        QVERIFY(translator.load(QStringLiteral(":/en.qm")));
        QVERIFY(QCoreApplication::installTranslator(&translator));
        const QString shown = QCoreApplication::translate(context.toUtf8().constData(), key.toUtf8().constData());
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(shown, english);
    }

    void styleSheetParsesAndIsCached() {
        const QString first = getStyleSheet();
        QVERIFY(first.contains(QLatin1String("#btnScanSysCache")));
        QVERIFY(first.contains(QLatin1String("url(:res/arrow.png)")));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*[Ss]tyle ?[Ss]heet.*")));
        QDialog dialog;
        dialog.setStyleSheet(first);
        auto* button = new QPushButton(QStringLiteral("Scan"), &dialog);
        button->setObjectName(QStringLiteral("btnScanSysCache"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        button->ensurePolished();
        // The rule of the orange Scan buttons applies: a fixed width of 80 plus padding, border and margin.
        QVERIFY(button->minimumWidth() >= 80);
        QCOMPARE(button->maximumWidth(), button->minimumWidth());
    }

    void showMessageBox_data() {
        QTest::addColumn<int>("buttons");
        QTest::addColumn<QMessageBox::StandardButton>("press");
        QTest::addColumn<QList<QMessageBox::StandardButton>>("expected");
        QTest::newRow("OK") << int(QMessageBox::Ok) << QMessageBox::Ok
                            << QList<QMessageBox::StandardButton>{QMessageBox::Ok};
        QTest::newRow("Yes No, press No") << int(QMessageBox::Yes | QMessageBox::No) << QMessageBox::No
                                          << QList<QMessageBox::StandardButton>{QMessageBox::Yes, QMessageBox::No};
        QTest::newRow("all four, press Cancel")
            << int(QMessageBox::Yes | QMessageBox::No | QMessageBox::Ok | QMessageBox::Cancel) << QMessageBox::Cancel
            << QList<QMessageBox::StandardButton>{QMessageBox::Ok, QMessageBox::Cancel, QMessageBox::Yes,
                                                  QMessageBox::No};
        QTest::newRow("others ignored") << int(QMessageBox::Ok | QMessageBox::Save | QMessageBox::Abort)
                                        << QMessageBox::Ok << QList<QMessageBox::StandardButton>{QMessageBox::Ok};
    }
    void showMessageBox() {
        QFETCH(int, buttons);
        QFETCH(QMessageBox::StandardButton, press);
        QFETCH(QList<QMessageBox::StandardButton>, expected);
        std::sort(expected.begin(), expected.end());
        QList<QMessageBox::StandardButton> seen;
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
        const int result = g_showMessageBox(QMessageBox::Warning, QStringLiteral("<b>text</b>"), buttons);
        QCOMPARE(result, int(press));
        QCOMPARE(seen, expected);
        QCOMPARE(title, prodDisplayName());
        QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    }

    void presenterAnswersThroughTheHook() {
        MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::setNextAnswers({QMessageBox::Yes, QMessageBox::No, QMessageBox::Ok, QMessageBox::Ok});
        QVERIFY(Tips::question(QStringLiteral("first?")));
        QVERIFY(!Tips::question(QStringLiteral("second?")));
        Tips::info(QStringLiteral("note"));
        Tips::error(QStringLiteral("broken"));
        QCOMPARE(MessageBoxPresenter::pendingAnswers(), 0);

        // Auto answer: Yes where there is one, else OK.
        MessageBoxPresenter::setAutoAnswer(true);
        QVERIFY(Tips::question(QStringLiteral("third?")));
        Tips::warning(QStringLiteral("careful"));

        // From a worker thread the box still opens on the GUI thread.
        bool fromWorker = false;
        QThread* worker = QThread::create([&] { fromWorker = Tips::question(QStringLiteral("from worker?")); });
        worker->start();
        QTRY_VERIFY(worker->isFinished());
        delete worker;
        QVERIFY(fromWorker);
        Tips::setPresenter(nullptr);

        const QStringList texts = MessageBoxPresenter::shownTexts();
        QCOMPARE(texts.size(), 7);
        QCOMPARE(texts[0], QStringLiteral("first?"));
        QCOMPARE(texts[2], QStringLiteral("note"));
        QCOMPARE(texts[3], errBoxText(QStringLiteral("broken")));
        QCOMPARE(texts[6], QStringLiteral("from worker?"));
    }

    void hookAnswersCustomButtonsAndRejectsMisfits() {
        QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("A new version"));
        QPushButton* now = box.addButton(QStringLiteral("Download now"), QMessageBox::AcceptRole);
        QPushButton* later = box.addButton(QStringLiteral("Download later"), QMessageBox::RejectRole);
        MessageBoxPresenter::setNextAnswers({QStringLiteral("Download later")});
        box.exec();
        QCOMPARE(box.clickedButton(), later);
        MessageBoxPresenter::setNextAnswers({"Download now"});
        box.exec();
        QCOMPARE(box.clickedButton(), now);

        // An answer the box does not offer closes it rather than hanging the test.
        MessageBoxPresenter::setNextAnswers({QMessageBox::Yes});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("does not fit")));
        QCOMPARE(g_showMessageBox(QMessageBox::Information, QStringLiteral("x"), QMessageBox::Ok), 0);
    }

    void hookHandsDialogsToTheirHandler() {
        int handled = 0;
        MessageBoxPresenter::setDialogHandler(QStringLiteral("AboutUsForm"), [&](QDialog* dialog) {
            ++handled;
            auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("btnOK"));
            QVERIFY(ok);
            QTest::mouseClick(ok, Qt::LeftButton); // pressed() accepts
        });
        AboutUsForm about;
        QCOMPARE(about.exec(), int(QDialog::Accepted));
        QCOMPARE(handled, 1);
        QCOMPARE(MessageBoxPresenter::shownDialogs(), QStringList{QStringLiteral("AboutUsForm")});
    }

    void dragging_data() {
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<QPoint>("press");
        QTest::addColumn<QPoint>("expectedMove");
        QTest::newRow("left button drags") << Qt::LeftButton << QPoint(10, 12) << QPoint(20, 15);
        QTest::newRow("right button does not") << Qt::RightButton << QPoint(10, 12) << QPoint();
        QTest::newRow("press at (0, 0) does not") << Qt::LeftButton << QPoint(0, 0) << QPoint();
    }
    void dragging() {
        QFETCH(Qt::MouseButton, button);
        QFETCH(QPoint, press);
        QFETCH(QPoint, expectedMove);
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
};

QTEST_MAIN(TestChrome)
#include "test_chrome.moc"
