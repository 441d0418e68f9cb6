#include "tools/vexlar-backup/backupcli.h"

#include "app/paths.h"
#include "backup/backupmanifest.h"
#include "backup/keybag.h"
#include "backup/mbdbparser.h"
#include "backup/restorepoint.h"
#include "cleaners/cleanpipeline.h"
#include "cleaners/iosclearallmessagesthread.h"
#include "cleaners/iosclearcallsthread.h"
#include "cleaners/iosclearmmsattathread.h"
#include "cleaners/iosclearsafarithread.h"
#include "cleaners/iosclearsysthread.h"
#include "tools/vexlar-backup/consolereporter.h"
#include "tools/vexlar-backup/passwordsource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unistd.h>

namespace BackupCli {

namespace {

constexpr long long kProgressThreshold = 1024 * 1024; // smaller extractions end before anyone waits
constexpr int kMaxDays = 100 * 366;                   // further back than any phone has kept messages

const char kUsage[] = "Usage: vexlar-backup [--password-file FILE] COMMAND ...\n"
                      "\n"
                      "Commands:\n"
                      "  info DIR                      describe the backup in DIR\n"
                      "  ls DIR [DOMAIN-PREFIX]        list its records: domain, path, size, folder (1 or 0),\n"
                      "                                tab-separated; tab, line feed and backslash are escaped\n"
                      "  extract DIR DOMAIN PATH OUT   write the plain content of one file to OUT\n"
                      "  scan DIR [CATEGORY...]        measure what cleaning would remove (all categories\n"
                      "                                by default)\n"
                      "  clean DIR CATEGORY...         remove it from the backup folder; the device changes\n"
                      "                                only when the backup is restored to it. The folder as\n"
                      "                                it was is kept first as a restore point beside it\n"
                      "                                (DIR.restore-points; hard links, so unchanged files\n"
                      "                                cost no space), unless --no-restore-point; a clean\n"
                      "                                that succeeds keeps as many as the settings say\n"
                      "                                (by default only its own)\n"
                      "  undo DIR                      put DIR back as it was before the last clean\n"
                      "  restore-points DIR            list DIR's restore points: when, what was cleaned and\n"
                      "                                the bytes each holds alone; --remove ID|all removes\n"
                      "\n"
                      "Categories: --cache (cache and temp files), --junk (message attachments no message\n"
                      "refers to), --messages, --safari, --calls (call history). With clean, --dry-run\n"
                      "measures the chosen categories without changing anything. --json prints the\n"
                      "figures as one JSON object. --details lists, largest first, what each category\n"
                      "holds: conversations, files, domains, sites; with the date range of its items.\n"
                      "\n"
                      "Which messages go (with --messages; all of them by default):\n"
                      "  --attachments-only            only attachments; the messages stay\n"
                      "  --older-than DAYS             only messages older than DAYS days\n"
                      "  --conversation ID             only this conversation (an ID --details lists);\n"
                      "                                repeat it for more. The three combine.\n"
                      "\n"
                      "The password of an encrypted backup is read from --password-file FILE (its first\n"
                      "line), from the variable VEXLAR_BACKUP_PASSWORD, or asked for on the terminal.\n"
                      "\n"
                      "Exit status: 0 done, 1 error (scan and clean print the figures of the categories\n"
                      "done before it), 2 usage, 3 wrong password.\n";

// A failure with the exit code it ends the program with.
struct CliFailure : std::runtime_error {
    CliFailure(int exitCode, const QString& text) : std::runtime_error(text.toStdString()), code(exitCode) {}
    int code;
};

void printErr(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    utf8.append('\n');
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stderr);
    std::fflush(stderr);
}

void printOut(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    utf8.append('\n');
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
}

// The cleaning categories in the order they run: the junk attachments are
// judged against the message database before the messages are emptied.
using MakeCleaner = std::unique_ptr<BackupCleanerThread> (*)(BackupManifest&, ProgressReporter&);

template <class Worker>
std::unique_ptr<BackupCleanerThread> makeCleaner(BackupManifest& manifest, ProgressReporter& progress) {
    return std::make_unique<Worker>(manifest, progress);
}

struct Category {
    const char* name; // the option without "--", and the key in the JSON output
    const char* label;
    MakeCleaner make;
};

const Category kCategories[] = {{"cache", "Cache and temp files", &makeCleaner<IOSClearSysThread>},
                                {"junk", "Junk files", &makeCleaner<IOSClearMMSAttaThread>},
                                {"messages", "Messages", &makeCleaner<IOSClearAllMessagesThread>},
                                {"safari", "Safari", &makeCleaner<IOSClearSafariThread>},
                                {"calls", "Call history", &makeCleaner<IOSClearCallsThread>}};
constexpr int kCategoryCount = int(std::size(kCategories));
constexpr int kMessages = 2; // the one category whose clean takes a selection

struct Options {
    QString passwordFile;
    QStringList positional;
    bool help = false;
    bool categories[kCategoryCount] = {};
    bool anyCategory = false;
    bool json = false;
    bool dryRun = false;
    bool noRestorePoint = false;
    bool details = false;
    cleandetails::MessageSelection selection;
    QString removePoint; // restore-points --remove: an ID it lists, or "all"
};

Options parseOptions(const QStringList& args) {
    Options o;
    bool optionsEnd = false;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (optionsEnd || !a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
            o.positional << a;
        } else if (a == QLatin1String("--")) {
            optionsEnd = true;
        } else if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            o.help = true;
        } else if (a == QLatin1String("--password-file")) {
            if (i + 1 >= args.size()) {
                throw CliFailure(Usage, QStringLiteral("--password-file needs a file name"));
            }
            o.passwordFile = args.at(++i);
        } else if (a.startsWith(QLatin1String("--password-file="))) {
            o.passwordFile = a.mid(int(sizeof("--password-file=")) - 1);
            if (o.passwordFile.isEmpty()) {
                throw CliFailure(Usage, QStringLiteral("--password-file needs a file name"));
            }
        } else if (a == QLatin1String("--json")) {
            o.json = true;
        } else if (a == QLatin1String("--dry-run")) {
            o.dryRun = true;
        } else if (a == QLatin1String("--no-restore-point")) {
            o.noRestorePoint = true;
        } else if (a == QLatin1String("--details")) {
            o.details = true;
        } else if (a == QLatin1String("--attachments-only")) {
            o.selection.attachmentsOnly = true;
        } else if (a == QLatin1String("--older-than")) {
            bool ok = false;
            const int days = i + 1 < args.size() ? args.at(i + 1).toInt(&ok) : 0;
            if (!ok || days <= 0 || days > kMaxDays) {
                throw CliFailure(Usage,
                                 QStringLiteral("--older-than needs a number of days from 1 to %1").arg(kMaxDays));
            }
            o.selection.olderThanDays = days;
            ++i;
        } else if (a == QLatin1String("--conversation")) {
            if (i + 1 >= args.size() || args.at(i + 1).isEmpty()) {
                throw CliFailure(Usage, QStringLiteral("--conversation needs a conversation's ID"));
            }
            o.selection.conversations << args.at(++i);
        } else if (a == QLatin1String("--remove")) {
            if (i + 1 >= args.size() || args.at(i + 1).isEmpty()) {
                throw CliFailure(Usage, QStringLiteral("--remove needs a restore point's ID or all"));
            }
            o.removePoint = args.at(++i);
        } else {
            int i = 0;
            while (i < kCategoryCount && a != QLatin1String("--") + QLatin1String(kCategories[i].name)) {
                ++i;
            }
            if (i == kCategoryCount) {
                throw CliFailure(Usage, QStringLiteral("unknown option %1").arg(a));
            }
            o.categories[i] = true;
            o.anyCategory = true;
        }
    }
    return o;
}

