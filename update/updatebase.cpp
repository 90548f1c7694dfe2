#include "updatebase.h"

#include "faultinjection.h"
#include "versionvalue.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

const char baseLabel[] = ".\\updatebase";

// How long to wait for another process (the analyser application) to release the file.
const int lockTimeoutMs = 5000;

QString statementFailureLine(const QString &errorText, const QString &statement, const char *label,
                             int line)
{
    // Eight items, each followed by one blank, nothing trimmed.
    const QStringList items = {QString::fromLatin1(label),
                               u"("_s,
                               QString::number(line),
                               u"): "_s,
                               errorText,
                               u": ["_s,
                               statement,
                               u"]"_s};
    return items.join(u' ') + u' ';
}

void logStatementError(const QSqlError &error, const QString &statement, const char *label,
                       int line)
{
    qWarning("%s", qUtf8Printable(statementFailureLine(error.text(), statement, label, line)));
}

// SQLite's primary result code of an error, without its extended bits.
int primaryCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & 0xff;
}

bool isBusy(const QSqlError &error)
{
    const int code = primaryCode(error);
    return code == 5 || code == 6; // SQLITE_BUSY, SQLITE_LOCKED
}

bool isFatal(const QSqlError &error)
{
    switch (primaryCode(error)) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
    case 7: // SQLITE_NOMEM
    case 8: // SQLITE_READONLY
    case 9: // SQLITE_INTERRUPT
    case 10: // SQLITE_IOERR
    case 11: // SQLITE_CORRUPT
    case 13: // SQLITE_FULL
    case 14: // SQLITE_CANTOPEN
    case 26: // SQLITE_NOTADB
        return true;
    default:
        return false;
    }
}

// The driver reads an empty blob as a null byte array, which it would bind as NULL.
QVariant bindableValue(const QVariant &value)
{
    if (!value.isNull() && value.typeId() == QMetaType::QByteArray && value.toByteArray().isNull())
        return QByteArray("", 0);
    return value;
}

} // namespace

QString fileUri(const QString &fileName, const QString &parameters)
{
    return u"file:"_s + QString::fromUtf8(QUrl::toPercentEncoding(fileName, "/")) + u'?'
        + parameters;
}

void logQueryError(const QSqlQuery &query, const char *label, int line)
{
    logStatementError(query.lastError(), query.lastQuery(), label, line);
}

UpdateBase::UpdateBase(const QString &fileName, QObject *parent, Access access)
    : QObject(parent)
    , m_fileName(fileName)
    , m_readOnly(access == Access::ReadOnly)
{
    if (!openFile())
        return;
    if (access == Access::ReadWrite && !beginTransaction())
        return;
    limitFileGrowth(m_fileName);
    m_ready = readStoredVersion();
}

UpdateBase::~UpdateBase()
{
    if (m_inTransaction)
        rollback();
}

bool UpdateBase::openFile()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s);
    if (m_readOnly && QFileInfo(m_fileName).isFile()) {
        // Nothing may be written: no journal or write-ahead log lying next to the file is played
        // into it, and no lock or shared-memory file is taken or created.
        db.setDatabaseName(fileUri(m_fileName, u"mode=ro&immutable=1"_s));
        db.setConnectOptions(u"QSQLITE_OPEN_URI;QSQLITE_OPEN_READONLY"_s);
    } else {
        db.setDatabaseName(m_fileName);
        db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=%1"_s.arg(lockTimeoutMs));
    }
    if (!db.open()) {
        qWarning("Can't open %s: %s", qUtf8Printable(m_fileName),
                 qUtf8Printable(db.lastError().text()));
        return false;
    }
    // Renames must leave the bodies of other triggers and of views as they are. The tables this
    // program drops hold rows it has copied elsewhere: overwriting their freed pages with zeros
    // (the library's build default) only costs time and journal writes. Up to 32 MiB of changed
    // pages stay in memory before any is written out ahead of the commit: each such spill syncs
    // the journal first, which costs milliseconds on flash storage. Unlike cache_size, this
    // setting reads nothing from the file.
    for (const QString &pragma : {u"PRAGMA legacy_alter_table=ON"_s, u"PRAGMA secure_delete=FAST"_s,
                                  u"PRAGMA cache_spill=-32768"_s}) {
        QSqlQuery query(db);
        if (!query.exec(pragma)) {
            warnFileLeft(query.lastError().text());
            return false;
        }
    }
    return true;
}

