#include "sqlitefile.h"

#include "diskroom.h"
#include "filename.h"

#include <QCoreApplication>
#include <QMap>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlQuery>

#include <sqlite3.h>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace SqliteFile {

namespace {

// How long an update waits for another process (the analyser application) to release the
// file, and how long a look at the file waits for a writer's lock to go.
const int updateBusyTimeoutMs = 5000;
const int readBusyTimeoutMs = 1000;

// The operating systems give up on longer chains of symbolic links.
const int maxLinkChain = 40;

int resultCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt();
}

StoredVersion clamped(qlonglong version, const QString &shown)
{
    return {qint32(qBound(qlonglong(std::numeric_limits<qint32>::min()), version,
                          qlonglong(std::numeric_limits<qint32>::max()))),
            shown};
}

StoredVersion refused(const QString &problem)
{
    return {std::nullopt, {}, {}, problem};
}

// The stored version that a value of a version table stands for: integers as they are, clamped
// to 32 bits; integral reals and integer texts (blanks around them allowed, as SQLite's own
// conversion allows) as that number. Anything else stands for no version, and problem says
// what the value is, e.g. "the real 1.5, which is not a whole number".
StoredVersion versionFromValue(const QVariant &value)
{
    if (value.isNull())
        return refused(u"null, which is not a version number"_s);
    switch (value.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::Int:
        return clamped(value.toLongLong(), QString::number(value.toLongLong()));
    case QMetaType::Double: {
        const double real = value.toDouble();
        if (!std::isfinite(real) || std::trunc(real) != real)
            return refused(u"the real %1, which is not a whole number"_s.arg(real));
        // Beyond the 64-bit range every version is clamped the same way.
        if (std::fabs(real) >= 9.2e18)
            return clamped(real < 0 ? std::numeric_limits<qlonglong>::min()
                                    : std::numeric_limits<qlonglong>::max(),
                           QString::number(real, 'g', 17));
        return clamped(qlonglong(real), QString::number(qlonglong(real)));
    }
    case QMetaType::QString: {
        // The blanks SQLite skips around a number held as text.
        static const QRegularExpression sqlBlanks(
            u"^[ \\t\\n\\f\\r\\x0b]+|[ \\t\\n\\f\\r\\x0b]+$"_s);
        const QString text = value.toString().remove(sqlBlanks);
        bool isInteger = false;
        const qlonglong version = text.toLongLong(&isInteger);
        if (isInteger && !text.front().isSpace() && !text.back().isSpace())
            return clamped(version, QString::number(version));
        // A NUL would end the line wherever the text is written as a C string.
        return refused(u"the text '%1', which is not a whole number"_s.arg(
            value.toString().replace(QChar(u'\0'), u"\\x00"_s)));
    }
    default:
        return refused(u"a blob, which is not a version number"_s);
    }
}

// What lies at the path instead of a regular file; empty for a regular file or nothing. A
// symbolic link counts where the entry itself is asked about: SQLite would write where it leads.
QString nonRegularText(FileName::Type type)
{
    static const QMap<FileName::Type, QString> texts
        = {{FileName::Type::SymbolicLink, u"a symbolic link"_s},
           {FileName::Type::Directory, u"a directory"_s},
           {FileName::Type::Other, u"a FIFO, socket or device"_s}};
    return texts.value(type);
}

// SQLite opens a file by its full path with every symbolic link followed, and only when the
// full path of its journal, eight bytes longer, fits the longest path its file system layer
// takes.
QString pathLengthProblem(const QString &fileName)
{
    sqlite3_vfs *const vfs = sqlite3_vfs_find(nullptr);
    if (!vfs)
        return QString();
    const int longest = vfs->mxPathname - int(qstrlen("-journal"));
    QByteArray fullPath(vfs->mxPathname + 1, '\0');
    const int result = vfs->xFullPathname(vfs, FileName::toBytes(fileName).constData(),
                                          int(fullPath.size()), fullPath.data());
    // A path that does not fit at all is measured here; one that fails for a chain of links
    // that leads back into itself is no longer than its name.
    const qsizetype length = result == SQLITE_OK || result == SQLITE_OK_SYMLINK
        ? qsizetype(qstrlen(fullPath.constData()))
        : FileName::toBytes(FileName::canonical(fileName)).size();
    if (length <= longest)
        return QString();
    return u"its full path is %1 bytes long, and SQLite opens no file whose full path is longer "
           u"than %2 bytes"_s.arg(QString::number(length), QString::number(longest));
}

