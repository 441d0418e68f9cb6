#include "device/iosdevice.h"

#include "app/paths.h"
#include "app/tips.h"
#include "device/mobiledevice.h"

#include <QRegularExpression>
#include <limits>
#include <stdexcept>

namespace {

void registerMetaType() {
    static const int id = qRegisterMetaType<IOSDevice>("IOSDevice");
    Q_UNUSED(id);
}

bool settingOn(const CFType& domain, const char* key) {
    const CFType value = domain.get(QString::fromLatin1(key));
    return value.isCFBoolean() && value.CFNumberBool();
}

// Identifiers come from the device: each must stay one plain folder name.
QString folderName(const QString& id) {
    QString name = g_formatFileName(id);
    if (name == QLatin1String(".") || name == QLatin1String("..")) {
        name.prepend(QLatin1Char('_'));
    }
    return name;
}

} // namespace

IOSDevice::IOSDevice() : device(nullptr) {
    registerMetaType();
}

IOSDevice IOSDevice::fromDeviceThrow(am_device* handle) {
    const QList<CFType> values = mobiledevice_info(handle,
                                                   {QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
                                                    QStringLiteral("MobileSubscriberCountryCode"),
                                                    QStringLiteral("ProductVersion"), QStringLiteral("ProductType")},
                                                   QString());
    auto text = [&values](int i) { return i < values.size() ? values.at(i).CFStringQString() : QString(); };
    IOSDevice record;
    record.device = handle;
    record.udid = text(0);
    record.name = text(1);
    record.countryCode = text(2);
    record.productVersion = text(3);
    record.productType = text(4);
    // The identifier names the device's backup and cache folders, which are removed
    // and rewritten: one that could lead elsewhere is refused here, once for all.
    if (!g_isSafeIdentifier(record.udid)) {
        constexpr int kShownLength = 80;
        const std::string text =
            QStringLiteral("The device \"%1\" reports an invalid identifier (\"%2\"). It is not used, and nothing was "
                           "changed. Please restart your iPhone and connect it again.")
                .arg(record.name.left(kShownLength).toHtmlEscaped(), record.udid.left(kShownLength).toHtmlEscaped())
                .toStdString();
        if (values.isEmpty() || !values.first().isCFString()) {
            throw Unanswered(text);
        }
        throw std::runtime_error(text);
    }
    return record;
}

QDir IOSDevice::cacheDir() const {
    const QString path = g_cacheDir().absoluteFilePath(QStringLiteral("ios_cache/") + folderName(udid));
    QDir dir(QDir::cleanPath(path));
    if (!dir.exists()) {
        dir.mkpath(QStringLiteral("."));
    }
    return dir;
}

QDir IOSDevice::appDir(QString appId) const {
    return QDir(
        cacheDir().absoluteFilePath(g_isSafeIdentifier(appId, IdentifierKind::App) ? appId : QStringLiteral("-")));
}

QList<int> IOSDevice::versionList() const {
    return _IOSVersion::parse(productVersion);
}

bool IOSDevice::checkiTunesBackupSettings(bool checkICloud, bool checkEncrypt) const {
    const QList<CFType> values = mobiledevice_info(device, {QString()}, QStringLiteral("com.apple.mobile.backup"));
    if (values.isEmpty() || values.first().isNull()) {
        return true;
    }
    const CFType& domain = values.first();
    const QString frame = QStringLiteral("%1<br/><br/><img src=\"%2\"/>");
    if (checkICloud && settingOn(domain, "CloudBackupEnabled")) {
        Tips::warning(frame.arg(
            QStringLiteral(
                "Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again."),
            QStringLiteral(":res/close_icloudbk.jpg")));
        return false;
    }
    if (checkEncrypt && settingOn(domain, "WillEncrypt")) {
        Tips::warning(
            frame.arg(QStringLiteral("Failed to transfer data to device. Backups of your iPhone are encrypted. "
                                     "Please turn encryption off in Tools, Encrypt Backups... and try "
                                     "again."),
                      QStringLiteral(":res/close_itunesbkenc.jpg")));
        return false;
    }
    return true;
}

_IOSVersion::_IOSVersion(QString const& text) : parts(parse(text)) {}

QList<int> _IOSVersion::parse(QString const& text) {
    static const QRegularExpression component(QStringLiteral("\\.?(\\d+)"));
    QList<int> result;
    auto it = component.globalMatch(text);
    while (it.hasNext()) {
        bool ok = false;
        const qlonglong value = it.next().captured(1).toLongLong(&ok);
        // A run of digits too long for an int is clamped rather than wrapped.
        result.append(ok && value <= std::numeric_limits<int>::max() ? static_cast<int>(value)
                                                                     : std::numeric_limits<int>::max());
    }
    return result;
}

int _IOSVersion::compare(_IOSVersion const& other) const {
    const qsizetype n = std::min(parts.size(), other.parts.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (parts[i] != other.parts[i]) {
            // Compared in 64 bits: a plain subtraction of extreme values would overflow.
            const qint64 diff = qint64(parts[i]) - qint64(other.parts[i]);
            return diff > 0 ? static_cast<int>(std::min<qint64>(diff, std::numeric_limits<int>::max()))
                            : static_cast<int>(std::max<qint64>(diff, std::numeric_limits<int>::min()));
        }
    }
    return static_cast<int>(parts.size() - other.parts.size());
}

QString _IOSVersion::toString() const {
    QStringList texts;
    for (int part : parts) {
        texts.append(QString::number(part));
    }
    return texts.join(QLatin1Char('.'));
}
