#include "sim/tools/presets.h"

#include "sim/framework/simstore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace sim {

namespace {

QString deviceClassOf(const QString& productType) {
    for (const char* c : {"iPhone", "iPad", "iPod"}) {
        if (productType.startsWith(QLatin1String(c))) {
            return QString::fromLatin1(c);
        }
    }
    return QStringLiteral("iPhone");
}

void setString(plist_t dict, const char* key, const QString& value) {
    plist_dict_set_item(dict, key, plist_new_string(value.toUtf8().constData()));
}

Plist devicePlist(const CreateOptions& o) {
    Plist root(plist_new_dict());
    plist_t lockdown = plist_new_dict();
    plist_dict_set_item(root.get(), "Lockdown", lockdown);

    const QByteArray hash = QCryptographicHash::hash(o.udid.toUtf8(), QCryptographicHash::Sha1).toHex().toUpper();
    plist_t general = plist_new_dict();
    setString(general, "UniqueDeviceID", o.udid);
    setString(general, "DeviceName", o.name);
    setString(general, "ProductType", o.productType);
    setString(general, "ProductVersion", o.iosVersion);
    setString(general, "DeviceClass", deviceClassOf(o.productType));
    setString(general, "MobileSubscriberCountryCode", QStringLiteral("310"));
    setString(general, "SerialNumber", QStringLiteral("F") + QString::fromLatin1(hash.left(11)));
    setString(general, "BuildVersion", QStringLiteral("18D52"));
    plist_dict_set_item(lockdown, "", general);

    plist_t disk = plist_new_dict();
    plist_dict_set_item(disk, "TotalDataCapacity", plist_new_uint(64ULL * 1000 * 1000 * 1000));
    plist_dict_set_item(disk, "TotalDiskCapacity", plist_new_uint(64ULL * 1000 * 1000 * 1000));
    plist_dict_set_item(lockdown, "com.apple.disk_usage", disk);

    plist_t backup = plist_new_dict();
    plist_dict_set_item(backup, "CloudBackupEnabled", plist_new_bool(o.icloud ? 1 : 0));
    plist_dict_set_item(backup, "WillEncrypt", plist_new_bool(o.encrypt ? 1 : 0));
    plist_dict_set_item(lockdown, "com.apple.mobile.backup", backup);
    plist_dict_set_item(lockdown, "com.apple.mobile.tethered_sync", plist_new_dict());

    plist_t simNode = plist_new_dict();
    plist_dict_set_item(simNode, "Connected", plist_new_bool(1));
    plist_dict_set_item(simNode, "Paired", plist_new_bool(0));
    plist_dict_set_item(simNode, "TrustAccepted", plist_new_bool(1));
    if (o.encrypt) {
        setString(simNode, "BackupPassword", o.password);
    }
    plist_dict_set_item(simNode, "TraceAfc", plist_new_bool(0));
    plist_dict_set_item(simNode, "Faults", plist_new_dict());
    plist_dict_set_item(root.get(), "Sim", simNode);
    return root;
}

} // namespace

QString createDevice(const CreateOptions& o) {
    // Built in a hidden sibling folder (which the library's watcher skips) and
    // renamed at the end, so a device appears complete or not at all.
    const QFileInfo target(o.dir);
    const QString staging =
        target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".creating");
    QDir(staging).removeRecursively();
    // Every phone has its media folder, the root its AFC service serves.
    if (!QDir().mkpath(staging + QStringLiteral("/files/MediaDomain/Media"))) {
        return QStringLiteral("cannot create %1").arg(staging);
    }
    auto failWith = [&staging](const QString& text) {
        QDir(staging).removeRecursively();
        return text;
    };

    Plist apps(plist_new_array());
    if (o.preset != QLatin1String("empty")) {
        QString appsXml;
        const QString error =
            buildDemoData(staging + QStringLiteral("/files"), o.preset == QLatin1String("large"), &appsXml);
        if (!error.isEmpty()) {
            return failWith(error);
        }
        const QByteArray xml = appsXml.toUtf8();
        apps = parsePlist(xml.constData(), static_cast<size_t>(xml.size()));
        if (!apps) {
            return failWith(QStringLiteral("internal error: bad app list"));
        }
        const uint32_t n = o.storeApps ? plist_array_get_size(apps.get()) : 0;
        for (uint32_t i = 0; i < n; ++i) {
            plist_t app = plist_array_get_item(apps.get(), i);
            const std::string id = stringOf(dictPath(app, {"CFBundleIdentifier"}));
            if (id == "com.example.cloudnotes" || id == "com.example.puzzlegrove" || id == "com.example.streamly") {
                plist_dict_set_item(app, "SimVendContainer", plist_new_bool(0));
            }
        }
    }
    if (!writePlistFile(staging + QStringLiteral("/apps.plist"), apps.get())) {
        return failWith(QStringLiteral("cannot write apps.plist"));
    }
    Plist device = devicePlist(o);
    if (!writePlistFile(staging + QStringLiteral("/device.plist"), device.get())) {
        return failWith(QStringLiteral("cannot write device.plist"));
    }
    if (!QDir().rename(staging, o.dir)) {
        return failWith(QStringLiteral("cannot move the new device into %1").arg(o.dir));
    }
    return {};
}

} // namespace sim