sqlite3 *handleOf(const QSqlDatabase &db)
{
    return *static_cast<sqlite3 *const *>(db.driver()->handle().constData());
}

// The tables that a statement updates or deletes from, empty for one of another database than
// the file's own, and the columns it sets, as SQLite authorises them while it prepares the
// statement; what the triggers it sets off write is not the statement's own.
struct Changes
{
    QStringList tables;
    QStringList columns;
};

int noteChange(void *changes, int action, const char *table, const char *column,
               const char *database, const char *trigger)
{
    auto *noted = static_cast<Changes *>(changes);
    if ((action == SQLITE_UPDATE || action == SQLITE_DELETE) && !trigger) {
        noted->tables << (qstrcmp(database, "main") == 0 ? QString::fromUtf8(table) : QString());
        if (column)
            noted->columns << QString::fromUtf8(column);
    }
    return SQLITE_OK;
}

} // namespace

QString resolvedPath(const QString &fileName)
{
    QString path = fileName;
    for (int i = 0; i < maxLinkChain; ++i) {
        if (FileName::entryType(path) != FileName::Type::SymbolicLink)
            return path;
        path = FileName::linkTarget(path);
    }
    return QString();
}

QString sideFileName(const QString &fileName, SideFile sideFile)
{
    const QString resolved = resolvedPath(fileName);
    const QString name = resolved.isEmpty() ? fileName : resolved;
    switch (sideFile) {
    case SideFile::Journal:
        break;
    case SideFile::WriteAheadLog:
        return name + u"-wal"_s;
    case SideFile::SharedMemory:
        return name + u"-shm"_s;
    }
    return name + u"-journal"_s;
}

QString sideFileKind(SideFile sideFile)
{
    switch (sideFile) {
    case SideFile::Journal:
        break;
    case SideFile::WriteAheadLog:
        return u"write-ahead log"_s;
    case SideFile::SharedMemory:
        return u"write-ahead log index"_s;
    }
    return u"journal"_s;
}

// The read and write versions in the database header are 2 for write-ahead-log mode.
bool usesWriteAheadLog(const QString &fileName)
{
    const QByteArray header = FileName::leadingBytes(fileName, 20);
    return header.size() >= 20 && header.startsWith(headerMagic)
        && (header.at(18) == 2 || header.at(19) == 2);
}

Journal journalBeside(const QString &fileName)
{
    const QByteArray first = FileName::leadingBytes(sideFileName(fileName, SideFile::Journal), 1);
    if (first.isEmpty())
        return Journal::None;
    return first.at(0) == 0 ? Journal::Unfinished : Journal::Complete;
}

