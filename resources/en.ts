<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>QObject</name>
    <message>
        <source>Quorvindale iPod/iPhone/iPad Space Vexlar for Mac</source>
        <translation>Quorvindale iPod/iPhone/iPad Space Vexlar for Mac</translation>
    </message>
    <message>
        <source>Failed to load (Apple Mobile Device) framework. Please uninstall current version iTunes from your computer first. Then download this &lt;a href="%1"&gt;iTunes&lt;/a&gt; to install on your computer.</source>
        <translation>Failed to load (Apple Mobile Device) framework. Please uninstall current version iTunes from your computer first. Then download this &lt;a href="%1"&gt;iTunes&lt;/a&gt; to install on your computer.</translation>
    </message>
</context>
<context>
    <name>mobiledevice</name>
    <message>
        <source>Please launch iTunes first and then re-connect your iPhone. Once your iPhone is visible in iTunes, please restart Quorvindale software.</source>
        <translation>Please launch iTunes first and then re-connect your iPhone. Once your iPhone is visible in iTunes, please restart Quorvindale software.</translation>
    </message>
    <message>
        <source>Please turn off Wifi Sync on iTunes or disconnect computer internet connections to try again.&lt;br/&gt;</source>
        <translation>Please turn off Wifi Sync on iTunes or disconnect computer internet connections to try again.&lt;br/&gt;</translation>
    </message>
</context>
<context>
    <name>BackupManifest</name>
    <message>
        <source>Failed to load (Apple Mobile Device) framework.</source>
        <translation>Failed to load (Apple Mobile Device) framework.</translation>
    </message>
    <message>
        <source>can not open %1. %2</source>
        <translation>can not open %1. %2</translation>
    </message>
    <message>
        <source>can not create %1. %2</source>
        <translation>can not create %1. %2</translation>
    </message>
    <message>
        <source>can not write %1. %2</source>
        <translation>can not write %1. %2</translation>
    </message>
</context>
<context>
    <name>IOSLoadAppThread</name>
    <message>
        <source>IDS_LOADING_IOS_APP_INFO</source>
        <translation>Loading Apps info from your device...</translation>
    </message>
</context>
<context>
    <name>IOSClearAppCacheThread</name>
    <message>
        <source>IDS_SCAN_IOS_APP_CACHE</source>
        <translation>Scanning Apps...</translation>
    </message>
    <message>
        <source>IDS_CLEAR_IOS_APP_CACHE</source>
        <translation>Deleting App cache...</translation>
    </message>
    <message>
        <source>IDS_SCANING_%1</source>
        <translation>Scanning %1...</translation>
    </message>
    <message>
        <source>IDS_CLEARING_%1</source>
        <translation>Deleting %1 cache...</translation>
    </message>
    <message>
        <source>IDS_FOUND_%1_APPCACHE_SUC_CLEAR_%2</source>
        <translation>Successfully deleted %2 App cache (Total: %1).</translation>
    </message>
</context>
<context>
    <name>IOSClearSysThread</name>
    <message>
        <source>IDS_SCANING_SYS_CACHE</source>
        <translation>Scanning...</translation>
    </message>
    <message>
        <source>IDS_CLEARING_SYS_CACHE</source>
        <translation>Deleting system cache...</translation>
    </message>
</context>
<context>
    <name>IOSClearMMSAttaThread</name>
    <message>
        <source>IDS_SCANING_MMS_ATTA</source>
        <translation>Scanning...</translation>
    </message>
    <message>
        <source>IDS_CLEARING_MMS_ATTA</source>
        <translation>Deleting system junk...</translation>
    </message>
</context>
<context>
    <name>IOSClearAllMessagesThread</name>
    <message>
        <source>IDS_SCANING_MESSAGES</source>
        <translation>Scanning...</translation>
    </message>
    <message>
        <source>IDS_CLEARING_MESSAGES</source>
        <translation>Deleting messages...</translation>
    </message>
</context>
<context>
    <name>IOSClearSafariThread</name>
    <message>
        <source>IDS_SCANING_SAFARI</source>
        <translation>Scanning...</translation>
    </message>
    <message>
        <source>IDS_CLEARING_SAFARI_CACHE</source>
        <translation>Deleting Safari cache...</translation>
    </message>
