#include "ui/mainwindow.h"

#include "app/errreport.h"
#include "app/paths.h"
#include "app/tips.h"
#include "app/weblinks.h"
#include "cleaners/iosbackupencryptionthread.h"
#include "cleaners/iosclearappcachethread.h"
#include "cleaners/iosloadappthread.h"
#include "cleaners/iosmobilebackupthread.h"
#include "device/mobiledevice.h"
#include "device/mobiledevice_loader.h"
#include "services/mobiledevice_afc.h"
#include "ui/aboutusform.h"
#include "ui/encryptdlg.h"
#include "ui/functionlistfit.h"
#include "ui/progressform.h"
#include "ui/settingsdlg.h"
#include "ui/stylesheet.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <exception>

Q_LOGGING_CATEGORY(lcMainWindow, "vexlar.ui.mainwindow")

namespace {

const QString kSysFunClearSys = QStringLiteral("com.quorvindale.vexlar.sysfunid.clear_sys");
const QString kSysFunJunk = QStringLiteral("com.quorvindale.vexlar.sysfunid.clear_mms_invalid");
const QString kDataFunSms = QStringLiteral("com.quorvindale.vexlar.rdfun.sms");
const QString kDataFunSafari = QStringLiteral("com.quorvindale.vexlar.rdfun.safari");
const QString kDataFunCalls = QStringLiteral("com.quorvindale.vexlar.rdfun.calls");

QString pictureHtml(const char* resource) {
    return QStringLiteral("<img src=\"%1\" width=\"96\" style=\"bolder:none;\" />").arg(QLatin1String(resource));
}

QString connectionNotes() {
    return QStringLiteral(
               "<p>Notes:</p><p><nobr><b>1.</b>  If your iPhone is protected with a passcode, please enter your "
               "passcode on iPhone first.</nobr></p><p><b>2.</b> If you have Health and HomeKik data on your iPhone, "
               "please encrypt your iPhone backups with a password: Tools, Encrypt Backups... (<a href=\"%1\">How "
               "to?</a>)</p>")
        .arg(webPageUrl(QLatin1String(kEncryptHelpPagePath)).toString());
}

// Reads the lines of a virtual device's "data.txt"; empty when it cannot be read.
QStringList readDataLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList lines;
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) {
            line.chop(1);
        }
        lines.append(line);
    }
    return lines;
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), m_sysModel(new ItemModelAppIcon(this)),
      m_appModel(new ItemModelAppIcon(this)), m_dataModel(new ItemModelAppIcon(this)) {
    installProgressRunner();

    ui->setupUi(this);
    setStyleSheet(getStyleSheet());
    ui->listSysFun->setStyleSheet(QStringLiteral("#listSysFun::item { margin-left:35px; }"));

    connect(ui->ckAllApp, &QCheckBox::stateChanged, this, &MainWindow::checkAllApp);
    connect(ui->cbDevices, &QComboBox::currentIndexChanged, this, &MainWindow::currentDeviceChanged);
    connect(ui->btnClearAppCache, &QPushButton::pressed, this, &MainWindow::clearAppCache);
    connect(ui->btnScanAppCache, &QPushButton::pressed, this, &MainWindow::scanAppCache);
    // The backup-based actions live in a source file of their own; connected by
    // name, so this window builds and runs with or without them.
    const std::pair<QPushButton*, const char*> backupActions[] = {{ui->btnClearSysCache, "clearSysCache()"},
                                                                  {ui->btnScanSysCache, "scanSysCache()"},
                                                                  {ui->btnRemoveData, "clearRemoveData()"},
                                                                  {ui->btnScanRemvoeData, "scanRemoveData()"}};
    for (const auto& [button, slot] : backupActions) {
        const int index = metaObject()->indexOfSlot(slot);
        if (index >= 0) {
            connect(button, button->metaObject()->method(button->metaObject()->indexOfSignal("pressed()")), this,
                    metaObject()->method(index));
        }
    }
    connect(m_appModel, &ItemModelAppIcon::itemChecked, this, &MainWindow::itemChecked);

    ui->listApp->setModel(m_appModel);
    ui->listSysFun->setModel(m_sysModel);
    ui->listRemoveFun->setModel(m_dataModel);

    m_funCacheFiles = new _APPIconItemNode(nullptr, _IOSAppInfo(kSysFunClearSys, QStringLiteral("Cache Files")),
                                           QStringLiteral(":res/fun_clearsys.png"), true, true);
    m_funTempFiles = new _APPIconItemNode(nullptr, _IOSAppInfo(kSysFunClearSys, QStringLiteral("Temp Files")),
                                          QStringLiteral(":res/fun_clearsys2.png"), true, true);
    m_funJunkFiles = new _APPIconItemNode(nullptr, _IOSAppInfo(kSysFunJunk, QStringLiteral("Junk Files")),
                                          QStringLiteral(":res/fun_clearsysjunk.png"), true, true);
    m_funMessages = new _APPIconItemNode(nullptr, _IOSAppInfo(kDataFunSms, QStringLiteral("Messages")),
                                         QStringLiteral(":res/fun_clearsms.png"), false, false);
    m_funSafari = new _APPIconItemNode(nullptr, _IOSAppInfo(kDataFunSafari, QStringLiteral("Safari")),
                                       QStringLiteral(":res/fun_clearsafari.png"), false, false);
    m_funCalls = new _APPIconItemNode(nullptr, _IOSAppInfo(kDataFunCalls, QStringLiteral("Call History")),
                                      QStringLiteral(":res/fun_clearcalls.png"), false, false);
    m_sysModel->addNode(m_funCacheFiles);
    m_sysModel->addNode(m_funTempFiles);
    m_sysModel->addNode(m_funJunkFiles);
    m_dataModel->addNode(m_funMessages);
    m_dataModel->addNode(m_funSafari);
    m_dataModel->addNode(m_funCalls);
    m_sysModel->contentsUpdate();
    m_dataModel->contentsUpdate();
    fitFunctionListHeight(ui->listSysFun, m_sysModel);
    fitFunctionListHeight(ui->listRemoveFun, m_dataModel);
    setUpDetails();

    QMenu* tools = ui->menuBar->addMenu(QStringLiteral("Tools"));
    tools->addAction(QStringLiteral("Undo last clean…"), this, &MainWindow::miUndoClean);
    tools->addAction(QStringLiteral("Encrypt Backups..."), this, &MainWindow::miEncryptBackups);
    tools->addAction(QStringLiteral("Check for Update"), this, &MainWindow::miCheckUpdate);
    tools->addAction(QStringLiteral("Clear Log Files"), this, &MainWindow::miClearLogs);
    tools->addAction(QStringLiteral("Settings..."), this, &MainWindow::miSettings);
    QMenu* help = ui->menuBar->addMenu(QStringLiteral("Help"));
    help->addAction(QIcon(QStringLiteral(":res/help.png")), QStringLiteral("Help"), this, &MainWindow::miHelp);
    help->addAction(QStringLiteral("Feedback and Support"), this, &MainWindow::miFeedback);
    help->addAction(QStringLiteral("About"), this, &MainWindow::miAbout);

    setUpWebLinks();

    setWindowTitle(prodDisplayName());
    resetShowInfo();

    QTimer::singleShot(10000, this, &MainWindow::iosConnectTips);

    if (mobiledevice_loader_is_loaded()) {
        g_listen_ctx = _mobiledevice_listen_ctx(this, "iosDeviceConnected", "iosDeviceDisconnected");
        try {
            if (!mobiledevice_listen(&g_listen_ctx)) {
                Tips::warning(tr("Failed to detect iPhone. Please launch iTunes first and then re-connect your "
                                 "iPhone. Once your iPhone is visible in iTunes, please restart Quorvindale "
                                 "software."));
            }
        } catch (const std::exception& e) {
            qCWarning(lcMainWindow, "%s", e.what());
            Tips::error(QString::fromUtf8(e.what()));
        }
    }

    addVirtualDevices();
    startDailyRequests();
}

