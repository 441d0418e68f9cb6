// Parse and write times of property lists by size and format, next to
// Python's plistlib reading and writing the same lists in the same run
// (bench/plist/plist_yardstick.py). Each side reads what the other wrote; the
// run fails when they disagree.
//   bench_plist [--smoke] [largest element count, default 100000]

#include "device/cftype.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>

namespace {

CFType makeArray(int n) {
    CFType a = CFType::createCFArray();
    for (int i = 0; i < n; ++i)
        a.append(CFType::createCFNumberInt64(i));
    return a;
}

CFType makeDict(int n) {
    CFType d = CFType::createCFDictionary();
    for (int i = 0; i < n; ++i)
        d.put(QStringLiteral("key %1").arg(i), CFType::createCFString(QStringLiteral("value %1").arg(i)));
    return d;
}

struct Case {
    QString file;
    int n = 0;
    CFType value;
    qsizetype bytes = 0;
    double write = 0, read = 0;
};

double seconds(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e9;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// One line of JSON per file from the yardstick script, by file name.
QHash<QString, QJsonObject> yardstick(const QStringList& args, bool* ok) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(VEXLAR_PYTHON),
            QStringList{QStringLiteral(VEXLAR_SOURCE_DIR "/bench/plist/plist_yardstick.py")} + args);
    QHash<QString, QJsonObject> results;
    *ok = p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (!o.isEmpty()) {
            results.insert(o.value(QStringLiteral("file")).toString(), o);
        }
    }
    return results;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int largest = 100000;
    int decodes = 20000;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--smoke") {
            largest = 1000;
            decodes = 200;
        } else {
            largest = QByteArray(argv[i]).toInt();
        }
    }
    QTemporaryDir dir;
    bool agree = dir.isValid();

    QList<Case> cases;
    for (int n = 1000; n <= largest; n *= 10) {
        const CFType array = makeArray(n);
        const CFType dict = makeDict(n);
        for (long format : {long(kCFPropertyListXMLFormat_v1_0), long(kCFPropertyListBinaryFormat_v1_0)}) {
            const char* f = format == kCFPropertyListBinaryFormat_v1_0 ? "bin" : "xml";
            for (const auto& [kind, value] : {std::pair{"array", array}, std::pair{"dict", dict}}) {
                Case c;
                c.file =
                    dir.filePath(QStringLiteral("%1-%2-%3.plist").arg(QLatin1String(f), QLatin1String(kind)).arg(n));
                c.n = n;
                c.value = value;
                QElapsedTimer t;
                t.start();
                const QByteArray bytes = value.CFPropertyListToBytes(format);
                c.write = seconds(t);
                t.restart();
                const CFType back = CFType::createCFPropertyList(bytes);
                c.read = seconds(t);
                c.bytes = bytes.size();
                if (!back.equals(value) || !writeFile(c.file, bytes)) {
                    std::printf("%s: our own round trip differs\n", qPrintable(c.file));
                    agree = false;
                }
                cases.append(c);
            }
        }
    }
    QStringList files;
    for (const Case& c : std::as_const(cases)) {
        files << c.file;
    }
    bool ran = false;
    const QHash<QString, QJsonObject> py = yardstick(files, &ran);
    agree = agree && ran;

    std::printf("%-24s %10s   %9s %9s   %9s %9s   (ms)\n", "", "bytes", "write", "plistlib", "read", "plistlib");
    for (const Case& c : std::as_const(cases)) {
        const QJsonObject o = py.value(c.file);
        QFile theirs(c.file + QStringLiteral(".py"));
        // plistlib read our bytes to the same size, and we read its bytes back to the same value.
        const bool same = o.value(QStringLiteral("count")).toInt() == c.n && theirs.open(QIODevice::ReadOnly) &&
                          CFType::createCFPropertyList(theirs.readAll()).equals(c.value);
        agree = agree && same;
        std::printf("%-24s %10lld   %9.1f %9.1f   %9.1f %9.1f%s\n", qPrintable(c.file.section(QLatin1Char('/'), -1)),
                    static_cast<long long>(c.bytes), c.write * 1e3, o.value(QStringLiteral("write")).toDouble() * 1e3,
                    c.read * 1e3, o.value(QStringLiteral("read")).toDouble() * 1e3, same ? "" : "  MISMATCH");
    }

    // A small keyed archive, as a backup manifest stores each file record.
    QHash<QString, CFType> record{{QStringLiteral("RelativePath"), CFType::createCFString(QStringLiteral("a/b"))},
                                  {QStringLiteral("Size"), CFType::createCFNumberInt64(4096)}};
    const QByteArray blob =
        CFType::createNSDictionaryStringCFType(record, false).CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    const QString blobFile = dir.filePath(QStringLiteral("archive.plist"));
    QElapsedTimer t;
    t.start();
    int decoded = 0;
    for (int i = 0; i < decodes; ++i)
        decoded += CFType::createCFPropertyList(blob).NSKeyedArchiver().size() > 0;
    const double ours = seconds(t);
    const QJsonObject o =
        writeFile(blobFile, blob)
            ? yardstick({QStringLiteral("--archive"), blobFile, QString::number(decodes)}, &ran).value(blobFile)
            : QJsonObject();
    const double theirs = o.value(QStringLiteral("read")).toDouble();
    std::printf("keyed archive: %d decodes in %.1f ms; plistlib.loads %.1f ms\n", decoded, ours * 1e3, theirs * 1e3);
    agree = agree && ran && decoded == decodes && o.value(QStringLiteral("count")).toInt() == decodes;
    if (!agree) {
        std::fprintf(stderr, "bench_plist: the two sides disagree or the yardstick failed\n");
        return 1;
    }
    return 0;
}