// Unlocks an encrypted backup with the password from the file, the variable or the terminal. False only when
// the password is optional and none could be had.
bool unlockThrow(BackupManifest& m, const QString& passwordFile, bool passwordOptional) {
    if (!m.info.isEncrypted) {
        return true;
    }
    PasswordResult pw = obtainPassword(passwordFile, true);
    if (!pw.error.isEmpty()) {
        throw CliFailure(Error, pw.error);
    }
    if (pw.origin == PasswordOrigin::None) {
        if (passwordOptional) {
            return false;
        }
        throw CliFailure(Error, QStringLiteral("the backup is encrypted: give its password with --password-file "
                                               "FILE or the variable VEXLAR_BACKUP_PASSWORD"));
    }
    _KeybagInfo bag = parseKeybag(m.info.backupKeyBag);
    long long rounds = bag.attributeInt32(QStringLiteral("ITER"));
    if (bag.attributes.contains(QStringLiteral("DPIC")) && bag.attributes.contains(QStringLiteral("DPSL"))) {
        rounds += bag.attributeInt32(QStringLiteral("DPIC"));
    }
    printErr(QStringLiteral("Checking the password (%1 key derivation rounds)...").arg(rounds));
    if (!m.setPasscodeNoUIThrow(pw.password)) {
        throw CliFailure(WrongPassword, QStringLiteral("wrong password"));
    }
    return true;
}

