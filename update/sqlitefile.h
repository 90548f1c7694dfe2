#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

class QSqlQuery;
struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

// What this program knows about SQLite files: their names, their header, how to open them and
// how to read them. The run, --status, --dry-run and the tests all go through here.
namespace SqliteFile {

// The first 16 bytes of every SQLite database file.
inline constexpr QByteArrayView headerMagic("SQLite format 3\0", 16);

// The files SQLite keeps beside a database while it writes it, in the order of sideFiles.
enum class SideFile { Journal, WriteAheadLog, SharedMemory };
inline constexpr SideFile sideFiles[]
    = {SideFile::Journal, SideFile::WriteAheadLog, SideFile::SharedMemory};

// The path SQLite opens for the name: a symbolic link is followed to the end of its chain, as
// SQLite follows it, so that the side files lie beside the path returned. The name itself when
// it is no symbolic link; empty for a chain that leads back into itself.
QString resolvedPath(const QString &fileName);

// Where SQLite keeps the side file: "data.db-journal", "data.db-wal", "data.db-shm", beside the
// file a symbolic link leads to.
QString sideFileName(const QString &fileName, SideFile sideFile);
// What the side file is, as messages name it: "journal", "write-ahead log", "write-ahead log
// index".
QString sideFileKind(SideFile sideFile);

// The file's header says it is in write-ahead-log mode.
bool usesWriteAheadLog(const QString &fileName);

enum class Journal {
    None,
    Unfinished, // the header was never completed: SQLite ignores it when no one writes
    Complete, // the header is complete: an interrupted write's journal, or one in progress
};

// The journal beside the file, judged by its first byte: SQLite completes the header only
// before it changes the database file, and a journal whose first byte is zero is never
// played back.
Journal journalBeside(const QString &fileName);

// An identifier in double quotes, ready to be put into a statement.
QString quoted(const QString &identifier);

// How a connection opens its file.
enum class OpenMode {
    ReadWrite, // for an update, waiting a while for another process's lock
    // Read-only with the shared lock a reader takes: SQLite reports a lock held by a writer and
    // a journal that needs playing back, and plays back nothing itself.
    ReadOnly,
    Immutable, // no lock and no side file at all: the file's bytes as they lie
};

// How a run opens the file: a regular file that is only read as it lies (no journal or
// write-ahead log beside it is played into it, no lock or side file is taken or made), anything
// else for reading and writing, so that a missing file is created as every file of a run is,
// and anything that is no regular file fails as SQLite fails on it.
OpenMode runOpenMode(const QString &fileName, bool onlyRead);

// Registers a connection of the given name on the file; the caller opens it.
QSqlDatabase addConnection(const QString &fileName, OpenMode mode, const QString &connectionName);

// A connection of its own on a file, opened at once and removed again when it goes.
class Connection
{
public:
    Connection(const QString &fileName, OpenMode mode);
    ~Connection();
    Q_DISABLE_COPY(Connection)

    bool isOpen() const { return database().isOpen(); }
    QSqlDatabase database() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

// SQLite's primary result codes, grouped by what they mean to a run.
enum class Failure {
    None,
    Statement, // its own error: a missing table, a constraint, a syntax error
    Locked,
    NotWritable, // the file, its directory or a side file cannot be written
    OutOfRoom,
    IoError,
    Corrupt,
    NotADatabase,
    CannotOpen,
    OutOfMemory,
    Interrupted,
};

Failure failureOf(const QSqlError &error);
// True for a read-only connection that met a journal it would have to play back.
bool needsJournalPlayback(const QSqlError &error);
// True when the journal was deleted but the sync of its directory, which makes the deletion
// last, failed: the commit that the deletion is has happened.
bool isUnsyncedDeletion(const QSqlError &error);

// Errors after which the file's state is in doubt: the transaction may have been undone.
bool isFatal(Failure failure);

// Why a run cannot open or write the file, or must not let SQLite open it, found without opening
// the file or a side file: the path is longer than SQLite takes; the file cannot be read, or is
// no regular file; SQLite would wait on a FIFO or delete what it takes for a side file of its
// own, or play a write-ahead log into a file that is not in write-ahead-log mode; the file, a
// side file SQLite writes or the directory where it makes or deletes one cannot be written; or
// no file can be made there. The run, --status and --dry-run ask this once per file.
struct OpenProblem
{
    // What SQLite would meet: CannotOpen, NotWritable or OutOfRoom.
    Failure failure = Failure::None;
    QString reason;