bool UpdateBase::beginTransaction()
{
    QSqlQuery query(QSqlDatabase::database());
    if (!query.exec(u"BEGIN IMMEDIATE"_s)) {
        warnFileLeft(isBusy(query.lastError()) ? u"it is locked by another process"_s
                                               : query.lastError().text());
        return false;
    }
    m_inTransaction = true;
    return probeWriteAccess();
}

// A file that can be read but not written (read-only file, directory without room for the
// journal) still grants the lock; a rolled-back write of the header tells.
bool UpdateBase::probeWriteAccess()
{
    QSqlQuery query(QSqlDatabase::database());
    if (!query.exec(u"PRAGMA user_version"_s) || !query.next()) {
        warnFileLeft(query.lastError().text());
        rollback();
        return false;
    }
    const QString userVersion = query.value(0).toString();
    query.finish();
    const bool writable = query.exec(u"SAVEPOINT write_probe"_s)
        && query.exec(u"PRAGMA user_version=%1"_s.arg(userVersion));
    const QSqlError error = query.lastError();
    QSqlQuery undo(QSqlDatabase::database());
    undo.exec(u"ROLLBACK TO write_probe"_s);
    undo.exec(u"RELEASE write_probe"_s);
    if (!writable) {
        warnFileLeft(isBusy(error) ? u"it is locked by another process"_s
                                   : u"it cannot be written (%1)"_s.arg(error.text()));
        rollback();
        return false;
    }
    return true;
}

bool UpdateBase::readStoredVersion()
{
    QSqlQuery query(QSqlDatabase::database());
    query.setForwardOnly(true);
    if (!query.exec(u"select version from version order by version desc"_s)) {
        // No version table gives version 0; a file that cannot be read gives nothing to act on.
        if (primaryCode(query.lastError()) == 1)
            return true;
        warnFileLeft(query.lastError().text());
        return false;
    }
    if (!query.next())
        return true;
    const VersionValue value = versionFromValue(query.value(0));
    if (!value.version) {
        warnFileLeft(u"its version table holds "_s + value.problem);
        return false;
    }
    m_storedVersion = *value.version;
    return true;
}

void UpdateBase::warnFileLeft(const QString &reason) const
{
    if (m_readOnly) {
        // A file that is only read has nothing to protect: the run goes on without it.
        qWarning("Can't read %s: %s; the file was left as it is and the run goes on",
                 qUtf8Printable(m_fileName), qUtf8Printable(reason));
        return;
    }
    qWarning("Can't update %s: %s; the file was left as it is", qUtf8Printable(m_fileName),
             qUtf8Printable(reason));
}

bool UpdateBase::run()
{
    if (!m_ready) {
        if (m_inTransaction)
            rollback();
        return m_readOnly;
    }
    const bool succeeded = update() && commitChanges();
    if (m_aborted) {
        warnFileLeft(m_failureReason);
        return false;
    }
    if (succeeded)
        return true;
    if (!m_keptWork.isEmpty()) {
        qWarning("Can't update %s: %s; %s", qUtf8Printable(m_fileName),
                 qUtf8Printable(m_failureReason), qUtf8Printable(m_keptWork));
        return false;
    }
    if (m_inTransaction)
        rollback();
    warnFileLeft(m_failureReason.isEmpty() ? u"its update failed"_s : m_failureReason);
    return false;
}

bool UpdateBase::fail(const QString &reason)
{
    // An abort's own reason is the one to report.
    if (!m_aborted)
        m_failureReason = reason;
    return false;
}

bool UpdateBase::keepWork(const QString &keptWork)
{
    if (commitChanges())
        m_keptWork = keptWork;
    return false;
}

bool UpdateBase::commitChanges()
{
    if (!m_inTransaction)
        return true;
    QSqlQuery query(QSqlDatabase::database());
    const bool committed = query.exec(u"COMMIT"_s);
    statementDone();
    if (!committed) {
        rollback();
        m_aborted = true;
        m_failureReason = u"its changes could not be saved (%1)"_s.arg(query.lastError().text());
        return false;
    }
    m_inTransaction = false;
    return true;
}

void UpdateBase::rollback()
{
    QSqlQuery query(QSqlDatabase::database());
    query.exec(u"ROLLBACK"_s);
    m_inTransaction = false;
}

bool UpdateBase::runQuery(QSqlQuery &query, const QString &text)
{
    if (m_aborted)
        return false;
    const bool succeeded = text.isNull() ? query.exec() : query.exec(text);
    statementDone();
    if (!succeeded)
        checkFailure(query);
    return succeeded;
}

