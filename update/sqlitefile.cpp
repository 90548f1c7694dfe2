#include "sqlitefile.h"

#include "versionvalue.h"

#include <QFileInfo>
#include <QSqlQuery>
#include <QUrl>

#include <sqlite3.h>

using namespace Qt::StringLiterals;

namespace SqliteFile {

namespace {

// How long an update waits for another process (the analyser application) to release the
// file, and how long a look at the file waits for a writer's lock to go.
const int updateBusyTimeoutMs = 5000;
const int readBusyTimeoutMs = 1000;

int resultCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt();
}

} // namespace

QString sideFileName(const QString &fileName, SideFile sideFile)
{
    switch (sideFile) {
    case SideFile::Journal:
        return fileName + u"-journal"_s;
    case SideFile::WriteAheadLog:
        return fileName + u"-wal"_s;
    case SideFile::SharedMemory:
        break;
    }
    return fileName + u"-shm"_s;
}

QString uri(const QString &fileName, const QString &parameters)
{
    return u"file:"_s + QString::fromUtf8(QUrl::toPercentEncoding(fileName, "/")) + u'?'
        + parameters;
}

QString quoted(const QString &identifier)
{
    return u'"' + QString(identifier).replace(u'"', u"\"\""_s) + u'"';
}

QSqlDatabase addConnection(const QString &fileName, OpenMode mode, const QString &connectionName)
{
    QSqlDatabase db = connectionName.isEmpty()
        ? QSqlDatabase::addDatabase(u"QSQLITE"_s)
        : QSqlDatabase::addDatabase(u"QSQLITE"_s, connectionName);
    if (mode == OpenMode::ReadWrite) {
        db.setDatabaseName(fileName);
        db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=%1"_s.arg(updateBusyTimeoutMs));
        return db;
    }
    const QString parameters
        = mode == OpenMode::Immutable ? u"mode=ro&immutable=1"_s : u"mode=ro"_s;
    db.setDatabaseName(uri(fileName, parameters));
    db.setConnectOptions(
        u"QSQLITE_OPEN_URI;QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1"_s.arg(readBusyTimeoutMs));
    return db;
}

Connection::Connection(const QString &fileName, OpenMode mode)
{
    static int counter = 0;
    m_name = u"dbupdate-file-%1"_s.arg(++counter);
    QSqlDatabase db = addConnection(fileName, mode, m_name);
    m_open = db.open();
}

Connection::~Connection()
{
    QSqlDatabase::database(m_name, false).close();
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase Connection::database() const
{
    return QSqlDatabase::database(m_name, false);
}

Failure failureOf(const QSqlError &error)
{
    if (!error.isValid())
        return Failure::None;
    switch (resultCode(error) & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return Failure::Locked;
    case SQLITE_READONLY:
        return Failure::ReadOnly;
    case SQLITE_FULL:
        return Failure::OutOfRoom;
    case SQLITE_IOERR:
        return Failure::IoError;
    case SQLITE_CORRUPT:
        return Failure::Corrupt;
    case SQLITE_NOTADB:
        return Failure::NotADatabase;
    case SQLITE_CANTOPEN:
        return Failure::CannotOpen;
    case SQLITE_NOMEM:
        return Failure::OutOfMemory;
    case SQLITE_INTERRUPT:
        return Failure::Interrupted;
    default:
        return Failure::Statement;
    }
}

bool needsJournalPlayback(const QSqlError &error)
{
    return resultCode(error) == SQLITE_READONLY_ROLLBACK;
}

bool isFatal(Failure failure)
{
    return failure != Failure::None && failure != Failure::Statement;
}

StoredVersion readStoredVersion(const QSqlDatabase &db)
{
    StoredVersion stored;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(u"select version from version order by version desc"_s)) {
        // No version table: a first-generation file.
        if (failureOf(query.lastError()) == Failure::Statement)
            stored = {0, u"0"_s, {}, {}};
        else
            stored.error = query.lastError();
        return stored;
    }
    if (!query.next()) {
        if (query.lastError().isValid())
            stored.error = query.lastError();
        else
            stored = {0, u"0"_s, {}, {}};
        return stored;
    }
    const VersionValue value = versionFromValue(query.value(0));
    stored.version = value.version;
    stored.shown = value.shown;
    stored.problem = value.problem;
    return stored;
}

// The program that EXPLAIN lists holds the program of each trigger the statement sets off,
// which begins with an Init whose comment names the trigger. Placeholders are bound to null.
StatementCheck checkStatement(const QSqlDatabase &db, const QString &statement)
{
    StatementCheck check;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(u"explain "_s + statement) || !query.exec()) {
        check.error = query.lastError();
        return check;
    }
    const QString triggerComment = u"-- TRIGGER "_s;
    while (query.next()) {
        const QString comment = query.value(u"p4"_s).toString();
        if (query.value(u"opcode"_s).toString() == u"Init"_s && comment.startsWith(triggerComment))
            check.triggers << comment.mid(triggerComment.size());
    }
    return check;
}

bool tableExists(const QSqlDatabase &db, const QString &name)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(
        u"select 1 from sqlite_master where type = 'table' and name = ? collate nocase"_s);
    query.addBindValue(name);
    return query.exec() && query.next();
}

std::optional<qint64> rowCount(const QSqlDatabase &db, const QString &table,
                               const QString &condition)
{
    if (table.isEmpty() || !tableExists(db, table))
        return std::nullopt;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const QString where = condition.isEmpty() ? QString() : u" where "_s + condition;
    if (!query.exec(u"select count(*) from "_s + quoted(table) + where) || !query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

} // namespace SqliteFile
