// Parse and write times of property lists by size and format:
//   bench_plist [largest element count, default 100000]

#include "device/cftype.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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

void measure(const char* what, int n, const CFType& value, long format) {
    QElapsedTimer t;
    t.start();
    const QByteArray bytes = value.CFPropertyListToBytes(format);
    const qint64 writeMs = t.elapsed();
    t.restart();
    const CFType back = CFType::createCFPropertyList(bytes);
    const qint64 readMs = t.elapsed();
    std::printf("%-6s %-4s %8d elements %10lld bytes  write %6lld ms  read %6lld ms%s\n", what,
                format == kCFPropertyListBinaryFormat_v1_0 ? "bin" : "xml", n, static_cast<long long>(bytes.size()),
                static_cast<long long>(writeMs), static_cast<long long>(readMs),
                back.equals(value) ? "" : "  MISMATCH");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int largest = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    for (int n = 1000; n <= largest; n *= 10) {
        const CFType array = makeArray(n);
        const CFType dict = makeDict(n);
        for (long format : {long(kCFPropertyListXMLFormat_v1_0), long(kCFPropertyListBinaryFormat_v1_0)}) {
            measure("array", n, array, format);
            measure("dict", n, dict, format);
        }
    }
    // A small keyed archive, as a backup manifest stores each file record.
    QHash<QString, CFType> record{{QStringLiteral("RelativePath"), CFType::createCFString(QStringLiteral("a/b"))},
                                  {QStringLiteral("Size"), CFType::createCFNumberInt64(4096)}};
    const QByteArray blob =
        CFType::createNSDictionaryStringCFType(record, false).CFPropertyListToBytes(kCFPropertyListBinaryFormat_v1_0);
    QElapsedTimer t;
    t.start();
    int decoded = 0;
    for (int i = 0; i < 20000; ++i)
        decoded += CFType::createCFPropertyList(blob).NSKeyedArchiver().size() > 0;
    std::printf("keyed archive: %d decodes in %lld ms\n", decoded, static_cast<long long>(t.elapsed()));
    return 0;
}
