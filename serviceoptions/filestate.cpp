#include "filestate.h"

#include "layoutcheck.h"
#include "sqlitefile.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

using SqliteFile::Journal;
using SqliteFile::SideFile;

FileState withState(FileState::State state, const QString &detail = QString())
{
    FileState inspection;
    inspection.state = state;
    inspection.detail = detail;
    return inspection;
}

// A file that needs no upgrade block still gets the statements a run executes whatever its
// version: the first that cannot be prepared fails every run; one that sets off a trigger may
// be refused by it, which cannot be told without writing.
void checkStatementsOfRun(FileState &inspection, const QSqlDatabase &db,
                          const QStringList &statements)
{
    for (const QString &statement : statements) {
        const SqliteFile::StatementCheck check = SqliteFile::checkStatement(db, statement);
        if (check.error.isValid()) {
            inspection.runFailure
                = u"a run fails on \"%1\": %2"_s.arg(statement, check.error.databaseText());
            return;
        }
        if (inspection.runDoubt.isEmpty() && !check.triggers.isEmpty()) {
            inspection.runDoubt
                = u"\"%1\" sets off trigger %2: whether a run gets past it "
                  u"cannot be told without writing"_s.arg(statement, check.triggers.join(u", "_s));
        }
    }
}

FileState classifyError(const QSqlError &error)
{
    if (SqliteFile::needsJournalPlayback(error))
        return withState(FileState::State::UnfinishedWrite, error.text());
    switch (SqliteFile::failureOf(error)) {
    case SqliteFile::Failure::Locked:
        return withState(FileState::State::Locked, error.text());
    case SqliteFile::Failure::NotADatabase:
        return withState(FileState::State::NotDatabase, error.text());
    default:
        return withState(FileState::State::Unreadable, error.text());
    }
}

// Reads the stored version as an update does. A file at its target version is compared with
// the layout that version promises.
FileState readStoredVersion(const UpdaterDescription &description, SqliteFile::OpenMode mode)
{
    const SqliteFile::Connection connection(description.fileName, mode);
    const QSqlDatabase db = connection.database();
    if (!connection.isOpen())
        return classifyError(db.lastError());

    const SqliteFile::StoredVersion stored = SqliteFile::readStoredVersion(db);
    if (stored.error.isValid())
        return classifyError(stored.error);
    if (!stored.version) {
        FileState inspection = withState(FileState::State::NoVersionNumber, stored.problem);
        inspection.storedValue = stored.value;
        return inspection;
    }
    FileState inspection = withState(FileState::State::Readable);
    inspection.storedVersion = stored.version;
    inspection.shownVersion = stored.shown;
    inspection.storedValue = stored.value;
    if (inspection.storedVersion == description.currentVersion)
        inspection.layoutDifferences = findLayoutDifferences(db, description.layout);
    if (description.pendingBlocks(*stored.version).isEmpty())
        checkStatementsOfRun(inspection, db, description.statementsWithoutBlocks(*stored.version));
    return inspection;
}

// A file in write-ahead-log mode. A reader would have to open its log and index, which
// writes, so the file is read as it lies, and only when no log lies next to it.
FileState inspectWriteAheadLogFile(const UpdaterDescription &description)
{
    if (QFileInfo::exists(SqliteFile::sideFileName(description.fileName, SideFile::WriteAheadLog)))
        return withState(FileState::State::LogInUseOrLeft);
    return readStoredVersion(description, SqliteFile::OpenMode::Immutable);
}

// A file in rollback-journal mode.
FileState inspectJournalFile(const UpdaterDescription &description)
{
    const QString &fileName = description.fileName;
    const QString log = SqliteFile::sideFileName(fileName, SideFile::WriteAheadLog);
    // Even a read-only connection takes up a write-ahead log lying next to the file, and may
    // delete it. A log without its magic number is one SQLite passes over; one with it is
    // refused before this.
    if (QFileInfo::exists(log))
        return readStoredVersion(description, SqliteFile::OpenMode::Immutable);
    switch (SqliteFile::journalBeside(fileName)) {
    case Journal::None:
        return readStoredVersion(description, SqliteFile::OpenMode::ReadOnly);
    case Journal::Unfinished: {
        // SQLite never plays such a journal back. A writer that has gone as far as an
        // exclusive lock shows; whether one holds only the write lock cannot be told without
        // asking for that lock.
        FileState inspection = readStoredVersion(description, SqliteFile::OpenMode::ReadOnly);
        if (inspection.state == FileState::State::Readable)
            inspection.state = FileState::State::JournalInUseOrLeft;
        return inspection;
    }
    case Journal::Complete:
        break;
    }
    // A read-only connection refuses to play back a journal that no one holds; one that is
    // held belongs to the writer that holds the write lock.
    FileState inspection = readStoredVersion(description, SqliteFile::OpenMode::ReadOnly);
    if (inspection.state == FileState::State::Readable
        && SqliteFile::journalBeside(fileName) != Journal::None)
        return withState(FileState::State::Locked);
    return inspection;
}

} // namespace

QString FileState::storedVersionText() const
{
    if (state == State::NoVersionNumber)
        return u"no number"_s;
    if (!shownVersion.isEmpty())
        return shownVersion;
    return storedVersion ? QString::number(*storedVersion) : u"-"_s;
}

