#include "ui/cleanhost.h"

#include "app/tips.h"
#include "backup/backupmanifest.h"
#include "ui/passcodedlg.h"
#include "ui/progressform.h"

#include <QCoreApplication>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcCleanHost, "vexlar.ui.clean")

std::unique_ptr<ProgressReporter> WindowCleanHost::newProgress() {
    return std::make_unique<ProgressForm>(QString(), m_parent);
}

bool WindowCleanHost::runWorker(ProgressReporter& progress, QThread& worker) {
    // Every reporter this host hands out is a form.
    return static_cast<ProgressForm&>(progress).runWorker(worker);
}

QString WindowCleanHost::unlock(BackupManifest& manifest, const QString& known) {
    if (!known.isEmpty() && manifest.setPasscode(known)) {
        return known;
    }
    PasscodeDlg dialog(&manifest, m_parent);
    return dialog.exec() == QDialog::Accepted ? dialog.password : QString();
}

bool WindowCleanHost::cleanWithoutRestorePoint(const QString& why) {
    return Tips::question(
        QCoreApplication::translate("MainWindow", "No restore point can be kept before this clean, so it could not be "
                                                  "undone:<br/>%1<br/><br/>Clean all the same?")
            .arg(why.toHtmlEscaped()));
}

void WindowCleanHost::note(const QString& text) {
    qCInfo(lcCleanHost, "%s", qPrintable(text));
}
