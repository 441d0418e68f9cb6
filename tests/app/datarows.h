#pragma once

// The rows of a data-driven test, read from a table in a JSON file beside it:
//   {"table": {"columns": ["name:type", ...], "rows": [["row name", value, ...], ...]}, ...}
// Types: str (the default; JSON null gives a null QString), bytes (the UTF-8 of the text; null: a null QByteArray),
// int, long (qint64), bool, list (QStringList), ints (QList<int>).

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// A JSON file's top object; empty when it cannot be read.
inline QJsonObject jsonFile(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

inline void addRowsFrom(const QString& file, const char* name) {
    static QList<QByteArray> names; // Qt Test keeps the column name pointers
    const QJsonObject table = jsonFile(file)[QLatin1String(name)].toObject();
    QStringList types;
    for (const QJsonValue& column : table[QLatin1String("columns")].toArray()) {
        names << column.toString().section(QLatin1Char(':'), 0, 0).toUtf8();
        types << column.toString().section(QLatin1Char(':'), 1);
        const char* c = names.last().constData();
        const QString& t = types.last();
        t == QLatin1String("bytes")  ? QTest::addColumn<QByteArray>(c)
        : t == QLatin1String("int")  ? QTest::addColumn<int>(c)
        : t == QLatin1String("long") ? QTest::addColumn<qint64>(c)
        : t == QLatin1String("bool") ? QTest::addColumn<bool>(c)
        : t == QLatin1String("list") ? QTest::addColumn<QStringList>(c)
        : t == QLatin1String("ints") ? QTest::addColumn<QList<int>>(c)
                                     : QTest::addColumn<QString>(c);
    }
    QVERIFY2(!types.isEmpty(), qPrintable(file + QLatin1Char(' ') + QLatin1String(name)));
    for (const QJsonValue& r : table[QLatin1String("rows")].toArray()) {
        const QJsonArray row = r.toArray();
        QTestData& data = QTest::newRow(qPrintable(row.at(0).toString()));
        for (qsizetype i = 0; i < types.size(); ++i) {
            const QJsonValue v = row.at(i + 1);
            const QString& t = types.at(i);
            QStringList list;
            QList<int> ints;
            for (const QJsonValue& item : v.toArray()) {
                list << item.toString();
                ints << item.toInt();
            }
            // JSON "" stays an empty, not a null, text.
            QString text = v.isNull() ? QString() : v.toString();
            text = text.isNull() && !v.isNull() ? QString::fromLatin1("") : text;
            QByteArray bytes = text.toUtf8();
            bytes = bytes.isNull() && !text.isNull() ? QByteArray("") : bytes;
            if (t == QLatin1String("bytes")) {
                data << bytes;
            } else if (t == QLatin1String("int")) {
                data << v.toInt();
            } else if (t == QLatin1String("long")) {
                data << qint64(v.toDouble());
            } else if (t == QLatin1String("bool")) {
                data << v.toBool();
            } else if (t == QLatin1String("list")) {
                data << list;
            } else if (t == QLatin1String("ints")) {
                data << ints;
            } else {
                data << text;
            }
        }
    }
}
