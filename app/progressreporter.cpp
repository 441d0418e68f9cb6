#include "app/progressreporter.h"

#include <QLoggingCategory>
#include <QThread>
#include <atomic>
#include <memory>

Q_LOGGING_CATEGORY(lcProgress, "vexlar.progress")

namespace {

// Stands in for the dialog where there is none (command line, core tests).
class HeadlessReporter final : public ProgressReporter {
public:
    void invokeUpdateProgress(const QString& status, int curProgress, const QString& progressText) override {
        qCDebug(lcProgress).noquote() << status << curProgress << progressText;
    }
    void invokeErrorOccurred(const QString& err) override {
        qCWarning(lcProgress).noquote() << err;
        finish(0);
    }
    void invokeSucceed(const QString& tipsStr) override {
        if (!tipsStr.isEmpty()) {
            qCInfo(lcProgress).noquote() << tipsStr;
        }
        finish(1);
    }
    void invokeTipsWait(const QString& info) override {
        qCInfo(lcProgress).noquote() << info;
        tipsWaiting = false;
    }
    int result() const { return m_result.load(); }

private:
    void finish(int result) {
        int expected = -1;
        if (m_result.compare_exchange_strong(expected, result)) {
            canceled = (result == 0);
        }
    }
    std::atomic<int> m_result{-1};
};

std::atomic<ProgressRunner*> g_runner{nullptr};

} // namespace

int runWithProgress(const ProgressWorkerFactory& makeWorker, bool cancelable) {
    if (ProgressRunner* runner = g_runner.load()) {
        return runner->run(makeWorker, cancelable);
    }
    HeadlessReporter reporter;
    std::unique_ptr<QThread> worker(makeWorker(reporter));
    if (!worker) {
        return 0;
    }
    worker->start();
    worker->wait();
    // A worker that ends without a verdict counts as failed, like a dialog closed by error.
    return reporter.result() == 1 ? 1 : 0;
}

void setProgressRunner(ProgressRunner* runner) {
    g_runner.store(runner);
}