OpenProblem openProblem(const QString &fileName, bool onlyRead)
{
    using FileName::Access;
    if (const QString tooLong = pathLengthProblem(fileName); !tooLong.isEmpty())
        return {Failure::CannotOpen, tooLong};
    const QString target = resolvedPath(fileName);
    if (target.isEmpty())
        return {Failure::CannotOpen, u"it is a symbolic link that leads back to itself"_s};
    // Only the types are asked first: reading a FIFO would wait for a writer.
    if (const QString entry = nonRegularText(FileName::type(fileName)); !entry.isEmpty())
        return {Failure::CannotOpen, u"it is %1, not a regular file"_s.arg(entry)};
    if (const QString error = FileName::accessError(fileName, Access::Read); !error.isEmpty())
        return {Failure::CannotOpen, u"it cannot be read (%1)"_s.arg(error)};
    if (runOpenMode(fileName, onlyRead) != OpenMode::ReadWrite)
        return {};
    // A file in rollback mode keeps a log only once every page of it was written back, so a log
    // beside it, which SQLite knows by its magic number and would play into the file, is spent
    // or another file's.
    const bool logMode = usesWriteAheadLog(fileName);
    const QString log = sideFileName(fileName, SideFile::WriteAheadLog);
    static const QByteArrayList logMagics
        = {QByteArray("\x37\x7f\x06\x82", 4), QByteArray("\x37\x7f\x06\x83", 4)};
    if (!logMode && logMagics.contains(FileName::leadingBytes(log, 4))) {
        return {
            Failure::CannotOpen,
            u"the write-ahead log %1 does not belong to the file as it stands, which is not in "
            u"write-ahead-log mode: move the log away before a run"_s.arg(FileName::shown(log))};
    }
    // SQLite opens the journal and the log whenever they are there, and the log's index whenever
    // the file is in write-ahead-log mode or a log lies beside it.
    const bool hasLog = FileName::exists(log);
    for (const SideFile sideFile : sideFiles) {
        if (sideFile == SideFile::SharedMemory && !logMode && !hasLog)
            continue;
        const QString side = sideFileName(fileName, sideFile);
        const QString named = sideFileKind(sideFile) + u' ' + FileName::shown(side);
        if (const QString entry = nonRegularText(FileName::entryType(side)); !entry.isEmpty())
            return {Failure::CannotOpen, u"its %1 is %2, not a regular file"_s.arg(named, entry)};
        if (const QString error = FileName::accessError(side, Access::Write); !error.isEmpty())
            return {Failure::NotWritable, u"its %1 cannot be written (%2)"_s.arg(named, error)};
    }
    if (const QString error = FileName::accessError(fileName, Access::Write); !error.isEmpty())
        return {Failure::NotWritable, u"it cannot be written (%1)"_s.arg(error)};
    // SQLite makes files in the directory of the file a name leads to: the file itself when it
    // is missing, a journal in rollback mode, a write-ahead log or its index when one is missing.
    // It deletes a journal once it has played it back, and in rollback mode at each commit.
    if (!logMode || !hasLog || !FileName::exists(sideFileName(fileName, SideFile::SharedMemory))) {
        const QString directory = FileName::directoryOf(target);
        const QString shown = FileName::shown(directory);
        if (FileName::type(directory) != FileName::Type::Directory)
            return {Failure::CannotOpen, u"its directory %1 does not exist"_s.arg(shown)};
        if (const QString error = FileName::accessError(directory, Access::Write); !error.isEmpty())
            return {Failure::NotWritable,
                    u"its directory %1 cannot be written (%2)"_s.arg(shown, error)};
        if (DiskRoom::freeEntries(directory) == 0) {
            return {Failure::OutOfRoom,
                    u"no file can be made in its directory %1: its volume has no free inode"_s.arg(
                        shown)};
        }
    }
    if (logMode && journalBeside(fileName) != Journal::Complete)
        return {};
    const QString journal = sideFileName(fileName, SideFile::Journal);
    if (const QString error = FileName::accessError(journal, Access::Delete); !error.isEmpty())
        return {Failure::NotWritable,
                u"its journal %1 cannot be deleted (%2)"_s.arg(FileName::shown(journal), error)};
    return {};
}

OpenMode runOpenMode(const QString &fileName, bool onlyRead)
{
    return onlyRead && FileName::type(fileName) == FileName::Type::RegularFile
        ? OpenMode::Immutable
        : OpenMode::ReadWrite;
}

QString quoted(const QString &identifier)
{
    return u'"' + QString(identifier).replace(u'"', u"\"\""_s) + u'"';
}

QSqlDatabase addConnection(const QString &fileName, OpenMode mode, const QString &connectionName)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connectionName);
    const bool readOnly = mode != OpenMode::ReadWrite;
    // A URI, read as one with QSQLITE_OPEN_URI, brings the name's bytes to SQLite as they are.
    const QString uri
        = u"file:"_s + QString::fromLatin1(FileName::toBytes(fileName).toPercentEncoding("/"));
    db.setDatabaseName(uri
                       + (mode == OpenMode::Immutable ? u"?mode=ro&immutable=1"_s
                              : readOnly              ? u"?mode=ro"_s
                                                      : QString()));
    db.setConnectOptions(u"QSQLITE_OPEN_URI;%1QSQLITE_BUSY_TIMEOUT=%2"_s.arg(
        readOnly ? u"QSQLITE_OPEN_READONLY;"_s : QString(),
        QString::number(readOnly ? readBusyTimeoutMs : updateBusyTimeoutMs)));
    return db;
}

Connection::Connection(const QString &fileName, OpenMode mode)
{
    static int counter = 0;
    m_name = u"dbupdate-file-%1"_s.arg(++counter);
    addConnection(fileName, mode, m_name).open();
}

