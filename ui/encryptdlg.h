#pragma once

// "Encrypt Backups": the phone's own backup encryption. An encrypted backup
// keeps what a plain one leaves out (saved passwords, Health and HomeKit
// data), and every backup of the phone is encrypted with its password, by
// any computer. Off: a new password, twice, turns it on. On: the current
// password turns it off, or with a new one, twice, changes it.

#include "ui/winmovable.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;

class EncryptDlg : public QDialog {
    Q_OBJECT

public:
    EncryptDlg(bool encrypted, QWidget* parent = nullptr);

    // What to send once accepted: empty strings are left out.
    QString oldPassword() const;
    QString newPassword() const;

public slots:
    void accept() override;

private:
    WinMovable m_movable;
    bool m_encrypted;
    QLineEdit* m_txtCurrent;
    QLineEdit* m_txtNew;
    QLineEdit* m_txtConfirm;
    QCheckBox* m_ckTurnOff;
};