MainWindow::~MainWindow() {
    // Device notifications must not reach a destroyed window.
    if (g_listen_ctx.receiver == this) {
        g_listen_ctx.receiver = nullptr;
    }
    delete ui;
}

QString MainWindow::virtualDir(const QString& name) const {
    return g_dataSaveDir().filePath(QStringLiteral("virtual_ios/") + name);
}

void MainWindow::addVirtualDevices() {
    const QDir dir(g_dataSaveDir().filePath(QStringLiteral("virtual_ios")));
    if (!dir.exists()) {
        return;
    }
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString& name : names) {
        IOSDevice device;
        device.udid = name;
        device.name = name;
        device.productType = name;
        ui->cbDevices->addItem(name, QVariant::fromValue(device));
        ui->cbDevices->setCurrentIndex(ui->cbDevices->count() - 1);
    }
}

QString MainWindow::devicePicture(const QString& productType) {
    if (productType.contains(QLatin1String("ipad"), Qt::CaseInsensitive)) {
        return pictureHtml(":res/ipad-big.png");
    }
    if (productType.contains(QLatin1String("ipod"), Qt::CaseInsensitive)) {
        return pictureHtml(":res/ipod-big.png");
    }
    return pictureHtml(":res/iphone-big.png");
}

int MainWindow::usedPercent(qint64 total, qint64 available) {
    if (total <= 0) {
        return 0;
    }
    const double used = double(total - available) / double(total) * 100.0;
    return qBound(0, int(used), 100);
}