</context>
<context>
    <name>IOSClearCallsThread</name>
    <message>
        <source>IDS_SCANING_CALLS</source>
        <translation>Scanning...</translation>
    </message>
    <message>
        <source>IDS_CLEARING_CALLS</source>
        <translation>Deleting Call Log...</translation>
    </message>
</context>
<context>
    <name>IOSMobileBackupThread</name>
    <message>
        <source>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Quorvindale software to try again. &lt;br/&gt;&lt;br/&gt;</source>
        <translation>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Quorvindale software to try again. &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
</context>
<context>
    <name>IOSMobileRestoreThread</name>
    <message>
        <source>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>Connection to device lost. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</source>
        <translation>Failed to connect your iPhone. Please try the following solutions: &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Quorvindale software to try again. &lt;br/&gt;&lt;br/&gt;</source>
        <translation>A:&lt;br/&gt;Step 1) Restart your iPhone.&lt;br/&gt;Step 2) Connect your iPhone to iTunes to backup your iPhone on computer. &lt;br/&gt;Step 3) Run Quorvindale software to try again. &lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>%1 GB free disk space on your device is required restore data.  Please remove some camera roll videos from your device to computer to free up disk space first and then try again.</source>
        <translation>%1 GB free disk space on your device is required restore data.  Please remove some camera roll videos from your device to computer to free up disk space first and then try again.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Quorvindale iPod/iPhone/iPad Space Vexlar for Mac</source>
        <translation>Quorvindale iPod/iPhone/iPad Space Vexlar for Mac</translation>
    </message>
    <message>
        <source>Remove System Junk</source>
        <translation>Remove System Junk</translation>
    </message>
    <message>
        <source>Delete Unwanted Data</source>
        <translation>Delete Unwanted Data</translation>
    </message>
    <message>
        <source>Remove Apps Cache &amp; Junk</source>
        <translation>Remove Apps Cache &amp; Junk</translation>
    </message>
    <message>
        <source>Scan</source>
        <translation>Scan</translation>
    </message>
    <message>
        <source>Free Up</source>
        <translation>Free Up</translation>
    </message>
    <message>
        <source>Total:, Available:</source>
        <translation>Total:, Available:</translation>
    </message>
    <message>
        <source>Total: %1, Available: %2</source>
        <translation>Total: %1, Available: %2</translation>
    </message>
    <message>
        <source>Failed to detect iPhone. Please launch iTunes first and then re-connect your iPhone. Once your iPhone is visible in iTunes, please restart Quorvindale software.</source>
        <translation>Failed to detect iPhone. Please launch iTunes first and then re-connect your iPhone. Once your iPhone is visible in iTunes, please restart Quorvindale software.</translation>
    </message>
    <message>
        <source>Successfully deleted %2 system cache (Total: %1). Now please disconnect your iPhone from computer.</source>
        <translation>Successfully deleted %2 system cache (Total: %1). Now please disconnect your iPhone from computer.</translation>
    </message>
    <message>
        <source>Successfully deleted %2 data.(Total:%1). Now please disconnect your iPhone from computer.</source>
        <translation>Successfully deleted %2 data.(Total:%1). Now please disconnect your iPhone from computer.</translation>
    </message>
    <message>
        <source>IDS_CONFIRM_CLEAR_ALL_MESSAGES</source>
        <translation>Confirm to delete all messages &amp;amp; attached files from device?&lt;br/&gt;&lt;br/&gt;Note: To backup messages &amp;amp; attached files onto computer first before deleting, please refer to &lt;a href="%1"&gt;&lt;b&gt;HERE&lt;/b&gt;&lt;/a&gt;.</translation>
    </message>
</context>
<context>
    <name>ProgressForm</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Are You Sure You Want To Cancel?</source>
        <translation>Are You Sure You Want To Cancel?</translation>
    </message>
</context>
<context>
    <name>PasscodeDlg</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>IDS_PLEASE_ENTER_PASSWORD_TO_LOAD_BACKUP</source>
        <translation>This iTunes Backup is encrypted. Please enter password:</translation>
    </message>
    <message>
        <source>IDS_ENTER_PASSWORD</source>
        <translation>Enter password</translation>
    </message>
    <message>
        <source>IDS_PWD_IS_NULL</source>
        <translation>Password is required.</translation>
    </message>
    <message>
        <source>IDS_INVALID_PASSWORD</source>
        <translation>Invalid password.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>AboutUsForm</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>About</source>
        <translation>About</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
</TS>
