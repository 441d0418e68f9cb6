#pragma once

// What a worker thread may do with the dialog that watches it.
//
// Workers and the backup store report only through this interface, so the
// core libraries never touch widgets; ui/ProgressForm implements it. Every
// invoke* call may come from any thread and returns at once: the dialog acts
// on it in its own thread.

#include <QString>
#include <atomic>
#include <functional>

class QThread;

class ProgressReporter {
public:
    virtual ~ProgressReporter() = default;

    virtual void invokeUpdateProgress(const QString& status, int curProgress, const QString& progressText) = 0;
    virtual void invokeErrorOccurred(const QString& err) = 0;
    virtual void invokeSucceed(const QString& tipsStr) = 0;
    // Sets tipsWaiting before queuing, so a worker may poll it until the user has read the box.
    virtual void invokeTipsWait(const QString& info) = 0;

    // Written by the dialog's thread when it finishes (true for result 0), polled by workers.
    std::atomic<bool> canceled{false};
    std::atomic<bool> tipsWaiting{false};
};

// Runs one worker under a modal progress dialog: the core libraries call this
// where the program shows a dialog of their own (the backup password check).
// `makeWorker` builds the worker (not started) around the reporter it is
// given; the runner starts it, waits for the dialog to finish and for the
// thread to end, deletes it, and returns the dialog's result (1 success, 0
// error or cancel). ui/ installs the dialog-backed runner; without one, the
// worker runs headless and its reports go to the log.
using ProgressWorkerFactory = std::function<QThread*(ProgressReporter& reporter)>;

class ProgressRunner {
public:
    virtual ~ProgressRunner() = default;
    virtual int run(const ProgressWorkerFactory& makeWorker, bool cancelable) = 0;
};

int runWithProgress(const ProgressWorkerFactory& makeWorker, bool cancelable);
void setProgressRunner(ProgressRunner* runner);