void MainWindow::iosDeviceConnected(void* handle) {
    auto* dev = static_cast<am_device*>(handle);
    try {
        const IOSDevice device = IOSDevice::fromDeviceThrow(dev);

        Tips::infoUnlessDismissed(connectionNotes(), QStringLiteral("notes/connectionNotesDismissed"));

        m_awaitingTrust.remove(handle);
        ui->cbDevices->addItem(device.name, QVariant::fromValue(device));
        ui->cbDevices->setCurrentIndex(ui->cbDevices->count() - 1);
    } catch (const std::exception& e) {
        const QString why = QString::fromUtf8(e.what());
        constexpr int kDialogPending = static_cast<int>(0xe800009au);
        // A phone that answered nothing in the session while its identifier from the attach is sound may not have
        // been ready (the mux daemon pairing it on arrival, say): asked once more, quietly.
        const bool unanswered = dynamic_cast<const IOSDevice::Unanswered*>(&e) && !m_awaitingTrust.contains(handle) &&
                                g_isSafeIdentifier(mobiledevice_device_uid(dev));
        const bool waitsForUser = unanswered || why.endsWith(QStringLiteral("AMDevicePair(%1)").arg(kDialogPending)) ||
                                  why.endsWith(QStringLiteral("AMDevicePair(%1)").arg(kAMDPasswordProtectedError));
        if ((!waitsForUser || !m_awaitingTrust.contains(handle)) && !unanswered) {
            Tips::error(why); // once: the retries below stay quiet
        }
        if (waitsForUser) {
            constexpr int kTrustRetryMs = 3000;
            m_awaitingTrust.insert(handle);
            QTimer::singleShot(kTrustRetryMs, this, [this, handle] {
                if (m_awaitingTrust.contains(handle)) {
                    iosDeviceConnected(handle);
                }
            });
        }
    }
}

void MainWindow::iosDeviceDisconnected(void* handle) {
    m_awaitingTrust.remove(handle);
    for (int i = 0; i < ui->cbDevices->count(); ++i) {
        const IOSDevice device = qvariant_cast<IOSDevice>(ui->cbDevices->itemData(i));
        if (device.device == handle) {
            if (i == ui->cbDevices->currentIndex()) {
                resetShowInfo();
            }
            ui->cbDevices->removeItem(i);
            return;
        }
    }
}

void MainWindow::iosConnectTips() {
    if (ui->cbDevices->count() == 0) {
        Tips::info(QStringLiteral("Device not found. Please connect your device with USB cable."));
    }
}

