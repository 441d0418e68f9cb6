#pragma once

// The program's main window: the device panel fed by connection events, the
// three function lists and the app list with their Scan and Free Up actions.

#include "cleaners/cleandetails.h"
#include "cleaners/iosappinfo.h"
#include "device/iosdevice.h"
#include "ui/itemmodel.h"

#include <QHash>
#include <QList>
#include <QMainWindow>
#include <QSet>
#include <memory>

class BackupManifest;
class CleanPipeline;
class QLabel;
class QThread;
class ProgressForm;
class QUrl;
class UpdateCheck;
class Ui_MainWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void showDeviceInfo(IOSDevice const& d);
    void resetShowInfo();
    // Ends the process at once, without running any shell.
    [[noreturn]] void exitProgram();

    ItemModelAppIcon* appModel() const { return m_appModel; }
    ItemModelAppIcon* sysFunModel() const { return m_sysModel; }
    ItemModelAppIcon* dataFunModel() const { return m_dataModel; }

    // Rich text of the device picture for a product type.
    static QString devicePicture(const QString& productType);
    // Used share of the capacity in percent, truncated; 0 for an empty or nonsensical capacity.
    static int usedPercent(qint64 total, qint64 available);

public slots:
    void iosDeviceConnected(void* device);
    void iosDeviceDisconnected(void* device);
    void iosConnectTips();
    void currentDeviceChanged(int index);
    void checkAllApp(int state);
    void itemChecked(APPIconItemNode* node);
    void scanAppCache();
    void clearAppCache();
    void miClearLogs();
    void miSettings();
    void miAbout();
    void miCheckUpdate();
    void miHelp();
    void miFeedback();
    // Restores the newest restore point of the selected phone to it (mainwindow_backupactions.cpp).
    void miUndoClean();
    // Turns the selected phone's backup encryption on or off, or changes its password.
    void miEncryptBackups();
    // Backup-based actions (mainwindow_backupactions.cpp).
    void scanSysCache();
    void clearSysCache();
    void scanRemoveData();
    void clearRemoveData();
    // What the last scan found in a row of the function lists; for the messages, also the choice of what Free Up
    // removes (mainwindow_details.cpp).
    void showDetails(const QModelIndex& index);
    // Answers of the daily requests (mainwindow_web.cpp).
    void onCheckVersionReadyRead(const QUrl& address, bool obsolete);
    void onGetAdvLinkRead(const QString& html);

private:
    // Phones whose trust dialog or passcode is still unanswered: asked again every few
    // seconds while they stay plugged in, so that they appear once trusted.
    QSet<void*> m_awaitingTrust;
    bool currentDevice(IOSDevice& device) const;
    // Whether the device is still the selected one: the dialogs of a long action let the list
    // change meanwhile, and the panel must show only what belongs to the selected device.
    bool stillCurrent(const IOSDevice& device) const;
    QList<_IOSAppInfo> appInfos(bool checkedOnly) const;
    // Starts the worker under the form, runs the form, waits for the worker.
    // True when the form ended with success and was not cancelled.
    static bool runWorker(ProgressForm& form, QThread& worker);
    // App caches of devices that refuse to vend containers (mainwindow_appcache.cpp).
    bool appContainersVendable(const IOSDevice& device, const QList<_IOSAppInfo>& apps) const;
    bool appCacheThroughBackup(const IOSDevice& device, const QList<_IOSAppInfo>& apps, bool remove);
    void loadApps(const IOSDevice& device);
    void loadVirtualDevice(const IOSDevice& device);
    void addVirtualDevices();
    void resetFunctionNodes();
    QString virtualDir(const QString& name) const;
    // Backs the device up and opens the backup, unlocked, in the pipeline; false when the action ends here.
    bool backUpAndOpen(CleanPipeline& pipeline, const IOSDevice& device);
    // A clean of one section changes what the other found: its figures are gone until it scans again.
    void forgetSysCacheFigures();
    void forgetRemoveDataFigures();
    // Asks before a messages clean, with what the chosen messages hold in the opened backup.
    bool confirmMessagesClean(BackupManifest& manifest);
    static QString messageChoiceText(const cleandetails::MessageSelection& selection);
    // Keeps the choice made in the messages' details and shows what a clean with it would free.
    void chooseMessages(const cleandetails::MessageSelection& selection);
    void setUpDetails();
    void setUpWebLinks();
    void startDailyRequests();

    Ui_MainWindow* ui;
    ItemModelAppIcon* m_sysModel;
    ItemModelAppIcon* m_appModel;
    ItemModelAppIcon* m_dataModel;
    _APPIconItemNode* m_funCacheFiles = nullptr;
    _APPIconItemNode* m_funTempFiles = nullptr;
    _APPIconItemNode* m_funJunkFiles = nullptr;
    _APPIconItemNode* m_funMessages = nullptr;
    _APPIconItemNode* m_funSafari = nullptr;
    _APPIconItemNode* m_funCalls = nullptr;
    // What the last scans found, by function row, and the messages Free Up removes; forgotten with the figures.
    QHash<const _APPIconItemNode*, cleandetails::Category> m_details;
    cleandetails::MessageSelection m_messageSelection;
    QLabel* m_advLabel = nullptr;
    UpdateCheck* m_updateCheck = nullptr;
};
