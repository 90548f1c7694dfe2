#include "filestate.h"

#include "layoutcheck.h"
#include "updatebase.h"
#include "versionvalue.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

const int busyTimeoutMs = 1000;
const int sqliteError = 1;
const int sqliteBusy = 5;
const int sqliteLocked = 6;
const int sqliteNotADatabase = 26;
const int sqliteReadOnlyRollback = 776;

// A connection of its own, removed again when it goes out of scope.
class ScopedConnection
{
public:
    ScopedConnection(const QString &name, const QString &uri)
        : m_name(name)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_name);
        db.setDatabaseName(uri);
        db.setConnectOptions(
            u"QSQLITE_OPEN_URI;QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1"_s.arg(busyTimeoutMs));
    }
    ~ScopedConnection() { QSqlDatabase::removeDatabase(m_name); }
    ScopedConnection(const ScopedConnection &) = delete;
    ScopedConnection &operator=(const ScopedConnection &) = delete;

    QSqlDatabase database() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

// How the file may be read without writing anything.
enum class ReadMode {
    // Read-only with the shared lock a reader takes: SQLite reports a lock held by a writer
    // and a journal that needs playing back, and plays back nothing itself.
    Shared,
    // No lock and no side file at all: the file's bytes as they are.
    Immutable,
};

QString readOnlyUri(const QString &fileName, ReadMode mode)
{
    return fileUri(fileName, mode == ReadMode::Immutable ? u"mode=ro&immutable=1"_s : u"mode=ro"_s);
}

QByteArray leadingBytes(const QString &fileName, qint64 count)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(count);
}

// The read version in the database header: 2 for a file in write-ahead-log mode.
bool usesWriteAheadLog(const QByteArray &header)
{
    return header.size() >= 20 && header.startsWith(QByteArray("SQLite format 3\0", 16))
        && (header.at(18) == 2 || header.at(19) == 2);
}

// A write-ahead log that SQLite would play into the file: one that begins with its magic number.
bool isWriteAheadLog(const QString &fileName)
{
    const QByteArray header = leadingBytes(fileName, 4);
    return header == QByteArray("\x37\x7f\x06\x82", 4)
        || header == QByteArray("\x37\x7f\x06\x83", 4);
}

enum class Journal {
    None,
    // The header was never completed: SQLite ignores such a journal when no one writes.
    Unfinished,
    // The header is complete: a journal of an interrupted write, or of one in progress.
    Complete,
};

// SQLite completes the journal's header only before it changes the database file, and a
// journal whose first byte is zero is never played back.
Journal journalNextTo(const QString &fileName)
{
    const QByteArray first = leadingBytes(fileName + u"-journal"_s, 1);
    if (first.isEmpty())
        return Journal::None;
    return first.at(0) == 0 ? Journal::Unfinished : Journal::Complete;
}

FileState withState(FileState::State state, const QString &detail = QString())
{
    FileState inspection;
    inspection.state = state;
    inspection.detail = detail;
    return inspection;
}

FileState classifyError(const QSqlError &error)
{
    const int code = error.nativeErrorCode().toInt();
    if (code == sqliteReadOnlyRollback)
        return withState(FileState::State::UnfinishedWrite, error.text());
    switch (code & 0xff) {
    case sqliteBusy:
    case sqliteLocked:
        return withState(FileState::State::Locked, error.text());
    case sqliteNotADatabase:
        return withState(FileState::State::NotDatabase, error.text());
    default:
        return withState(FileState::State::Unreadable, error.text());
    }
}

// Reads the stored version as an update would: the highest row of the version table, 0
// without one. A file at its target version is compared with the layout that version promises.
FileState readStoredVersion(const FileLayout &layout, ReadMode mode)
{
    const ScopedConnection connection(u"dbupdate-inspection"_s, readOnlyUri(layout.fileName, mode));
    QSqlDatabase db = connection.database();
    if (!db.open())
        return classifyError(db.lastError());

    QSqlQuery query(db);
    query.setForwardOnly(true);
    FileState inspection = withState(FileState::State::Readable);
    if (!query.exec(u"select version from version order by version desc"_s)) {
        if ((query.lastError().nativeErrorCode().toInt() & 0xff) != sqliteError)
            return classifyError(query.lastError());
        // No version table: a first-generation file.
        inspection.storedVersion = 0;
        return inspection;
    }
    if (query.next()) {
        const VersionValue value = versionFromValue(query.value(0));
        if (!value.version)
            return withState(FileState::State::NoVersionNumber, value.problem);
        inspection.storedVersion = value.version;
    } else {
        inspection.storedVersion = 0;
    }
    query.finish();
    if (inspection.storedVersion == layout.targetVersion)
        inspection.layoutDifferences = layoutDifferences(db, layout.schema);
    return inspection;
}