void MainWindow::resetFunctionNodes() {
    forgetSysCacheFigures();
    for (_APPIconItemNode* node : {m_funMessages, m_funSafari, m_funCalls}) {
        node->checked = false;
    }
    forgetRemoveDataFigures();
}

void MainWindow::resetShowInfo() {
    ui->wdDeviceInfoInner->hide();
    for (QPushButton* button : {ui->btnScanSysCache, ui->btnClearSysCache, ui->btnScanRemvoeData, ui->btnRemoveData,
                                ui->btnScanAppCache, ui->btnClearAppCache}) {
        button->hide();
    }
    ui->pgSpace->setValue(0);
    ui->lbSpaceInfo->setText(tr("Total:, Available:"));
    m_appModel->clearChilds(nullptr);
    ui->ckAllApp->setCheckState(Qt::Unchecked);
    ui->lbTotalAppCache->clear();
    ui->lbTotalSysCache->clear();
    ui->lbTotalRemoveData->clear();
    for (_APPIconItemNode* node : {m_funMessages, m_funSafari, m_funCalls}) {
        node->checked = false;
    }
    // The details and the messages choice belong to the phone that was shown.
    m_details.clear();
    m_messageSelection = {};
    m_dataModel->contentsUpdate();
    ui->lbDeviceIcon->setText(pictureHtml(":res/iphone-big.png"));
}

void MainWindow::showDeviceInfo(IOSDevice const& d) {
    ui->wdDeviceInfoInner->show();
    for (QPushButton* button : {ui->btnScanSysCache, ui->btnClearSysCache, ui->btnScanRemvoeData, ui->btnRemoveData,
                                ui->btnScanAppCache, ui->btnClearAppCache}) {
        button->show();
    }

    qint64 total = 0;
    qint64 available = 0;
    if (d.device) {
        try {
            const QList<CFType> values =
                mobiledevice_info(d.device, {QString()}, QStringLiteral("com.apple.disk_usage"));
            if (!values.isEmpty()) {
                total = values.first().get(QStringLiteral("TotalDataCapacity")).CFNumberInt64(0);
                available = values.first().get(QStringLiteral("AmountDataAvailable")).CFNumberInt64(0);
            }
        } catch (const std::exception& e) {
            qCWarning(lcMainWindow, "%s", e.what());
        }
    } else {
        const QStringList lines = readDataLines(virtualDir(d.name) + QStringLiteral("/data.txt"));
        if (!lines.isEmpty()) {
            const QStringList parts = lines.first().split(QLatin1Char(','));
            if (parts.size() >= 2) {
                total = parts.at(0).trimmed().toLongLong();
                available = parts.at(1).trimmed().toLongLong();
            }
        }
    }
    ui->lbSpaceInfo->setText(tr("Total: %1, Available: %2").arg(formatSpaceShow(total), formatSpaceShow(available)));
    ui->pgSpace->setValue(usedPercent(total, available));
    ui->lbDeviceIcon->setText(devicePicture(d.productType));

    resetFunctionNodes();
    ui->lbTotalAppCache->clear();
    ui->lbTotalRemoveData->clear();
    ui->lbTotalSysCache->clear();
}

void MainWindow::currentDeviceChanged(int index) {
    if (index < 0) {
        resetShowInfo();
        return;
    }
    const IOSDevice device = qvariant_cast<IOSDevice>(ui->cbDevices->itemData(index));
    // The previous device's apps never stay on show, whatever happens below.
    m_appModel->clearChilds(nullptr);
    showDeviceInfo(device);
    ui->ckAllApp->setCheckState(Qt::Checked);
    if (device.device) {
        loadApps(device);
    } else {
        loadVirtualDevice(device);
    }
}

bool MainWindow::stillCurrent(const IOSDevice& device) const {
    IOSDevice current;
    return currentDevice(current) && current.device == device.device && current.udid == device.udid;
}

