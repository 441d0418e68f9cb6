#include "app/paths.h"

#include "app/errreport.h"

#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

QDir g_osAppDir() {
    return QDir(QDir::homePath() + QStringLiteral("/Library/Application Support"));
}

QString g_defaultSaveDirPath() {
    return g_osAppDir().absoluteFilePath(QStringLiteral("Quorvindale"));
}

QString g_dataSaveDirLink() {
    const QString redirect =
        QDir(g_defaultSaveDirPath()).absoluteFilePath(QLatin1String(kProductId) + QStringLiteral(".redirect"));
    QFile file(redirect);
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    // A path, not a document: refuse to slurp an arbitrarily large file.
    constexpr qint64 kMaxRedirectBytes = 64 * 1024;
    QString target = QString::fromUtf8(file.read(kMaxRedirectBytes));
    // An editor's final line break is not part of the path.
    while (target.endsWith(QLatin1Char('\n')) || target.endsWith(QLatin1Char('\r'))) {
        target.chop(1);
    }
    if (target.isEmpty() || !QFileInfo::exists(target)) {
        return QString();
    }
    return target;
}

QString g_resolveDataSaveDirPath() {
    QString base = g_dataSaveDirLink();
    if (base.isEmpty()) {
        base = g_defaultSaveDirPath();
    }
    return QDir(base).absoluteFilePath(QLatin1String(kProductId));
}

QDir g_dataSaveDir() {
    // Resolved once: a changed redirect file takes effect at the next start.
    static const QString path = g_resolveDataSaveDirPath();
    QDir().mkpath(path);
    return QDir(path);
}

void g_delDirCascade(const QString& path) {
    QDir dir(path);
    if (path.isEmpty() || !dir.exists()) {
        return;
    }
    // System lists broken symbolic links too; hidden entries stay unlisted on purpose.
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::Drives | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        // A link to a folder is removed as a link: following it would delete data elsewhere.
        if (entry.isDir() && !entry.isSymLink()) {
            g_delDirCascade(entry.absoluteFilePath());
        } else {
            dir.remove(entry.fileName());
        }
    }
    dir.rmdir(dir.absolutePath());
}

QString g_formatFileName(const QString& name) {
    static const QRegularExpression unsafe(QStringLiteral("[\\\\/:*\\?\"<>|\\n\\r\\t]"));
    QString result = name;
    result.replace(unsafe, QString());
    return result.trimmed();
}

bool g_isSafeIdentifier(const QString& id, IdentifierKind kind) {
    static const QRegularExpression device(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]{0,79}$"));
    static const QRegularExpression app(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,254}$"));
    return (kind == IdentifierKind::Device ? device : app).match(id).hasMatch();
}

void g_openLink(const QString& target) {
    if (target.isEmpty()) {
        return;
    }
    // Local paths become file URLs; everything else is taken as the URL the user would type.
    const QUrl url = QFileInfo::exists(target) ? QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath())
                                               : QUrl::fromUserInput(target);
    if (url.isValid()) {
        QDesktopServices::openUrl(url);
    }
}

QString formatSpaceShow(const long long& bytes) {
    const double k = static_cast<double>(bytes) / 1024;
    if (k < 1024) {
        return QStringLiteral("%1 KB").arg(k, 0, 'f', 1);
    }
    const double m = k / 1024;
    if (m < 1024) {
        return QStringLiteral("%1 MB").arg(m, 0, 'f', 1);
    }
    return QStringLiteral("%1 GB").arg(m / 1024, 0, 'f', 1);
}
