#include "ui/encryptdlg.h"

#include "app/tips.h"
#include "ui/stylesheet.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

QLineEdit* passwordField(const char* name, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(name));
    field->setEchoMode(QLineEdit::Password);
    field->setMinimumWidth(260);
    return field;
}

} // namespace

EncryptDlg::EncryptDlg(bool encrypted, QWidget* parent)
    : QDialog(parent), m_movable(this), m_encrypted(encrypted), m_txtCurrent(passwordField("txtCurrentPassword", this)),
      m_txtNew(passwordField("txtNewPassword", this)), m_txtConfirm(passwordField("txtConfirmPassword", this)),
      m_ckTurnOff(new QCheckBox(tr("Turn backup encryption off"), this)) {
    setObjectName(QStringLiteral("EncryptDlg"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());
    m_ckTurnOff->setObjectName(QStringLiteral("ckTurnOff"));

    auto* title = new QLabel(tr("Encrypt Backups"), this);
    title->setObjectName(QStringLiteral("lbTitle"));
    auto* about = new QLabel(
        encrypted ? tr("Backups of this phone are encrypted. Give the current password to turn encryption off, or "
                       "a new password to change it.")
                  : tr("Backups of this phone are not encrypted. An encrypted backup also keeps saved passwords, "
                       "Health and HomeKit data. Choose a password: every backup of the phone will need it, and "
                       "nobody can recover it for you."),
        this);
    about->setWordWrap(true);
    auto* form = new QFormLayout;
    if (encrypted) {
        form->addRow(tr("Current password:"), m_txtCurrent);
        form->addRow(QString(), m_ckTurnOff);
    }
    form->addRow(tr("New password:"), m_txtNew);
    form->addRow(tr("New password again:"), m_txtConfirm);
    m_txtCurrent->setVisible(encrypted);
    m_ckTurnOff->setVisible(encrypted);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(about);
    layout->addLayout(form);
    layout->addWidget(new QLabel(tr("The phone may ask for its passcode to confirm."), this));
    layout->addWidget(buttons);

    connect(m_ckTurnOff, &QCheckBox::toggled, this, [this](bool off) {
        m_txtNew->setEnabled(!off);
        m_txtConfirm->setEnabled(!off);
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &EncryptDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &EncryptDlg::reject);
}

QString EncryptDlg::oldPassword() const {
    return m_encrypted ? m_txtCurrent->text() : QString();
}

QString EncryptDlg::newPassword() const {
    return m_encrypted && m_ckTurnOff->isChecked() ? QString() : m_txtNew->text();
}

void EncryptDlg::accept() {
    if (m_encrypted && m_txtCurrent->text().isEmpty()) {
        Tips::warning(tr("Please enter the current backup password."));
        return;
    }
    if (!(m_encrypted && m_ckTurnOff->isChecked())) {
        if (m_txtNew->text().isEmpty()) {
            Tips::warning(tr("Please enter the new backup password."));
            return;
        }
        if (m_txtNew->text() != m_txtConfirm->text()) {
            Tips::warning(tr("The two new passwords differ. Please enter the same password twice."));
            return;
        }
    }
    QDialog::accept();
}