bool MainWindow::runWorker(ProgressForm& form, QThread& worker) {
    return form.runWorker(worker);
}

void MainWindow::loadApps(const IOSDevice& device) {
    QList<_IOSAppInfo> apps;
    {
        // Cancelable: a slow or hostile device must not hold the window in a dialog nobody can close.
        ProgressForm form(QString(), this);
        IOSLoadAppThread worker(device, form);
        if (!runWorker(form, worker) || !stillCurrent(device)) {
            return;
        }
        apps = worker.apps;
    }
    m_appModel->clearChilds(nullptr);
    for (const _IOSAppInfo& app : apps) {
        const QString icon = device.appDir(app.appId).filePath(QStringLiteral("iTunesArtwork"));
        m_appModel->addNode(new _APPIconItemNode(nullptr, app, icon, true, false));
    }
    m_appModel->contentsUpdate();
    if (!apps.isEmpty()) {
        try {
            mobiledevice_afc afc(device.device);
            afc.startService(apps.first().appId);
            afc.closeService();
        } catch (const std::exception& e) {
            // Not hidden: Scan then measures through a backup.
            qCWarning(lcMainWindow, "%s", e.what());
        }
    }
}

void MainWindow::loadVirtualDevice(const IOSDevice& device) {
    const QString dir = virtualDir(device.name);
    const QStringList lines = readDataLines(dir + QStringLiteral("/data.txt"));
    if (lines.size() >= 2) {
        ui->lbTotalSysCache->setText(QStringLiteral("(%1)").arg(formatSpaceShow(lines.at(1).trimmed().toLongLong())));
    }
    if (lines.size() >= 3) {
        const QStringList parts = lines.at(2).split(QLatin1Char(','));
        if (parts.size() >= 3) {
            m_funMessages->size = parts.at(0).trimmed().toLongLong();
            m_funSafari->size = parts.at(1).trimmed().toLongLong();
            m_funCalls->size = parts.at(2).trimmed().toLongLong();
            m_dataModel->contentsUpdate();
            ui->lbTotalRemoveData->setText(QStringLiteral("(%1)").arg(
                formatSpaceShow(m_funMessages->size + m_funSafari->size + m_funCalls->size)));
        }
    }
    qint64 appTotal = 0;
    for (qsizetype i = 3; i < lines.size(); ++i) {
        const QStringList parts = lines.at(i).split(QLatin1Char(','));
        if (parts.size() < 3) {
            continue;
        }
        auto* node = new _APPIconItemNode(nullptr, _IOSAppInfo(parts.at(0), parts.at(0)),
                                          dir + QLatin1Char('/') + parts.at(1), true, false);
        node->size = parts.at(2).trimmed().toLongLong();
        appTotal += node->size;
        m_appModel->addNode(node);
    }
    m_appModel->contentsUpdate();
    ui->lbTotalAppCache->setText(QStringLiteral("(%1)").arg(formatSpaceShow(appTotal)));
}

bool MainWindow::currentDevice(IOSDevice& device) const {
    const int index = ui->cbDevices->currentIndex();
    if (index < 0) {
        return false;
    }
    device = qvariant_cast<IOSDevice>(ui->cbDevices->itemData(index));
    return true;
}

QList<_IOSAppInfo> MainWindow::appInfos(bool checkedOnly) const {
    QList<_IOSAppInfo> apps;
    for (int i = 0; i < m_appModel->count(); ++i) {
        const _APPIconItemNode* node = m_appModel->node(i);
        if (!checkedOnly || node->checked) {
            apps.append(_IOSAppInfo(node->appId, node->appName));
        }
    }
    return apps;
}

void MainWindow::checkAllApp(int state) {
    if (state == Qt::PartiallyChecked) {
        return;
    }
    // The partial state is the window's to show, not the user's to pick.
    ui->ckAllApp->setTristate(false);
    for (int i = 0; i < m_appModel->count(); ++i) {
        m_appModel->node(i)->checked = (state == Qt::Checked);
    }
    m_appModel->contentsUpdate();
}

