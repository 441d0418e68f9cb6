// What a scan found, row by row of the two function lists: opened by a
// double-click on the row or "Details…" in its context menu. The messages'
// details are where the user chooses what Free Up removes of them.

#include "app/paths.h"
#include "app/tips.h"
#include "backup/backupmanifest.h"
#include "cleaners/cleanpipeline.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosmobilebackupthread.h"
#include "ui/cleanhost.h"
#include "ui/detailsdlg.h"
#include "ui/mainwindow.h"
#include "ui/progressform.h"
#include "ui_mainwindow.h"

#include <QMenu>
#include <algorithm>
#include <exception>

namespace {

bool sameChoice(const cleandetails::MessageSelection& a, const cleandetails::MessageSelection& b) {
    return a.attachmentsOnly == b.attachmentsOnly && a.olderThanDays == b.olderThanDays &&
           a.conversations == b.conversations;
}

} // namespace

void MainWindow::setUpDetails() {
    for (QListView* list : {static_cast<QListView*>(ui->listSysFun), static_cast<QListView*>(ui->listRemoveFun)}) {
        connect(list, &QAbstractItemView::doubleClicked, this, &MainWindow::showDetails);
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& at) {
            const QModelIndex index = list->indexAt(at);
            if (!index.isValid()) {
                return;
            }
            QMenu menu(this);
            menu.addAction(tr("Details…"), this, [this, index] { showDetails(index); });
            menu.exec(list->viewport()->mapToGlobal(at));
        });
    }
}

void MainWindow::showDetails(const QModelIndex& index) {
    if (index.model() != m_sysModel && index.model() != m_dataModel) {
        return;
    }
    const auto* node = static_cast<const _APPIconItemNode*>(index.internalPointer());
    using Kind = DetailsDlg::Kind;
    const std::pair<const _APPIconItemNode*, Kind> kinds[] = {
        {m_funCacheFiles, Kind::Domains}, {m_funTempFiles, Kind::Domains}, {m_funJunkFiles, Kind::Files},
        {m_funMessages, Kind::Messages},  {m_funSafari, Kind::Safari},     {m_funCalls, Kind::Calls}};
    const auto kind = std::find_if(std::begin(kinds), std::end(kinds), [node](auto k) { return k.first == node; });
    if (kind == std::end(kinds)) {
        return;
    }
    const auto details = m_details.constFind(node);
    if (details == m_details.cend()) {
        Tips::info(tr("Press Scan first: the details of %1 are what a scan of the phone finds.")
                       .arg(node->appName.toHtmlEscaped()));
        return;
    }
    DetailsDlg dialog(kind->second, node->appName, *details, m_messageSelection, this);
    if (dialog.exec() == QDialog::Accepted && node == m_funMessages &&
        !sameChoice(dialog.selection(), m_messageSelection)) {
        chooseMessages(dialog.selection());
    }
}

void MainWindow::chooseMessages(const cleandetails::MessageSelection& selection) {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    m_messageSelection = selection;
    // What the clean would free with the choice, counted in the backup the scan left; unknown when that fails.
    qint64 figure = -1;
    try {
        WindowCleanHost host(this);
        CleanPipeline pipeline(host, CleanPipeline::Mode::Scan);
        if (pipeline.open(iosbackup_temp_dir().filePath(device.udid), device.backupPassword)) {
            const std::unique_ptr<ProgressReporter> progress = pipeline.newProgress();
            IOSClearAllMessagesThread scan(pipeline.manifest(), *progress);
            scan.selection = selection;
            if (pipeline.run(*progress, scan)) {
                figure = scan.foundBytes;
            }
        }
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
    }
    if (!stillCurrent(device)) {
        return;
    }
    m_funMessages->size = figure;
    m_dataModel->contentsUpdate();
    qint64 sum = 0;
    for (const _APPIconItemNode* node : {m_funMessages, m_funSafari, m_funCalls}) {
        sum += qMax<qint64>(node->size, 0);
    }
    ui->lbTotalRemoveData->setText(QStringLiteral("(%1)").arg(formatSpaceShow(sum)));
}
