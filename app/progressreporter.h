#pragma once

// What a worker thread may do with the dialog that watches it.
//
// Workers and the backup store report only through this interface, so the
// core libraries never touch widgets; ui/ProgressForm implements it. Every
// invoke* call may come from any thread and returns at once: the dialog acts
// on it in its own thread.

#include <QString>

#include <atomic>

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
