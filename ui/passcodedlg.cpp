#include "ui/passcodedlg.h"

#include "app/tips.h"
#include "backup/backupmanifest.h"
#include "ui/stylesheet.h"
#include "ui_passcodedlg.h"

PasscodeDlg::PasscodeDlg(BackupManifest* manifest, QWidget* parent)
    : QDialog(parent), ui(new Ui::PasscodeDlg), m_manifest(manifest), m_movable(this) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(getStyleSheet());
    connect(ui->btnOK, &QPushButton::pressed, this, &PasscodeDlg::btnOKPressed);
    connect(ui->btnCancel, &QPushButton::pressed, this, &PasscodeDlg::reject);
}

PasscodeDlg::~PasscodeDlg() {
    delete ui;
}

void PasscodeDlg::btnOKPressed() {
    // The check runs its own modal loops; a second press meanwhile must not start another.
    if (m_checking) {
        return;
    }
    // Not trimmed: blanks can be part of a backup password.
    const QString text = ui->txtPasscode->text();
    if (text.isEmpty()) {
        Tips::warning(tr("IDS_PWD_IS_NULL"));
        return;
    }
    m_checking = true;
    const bool ok = m_manifest && m_manifest->setPasscode(text);
    m_checking = false;
    if (ok) {
        password = text;
        accept();
        return;
    }
    Tips::warning(tr("IDS_INVALID_PASSWORD"));
    ui->txtPasscode->clear();
    ui->txtPasscode->setFocus();
}
