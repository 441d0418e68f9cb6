// The progress dialog and the protocol workers follow with it; the app-icon model behind the main window's lists.

#include "tests/app/datarows.h"
#include "ui/itemmodel.h"
#include "ui/messagebox.h"
#include "ui/progressform.h"

#include <QAbstractItemModelTester>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString kTables = QStringLiteral(VEXLAR_SOURCE_DIR "/tests/ui/tst_widgets.json");

// A worker thread that runs `body` with the reporter.
QThread* scriptWorker(ProgressReporter& progress, const std::function<void(ProgressReporter&)>& body) {
    return QThread::create([&progress, body] { body(progress); });
}

// A worker body that runs until released or cancelled, and succeeds unless cancelled.
std::function<void(ProgressReporter&)> untilReleased(const std::atomic<bool>& release) {
    return [&release](ProgressReporter& p) {
        while (!p.canceled && !release) {
            QThread::msleep(5);
        }
        if (!p.canceled) {
            p.invokeSucceed(QString());
        }
    };
}

} // namespace

class TestWidgets : public QObject {
    Q_OBJECT

    static _APPIconItemNode* makeNode(const QString& name, bool checked = true, bool hidden = false,
                                      const QString& icon = QString()) {
        return new _APPIconItemNode(nullptr, _IOSAppInfo(QStringLiteral("com.example.") + name, name), icon, checked,
                                    hidden);
    }

private slots:
    void init() {
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
    }

    void updateProgress_data() { addRowsFrom(kTables, "updateProgress"); }

    void updateProgress() {
        QFETCH(QString, status);
        QFETCH(int, percent);
        QFETCH(QString, detail);
        ProgressForm form;
        form.updateProgress(QStringLiteral("First"), 30, QString());
        form.updateProgress(status, percent, detail);
        QTEST(form.statusText(), "expectStatus");
        QTEST(form.progressValue(), "expectBar");
        QTEST(form.progressText(), "expectDetail");
    }

    // How a run ends: exec's result, the cancel flag and the boxes shown.
    void outcome_data() { addRowsFrom(kTables, "outcome"); }

    void outcome() {
        QFETCH(QString, success);
        QFETCH(int, result);
        QFETCH(QString, box);
        QFETCH(bool, runner);
        QFETCH(bool, tips);
        std::atomic<bool> sawWaiting{false};
        const auto body = [success, tips, &sawWaiting](ProgressReporter& p) {
            if (tips) {
                p.invokeTipsWait(u"Unlock your phone."_s);
                sawWaiting = bool(p.tipsWaiting);
                while (p.tipsWaiting) {
                    QThread::msleep(5);
                }
            }
            p.invokeUpdateProgress(u"Step"_s, 40, QString());
            success.isNull() ? p.invokeErrorOccurred(u"Broken pipe"_s) : p.invokeSucceed(success);
        };
        if (runner) {
            installProgressRunner();
            QCOMPARE(runWithProgress([&](ProgressReporter& p) -> QThread* { return scriptWorker(p, body); }, false),
                     result);
        } else {
            ProgressForm form;
            std::unique_ptr<QThread> worker(scriptWorker(form, body));
            worker->start();
            QCOMPARE(form.exec(), result);
            worker->wait();
            QCOMPARE(form.canceled, result == 0);
            QCOMPARE(form.statusText(), u"Step"_s);
            QCOMPARE(form.progressText(), u"Progress:40%"_s);
        }
        const QStringList shown = MessageBoxPresenter::shownTexts();
        QCOMPARE(shown.size(), box.isNull() ? 0 : 1);
        QVERIFY(box.isNull() || shown.first().contains(box));
        QCOMPARE(sawWaiting, tips);
    }

    // What the user does while the worker runs: only succeed, errorOccurred or a confirmed cancel close the form.
    void userActions_data() { addRowsFrom(kTables, "userActions"); }