// The console's side of a clean: progress on standard error, the password from the file, the variable or the
// terminal, and no clean without a restore point unless --no-restore-point said so.
class ConsoleCleanHost : public CleanPipeline::Host {
public:
    explicit ConsoleCleanHost(const QString& passwordFile) : m_passwordFile(passwordFile) {}

    std::unique_ptr<ProgressReporter> newProgress() override {
        return std::make_unique<ConsoleReporter>(stderr, isatty(STDERR_FILENO) != 0);
    }
    bool runWorker(ProgressReporter& progress, QThread& worker) override {
        auto& reporter = static_cast<ConsoleReporter&>(progress); // every reporter this host hands out
        worker.start();
        worker.wait();
        reporter.endLine();
        if (reporter.result() == 1) {
            return true;
        }
        // A worker that ends without a verdict failed all the same.
        m_error = reporter.error();
        if (m_error.isEmpty()) {
            m_error = QStringLiteral("the worker ended without a result");
        }
        m_error.replace(QLatin1String("<br/>"), QLatin1String("\n"));
        return false;
    }
    QString unlock(BackupManifest& manifest, const QString&) override {
        unlockThrow(manifest, m_passwordFile, false);
        return manifest.passcode;
    }
    bool cleanWithoutRestorePoint(const QString& why) override {
        throw CliFailure(Error,
                         QStringLiteral("%1 Clean with --no-restore-point to go on without a way back.").arg(why));
    }
    void note(const QString& text) override { printErr(text); }

    // Why the last worker failed.
    QString error() const { return m_error; }

private:
    QString m_passwordFile;
    QString m_error;
};

// One opened backup. Its decrypted manifest lives in a private temporary
// folder that goes with the object (and with the process, on a fatal signal).
class OpenedBackup {
public:
    explicit OpenedBackup(const QString& dirPath) : m(dirPath) {
        if (!QFileInfo(dirPath).isDir()) {
            throw CliFailure(Error, QStringLiteral("%1 is not a folder").arg(dirPath));
        }
        m.readManifestInfo();
        if (!m.recoveryNote.isEmpty()) {
            printErr(m.recoveryNote);
        }
    }
    OpenedBackup(const OpenedBackup&) = delete;
    OpenedBackup& operator=(const OpenedBackup&) = delete;

    // False only when the password is optional and none could be had.
    bool unlock(const QString& passwordFile, bool passwordOptional) {
        return unlockThrow(m, passwordFile, passwordOptional);
    }

    // The records alone: the file tree and index are not needed here, and cost time and memory.
    QList<MBDBParser::_MBDBItem> sortedItems() {
        QList<MBDBParser::_MBDBItem> list = MBDBParser::parse(m).values();
        std::sort(list.begin(), list.end(), compareMBDBItemLess);
        return list;
    }

    BackupManifest m;
};