    bool exists() const { return failure != Failure::None; }
};

// Only the path and the file itself for a file that a run reads as it lies (see runOpenMode),
// which takes no side file.
OpenProblem openProblem(const QString &fileName, bool onlyRead);

// The version stored in the file's version table: the highest row's value, 0 without a table
// or a row. A value that is no version number gives its description in problem; a file that
// cannot be read gives the error.
struct StoredVersion
{
    std::optional<qint32> version;
    QString shown; // the number as stored, for showing
    // The highest row's value as SQLite holds it; none without a version table or row.
    QVariant value;
    QString problem;
    QSqlError error;
    // Why a run refuses a file whose version table holds no version number.
    QString refusal() const { return QStringLiteral("its version table holds ") + problem; }
};

StoredVersion readStoredVersion(const QSqlDatabase &db);

// What a statement would meet in the file, found without running it: the error it cannot be
// prepared with (a missing table or column), or the triggers it would set off and the
// constraints it must pass ("version<4", "user.name", "STRICT column types of table variable"),
// whose verdict cannot be known without writing.
struct StatementCheck
{
    QSqlError error;
    QStringList triggers;
    QStringList constraints;
};

StatementCheck checkStatement(const QSqlDatabase &db, const QString &statement);

// The rows that an update of one table of the file would change (those in which it sets
// another value than one they hold, compared with IS NOT) or that a deletion from one would
// delete, counted without writing to the file: the statement runs, or run runs statements that
// change that table as it does, and is taken back. None for any other statement, and when they
// cannot be counted.
std::optional<qint64> rowsChangedBy(const QSqlDatabase &db, const QString &statement,
                                    const std::function<bool()> &run = {});

// A forward-only query that ran the statement with the values bound to its placeholders, in
// their order; its error tells when preparing, running or reading it failed.
QSqlQuery select(const QSqlDatabase &db, const QString &statement, const QVariantList &values = {});

// Table names are compared as SQLite compares them, without regard to case.
bool tableExists(const QSqlDatabase &db, const QString &name);

// The rows of the table that match the condition, if one is given; none when not countable.
std::optional<qint64> rowCount(const QSqlDatabase &db, const QString &table,
                               const QString &condition = QString());

// A statement run on the connection's own SQLite handle, so that the values it reads reach
// another statement as SQLite holds them: text that is not valid UTF-8 or holds a NUL, blobs,
// reals, integers and null alike, none of them turned into a QVariant and back. Its errors read
// as the driver's would.
class Statement
{
public:
    using Value = std::unique_ptr<sqlite3_value, void (*)(sqlite3_value *)>;

    // Prepares the statement; error() tells when that failed.
    Statement(const QSqlDatabase &db, const QString &text);
    ~Statement();
    Q_DISABLE_COPY(Statement)

    // Runs the statement anew with the values for its placeholders, in their order, up to its
    // first row; false after an error.
    bool run(std::initializer_list<const sqlite3_value *> values = {});
    // Steps to the next row, if there is one (see hasRow()); false after an error.
    bool next();
    bool hasRow() const { return m_row; }
    // A copy of the column's value in the current row.
    Value value(int column) const;
    // The column's storage class and bytes: values of one key are one value to SQLite. Read
    // after value().
    QByteArray key(int column) const;

    const QSqlError &error() const { return m_error; }
    const QString &text() const { return m_text; }

private:
    void setError(const char *driverText, QSqlError::ErrorType type, int result);

    sqlite3 *m_db;
    sqlite3_stmt *m_statement = nullptr;
    QString m_text;
    QSqlError m_error;
    bool m_row = false;
};

} // namespace SqliteFile

// The assay variables of profile.db that the fill of its update (see variablefill.cpp) would
// fill, counted as rowsChangedBy counts them.
std::optional<qint64> variablesFilledBy(const QSqlDatabase &db);