    void userActions() {
        QFETCH(QString, action);
        QFETCH(bool, confirm);
        QFETCH(int, result);
        ProgressForm form;
        form.setCancelable(action != u"cancel, not cancelable"_s);
        QSignalSpy userCancel(&form, &ProgressForm::userCacel);
        std::atomic<bool> release{false};
        std::unique_ptr<QThread> worker(scriptWorker(form, untilReleased(release)));
        worker->start();
        MessageBoxPresenter::setNextAnswers({confirm ? QMessageBox::Yes : QMessageBox::No});
        bool stillOpen = false;
        QTimer::singleShot(0, &form, [&] { // inside the dialog's loop, once it is shown
            QTRY_VERIFY_WITH_TIMEOUT(form.isVisible(), 10000);
            if (action == u"keys"_s) {
                for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
                    QTest::keyClick(&form, key);
                }
                form.close();
                form.reject();
                form.accept();
            } else {
                QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("btnCancel")), Qt::LeftButton);
            }
            QCoreApplication::processEvents();
            stillOpen = form.isVisible();
            // Only now may an unconfirmed run finish on its own.
            QTimer::singleShot(0, &form, [&release] { release = true; });
        });
        QCOMPARE(form.exec(), result);
        const bool canceled = form.canceled;
        worker->wait();
        QVERIFY(stillOpen || result == 0);
        QCOMPARE(canceled, result == 0);
        QCOMPARE(userCancel.count(), result == 0 ? 1 : 0);
        QCOMPARE(MessageBoxPresenter::shownTexts(),
                 action == u"cancel"_s ? QStringList{u"Are You Sure You Want To Cancel?"_s} : QStringList());
    }

    void waitForThreadNeverKills() {
        ProgressForm form;
        std::atomic<bool> finished{false};
        // After the cancel the worker still needs a while to finish the file it is writing.
        std::unique_ptr<QThread> writer(scriptWorker(form, [&finished](ProgressReporter& p) {
            while (!p.canceled) {
                QThread::msleep(5);
            }
            QThread::msleep(1500);
            finished = true;
        }));
        writer->start();
        form.onFinish(0);
        QVERIFY(form.waitForThread(*writer));
        QVERIFY(finished);
    }

    void caption_data() { addRowsFrom(kTables, "caption"); }

    void caption() {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        ItemModelAppIcon model;
        auto* node = makeNode(name);
        node->size = size;
        model.addNode(node);
        model.contentsUpdate();
        const QModelIndex index = model.index(0, 0);
        QTEST(model.data(index, Qt::DisplayRole).toString(), "expected");
        QCOMPARE(model.data(index, Qt::ToolTipRole).toString(), name);
    }

    void setData_data() { addRowsFrom(kTables, "setData"); }

    // From a checked node; a hidden one shows no box at all.
    void setData() {
        QFETCH(bool, hidden);
        QFETCH(QString, role);
        QFETCH(int, value);
        ItemModelAppIcon model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.addNode(makeNode(QStringLiteral("B"), false));
        model.addNode(makeNode(QStringLiteral("A"), true, hidden));
        model.contentsUpdate();
        QCOMPARE(model.data(model.index(0, 0), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QCOMPARE(model.data(model.index(1, 0), Qt::CheckStateRole), hidden ? QVariant() : QVariant(int(Qt::Checked)));
        QSignalSpy checkedSpy(&model, &ItemModelAppIcon::itemChecked);
        QSignalSpy changedSpy(&model, &QAbstractItemModel::dataChanged);
        QTEST(model.setData(model.index(1, 0), value, role == u"check"_s ? Qt::CheckStateRole : Qt::EditRole),
              "accepted");
        QTEST(model.node(1)->checked, "checkedAfter");
        QTEST(int(checkedSpy.count()), "signals");
        QCOMPARE(changedSpy.count(), role == u"check"_s ? 1 : 0);
        QVERIFY(checkedSpy.isEmpty() || checkedSpy.first().first().value<APPIconItemNode*>() == model.node(1));
    }

    void icons_data() { addRowsFrom(kTables, "icons"); }

    // An icon the device sent that is missing, no image or not named shows the default picture. (An image that
    // decodes is shown scaled: tst_ui_mainwindow_virtual::virtualDeviceFillsTheWindow.)
    void icons() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("iTunesArtwork")));
        QVERIFY(kind != u"garbage"_s || (file.open(QIODevice::WriteOnly) && file.write("\x89PNX not an image") > 0));
        file.close();
        ItemModelAppIcon model;
        model.addNode(makeNode(QStringLiteral("A"), true, false, kind == u"empty"_s ? QString() : file.fileName()));
        const QImage fallback(QStringLiteral(":res/def_app.png"), "PNG");
        QCOMPARE(model.data(model.index(0, 0), Qt::DecorationRole)
                     .value<QPixmap>()
                     .toImage()
                     .convertToFormat(QImage::Format_ARGB32),
                 fallback.scaled(64, 64, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                     .convertToFormat(QImage::Format_ARGB32));
    }

    void clearChilds() {
        ItemModelAppIcon model;
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        model.clearChilds(nullptr); // an empty model announces no removal
        QCOMPARE(removed.count(), 0);

        model.addNode(makeNode(QStringLiteral("A")));
        model.addNode(makeNode(QStringLiteral("B")));
        model.contentsUpdate();
        model.clearChilds(nullptr);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.first().mid(1), (QVariantList{0, 1}));
        QCOMPARE(model.rowCount(), 0);
    }
}; // namespace

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