Connection::~Connection()
{
    database().close();
    QSqlDatabase::removeDatabase(m_name);
}

Failure failureOf(const QSqlError &error)
{
    static const QMap<int, Failure> failures
        = {{SQLITE_BUSY, Failure::Locked},          {SQLITE_LOCKED, Failure::Locked},
           {SQLITE_READONLY, Failure::NotWritable}, {SQLITE_FULL, Failure::OutOfRoom},
           {SQLITE_IOERR, Failure::IoError},        {SQLITE_CORRUPT, Failure::Corrupt},
           {SQLITE_NOTADB, Failure::NotADatabase},  {SQLITE_CANTOPEN, Failure::CannotOpen},
           {SQLITE_NOMEM, Failure::OutOfMemory},    {SQLITE_INTERRUPT, Failure::Interrupted}};
    if (!error.isValid())
        return Failure::None;
    return failures.value(resultCode(error) & 0xff, Failure::Statement);
}

bool isUnsyncedDeletion(const QSqlError &error)
{
    return resultCode(error) == SQLITE_IOERR_DIR_FSYNC;
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
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const bool ran = query.exec(u"select version from version order by version desc"_s);
    if (ran && query.next()) {
        StoredVersion stored = versionFromValue(query.value(0));
        stored.value = query.value(0);
        return stored;
    }
    // No version table, or no row in it: a first-generation file.
    if (!query.lastError().isValid()
        || (!ran && failureOf(query.lastError()) == Failure::Statement))
        return {0, u"0"_s};
    return {std::nullopt, {}, {}, {}, query.lastError()};
}

// The program that EXPLAIN lists holds the program of each trigger the statement sets off,
// which begins with an Init whose comment names the trigger, a halt with SQLITE_CONSTRAINT,
// extended by its kind, for each constraint it enforces, and a TypeCheck naming each STRICT
// table whose column types the values it writes must fit. Placeholders are bound to null.
StatementCheck checkStatement(const QSqlDatabase &db, const QString &statement)
{
    QSqlQuery query = select(db, u"explain "_s + statement);
    if (!query.isActive())
        return {query.lastError()};
    StatementCheck check;
    const QString triggerComment = u"-- TRIGGER "_s;
    QStringList writtenPages;
    while (query.next()) {
        const QString opcode = query.value(u"opcode"_s).toString();
        const QString comment = query.value(u"p4"_s).toString();
        if (opcode == u"Init"_s && comment.startsWith(triggerComment))
            check.triggers << comment.mid(triggerComment.size());
        if (opcode.startsWith(u"Halt"_s)
            && (query.value(u"p1"_s).toInt() & 0xff) == SQLITE_CONSTRAINT)
            check.constraints << comment;
        if (opcode == u"TypeCheck"_s)
            check.constraints << u"STRICT column types of table "_s + comment;
        if (opcode == u"OpenWrite"_s)
            writtenPages << query.value(u"p2"_s).toString();
    }
    // SQLite leaves out the CHECK constraints of a file it opened read-only: the tables written
    // tell whether they have any.
    static const QRegularExpression checkClause(u"\\bcheck\\s*\\("_s,
                                                QRegularExpression::CaseInsensitiveOption);
    query.exec(
        u"select name, sql from sqlite_master where type = 'table' and rootpage in (%1)"_s.arg(
            writtenPages.join(u',')));
    while (query.next()) {
        if (query.value(1).toString().contains(checkClause))
            check.constraints << u"CHECK of table "_s + query.value(0).toString();
    }
    return check;
}