// Errors after which the file's state is in doubt: a full disk, an I/O error, a lost lock,
// corruption. SQLite may even have rolled the whole transaction back by itself, so that the
// statements that follow would write outside of it; the update stops and is undone.
void UpdateBase::checkFailure(const QSqlQuery &query)
{
    if (!m_inTransaction)
        return;
    if (!isFatal(query.lastError()) && !transactionWasUndone())
        return;
    rollback();
    m_aborted = true;
    m_failureReason = query.lastError().text();
}

// A BEGIN succeeds only outside of a transaction.
bool UpdateBase::transactionWasUndone() const
{
    QSqlQuery probe(QSqlDatabase::database());
    if (!probe.exec(u"BEGIN"_s))
        return false;
    probe.exec(u"ROLLBACK"_s);
    return true;
}

bool UpdateBase::exec(const QString &statement, const char *label, int line)
{
    tryExec(statement, label, line);
    return true;
}

bool UpdateBase::tryExec(const QString &statement, const char *label, int line)
{
    if (m_aborted)
        return false;
    QSqlQuery query(QSqlDatabase::database());
    if (runQuery(query, statement))
        return true;
    logQueryError(query, label, line);
    return false;
}

bool UpdateBase::tableExists(const QString &name) const
{
    return QSqlDatabase::database().tables().contains(name, Qt::CaseInsensitive);
}

bool UpdateBase::renameTable(const QString &from, const QString &to)
{
    return exec(u"alter table %1 rename to %2"_s.arg(from, to), baseLabel, 39);
}

bool UpdateBase::copyTable(const QString &target, const QString &source, const QSqlRecord &extra,
                           const QStringList &dropped)
{
    const qint64 sourceRows = rowCount(source);
    const qint64 targetRows = rowCount(target);
    return copyTableRows(target, source, extra, dropped)
        && arrivedWhole(target, target, sourceRows, targetRows);
}

qint64 UpdateBase::rowCount(const QString &table)
{
    if (table.isEmpty() || !tableExists(table))
        return -1;
    const QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!runQuery(query,
                  u"select count(*) from "_s
                      + db.driver()->escapeIdentifier(table, QSqlDriver::TableName))
        || !query.next()) {
        return -1;
    }
    return query.value(0).toLongLong();
}

bool UpdateBase::arrivedWhole(const QString &copy, const QString &target, qint64 sourceRows,
                              qint64 targetRowsBefore)
{
    if (m_aborted)
        return false;
    if (sourceRows < 0 || targetRowsBefore < 0)
        return true;
    const qint64 arrived = rowCount(target) - targetRowsBefore;
    if (arrived >= sourceRows)
        return true;
    return fail(u"the copy of table %1 kept only %2 of its %3 rows (the table it went into "
                u"passed the others over)"_s.arg(copy)
                    .arg(qMax(arrived, qint64(0)))
                    .arg(sourceRows));
}

bool UpdateBase::copyTableRows(const QString &target, const QString &source,
                               const QSqlRecord &extra, const QStringList &dropped)
{
    if (m_aborted)
        return false;
    QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery select(db);
    select.setForwardOnly(true);
    if (!runQuery(select, u"select * from "_s + source)) {
        logQueryError(select, baseLabel, 47);
        return !m_aborted;
    }

    // With nothing to adjust, SQLite copies the rows itself, value for value. When that fails,
    // the rows are inserted one by one below, so that the rejected row is the one logged.
    if (extra.isEmpty() && dropped.isEmpty() && copyAllRows(target, source, select.record()))
        return true;
    if (m_aborted)
        return false;

    // Every row has the same fields, so the insert is prepared once and re-bound per row;
    // binding carries each value with its storage type (blobs stay blobs, reals exact).
    QSqlQuery insert(db);
    bool prepared = false;
    while (select.next()) {
        QSqlRecord row = select.record();
        for (const QString &name : dropped)
            row.remove(row.indexOf(name));
        for (int i = 0; i < extra.count(); ++i) {
            const QSqlField field = extra.field(i);
            const int index = row.indexOf(field.name());
            if (index < 0)
                row.append(field);
            else
                row.setValue(index, field.value());
        }
        if (!prepared) {
            prepared = insert.prepare(
                db.driver()->sqlStatement(QSqlDriver::InsertStatement, target, row, true));
        }
        for (int i = 0; i < row.count(); ++i)
            insert.bindValue(i, bindableValue(row.value(i)));
        if (!prepared || !runQuery(insert)) {
            // The log shows the driver's own insert text for the row.
            logStatementError(
                insert.lastError(),
                db.driver()->sqlStatement(QSqlDriver::InsertStatement, target, row, false),
                baseLabel, 69);
            return fail(u"the copy of table %1 failed"_s.arg(target));
        }
    }
    if (select.lastError().isValid()) {
        // Reading stopped part-way: the rows not yet read would be lost.
        checkFailure(select);
        logQueryError(select, baseLabel, 47);
        return fail(u"the copy of table %1 failed"_s.arg(target));
    }
    return true;
}

