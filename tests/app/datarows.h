#pragma once

// The rows of a data-driven test, read from a table in a JSON file beside it:
//   {"table": {"columns": ["name:type", ...], "rows": [["row name", value, ...], ...]}, ...}
// Types: str (the default; JSON null gives a null QString), bytes (the UTF-8 of the text; null: a null QByteArray),
// hex (bytes written as hex digits), int, long (qint64), bool, list (QStringList), ints (QList<int>). Trailing cells
// a row leaves out read as empty (0, false, "").

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

// One cell as its column's type.
inline QVariant datarowsCell(const QJsonValue& v, const QString& type) {
    QStringList list;
    QList<int> ints;
    for (const QJsonValue& item : v.toArray()) {
        list << item.toString();
        ints << item.toInt();
    }
    // JSON "" stays an empty, not a null, text.
    const QString text = v.isNull() ? QString() : v.toString().isNull() ? QString::fromLatin1("") : v.toString();
    const QByteArray bytes = text.isNull() ? QByteArray() : text.isEmpty() ? QByteArray("") : text.toUtf8();
    return type == QLatin1String("bytes")  ? QVariant(bytes)
           : type == QLatin1String("hex")  ? QVariant(QByteArray::fromHex(bytes))
           : type == QLatin1String("int")  ? QVariant(v.toInt())
           : type == QLatin1String("long") ? QVariant(qint64(v.toDouble()))
           : type == QLatin1String("bool") ? QVariant(v.toBool())
           : type == QLatin1String("list") ? QVariant(list)
           : type == QLatin1String("ints") ? QVariant::fromValue(ints)
                                           : QVariant(text);
}

inline void addRowsFrom(const QString& file, const char* name) {
    static QList<QByteArray> names; // Qt Test keeps the column name pointers
    const QJsonObject table = jsonFile(file)[QLatin1String(name)].toObject();
    QStringList types;
    for (const QJsonValue& column : table[QLatin1String("columns")].toArray()) {
        names << column.toString().section(QLatin1Char(':'), 0, 0).toUtf8();
        types << column.toString().section(QLatin1Char(':'), 1);
        QTest::addColumnInternal(datarowsCell(QJsonValue(), types.last()).metaType().id(), names.last().constData());
    }
    QVERIFY2(!types.isEmpty(), qPrintable(file + QLatin1Char(' ') + QLatin1String(name)));
    for (const QJsonValue& r : table[QLatin1String("rows")].toArray()) {
        QTestData& data = QTest::newRow(qPrintable(r[0].toString()));
        for (qsizetype i = 0; i < types.size(); ++i) {
            const QVariant cell = datarowsCell(r[i + 1], types.at(i));
            data.append(cell.metaType().id(), cell.constData());
        }
    }
}