QString FileState::layoutText(const UpdaterDescription &description) const
{
    if (description.isOnlyRead())
        return u"-"_s;
    if (state == State::Missing)
        return u"pending"_s;
    if (!storedVersion || description.isNewerThanProgram(*storedVersion))
        return u"-"_s;
    if (*storedVersion < *description.currentVersion)
        return u"pending"_s;
    if (!layoutDifferences)
        return u"-"_s;
    return layoutDifferences->isEmpty() ? u"as expected"_s : u"differs"_s;
}

QStringList FileState::layoutDifferenceLines(const QString &fileName) const
{
    QStringList lines;
    for (const LayoutDifference &difference : layoutDifferences.value_or(QList<LayoutDifference>()))
        lines << fileName + u": "_s + difference.text;
    return lines;
}

QString FileState::stateName() const
{
    switch (state) {
    case State::Missing:
        return u"missing"_s;
    case State::Readable:
        return u"readable"_s;
    case State::NotDatabase:
        return u"not-a-database"_s;
    case State::Locked:
        return u"locked"_s;
    case State::LogInUseOrLeft:
        return u"log-in-use-or-left"_s;
    case State::JournalInUseOrLeft:
        return u"journal-in-use-or-left"_s;
    case State::UnfinishedWrite:
        return u"interrupted-write"_s;
    case State::NoVersionNumber:
        return u"no-version-number"_s;
    case State::Unreadable:
        return u"unreadable"_s;
    case State::RunRefuses:
        break;
    }
    return u"refused"_s;
}

QJsonValue FileState::isDatabaseJson() const
{
    switch (state) {
    case State::Missing:
    case State::NotDatabase:
        return false;
    case State::Unreadable:
    case State::RunRefuses:
        return QJsonValue::Null;
    default:
        return true;
    }
}

QJsonValue FileState::storedVersionJson() const
{
    if (!storedVersion && state != State::NoVersionNumber)
        return QJsonValue::Null;
    QJsonObject version {
        {u"text"_s, state == State::NoVersionNumber ? detail : storedVersionText()},
        {u"wholeNumber"_s, storedVersion.has_value()}};
    bool isNumber = false;
    const qint64 number = shownVersion.toLongLong(&isNumber);
    if (isNumber)
        version.insert(u"number"_s, number);
    else if (storedVersion && shownVersion.isEmpty())
        version.insert(u"number"_s, *storedVersion);
    if (!storedValue.isValid()) {
        version.insert(u"storageClass"_s, u"none"_s);
        version.insert(u"value"_s, QJsonValue::Null);
        return version;
    }
    switch (storedValue.isNull() ? QMetaType::UnknownType : storedValue.typeId()) {
    case QMetaType::UnknownType:
        version.insert(u"storageClass"_s, u"null"_s);
        version.insert(u"value"_s, QJsonValue::Null);
        break;
    case QMetaType::Int:
    case QMetaType::LongLong:
        version.insert(u"storageClass"_s, u"integer"_s);
        version.insert(u"value"_s, storedValue.toLongLong());
        break;
    case QMetaType::Double:
        version.insert(u"storageClass"_s, u"real"_s);
        version.insert(u"value"_s, storedValue.toDouble());
        break;
    case QMetaType::QString:
        version.insert(u"storageClass"_s, u"text"_s);
        version.insert(u"value"_s, storedValue.toString());
        break;
    default:
        // A blob as hexadecimal digits.
        version.insert(u"storageClass"_s, u"blob"_s);
        version.insert(u"value"_s, QString::fromLatin1(storedValue.toByteArray().toHex()));
        break;
    }
    return version;
}

QJsonObject FileState::layoutJson(const UpdaterDescription &description) const
{
    const QString verdict = layoutText(description);
    QJsonArray differences;
    for (const LayoutDifference &difference :
         layoutDifferences.value_or(QList<LayoutDifference>())) {
        QJsonObject object {{u"kind"_s, difference.kind}, {u"text"_s, difference.text}};
        const QList<std::pair<QString, QString>> fields = {{u"objectType"_s, difference.objectType},
                                                           {u"name"_s, difference.name},
                                                           {u"column"_s, difference.column},
                                                           {u"expected"_s, difference.expected},
                                                           {u"found"_s, difference.found}};
        for (const auto &[key, value] : fields) {
            if (!value.isEmpty())
                object.insert(key, value);
        }
        differences << object;
    }
    return {{u"verdict"_s,
             verdict == u"-"_s ? QJsonValue(QJsonValue::Null)
                               : QJsonValue(QString(verdict).replace(u' ', u'-'))},
            {u"differences"_s, differences}};
}

FileState inspectFile(const UpdaterDescription &description)
{
    const QString &fileName = description.fileName;
    // Asked before any side file is read: reading a FIFO would wait for a writer.
    const SqliteFile::OpenProblem problem
        = SqliteFile::openProblem(fileName, description.isOnlyRead());
    if (problem.exists())
        return withState(FileState::State::RunRefuses, problem.reason);
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
    // A run reads a file that it only reads as it lies.
    if (SqliteFile::runOpenMode(fileName, description.isOnlyRead())
        == SqliteFile::OpenMode::Immutable)
        return readStoredVersion(description, SqliteFile::OpenMode::Immutable);
    if (SqliteFile::usesWriteAheadLog(fileName))
        return inspectWriteAheadLogFile(description);
    return inspectJournalFile(description);
}

QString layoutDifferencesText(const QStringList &differenceLines)
{
    if (differenceLines.isEmpty())
        return QString();
    return u"Differences from the promised layout:\n"_s + differenceLines.join(u'\n') + u'\n';
}