bool UpdateBase::canDropCopiedTable(const QString &table, const QString &oldTable,
                                    const QString &newTable)
{
    if (m_aborted || !tableExists(oldTable))
        return !m_aborted;
    const QSqlDatabase db = QSqlDatabase::database();
    const QSqlRecord carried = db.record(newTable);
    const QSqlRecord old = db.record(oldTable);
    const QString escapedTable = db.driver()->escapeIdentifier(oldTable, QSqlDriver::TableName);
    QStringList valuesLeft;
    for (int i = 0; i < old.count(); ++i) {
        const QString column = old.fieldName(i);
        if (carried.contains(column))
            continue;
        QSqlQuery query(db);
        query.setForwardOnly(true);
        const QString escapedColumn = db.driver()->escapeIdentifier(column, QSqlDriver::FieldName);
        if (!runQuery(
                query,
                u"select 1 from %1 where %2 is not null limit 1"_s.arg(escapedTable, escapedColumn))
            || query.next()) {
            valuesLeft << column;
        }
    }
    if (m_aborted)
        return false;
    if (!valuesLeft.isEmpty()) {
        return fail(u"the rebuild of table %1 would drop the values of its %2 %3"_s.arg(
            table, valuesLeft.size() == 1 ? u"column"_s : u"columns"_s, valuesLeft.join(u", "_s)));
    }
    warnAboutDroppedObjects(table, oldTable);
    return true;
}

// Indexes and triggers that the file itself defined on a rebuilt table go with the old table;
// the engineer learns which ones.
void UpdateBase::warnAboutDroppedObjects(const QString &table, const QString &oldTable)
{
    QSqlQuery query(QSqlDatabase::database());
    query.setForwardOnly(true);
    query.prepare(u"select type, name from sqlite_master where type in ('index', 'trigger') "
                  u"and tbl_name = ? collate nocase and sql is not null order by type, name"_s);
    query.addBindValue(oldTable);
    if (!runQuery(query))
        return;
    while (query.next()) {
        qWarning(
            "%s: the rebuild of table %s drops the file's own %s %s, which is not created again",
            qUtf8Printable(m_fileName), qUtf8Printable(table),
            qUtf8Printable(query.value(0).toString()), qUtf8Printable(query.value(1).toString()));
    }
}

bool UpdateBase::copyAllRows(const QString &target, const QString &source,
                             const QSqlRecord &columns)
{
    const QSqlDriver *driver = QSqlDatabase::database().driver();
    QStringList names;
    for (int i = 0; i < columns.count(); ++i)
        names << driver->escapeIdentifier(columns.fieldName(i), QSqlDriver::FieldName);
    const QString list = names.join(u", "_s);
    QSqlQuery insert(QSqlDatabase::database());
    return runQuery(insert, u"insert into %1 (%2) select %2 from %3"_s.arg(target, list, source));
}

// A block is a savepoint inside the file's transaction, so it needs no transaction of its own.
bool UpdateBase::beginBlock(const char *label, int line)
{
    return tryExec(u"SAVEPOINT block"_s, label, line);
}

bool UpdateBase::endBlock(const char *label, int line)
{
    return tryExec(u"RELEASE block"_s, label, line);
}

bool UpdateBase::rollbackBlock()
{
    QSqlQuery query(QSqlDatabase::database());
    return runQuery(query, u"ROLLBACK TO block"_s) && runQuery(query, u"RELEASE block"_s);
}

bool UpdateBase::isNewerThan(qint32 currentVersion) const
{
    if (m_storedVersion <= currentVersion)
        return false;
    qWarning("%s has version %d, newer than this program's %d: its version was left as it is",
             qUtf8Printable(m_fileName), m_storedVersion, currentVersion);
    return true;
}