QString manifestForm(const BackupManifest& m) {
    if (!MBDBParser::isIos10Mbdb(m.dir)) {
        return QStringLiteral("Manifest.mbdb");
    }
    if (!m.info.isEncrypted) {
        return QStringLiteral("Manifest.db");
    }
    // The keybag says whether the database itself is encrypted; it can be read without the password.
    try {
        _KeybagInfo bag = parseKeybag(m.info.backupKeyBag);
        if (bag.attributes.contains(QStringLiteral("DPIC")) && bag.attributes.contains(QStringLiteral("DPSL"))) {
            return QStringLiteral("Manifest.db (encrypted)");
        }
    } catch (const std::exception&) {
        return QStringLiteral("Manifest.db (unreadable keybag)");
    }
    return QStringLiteral("Manifest.db");
}

int cmdInfo(const Options& o) {
    if (o.positional.size() != 2) {
        throw CliFailure(Usage, QStringLiteral("info takes one folder"));
    }
    OpenedBackup b(o.positional.at(1));
    const BackupManifest::_InfoPlist& info = b.m.info;
    printOut(QStringLiteral("Device:\t%1").arg(info.deviceName));
    printOut(QStringLiteral("Name:\t%1").arg(b.m.displayName));
    printOut(QStringLiteral("Unique ID:\t%1").arg(info.uniqueDeviceId));
    printOut(QStringLiteral("Product:\t%1").arg(info.productType));
    printOut(QStringLiteral("iOS version:\t%1").arg(info.productVersion));
    printOut(QStringLiteral("Serial number:\t%1").arg(info.serialNumber));
    printOut(
        QStringLiteral("Date:\t%1").arg(info.date.isValid() ? info.date.toUTC().toString(Qt::ISODate) : QString()));
    printOut(QStringLiteral("Encrypted:\t%1").arg(info.isEncrypted ? QStringLiteral("yes") : QStringLiteral("no")));
    printOut(QStringLiteral("Manifest:\t%1").arg(manifestForm(b.m)));
    std::fflush(stdout);
    if (!b.unlock(o.passwordFile, true)) {
        printOut(QStringLiteral("Records:\tunknown (no password given)"));
        return Done;
    }
    const QList<MBDBParser::_MBDBItem> items = b.sortedItems();
    long long files = 0, folders = 0, links = 0, bytes = 0;
    for (const auto& it : items) {
        if (it.isFolder()) {
            ++folders;
        } else if (it.linkTarget.isValid()) {
            ++links;
        } else {
            ++files;
            bytes += std::max<qint64>(it.size, 0);
        }
    }
    printOut(QStringLiteral("Records:\t%1 (%2 files, %3 folders, %4 links)")
                 .arg(items.size())
                 .arg(files)
                 .arg(folders)
                 .arg(links));
    printOut(QStringLiteral("File bytes:\t%1").arg(bytes));
    return Done;
}

int cmdLs(const Options& o) {
    if (o.positional.size() != 2 && o.positional.size() != 3) {
        throw CliFailure(Usage, QStringLiteral("ls takes a folder and an optional domain prefix"));
    }
    OpenedBackup b(o.positional.at(1));
    b.unlock(o.passwordFile, false);
    const QString prefix = o.positional.value(2);
    for (const auto& it : b.sortedItems()) {
        const QString domain = it.domain.toString();
        if (!domain.startsWith(prefix)) {
            continue;
        }
        printOut(QStringLiteral("%1\t%2\t%3\t%4")
                     .arg(escapeField(domain), escapeField(it.relativePath.toString()))
                     .arg(it.size)
                     .arg(it.isFolder() ? 1 : 0));
    }
    return Done;
}

struct ExtractProgress {
    bool tty = false;
    int lastShown = -1;
};

