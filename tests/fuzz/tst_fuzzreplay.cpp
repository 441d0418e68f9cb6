// Replays every stored fuzz finding, inputs/<target>/<name>, through the entry
// point of the target that found it; the sanitizer build catches what a plain
// run would not.

#include <QDir>
#include <QTest>
#include <cstdint>

using Entry = int (*)(const uint8_t*, size_t);
#define FUZZ_TARGET(name) extern "C" int fuzz_##name(const uint8_t*, size_t);
#include "fuzztargets.inc"
#undef FUZZ_TARGET

class FuzzReplay : public QObject {
    Q_OBJECT
private slots:
    void replay_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("path");
        const QDir inputs(QStringLiteral(VEXLAR_SOURCE_DIR "/tests/fuzz/inputs"));
        for (const QString& target : inputs.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QDir dir(inputs.filePath(target));
            for (const QString& name : dir.entryList(QDir::Files)) {
                QTest::newRow(qPrintable(target + QLatin1Char('/') + name)) << target << dir.filePath(name);
            }
        }
    }
    void replay() {
        QFETCH(QString, target);
        QFETCH(QString, path);
#define FUZZ_TARGET(name) {QStringLiteral(#name), &fuzz_##name},
        static const QHash<QString, Entry> entries{
#include "fuzztargets.inc"
        };
#undef FUZZ_TARGET
        QVERIFY2(entries.contains(target), "inputs for a target that does not exist");
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        entries.value(target)(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()));
    }
};

QTEST_GUILESS_MAIN(FuzzReplay)
#include "tst_fuzzreplay.moc"
