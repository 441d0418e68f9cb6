#include "sqlite/sqlite3db.h"

#include <sqlite3.h>
#include <stdexcept>

namespace {

std::runtime_error sqliteError(sqlite3* db, int rc, const QByteArray& context) {
    const char* msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    QString text = QStringLiteral("SQLite error %1: %2").arg(rc).arg(QString::fromUtf8(msg));
    if (!context.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(QString::fromUtf8(context));
    }
    return std::runtime_error(text.toUtf8().toStdString());
}

void bindThrow(sqlite3* db, sqlite3_stmt* stmt, const Sqlite3Sql& sql) {
    const QList<QVariant>& params = sql.params();
    if (params.size() != sqlite3_bind_parameter_count(stmt)) {
        throw std::runtime_error(QStringLiteral("SQLite error: %1 parameters given, %2 expected (%3)")
                                     .arg(params.size())
                                     .arg(sqlite3_bind_parameter_count(stmt))
                                     .arg(QString::fromUtf8(sql.sql()))
                                     .toUtf8()
                                     .toStdString());
    }
    for (int i = 0; i < params.size(); ++i) {
        const QVariant& v = params.at(i);
        const int index = i + 1;
        int rc = SQLITE_OK;
        switch (v.typeId()) {
        case QMetaType::QString: {
            const QByteArray utf8 = v.toString().toUtf8();
            rc = sqlite3_bind_text64(stmt, index, utf8.constData(), static_cast<sqlite3_uint64>(utf8.size()),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
            break;
        }
        case QMetaType::QByteArray: {
            const QByteArray bytes = v.toByteArray();
            // A zero-length blob must still be a blob, not NULL.
            rc = bytes.isEmpty() ? sqlite3_bind_zeroblob(stmt, index, 0)
                                 : sqlite3_bind_blob64(stmt, index, bytes.constData(),
                                                       static_cast<sqlite3_uint64>(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        case QMetaType::Int:
            rc = sqlite3_bind_int(stmt, index, v.toInt());
            break;
        case QMetaType::LongLong:
            rc = sqlite3_bind_int64(stmt, index, v.toLongLong());
            break;
        default:
            rc = sqlite3_bind_null(stmt, index);
            break;
        }
        if (rc != SQLITE_OK) {
            throw sqliteError(db, rc, sql.sql());
        }
    }
}

QVariant valueToVariant(sqlite3_value* value) {
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return QVariant(static_cast<qlonglong>(sqlite3_value_int64(value)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_value_double(value));
    case SQLITE_TEXT:
        return QVariant(
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_value_text(value)), sqlite3_value_bytes(value)));
    case SQLITE_BLOB: {
        const void* blob = sqlite3_value_blob(value);
        const int n = sqlite3_value_bytes(value);
        return QVariant(blob ? QByteArray(static_cast<const char*>(blob), n) : QByteArray(""));
    }
    default:
        return QVariant();
    }
}

void scalarTrampoline(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    auto* fn = static_cast<Sqlite3DB::ScalarFunction*>(sqlite3_user_data(ctx));
    QList<QVariant> args;
    args.reserve(argc);
    for (int i = 0; i < argc; ++i) {
        args.append(valueToVariant(argv[i]));
    }
    QVariant result;
    try {
        result = (*fn)(args);
    } catch (const std::exception& e) {
        sqlite3_result_error(ctx, e.what(), -1);
        return;
    }
    switch (result.typeId()) {
    case QMetaType::Int:
    case QMetaType::Bool:
        sqlite3_result_int(ctx, result.toInt());
        break;
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        sqlite3_result_int64(ctx, result.toLongLong());
        break;
    case QMetaType::Double:
        sqlite3_result_double(ctx, result.toDouble());
        break;
    case QMetaType::QString: {
        const QByteArray utf8 = result.toString().toUtf8();
        sqlite3_result_text64(ctx, utf8.constData(), static_cast<sqlite3_uint64>(utf8.size()), SQLITE_TRANSIENT,
                              SQLITE_UTF8);
        break;
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = result.toByteArray();
        sqlite3_result_blob64(ctx, bytes.constData(), static_cast<sqlite3_uint64>(bytes.size()), SQLITE_TRANSIENT);
        break;
    }
    default:
        sqlite3_result_null(ctx);
        break;
    }
}

void destroyFunction(void* p) {
    delete static_cast<Sqlite3DB::ScalarFunction*>(p);
}

} // namespace

// ---- Sqlite3Sql

Sqlite3Sql::Sqlite3Sql(const char* sql) : m_sql(sql) {}
Sqlite3Sql::Sqlite3Sql(const QString& sql) : m_sql(sql.toUtf8()) {}

Sqlite3Sql& Sqlite3Sql::addTextParam(const QString& value) {
    // A null QString would bind as NULL through QVariant; keep it text.
    m_params.append(QVariant(value.isNull() ? QStringLiteral("") : value));
    return *this;
}
Sqlite3Sql& Sqlite3Sql::addIntParam(int value) {
    m_params.append(QVariant(value));
    return *this;
}
Sqlite3Sql& Sqlite3Sql::addInt64Param(qint64 value) {
    m_params.append(QVariant(static_cast<qlonglong>(value)));
    return *this;
}
Sqlite3Sql& Sqlite3Sql::addBlobParam(const QByteArray& value) {
    m_params.append(QVariant(value));
    return *this;
}
Sqlite3Sql& Sqlite3Sql::addNullParam() {
    m_params.append(QVariant());
    return *this;
}

// ---- Sqlite3Stmt

Sqlite3Stmt::~Sqlite3Stmt() {
    sqlite3_finalize(m_stmt);
}

// ---- Sqlite3Cursor

bool Sqlite3Cursor::moveNext() {
    if (!m_stmt || m_done) {
        return false;
    }
    const int rc = sqlite3_step(m_stmt->stmt());
    if (rc == SQLITE_ROW) {
        ++m_row;
        return true;
    }
    m_done = true;
    if (rc != SQLITE_DONE) {
        throw sqliteError(m_stmt->db(), rc, QByteArray(sqlite3_sql(m_stmt->stmt())));
    }
    return false;
}

int Sqlite3Cursor::count() {
    if (!m_stmt) {
        return 0;
    }
    if (m_count >= 0) {
        return m_count;
    }
    // Count by stepping through once, then come back to where the caller was:
    // works for any query, not only plain SELECTs that could be wrapped in count(*).
    sqlite3_stmt* stmt = m_stmt->stmt();
    const int position = m_row;
    const bool wasDone = m_done;
    sqlite3_reset(stmt);
    int n = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        ++n;
    }
    if (rc != SQLITE_DONE) {
        throw sqliteError(m_stmt->db(), rc, QByteArray(sqlite3_sql(stmt)));
    }
    sqlite3_reset(stmt);
    for (int i = 0; i <= position && i < n; ++i) {
        sqlite3_step(stmt);
    }
    if (wasDone) {
        sqlite3_step(stmt);
    }
    m_count = n;
    return n;
}

int Sqlite3Cursor::columnIndex(const QString& column) const {
    if (!m_stmt || m_row < 0 || m_done) {
        throw std::runtime_error(
            QStringLiteral("SQLite error: no current row to read column %1").arg(column).toUtf8().toStdString());
    }
    sqlite3_stmt* stmt = m_stmt->stmt();
    const int n = sqlite3_column_count(stmt);
    for (int i = 0; i < n; ++i) {
        if (column.compare(QString::fromUtf8(sqlite3_column_name(stmt, i)), Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    throw std::runtime_error(QStringLiteral("SQLite error: no column %1").arg(column).toUtf8().toStdString());
}

QString Sqlite3Cursor::getText(const QString& column) const {
    const int i = columnIndex(column);
    const unsigned char* text = sqlite3_column_text(m_stmt->stmt(), i);
    const int n = sqlite3_column_bytes(m_stmt->stmt(), i);
    return text ? QString::fromUtf8(reinterpret_cast<const char*>(text), n) : QString();
}

int Sqlite3Cursor::getInt(const QString& column) const {
    return sqlite3_column_int(m_stmt->stmt(), columnIndex(column));
}

qint64 Sqlite3Cursor::getInt64(const QString& column) const {
    return sqlite3_column_int64(m_stmt->stmt(), columnIndex(column));
}

QByteArray Sqlite3Cursor::getBlob(const QString& column) const {
    const int i = columnIndex(column);
    const void* blob = sqlite3_column_blob(m_stmt->stmt(), i);
    const int n = sqlite3_column_bytes(m_stmt->stmt(), i);
    return blob ? QByteArray(static_cast<const char*>(blob), n) : QByteArray();
}

bool Sqlite3Cursor::isNull(const QString& column) const {
    return sqlite3_column_type(m_stmt->stmt(), columnIndex(column)) == SQLITE_NULL;
}

QStringList Sqlite3Cursor::columnNames() const {
    QStringList names;
    if (m_stmt) {
        const int n = sqlite3_column_count(m_stmt->stmt());
        for (int i = 0; i < n; ++i) {
            names << QString::fromUtf8(sqlite3_column_name(m_stmt->stmt(), i));
        }
    }
    return names;
}

// ---- Sqlite3DB

Sqlite3DB::~Sqlite3DB() {
    close();
}

void Sqlite3DB::openThrow(const QString& path, int flags) {
    close();
    sqlite3* handle = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &handle, flags, nullptr);
    if (rc != SQLITE_OK) {
        const QString msg = QString::fromUtf8(handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
        sqlite3_close_v2(handle);
        throw std::runtime_error(
            QStringLiteral("SQLite error %1: %2 (open %3)").arg(rc).arg(msg, path).toUtf8().toStdString());
    }
    sqlite3_extended_result_codes(handle, 1);
    // Device databases may be busy briefly when another connection checkpoints.
    sqlite3_busy_timeout(handle, 5000);
    db = handle;
}

std::shared_ptr<Sqlite3Stmt> Sqlite3DB::prepareThrow(const Sqlite3Sql& sql) {
    if (!db) {
        throw std::runtime_error("SQLite error: database is not open");
    }
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.sql().constData(), static_cast<int>(sql.sql().size()), &stmt, &tail);
    if (rc != SQLITE_OK) {
        throw sqliteError(db, rc, sql.sql());
    }
    auto holder = std::make_shared<Sqlite3Stmt>(db, stmt);
    if (!stmt) {
        throw std::runtime_error(QStringLiteral("SQLite error: empty statement (%1)")
                                     .arg(QString::fromUtf8(sql.sql()))
                                     .toUtf8()
                                     .toStdString());
    }
    // Only one statement per call: a second one in the tail would be silently ignored.
    if (tail) {
        const QByteArray rest = QByteArray(tail).trimmed();
        if (!rest.isEmpty() && rest != ";") {
            throw std::runtime_error(QStringLiteral("SQLite error: more than one statement (%1)")
                                         .arg(QString::fromUtf8(sql.sql()))
                                         .toUtf8()
                                         .toStdString());
        }
    }
    bindThrow(db, stmt, sql);
    return holder;
}

void Sqlite3DB::executeThrow(const Sqlite3Sql& sql) {
    auto stmt = prepareThrow(sql);
    int rc;
    while ((rc = sqlite3_step(stmt->stmt())) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        throw sqliteError(db, rc, sql.sql());
    }
}

Sqlite3Cursor Sqlite3DB::queryThrow(const Sqlite3Sql& sql) {
    Sqlite3Cursor cursor;
    cursor.m_stmt = prepareThrow(sql);
    return cursor;
}

void Sqlite3DB::beginTran() {
    executeThrow("BEGIN IMMEDIATE");
}

void Sqlite3DB::commitTran() {
    executeThrow("COMMIT");
}

void Sqlite3DB::rollbackTran() {
    if (db && !sqlite3_get_autocommit(db)) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Sqlite3DB::close() {
    if (!db) {
        return;
    }
    // An unfinished transaction is rolled back, never committed behind the caller's back.
    rollbackTran();
    sqlite3_close_v2(db);
    db = nullptr;
}

qint64 Sqlite3DB::changes() const {
    return db ? sqlite3_changes64(db) : 0;
}

void Sqlite3DB::createFunctionThrow(const QString& name, int argCount, ScalarFunction function) {
    if (!db) {
        throw std::runtime_error("SQLite error: database is not open");
    }
    auto* holder = new ScalarFunction(std::move(function));
    const int rc = sqlite3_create_function_v2(db, name.toUtf8().constData(), argCount, SQLITE_ANY, holder,
                                              scalarTrampoline, nullptr, nullptr, destroyFunction);
    // On failure SQLite has already called destroyFunction.
    if (rc != SQLITE_OK) {
        throw sqliteError(db, rc, name.toUtf8());
    }
}
