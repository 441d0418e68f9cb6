#include "cleaners/iosclearsafarithread.h"

#include "backup/backupmanifest.h"
#include "sqlite/sqlite3db.h"

#include <QFileInfo>
#include <QUrl>

namespace {

const QLatin1String kSafariDomain("AppDomain-com.apple.mobilesafari");

// The history database: in the browser's container on older systems, in the home domain on current ones.
const char* const kHistoryHashNames[] = {
    "e74113c185fd8297e140cfcf9c99436c5cc06b57", // AppDomain-com.apple.mobilesafari-Library/Safari/History.db
    "1a0e7afc19d307da602ccdcece51af33afe92c53", // HomeDomain-Library/Safari/History.db
};

const char* const kHistoryStatements[] = {
    "delete from history_items", "delete from history_tombstones",   "delete from history_visits",
    "delete from metadata",      "update sqlite_sequence set seq=0", "vacuum",
};

bool isBrowserData(const MBDBParser::_MBDBItem& r) {
    if (r.domain.toString().compare(kSafariDomain, Qt::CaseInsensitive) != 0) {
        return false;
    }
    const QString path = r.relativePath.toString();
    return path.startsWith(QLatin1String("Library/WebKit/WebsiteData/LocalStorage/")) ||
           path.startsWith(QLatin1String("Library/Safari/Thumbnails/")) ||
           path.startsWith(QLatin1String("Library/Safari/History.plist"));
}

constexpr int kTopSites = 10;

} // namespace

IOSClearSafariThread::IOSClearSafariThread(BackupManifest& manifest, ProgressReporter& progress, QObject* parent)
    : BackupCleanerThread(manifest, progress, parent) {}

void IOSClearSafariThread::work() {
    m_progress.invokeUpdateProgress(scanOnly ? tr("IDS_SCANING_SAFARI") : tr("IDS_CLEARING_SAFARI_CACHE"), 0,
                                    QString());
    BackupEdit edit(m_manifest);
    QList<QPair<QString, EmptyDatabase>> databases;
    for (const char* name : kHistoryHashNames) {
        databases.append({QString::fromLatin1(name), [](Sqlite3DB& db) {
                              for (const char* statement : kHistoryStatements) {
                                  db.executeThrow(statement);
                              }
                          }});
    }
    details = {};
    QHash<QString, qint64> visitsByHost;
    const QList<EditedDatabase> edited =
        emptyDatabasesThrow(edit, databases, [&](const MBDBParser::_MBDBItem& record, qint64 bytes, Sqlite3DB& db) {
            addFileItem(record, bytes);
            // Visit times count seconds from 2001-01-01.
            Sqlite3Cursor c = db.queryThrow("select (select count(*) from history_items) as n, min(visit_time) + "
                                            "978307200 as first, max(visit_time) + 978307200 as last from "
                                            "history_visits");
            if (c.moveNext()) {
                details.itemCount += c.getInt64(QStringLiteral("n"));
                cleandetails::widenRange(details, devicedb::unixTimeAt(c, QStringLiteral("first")),
                                         devicedb::unixTimeAt(c, QStringLiteral("last")));
            }
            c = db.queryThrow("select url, visit_count from history_items");
            while (c.moveNext()) {
                const QString host = QUrl(c.getText(QStringLiteral("url"))).host();
                if (!host.isEmpty()) {
                    visitsByHost[host] += qMax<qint64>(0, c.getInt64(QStringLiteral("visit_count")));
                }
            }
        });
    for (const DroppedFile& file : dropAllThrow(edit, isBrowserData)) {
        addFileItem(file.record, file.bytes);
    }
    cleandetails::sortLargestFirst(details.items);
    for (auto it = visitsByHost.cbegin(); it != visitsByHost.cend(); ++it) {
        cleandetails::Item site;
        site.id = site.label = it.key();
        site.count = it.value();
        details.topSites.append(site);
    }
    std::sort(details.topSites.begin(), details.topSites.end(),
              [](const cleandetails::Item& a, const cleandetails::Item& b) {
                  return a.count != b.count ? a.count > b.count : a.label < b.label;
              });
    details.topSites = details.topSites.mid(0, kTopSites);
    if (!scanOnly) {
        writeBackThrow(edit, edited);
    }
}
