// The progress dialog and the protocol workers follow with it.

#include "ui/messagebox.h"
#include "ui/progressform.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

// A worker that runs a script of reports, then optionally waits for the cancel flag.
class ScriptWorker : public QThread {
public:
    ScriptWorker(ProgressReporter& progress, std::function<void(ProgressReporter&)> body)
        : m_progress(progress), m_body(std::move(body)) {}

protected:
    void run() override { m_body(m_progress); }

private:
    ProgressReporter& m_progress;
    std::function<void(ProgressReporter&)> m_body;
};

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

// Runs `during` inside the dialog's modal loop, once it is shown.
void whenShown(ProgressForm& form, std::function<void()> during) {
    QTimer::singleShot(0, &form, [&form, during] {
        QTRY_VERIFY_WITH_TIMEOUT(form.isVisible(), 10000);
        during();
    });
}

} // namespace

class TestProgressForm : public QObject {
    Q_OBJECT

private slots:
    void init() {
        static MessageBoxPresenter presenter;
        Tips::setPresenter(&presenter);
        MessageBoxPresenter::resetTestHook();
        MessageBoxPresenter::setAutoAnswer(true);
    }

    void updateProgress_data() {
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("percent");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("expectStatus");
        QTest::addColumn<int>("expectBar");
        QTest::addColumn<QString>("expectDetail");
        // The dialog starts each row with status "First" and the bar at 30.
        QTest::newRow("all given") << u"Second"_s << 60 << u"file.txt"_s << u"Second"_s << 60 << u"file.txt"_s;
        QTest::newRow("empty status keeps the line") << u""_s << 45 << u"x"_s << u"First"_s << 45 << u"x"_s;
        QTest::newRow("negative keeps the bar") << u"S"_s << -1 << u""_s << u"S"_s << 30 << u"Progress:30%"_s;
        QTest::newRow("empty detail shows percent") << u""_s << 100 << u""_s << u"First"_s << 100 << u"Progress:100%"_s;
    }

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
    void outcome_data() {
        QTest::addColumn<QString>("success"); // null: the worker reports an error instead
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("runner"); // through runWithProgress, as the backup store runs its workers
        QTest::newRow("succeed quietly") << u""_s << 1 << QString() << false;
        QTest::newRow("succeed with text") << u"All done."_s << 1 << u"All done."_s << false;
        QTest::newRow("error") << QString() << 0 << u"Broken pipe"_s << false;
        QTest::newRow("runner, success") << u""_s << 1 << QString() << true;
        QTest::newRow("runner, error") << QString() << 0 << u"Broken pipe"_s << true;
    }

    void outcome() {
        QFETCH(QString, success);
        QFETCH(int, result);
        QFETCH(QString, box);
        QFETCH(bool, runner);
        const auto body = [success](ProgressReporter& p) {
            p.invokeUpdateProgress(u"Step"_s, 40, QString());
            success.isNull() ? p.invokeErrorOccurred(u"Broken pipe"_s) : p.invokeSucceed(success);
        };
        if (runner) {
            installProgressRunner();
            QCOMPARE(runWithProgress([&](ProgressReporter& p) -> QThread* { return new ScriptWorker(p, body); }, false),
                     result);
        } else {
            ProgressForm form;
            ScriptWorker worker(form, body);
            worker.start();
            QCOMPARE(form.exec(), result);
            worker.wait();
            QCOMPARE(form.canceled, result == 0);
            QCOMPARE(form.statusText(), u"Step"_s);
            QCOMPARE(form.progressText(), u"Progress:40%"_s);
        }
        const QStringList shown = MessageBoxPresenter::shownTexts();
        QCOMPARE(shown.size(), box.isNull() ? 0 : 1);
        QVERIFY(box.isNull() || shown.first().contains(box));
    }

    void cancelQuestion_data() {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("No keeps working") << false;
        QTest::newRow("Yes cancels") << true;
    }

    void cancelQuestion() {
        QFETCH(bool, confirm);
        ProgressForm form;
        QSignalSpy userCancel(&form, &ProgressForm::userCacel);
        std::atomic<bool> release{false};
        ScriptWorker worker(form, untilReleased(release));
        worker.start();
        MessageBoxPresenter::setNextAnswers({confirm ? QMessageBox::Yes : QMessageBox::No});
        whenShown(form, [&form, &release] {
            QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("btnCancel")), Qt::LeftButton);
            // Only now may an unconfirmed run finish on its own.
            QTimer::singleShot(0, &form, [&release] { release = true; });
        });
        const int result = form.exec();
        const bool canceled = form.canceled;
        worker.wait();
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{QStringLiteral("Are You Sure You Want To Cancel?")});
        QCOMPARE(result, confirm ? 0 : 1);
        QCOMPARE(canceled, confirm);
        QCOMPARE(userCancel.count(), confirm ? 1 : 0);
    }

    // Only succeed, errorOccurred or a confirmed cancel close the form.
    void formStaysOpen_data() {
        QTest::addColumn<bool>("cancelable");
        QTest::newRow("keys and close") << true;
        QTest::newRow("Cancel on a non-cancelable form") << false;
    }

    void formStaysOpen() {
        QFETCH(bool, cancelable);
        ProgressForm form;
        form.setCancelable(cancelable);
        std::atomic<bool> release{false};
        ScriptWorker worker(form, untilReleased(release));
        worker.start();
        bool stillOpen = false;
        whenShown(form, [&] {
            if (cancelable) {
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
            release = true;
        });
        QCOMPARE(form.exec(), 1);
        worker.wait();
        QVERIFY(stillOpen);
        QVERIFY(MessageBoxPresenter::shownTexts().isEmpty());
    }

    void tipsWaitClearsTheFlag() {
        ProgressForm form;
        bool sawWaiting = false;
        ScriptWorker worker(form, [&sawWaiting](ProgressReporter& p) {
            p.invokeTipsWait(QStringLiteral("Unlock your phone."));
            sawWaiting = p.tipsWaiting;
            while (p.tipsWaiting) {
                QThread::msleep(5);
            }
            p.invokeSucceed(QString());
        });
        worker.start();
        QCOMPARE(form.exec(), 1);
        worker.wait();
        QVERIFY(sawWaiting);
        QCOMPARE(MessageBoxPresenter::shownTexts(), QStringList{QStringLiteral("Unlock your phone.")});
    }

    void waitForThreadNeverKills() {
        ProgressForm form;
        std::atomic<bool> finished{false};
        // After the cancel the worker still needs a while to finish the file it is writing.
        ScriptWorker writer(form, [&finished](ProgressReporter& p) {
            while (!p.canceled) {
                QThread::msleep(5);
            }
            QThread::msleep(1500);
            finished = true;
        });
        writer.start();
        form.onFinish(0);
        QVERIFY(form.waitForThread(writer));
        QVERIFY(finished);
    }
};

QTEST_MAIN(TestProgressForm)
#include "tst_progressform.moc"
