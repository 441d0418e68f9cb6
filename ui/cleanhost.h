#pragma once

// The window's side of a clean through a backup: progress in ProgressForm,
// the password in PasscodeDlg, and a question before cleaning without a way
// back.

#include "cleaners/cleanpipeline.h"

class QWidget;

class WindowCleanHost : public CleanPipeline::Host {
public:
    explicit WindowCleanHost(QWidget* parent) : m_parent(parent) {}

    std::unique_ptr<ProgressReporter> newProgress() override;
    bool runWorker(ProgressReporter& progress, QThread& worker) override;
    QString unlock(BackupManifest& manifest, const QString& known) override;
    bool cleanWithoutRestorePoint(const QString& why) override;
    void note(const QString& text) override;

private:
    QWidget* m_parent;
};