void extractProgress(long long total, long long done, void* context) {
    auto* p = static_cast<ExtractProgress*>(context);
    if (total < kProgressThreshold) {
        return;
    }
    int pct = total > 0 ? int(std::min<long long>(100, done * 100 / total)) : 100;
    // On a terminal the line is redrawn at every percent; a log gets one line per tenth.
    int step = p->tty ? 1 : 10;
    if (pct / step == p->lastShown / step && p->lastShown >= 0) {
        return;
    }
    p->lastShown = pct;
    std::fprintf(stderr, p->tty ? "\rExtracting: %d%%" : "Extracting: %d%%\n", pct);
    if (p->tty && pct == 100) {
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
}

int cmdExtract(const Options& o) {
    if (o.positional.size() != 5) {
        throw CliFailure(Usage, QStringLiteral("extract takes a folder, a domain, a path and an output file"));
    }
    OpenedBackup b(o.positional.at(1));
    const QString domain = o.positional.at(2);
    const QString path = o.positional.at(3);
    QString out = o.positional.at(4);
    b.unlock(o.passwordFile, false);
    const QHash<QString, MBDBParser::_MBDBItem> items = MBDBParser::parse(b.m);
    const QString key = MBDBParser::getFileHashName(domain, path);
    auto found = items.constFind(key);
    if (found == items.constEnd()) {
        throw CliFailure(Error, QStringLiteral("%1-%2 is not in the backup").arg(domain, path));
    }
    const MBDBParser::_MBDBItem& item = found.value();
    if (item.isFolder()) {
        throw CliFailure(Error, QStringLiteral("%1-%2 is a folder").arg(domain, path));
    }
    if (item.linkTarget.isValid()) {
        throw CliFailure(
            Error, QStringLiteral("%1-%2 is a symbolic link to %3").arg(domain, path, item.linkTarget.toString()));
    }
    if (QFileInfo(out).isDir()) {
        out = QDir(out).filePath(QFileInfo(path).fileName());
    }
    QFileInfo outInfo(out);
    if (!QDir().mkpath(outInfo.absolutePath())) {
        throw CliFailure(Error, QStringLiteral("cannot create the folder %1").arg(outInfo.absolutePath()));
    }
    // Write beside the target and rename at the end, so a failure never leaves half a file under its name.
    QString partPath;
    {
        QTemporaryFile part(outInfo.absolutePath() + QStringLiteral("/.vexlar-extract-XXXXXX"));
        part.setAutoRemove(false);
        if (!part.open()) {
            throw CliFailure(
                Error, QStringLiteral("cannot write into %1: %2").arg(outInfo.absolutePath(), part.errorString()));
        }
        partPath = part.fileName();
    }
    try {
        ExtractProgress progress;
        progress.tty = isatty(STDERR_FILENO) != 0;
        b.m.copyItemThrow(item, partPath, &progress, extractProgress);
    } catch (...) {
        QFile::remove(partPath);
        throw;
    }
    if (::rename(QFile::encodeName(partPath).constData(), QFile::encodeName(outInfo.absoluteFilePath()).constData()) !=
        0) {
        QFile::remove(partPath);
        throw CliFailure(Error, QStringLiteral("cannot write %1").arg(out));
    }
    if (item.digest.isValid() && item.digest.data.size() == 20 &&
        MBDBParser::readFileHash(outInfo.absoluteFilePath()) != item.digest.data) {
        printErr(QStringLiteral("warning: the content of %1 does not match the digest in the manifest").arg(out));
    }
    return Done;
}

struct CategoryResult {
    int category;
    qint64 found;
    qint64 cleared;
    std::optional<cleandetails::Category> details;
    std::optional<cleandetails::MessageSummary> summary;
};

QString isoDate(const QDateTime& when) {
    return when.isValid() ? when.toUTC().toString(Qt::ISODate) : QString();
}

QJsonArray itemsJson(const QList<cleandetails::Item>& items) {
    QJsonArray out;
    for (const cleandetails::Item& item : items) {
        out.append(QJsonObject{{QStringLiteral("id"), item.id},
                               {QStringLiteral("label"), item.label},
                               {QStringLiteral("bytes"), double(item.bytes)},
                               {QStringLiteral("count"), double(item.count)},
                               {QStringLiteral("attachmentCount"), double(item.attachmentCount)},
                               {QStringLiteral("attachmentBytes"), double(item.attachmentBytes)},
                               {QStringLiteral("last"), isoDate(item.last)}});
    }
    return out;
}

QJsonObject resultJson(const CategoryResult& r) {
    QJsonObject out{{QStringLiteral("name"), QLatin1String(kCategories[r.category].name)},
                    {QStringLiteral("found"), double(r.found)},
                    {QStringLiteral("cleared"), double(r.cleared)}};
    if (r.details) {
        out.insert(QStringLiteral("itemCount"), double(r.details->itemCount));
        out.insert(QStringLiteral("first"), isoDate(r.details->first));
        out.insert(QStringLiteral("last"), isoDate(r.details->last));
        out.insert(QStringLiteral("items"), itemsJson(r.details->items));
        out.insert(QStringLiteral("topSites"), itemsJson(r.details->topSites));
    }
    if (r.summary) {
        out.insert(QStringLiteral("selection"),
                   QJsonObject{{QStringLiteral("conversations"), double(r.summary->conversations)},
                               {QStringLiteral("messages"), double(r.summary->messages)},
                               {QStringLiteral("attachments"), double(r.summary->attachments)},
                               {QStringLiteral("attachmentBytes"), double(r.summary->attachmentBytes)}});
    }
    return out;
}

// The details under a category's line: its range, then one indented row per item, largest first.
void printDetails(const CategoryResult& r) {
    if (r.summary) {
        printOut(QStringLiteral("  selected:\t%1 conversations whole, %2 messages, %3 attachments (%4 bytes)")
                     .arg(r.summary->conversations)
                     .arg(r.summary->messages)
                     .arg(r.summary->attachments)
                     .arg(r.summary->attachmentBytes));
    }
    if (!r.details) {
        return;
    }
    const cleandetails::Category& d = *r.details;
    printOut(QStringLiteral("  items:\t%1, from %2 to %3")
                 .arg(d.itemCount)
                 .arg(d.first.isValid() ? isoDate(d.first) : QStringLiteral("-"),
                      d.last.isValid() ? isoDate(d.last) : QStringLiteral("-")));
    for (const cleandetails::Item& item : d.items) {
        // Only conversations have attachments of their own.
        const QString attachments =
            r.category == kMessages ? QStringLiteral("\t%1 attachments").arg(item.attachmentCount) : QString();
        printOut(QStringLiteral("    %1 bytes (%2)\t%3%4\t%5\t%6\t%7")
                     .arg(item.bytes)
                     .arg(formatSpaceShow(item.bytes))
                     .arg(item.count)
                     .arg(attachments, item.last.isValid() ? isoDate(item.last) : QStringLiteral("-"),
                          escapeField(item.label), escapeField(item.id)));
    }
    for (const cleandetails::Item& site : d.topSites) {
        printOut(QStringLiteral("    site\t%1 visits\t%2").arg(site.count).arg(escapeField(site.label)));
    }
}

void printFigures(const Options& o, const QString& command, const QString& dir, const QList<CategoryResult>& results,
                  const QString& failedCategory, const QString& error) {
    qint64 found = 0, cleared = 0;
    for (const CategoryResult& r : results) {
        found += r.found;
        cleared += r.cleared;
    }
    if (o.json) {
        QJsonArray categories;
        for (const CategoryResult& r : results) {
            categories.append(resultJson(r));
        }
        QJsonObject out{{QStringLiteral("command"), command},
                        {QStringLiteral("backup"), QFileInfo(dir).absoluteFilePath()},
                        {QStringLiteral("categories"), categories},
                        {QStringLiteral("found"), double(found)},
                        {QStringLiteral("cleared"), double(cleared)}};
        if (!error.isEmpty()) {
            out.insert(QStringLiteral("failed"), failedCategory);
            out.insert(QStringLiteral("error"), error);
        }
        printOut(QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact)));
        return;
    }
    auto line = [](const QString& label, qint64 f, qint64 c) {
        return QStringLiteral("%1\tfound %2 bytes (%3)\tcleared %4 bytes (%5)")
            .arg(label)
            .arg(f)
            .arg(formatSpaceShow(f))
            .arg(c)
            .arg(formatSpaceShow(c));
    };
    for (const CategoryResult& r : results) {
        printOut(line(QLatin1String(kCategories[r.category].label), r.found, r.cleared));
        printDetails(r);
    }
    printOut(line(QStringLiteral("Total"), found, cleared));
}