void MainWindow::itemChecked(APPIconItemNode*) {
    int checked = 0;
    for (int i = 0; i < m_appModel->count(); ++i) {
        if (m_appModel->node(i)->checked) {
            ++checked;
        }
    }
    if (checked == m_appModel->count()) {
        ui->ckAllApp->setCheckState(Qt::Checked);
    } else if (checked > 0) {
        ui->ckAllApp->setCheckState(Qt::PartiallyChecked);
    } else {
        ui->ckAllApp->setCheckState(Qt::Unchecked);
    }
}

void MainWindow::scanAppCache() {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    const QList<_IOSAppInfo> apps = appInfos(false);
    if (!appContainersVendable(device, apps)) {
        appCacheThroughBackup(device, apps, false);
        return;
    }
    ProgressForm form(QString(), this);
    IOSClearAppCacheThread worker(device, apps, form);
    worker.scanOnly = true;
    if (!runWorker(form, worker) || !stillCurrent(device)) {
        return;
    }
    for (int i = 0; i < m_appModel->count(); ++i) {
        _APPIconItemNode* node = m_appModel->node(i);
        node->size = worker.appCacheBytes.value(node->appId, 0);
    }
    m_appModel->contentsUpdate();
    ui->lbTotalAppCache->setText(QStringLiteral("(%1)").arg(formatSpaceShow(worker.totalScanBytes())));
}

void MainWindow::clearAppCache() {
    IOSDevice device;
    if (!currentDevice(device)) {
        return;
    }
    const QList<_IOSAppInfo> apps = appInfos(true);
    if (!appContainersVendable(device, apps)) {
        appCacheThroughBackup(device, apps, true);
        return;
    }
    {
        ProgressForm form(QString(), this);
        IOSClearAppCacheThread worker(device, apps, form);
        worker.scanOnly = false;
        if (!runWorker(form, worker) || !stillCurrent(device)) {
            return;
        }
    }
    showDeviceInfo(device);
    scanAppCache();
}

void MainWindow::miClearLogs() {
    const QDir cache = g_cacheDir();
    g_delDirCascade(cache.filePath(QStringLiteral("ios_cache")));
    g_delDirCascade(cache.filePath(QStringLiteral("itunes_cache")));
    iosbackup_clear_temp();
    Tips::info(QStringLiteral("Successfully cleared log files."));
}

void MainWindow::miEncryptBackups() {
    IOSDevice device;
    if (!currentDevice(device) || !device.device) {
        Tips::info(tr("Connect the phone whose backups you want to encrypt, and choose it in the list."));
        return;
    }
    bool encrypted = false;
    try {
        const CFType willEncrypt =
            mobiledevice_info(device.device, {QStringLiteral("WillEncrypt")}, QStringLiteral("com.apple.mobile.backup"))
                .value(0);
        encrypted = willEncrypt.isCFBoolean() && willEncrypt.CFNumberBool();
    } catch (const std::exception& e) {
        Tips::error(QString::fromUtf8(e.what()));
        return;
    }
    EncryptDlg dialog(encrypted, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    {
        ProgressForm form(QString(), this);
        IOSBackupEncryptionThread worker(device, dialog.oldPassword(), dialog.newPassword(), form);
        if (!runWorker(form, worker)) {
            return;
        }
    }
    Tips::info(dialog.newPassword().isEmpty()
                   ? tr("Backups of %1 are no longer encrypted.").arg(device.name.toHtmlEscaped())
                   : tr("Backups of %1 are now encrypted with the new password. Keep it safe: every backup of the "
                        "phone needs it, and nobody can recover it.")
                         .arg(device.name.toHtmlEscaped()));
}

void MainWindow::miSettings() {
    SettingsDlg settings(this);
    settings.exec();
}

void MainWindow::miAbout() {
    AboutUsForm about(this);
    about.exec();
}

void MainWindow::exitProgram() {
    // Only this process ends: killing the process group would also take down
    // whatever started us when we do not lead our own group.
    std::fflush(nullptr);
    std::_Exit(0);
}