// A file in write-ahead-log mode. A reader would have to open its log and index, which
// writes, so the file is read as it lies, and only when no log lies next to it.
FileState inspectWriteAheadLogFile(const FileLayout &layout)
{
    const QString &fileName = layout.fileName;
    if (QFileInfo::exists(fileName + u"-wal"_s))
        return withState(FileState::State::LogInUseOrLeft);
    return readStoredVersion(layout, ReadMode::Immutable);
}

// A file in rollback-journal mode.
FileState inspectJournalFile(const FileLayout &layout)
{
    const QString &fileName = layout.fileName;
    // Even a read-only connection takes up a write-ahead log lying next to the file, and may
    // delete it. A log without its magic number is one SQLite passes over.
    if (QFileInfo::exists(fileName + u"-wal"_s)) {
        if (isWriteAheadLog(fileName + u"-wal"_s))
            return withState(FileState::State::UnfinishedWrite);
        return readStoredVersion(layout, ReadMode::Immutable);
    }
    switch (journalNextTo(fileName)) {
    case Journal::None:
        return readStoredVersion(layout, ReadMode::Shared);
    case Journal::Unfinished: {
        // SQLite never plays such a journal back. A writer that has gone as far as an
        // exclusive lock shows; whether one holds only the write lock cannot be told without
        // asking for that lock.
        FileState inspection = readStoredVersion(layout, ReadMode::Shared);
        if (inspection.state == FileState::State::Readable)
            inspection.state = FileState::State::JournalInUseOrLeft;
        return inspection;
    }
    case Journal::Complete:
        break;
    }
    // A read-only connection refuses to play back a journal that no one holds; one that is
    // held belongs to the writer that holds the write lock.
    FileState inspection = readStoredVersion(layout, ReadMode::Shared);
    if (inspection.state == FileState::State::Readable && journalNextTo(fileName) != Journal::None)
        return withState(FileState::State::Locked);
    return inspection;
}

} // namespace

QString FileState::storedVersionText() const
{
    if (state == State::NoVersionNumber)
        return u"no number"_s;
    return storedVersion ? QString::number(*storedVersion) : u"-"_s;
}

QString FileState::layoutText(const FileLayout &layout) const
{
    if (!layout.targetVersion)
        return u"-"_s;
    if (state == State::Missing)
        return u"pending"_s;
    if (!storedVersion || *storedVersion > *layout.targetVersion)
        return u"-"_s;
    if (*storedVersion < *layout.targetVersion)
        return u"pending"_s;
    if (!layoutDifferences)
        return u"-"_s;
    return layoutDifferences->isEmpty() ? u"as expected"_s : u"differs"_s;
}

QStringList FileState::layoutDifferenceLines(const QString &fileName) const
{
    QStringList lines;
    for (const QString &difference : layoutDifferences.value_or(QStringList()))
        lines << fileName + u": "_s + difference;
    return lines;
}

FileState inspectFile(const FileLayout &layout)
{
    const QString &fileName = layout.fileName;
    const QFileInfo info(fileName);
    if (!info.exists())
        return FileState();
    if (!info.isFile())
        return withState(FileState::State::NotDatabase, u"not a file"_s);
    // SQLite takes an empty file for an empty database, whatever lies next to it.
    if (info.size() == 0) {
        FileState inspection = withState(FileState::State::Readable);
        inspection.storedVersion = 0;
        return inspection;
    }
    if (usesWriteAheadLog(leadingBytes(fileName, 20)))
        return inspectWriteAheadLogFile(layout);
    return inspectJournalFile(layout);
}

QString layoutDifferencesText(const QStringList &differenceLines)
{
    if (differenceLines.isEmpty())
        return QString();
    return u"Differences from the promised layout:\n"_s + differenceLines.join(u'\n') + u'\n';
}
