#pragma once

// Thin RAII access to SQLite 3.
//
// SQLite uses 1-based indexes for bind and 0-based for columns; callers see
// neither: parameters bind in the order they were added, columns are read by
// result-column name. Every *Throw function and the transaction calls throw
// std::runtime_error with SQLite's message.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>

struct sqlite3;
struct sqlite3_stmt;

class Sqlite3Sql {
public:
    Sqlite3Sql(const char* sql);
    explicit Sqlite3Sql(const QString& sql);

    Sqlite3Sql& addTextParam(const QString& value);
    Sqlite3Sql& addIntParam(int value);
    Sqlite3Sql& addInt64Param(qint64 value);
    Sqlite3Sql& addBlobParam(const QByteArray& value);
    Sqlite3Sql& addNullParam();

    const QByteArray& sql() const { return m_sql; }
    // QString = text, int/qlonglong = integer, QByteArray = blob, null QVariant = NULL.
    const QList<QVariant>& params() const { return m_params; }

private:
    QByteArray m_sql;
    QList<QVariant> m_params;
};

// One prepared statement, finalized when destroyed.
class Sqlite3Stmt {
public:
    Sqlite3Stmt(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    ~Sqlite3Stmt();
    Sqlite3Stmt(const Sqlite3Stmt&) = delete;
    Sqlite3Stmt& operator=(const Sqlite3Stmt&) = delete;

    sqlite3* db() const { return m_db; }
    sqlite3_stmt* stmt() const { return m_stmt; }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

class Sqlite3Cursor {
public:
    Sqlite3Cursor() = default;

    // Steps to the next row; false after the last one (starts before the first). Throws on error.
    bool moveNext();
    // Number of result rows, known before the first moveNext.
    int count();

    QString getText(const QString& column) const;
    int getInt(const QString& column) const;
    qint64 getInt64(const QString& column) const;
    QByteArray getBlob(const QString& column) const;
    bool isNull(const QString& column) const;
    QStringList columnNames() const;

private:
    friend class Sqlite3DB;
    int columnIndex(const QString& column) const;

    std::shared_ptr<Sqlite3Stmt> m_stmt;
    int m_row = -1; // rows stepped so far - 1
    int m_count = -1;
    bool m_done = false;
};

class Sqlite3DB {
public:
    Sqlite3DB() = default;
    ~Sqlite3DB();
    Sqlite3DB(const Sqlite3DB&) = delete;
    Sqlite3DB& operator=(const Sqlite3DB&) = delete;

    // flags are SQLite open flags (2: read-write, the file must exist).
    void openThrow(const QString& path, int flags);
    void executeThrow(const Sqlite3Sql& sql);
    Sqlite3Cursor queryThrow(const Sqlite3Sql& sql);
    void beginTran();
    void commitTran();
    // Never throws: rolls back an open transaction, if any.
    void rollbackTran();
    void close();
    bool isOpen() const { return db != nullptr; }
    qint64 changes() const;

    // A scalar SQL function; arguments arrive as QVariant (text as QString,
    // blob as QByteArray, integer as qlonglong, real as double, NULL as a null
    // QVariant) and the result is converted back the same way.
    using ScalarFunction = std::function<QVariant(const QList<QVariant>& args)>;
    void createFunctionThrow(const QString& name, int argCount, ScalarFunction function);

    // The raw connection, for callers that register functions themselves.
    sqlite3* db = nullptr;

private:
    std::shared_ptr<Sqlite3Stmt> prepareThrow(const Sqlite3Sql& sql);
};
