// The main window's side of the daily update check, the status-bar
// announcement and the Help menu pages.

#include "app/errreport.h"
#include "app/paths.h"
#include "app/tips.h"
#include "app/updatecheck.h"
#include "app/weblinks.h"
#include "ui/mainwindow.h"
#include "ui/stylesheet.h"
#include "ui/winmovable.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace {
// A frameless, styled, draggable box titled with the product name, like every other box.
QMessageBox::ButtonRole runUpdateBox(QMessageBox::Icon icon, const QString& text,
                                     const QList<QPair<QString, QMessageBox::ButtonRole>>& buttons) {
    QMessageBox box(icon, prodDisplayName(), text, QMessageBox::NoButton, nullptr);
    WinMovable movable(&box);
    box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    box.setStyleSheet(getStyleSheet());
    for (const auto& [label, role] : buttons) {
        box.addButton(label, role);
    }
    box.exec();
    return box.clickedButton() ? box.buttonRole(box.clickedButton()) : QMessageBox::RejectRole;
}

void openOrExplain(const QUrl& url) {
    if (!webServerConfigured()) {
        Tips::info(QStringLiteral("No product web server is configured (VEXLAR_WEB_HOST)."));
        return;
    }
    openWebUrl(url);
}
} // namespace

void MainWindow::setUpWebLinks() {
    m_advLabel = new QLabel(this);
    m_advLabel->setObjectName(QStringLiteral("lbAdv"));
    m_advLabel->setTextFormat(Qt::RichText);
    // Safe to open directly: the label only ever shows one anchor to a web address.
    m_advLabel->setOpenExternalLinks(true);
    ui->statusBar->addWidget(m_advLabel, 0);
    QFile adv(g_dataSaveDir().filePath(QStringLiteral("last-adv")));
    if (adv.open(QIODevice::ReadOnly)) {
        const QByteArray stored = adv.read(UpdateCheck::kMaxAnswer);
        if (!UpdateCheck::styledAnnouncement(stored).isEmpty()) {
            m_advLabel->setText(QString::fromUtf8(stored).trimmed());
        }
    }
}

void MainWindow::startDailyRequests() {
    m_updateCheck = new UpdateCheck(g_dataSaveDir(), this);
    connect(m_updateCheck, &UpdateCheck::updateAvailable, this, &MainWindow::onCheckVersionReadyRead);
    connect(m_updateCheck, &UpdateCheck::announcement, this, &MainWindow::onGetAdvLinkRead);
    m_updateCheck->start();
}

void MainWindow::onCheckVersionReadyRead(const QUrl& address, bool obsolete) {
    if (obsolete) {
        runUpdateBox(QMessageBox::Warning,
                     QStringLiteral("This version of Quorvindale software has become obsolete. Please download the "
                                    "latest version to install on your computer."),
                     {{QStringLiteral("Download"), QMessageBox::AcceptRole}});
        openWebUrl(address);
        exitProgram();
    }
    const QMessageBox::ButtonRole role = runUpdateBox(
        QMessageBox::Question,
        QStringLiteral("A new version of %1 is available. To support your phone, please download the latest version.")
            .arg(prodDisplayName()),
        {{QStringLiteral("Download now"), QMessageBox::AcceptRole},
         {QStringLiteral("Download later"), QMessageBox::RejectRole}});
    if (role == QMessageBox::AcceptRole) {
        openWebUrl(address);
        close();
        exitProgram();
    }
    m_updateCheck->recordCheckTime();
}

void MainWindow::onGetAdvLinkRead(const QString& html) {
    m_advLabel->setText(html);
}

void MainWindow::miCheckUpdate() {
    openOrExplain(manualUpdatePageUrl());
}

void MainWindow::miHelp() {
    openOrExplain(webPageUrl(QLatin1String(kHelpPagePath)));
}

void MainWindow::miFeedback() {
    openOrExplain(webPageUrl(QLatin1String(kSupportPagePath)));
}