// scan and clean: the cleaning workers of the program, one after the other on
// one opened backup, each reporting to the console; the first failure stops the rest.
int cmdScanClean(const Options& o, bool clean) {
    if (o.positional.size() != 2) {
        throw CliFailure(Usage, QStringLiteral("%1 takes one folder and options").arg(o.positional.first()));
    }
    if (clean && !o.anyCategory) {
        throw CliFailure(Usage, QStringLiteral("clean needs at least one of --cache, --junk, --messages, --safari, "
                                               "--calls"));
    }
    if (!clean && o.dryRun) {
        throw CliFailure(Usage, QStringLiteral("--dry-run belongs to clean"));
    }
    if (!o.selection.all() && !o.categories[kMessages]) {
        throw CliFailure(Usage, QStringLiteral("--attachments-only, --older-than and --conversation choose messages: "
                                               "name --messages too"));
    }
    const bool scanOnly = !clean || o.dryRun;
    const QString dir = o.positional.at(1);
    if (!QFileInfo(dir).isDir()) {
        throw CliFailure(Error, QStringLiteral("%1 is not a folder").arg(dir));
    }
    ConsoleCleanHost host(o.passwordFile);
    CleanPipeline pipeline(host, scanOnly ? CleanPipeline::Mode::Scan : CleanPipeline::Mode::Clean);
    pipeline.open(dir);
    if (!scanOnly && !o.noRestorePoint) {
        QStringList cleaned;
        for (int i = 0; i < kCategoryCount; ++i) {
            if (o.categories[i]) {
                cleaned << QLatin1String(kCategories[i].name);
            }
        }
        pipeline.keepRestorePoint(cleaned);
    }
    QList<CategoryResult> results;
    for (int i = 0; i < kCategoryCount; ++i) {
        if (o.anyCategory && !o.categories[i]) {
            continue;
        }
        const std::unique_ptr<ProgressReporter> progress = pipeline.newProgress();
        const std::unique_ptr<BackupCleanerThread> worker = kCategories[i].make(pipeline.manifest(), *progress);
        worker->wantDetails = o.details;
        auto* messageWorker = i == kMessages ? static_cast<IOSClearAllMessagesThread*>(worker.get()) : nullptr;
        if (messageWorker) {
            messageWorker->selection = o.selection;
        }
        if (!pipeline.run(*progress, *worker)) {
            printFigures(o, scanOnly ? QStringLiteral("scan") : QStringLiteral("clean"), dir, results,
                         QLatin1String(kCategories[i].name), host.error());
            throw CliFailure(Error, QStringLiteral("%1: %2").arg(QLatin1String(kCategories[i].name), host.error()));
        }
        // Some workers count what they would remove; a scan removes nothing.
        CategoryResult result{i, worker->foundBytes, scanOnly ? 0 : worker->clearedBytes, {}, {}};
        if (o.details) {
            result.details = worker->details;
        }
        if (messageWorker && !o.selection.all()) {
            result.summary = messageWorker->summary;
        }
        results.append(result);
    }
    printFigures(o, scanOnly ? QStringLiteral("scan") : QStringLiteral("clean"), dir, results, QString(), QString());
    pipeline.keepEdit();
    return Done;
}

