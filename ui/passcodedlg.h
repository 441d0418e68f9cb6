#pragma once

// Asks for the password of an encrypted backup and checks it against the
// backup (BackupManifest::setPasscode, which shows its own progress dialog).
// Accepted (result 1) only with a password that unlocked the backup; wrong
// passwords keep the dialog open for another try, without limit.

#include "ui/winmovable.h"

#include <QDialog>
#include <QString>

class BackupManifest;

namespace Ui {
class PasscodeDlg;
}

class PasscodeDlg : public QDialog {
    Q_OBJECT
public:
    explicit PasscodeDlg(BackupManifest* manifest, QWidget* parent = nullptr);
    ~PasscodeDlg() override;

    // The verified password once the dialog was accepted.
    QString password;

public slots:
    void btnOKPressed();

private:
    Ui::PasscodeDlg* ui;
    BackupManifest* m_manifest; // not owned
    WinMovable m_movable;
    bool m_checking = false;
};