// The statement runs on a view of its table in the temporary database, which is held in memory,
// and a trigger on the view counts the rows; the savepoint around them takes all of it back.
std::optional<qint64> rowsChangedBy(const QSqlDatabase &db, const QString &statement,
                                    const std::function<bool()> &run)
{
    Changes changes;
    sqlite3_set_authorizer(handleOf(db), noteChange, &changes);
    const bool prepared = !Statement(db, statement).error().isValid();
    sqlite3_set_authorizer(handleOf(db), nullptr, nullptr);
    changes.tables.removeDuplicates();
    if (!prepared || changes.tables.size() != 1 || changes.tables.first().isEmpty())
        return std::nullopt;
    const QString table = quoted(changes.tables.first());
    QStringList differing;
    for (const QString &column : changes.columns)
        differing << u"old.%1 is not new.%1"_s.arg(quoted(column));
    const QString when = differing.isEmpty() ? QString() : u" when "_s + differing.join(u" or "_s);
    QSqlQuery query(db);
    const auto ran = [&query](const QString &text) { return query.exec(text); };
    if (!ran(u"pragma temp_store = memory"_s) || !ran(u"savepoint rows_changed"_s))
        return std::nullopt;
    std::optional<qint64> rows;
    if (ran(u"create temp view %1 as select * from main.%1"_s.arg(table))
        && ran(u"create temp table rows_changed(row)"_s)
        && ran(u"create temp trigger count_rows_changed instead of %1 on %2%3 begin insert into "
               u"rows_changed values (1); end"_s.arg(
                   differing.isEmpty() ? u"delete"_s : u"update"_s, table, when))
        && (run ? run() : ran(statement)) && ran(u"select count(*) from rows_changed"_s)
        && query.next())
        rows = query.value(0).toLongLong();
    ran(u"rollback to rows_changed"_s);
    ran(u"release rows_changed"_s);
    return rows;
}

QSqlQuery select(const QSqlDatabase &db, const QString &statement, const QVariantList &values)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (query.prepare(statement)) {
        for (const QVariant &value : values)
            query.addBindValue(value);
        query.exec();
    }
    return query;
}

bool tableExists(const QSqlDatabase &db, const QString &name)
{
    QSqlQuery query = select(
        db, u"select 1 from sqlite_master where type = 'table' and name = ? collate nocase"_s,
        {name});
    return query.next();
}

std::optional<qint64> rowCount(const QSqlDatabase &db, const QString &table,
                               const QString &condition)
{
    if (table.isEmpty() || !tableExists(db, table))
        return std::nullopt;
    const QString where = condition.isEmpty() ? QString() : u" where "_s + condition;
    QSqlQuery query = select(db, u"select count(*) from "_s + quoted(table) + where);
    if (!query.next())
        return std::nullopt;
    return query.value(0).toLongLong();
}

Statement::Statement(const QSqlDatabase &db, const QString &text)
    : m_db(handleOf(db))
    , m_text(text)
{
    const QByteArray utf8 = text.toUtf8();
    const int result
        = sqlite3_prepare_v2(m_db, utf8.constData(), int(utf8.size()), &m_statement, nullptr);
    if (result != SQLITE_OK)
        setError("Unable to execute statement", QSqlError::StatementError, result);
}

Statement::~Statement()
{
    sqlite3_finalize(m_statement);
}

bool Statement::run(std::initializer_list<const sqlite3_value *> values)
{
    if (m_error.isValid())
        return false;
    sqlite3_reset(m_statement);
    int index = 0;
    for (const sqlite3_value *value : values)
        sqlite3_bind_value(m_statement, ++index, value);
    return next();
}

bool Statement::next()
{
    const int result = sqlite3_step(m_statement);
    m_row = result == SQLITE_ROW;
    if (!m_row && result != SQLITE_DONE)
        setError("Unable to fetch row", QSqlError::ConnectionError, result);
    return !m_error.isValid();
}

Statement::Value Statement::value(int column) const
{
    sqlite3_value *const copy = sqlite3_value_dup(sqlite3_column_value(m_statement, column));
    Q_CHECK_PTR(copy);
    return Value(copy, sqlite3_value_free);
}

// Text is read as its bytes, an integer as its digits, a real as the digits that read back as it.
QByteArray Statement::key(int column) const
{
    const int type = sqlite3_column_type(m_statement, column);
    if (type == SQLITE_FLOAT)
        return char(type) + QByteArray::number(sqlite3_column_double(m_statement, column), 'g', 17);
    return char(type)
        + QByteArray(static_cast<const char *>(sqlite3_column_blob(m_statement, column)),
                     sqlite3_column_bytes(m_statement, column));
}

void Statement::setError(const char *driverText, QSqlError::ErrorType type, int result)
{
    m_error = QSqlError(QCoreApplication::translate("QSQLiteResult", driverText),
                        QString(static_cast<const QChar *>(sqlite3_errmsg16(m_db))), type,
                        QString::number(result));
}

} // namespace SqliteFile