int cmdUndo(const Options& o) {
    if (o.positional.size() != 2) {
        throw CliFailure(Usage, QStringLiteral("undo takes one folder"));
    }
    const restorepoint::Info point = restorepoint::undoThrow(o.positional.at(1));
    printOut(QStringLiteral("Put %1 back as it was on %2, before the clean of %3.")
                 .arg(o.positional.at(1), point.made.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                      point.cleaned.isEmpty() ? QStringLiteral("(nothing named)") : point.cleaned.join(u", ")));
    return Done;
}

int cmdRestorePoints(const Options& o) {
    if (o.positional.size() != 2) {
        throw CliFailure(Usage, QStringLiteral("restore-points takes one folder"));
    }
    const QList<restorepoint::Info> points = restorepoint::list(o.positional.at(1));
    const auto id = [](const restorepoint::Info& p) { return QFileInfo(p.path).fileName(); };
    if (!o.removePoint.isEmpty()) {
        bool found = false;
        for (const restorepoint::Info& p : points) {
            if (o.removePoint == QLatin1String("all") || o.removePoint == id(p)) {
                found = true;
                if (!restorepoint::remove(p)) {
                    throw CliFailure(Error, QStringLiteral("cannot remove the restore point %1").arg(p.path));
                }
                printErr(
                    QStringLiteral("Removed the restore point %1 (%2 freed)").arg(id(p), formatSpaceShow(p.ownBytes)));
            }
        }
        if (!found && o.removePoint != QLatin1String("all")) {
            throw CliFailure(Error,
                             QStringLiteral("%1 has no restore point %2").arg(o.positional.at(1), o.removePoint));
        }
        return Done;
    }
    if (o.json) {
        QJsonArray out;
        for (const restorepoint::Info& p : points) {
            out.append(QJsonObject{{QStringLiteral("id"), id(p)},
                                   {QStringLiteral("made"), p.made.toString(Qt::ISODate)},
                                   {QStringLiteral("cleaned"), QJsonArray::fromStringList(p.cleaned)},
                                   {QStringLiteral("ownBytes"), double(p.ownBytes)}});
        }
        printOut(QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact)));
        return Done;
    }
    for (const restorepoint::Info& p : points) {
        printOut(QStringLiteral("%1\t%2\t%3\t%4 bytes alone (%5)")
                     .arg(id(p), p.made.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), p.cleaned.join(u','))
                     .arg(p.ownBytes)
                     .arg(formatSpaceShow(p.ownBytes)));
    }
    return Done;
}

} // namespace

QString escapeField(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        default:
            out += c;
        }
    }
    return out;
}

int run(const QStringList& args) {
    try {
        Options o = parseOptions(args);
        if (o.help) {
            std::fputs(kUsage, stdout);
            return Done;
        }
        if (o.positional.isEmpty()) {
            throw CliFailure(Usage, QStringLiteral("no command given"));
        }
        const QString cmd = o.positional.first();
        const bool scanClean = cmd == QLatin1String("scan") || cmd == QLatin1String("clean");
        if ((o.anyCategory || o.dryRun || o.details || !o.selection.all() ||
             (o.json && cmd != QLatin1String("restore-points"))) &&
            !scanClean) {
            throw CliFailure(Usage, QStringLiteral("%1 takes no category, --json, --details or --dry-run").arg(cmd));
        }
        if ((o.noRestorePoint && cmd != QLatin1String("clean")) ||
            (!o.removePoint.isEmpty() && cmd != QLatin1String("restore-points"))) {
            throw CliFailure(Usage, QStringLiteral("%1 takes no --no-restore-point or --remove").arg(cmd));
        }
        if (cmd == QLatin1String("info")) {
            return cmdInfo(o);
        }
        if (cmd == QLatin1String("ls")) {
            return cmdLs(o);
        }
        if (cmd == QLatin1String("extract")) {
            return cmdExtract(o);
        }
        if (scanClean) {
            return cmdScanClean(o, cmd == QLatin1String("clean"));
        }
        if (cmd == QLatin1String("undo")) {
            return cmdUndo(o);
        }
        if (cmd == QLatin1String("restore-points")) {
            return cmdRestorePoints(o);
        }
        throw CliFailure(Usage, QStringLiteral("unknown command %1").arg(cmd));
    } catch (const CliFailure& e) {
        printErr(QStringLiteral("vexlar-backup: %1").arg(QString::fromUtf8(e.what())));
        if (e.code == Usage) {
            std::fputs(kUsage, stderr);
        }
        return e.code;
    } catch (const std::exception& e) {
        // Texts of the backup store may carry HTML line breaks meant for a message box.
        QString text = QString::fromUtf8(e.what());
        text.replace(QLatin1String("<br/>"), QLatin1String("\n"));
        printErr(QStringLiteral("vexlar-backup: %1").arg(text));
        return Error;
    }
}

} // namespace BackupCli
