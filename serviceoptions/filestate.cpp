#include "serviceoptions.h"

#include "consoleoutput.h"
#include "filename.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

namespace {

using SqliteFile::Journal;
using SqliteFile::SideFile;

// A file that needs no upgrade block still gets the statements a run executes whatever its
// version: the first that cannot be prepared fails every run; one that sets off a trigger or
// must pass a constraint may be refused, which cannot be told without writing.
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
        const QString doubt = !check.triggers.isEmpty()
            ? u"sets off trigger "_s + check.triggers.join(u", "_s)
            : u"may be refused by a constraint ("_s + check.constraints.join(u", "_s) + u')';
        if (inspection.runDoubt.isEmpty()
            && !(check.triggers.isEmpty() && check.constraints.isEmpty())) {
            inspection.runDoubt = u"\"%1\" %2: whether a run gets past it cannot be told without "
                                  u"writing"_s.arg(statement, doubt);
        }
    }
}

// Notes what one step of a run would change in the file as it lies; false, with the doubt, where
// that cannot be told without writing. The stamp empties the version table and writes the current
// version into it, which changes nothing where that version, as an integer, is its one row.
bool noteChangeOfStep(FileState &inspection, const QSqlDatabase &db,
                      const FileDeclaration &description, const UpgradeStep &step)
{
    const auto cannotTell = [&inspection](const QString &what) {
        if (inspection.runDoubt.isEmpty())
            inspection.runDoubt
                = u"what %1 would change cannot be told without writing"_s.arg(what);
        return false;
    };
    const auto note = [&inspection](const QString &change) {
        inspection.runChanges << change;
        return true;
    };
    switch (step.kind) {
    case UpgradeStep::Kind::Sql: {
        const QString statement = step.statement();
        const std::optional<qint64> rows = SqliteFile::rowsChangedBy(db, statement);
        if (!rows)
            return cannotTell(u'"' + statement + u'"');
        return *rows == 0
            || note(u"\"%1\" would change %2 %3"_s.arg(statement, QString::number(*rows),
                                                       *rows == 1 ? u"row"_s : u"rows"_s));
    }
    case UpgradeStep::Kind::Stamp: {
        const std::optional<qint64> rows
            = SqliteFile::rowsChangedBy(db, description.stampStatements().at(0));
        if (!rows)
            return cannotTell(u"the version stamp"_s);
        const QVariant &stored = inspection.stored.value;
        return (*rows == 1 && stored.typeId() == QMetaType::LongLong
                && stored.toLongLong() == *description.currentVersion)
            || note(u"its version table would hold version %1 alone"_s.arg(
                description.targetText()));
    }
    case UpgradeStep::Kind::FillVariables: {
        const std::optional<qint64> rows = variablesFilledBy(db);
        if (!rows)
            return cannotTell(u"the filling of the assay variables"_s);
        return *rows == 0 || note(u"the assay variables would be filled"_s);
    }
    case UpgradeStep::Kind::Rename:
    case UpgradeStep::Kind::Copy:
    case UpgradeStep::Kind::CopyRows:
    case UpgradeStep::Kind::Drop:
    case UpgradeStep::Kind::DropBackupIndex:
        break;
    }
    return cannotTell(u"a step on table "_s + step.names.value(0));
}

// What the steps a run takes at every version would change in a file that needs no upgrade
// block, up to the first whose changes cannot be told without writing.
void findChangesOfRun(FileState &inspection, const QSqlDatabase &db,
                      const FileDeclaration &description)
{
    const qint32 storedVersion = *inspection.stored.version;
    if (description.isNewerThanProgram(storedVersion))
        return;
    for (const UpgradeSection &section : description.sections) {
        if (!section.isNeededAt(storedVersion))
            continue;
        for (const UpgradeStep &step : section.steps) {
            if (!noteChangeOfStep(inspection, db, description, step))
                return;
        }
    }
}

FileState classifyError(const QSqlError &error)
{
    using State = FileState::State;
    const SqliteFile::Failure failure = SqliteFile::failureOf(error);
    const State state = SqliteFile::needsJournalPlayback(error) ? State::UnfinishedWrite
        : failure == SqliteFile::Failure::Locked                ? State::Locked
        : failure == SqliteFile::Failure::NotADatabase          ? State::NotDatabase
                                                                : State::Unreadable;
    return FileState {state, {}, error.text()};
}

// Reads the stored version as an update does. A file at its target version is compared with
// the layout that version promises.
FileState lookAtVersion(const FileDeclaration &description, SqliteFile::OpenMode mode)
{
    const SqliteFile::Connection connection(description.fileName, mode);
    const QSqlDatabase db = connection.database();
    if (!connection.isOpen())
        return classifyError(db.lastError());

    const SqliteFile::StoredVersion stored = SqliteFile::readStoredVersion(db);
    if (stored.error.isValid())
        return classifyError(stored.error);
    if (!stored.version)
        return FileState {FileState::State::NoVersionNumber, stored};
    FileState inspection {FileState::State::Readable, stored};
    if (stored.version == description.currentVersion)
        inspection.layoutDifferences = findLayoutDifferences(db, description.layout);
    if (description.pendingBlocks(*stored.version).isEmpty()) {
        checkStatementsOfRun(inspection, db, description.statementsWithoutBlocks(*stored.version));
        findChangesOfRun(inspection, db, description);
    }
    return inspection;
}

FileState inspectJournalFile(const FileDeclaration &description)
{
    // Even a read-only connection takes up a write-ahead log lying next to the file, and may
    // delete it. A log without its magic number is one SQLite passes over; one with it is
    // refused before this.
    if (FileName::exists(SqliteFile::sideFileName(description.fileName, SideFile::WriteAheadLog)))
        return lookAtVersion(description, SqliteFile::OpenMode::Immutable);
    const Journal journal = SqliteFile::journalBeside(description.fileName);
    FileState inspection = lookAtVersion(description, SqliteFile::OpenMode::ReadOnly);
    if (inspection.state != FileState::State::Readable || journal == Journal::None)
        return inspection;
    // SQLite never plays an unfinished journal back. A writer that has gone as far as an
    // exclusive lock shows; whether one holds only the write lock cannot be told without
    // asking for that lock. A read-only connection refuses to play back a complete journal that
    // no one holds; one that is held belongs to the writer that holds the write lock.
    if (journal == Journal::Unfinished)
        inspection.state = FileState::State::JournalInUseOrLeft;
    else if (SqliteFile::journalBeside(description.fileName) != Journal::None)
        return FileState {FileState::State::Locked};
    return inspection;
}

// How SQLite holds the value and the value itself: a blob as hexadecimal digits.
std::pair<QString, QJsonValue> storedValueJson(const QVariant &value)
{
    if (!value.isValid())
        return {u"none"_s, QJsonValue::Null};
    if (value.isNull())
        return {u"null"_s, QJsonValue::Null};
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        return {u"integer"_s, value.toLongLong()};
    case QMetaType::Double:
        return {u"real"_s, value.toDouble()};
    case QMetaType::QString:
        return {u"text"_s, value.toString()};
    default:
        return {u"blob"_s, QString::fromLatin1(value.toByteArray().toHex())};
    }
}

QJsonValue storedVersionJson(const FileState &inspection)
{
    const SqliteFile::StoredVersion &stored = inspection.stored;
    if (!stored.version && inspection.state != FileState::State::NoVersionNumber)
        return QJsonValue::Null;
    const auto [storageClass, value] = storedValueJson(stored.value);
    QJsonObject version {{u"text"_s, stored.version ? stored.shown : stored.problem},
                         {u"wholeNumber"_s, stored.version.has_value()},
                         {u"storageClass"_s, storageClass},
                         {u"value"_s, value}};
    // The number as shown, beyond 32 bits included; a real beyond 64 bits as that real.
    bool isInteger = false;
    const qint64 number = stored.shown.toLongLong(&isInteger);
    if (stored.version)
        version.insert(u"number"_s, isInteger ? QJsonValue(number) : stored.shown.toDouble());
    return version;
}

// The layout verdict as JSON names it; empty for none.
QString layoutName(FileState::Layout layout)
{
    switch (layout) {
    case FileState::Layout::None:
        break;
    case FileState::Layout::Pending:
        return u"pending"_s;
    case FileState::Layout::AsExpected:
        return u"as-expected"_s;
    case FileState::Layout::Differs:
        return u"differs"_s;
    }
    return QString();
}

QJsonObject layoutJson(const FileState &look, const FileDeclaration &description)
{
    QJsonArray differences;
    for (const LayoutDifference &difference :
         look.layoutDifferences.value_or(QList<LayoutDifference>())) {
        QJsonObject object {{u"kind"_s, difference.kind}, {u"text"_s, difference.text}};
        const QList<std::pair<QString, QString>> fields = {{u"objectType"_s, difference.objectType},
                                                           {u"name"_s, difference.name},
                                                           {u"column"_s, difference.column},
                                                           {u"expected"_s, difference.expected},
                                                           {u"found"_s, difference.found}};
        // Declared types are compared even where one of them is empty.
        const bool typesCompared = difference.kind == u"declared-type"_s;
        for (const auto &[key, value] : fields) {
            if (!value.isEmpty() || (typesCompared && (key == u"expected"_s || key == u"found"_s)))
                object.insert(key, value);
        }
        differences << object;
    }
    return {{u"verdict"_s, orNull(layoutName(look.layout(description)))},
            {u"differences"_s, differences}};
}

} // namespace

QString stateName(FileState::State state)
{
    using State = FileState::State;
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

QString storedVersionText(const FileState &look)
{
    if (look.state == FileState::State::NoVersionNumber)
        return u"no number"_s;
    return look.stored.version ? look.stored.shown : u"-"_s;
}

QString databaseText(const FileState &look)
{
    if (const std::optional<bool> isDatabase = look.isDatabase())
        return *isDatabase ? u"yes"_s : u"no"_s;
    return look.state == FileState::State::Unreadable ? u"?"_s : u"-"_s;
}

QString layoutText(FileState::Layout layout)
{
    const QString name = layoutName(layout);
    return name.isEmpty() ? u"-"_s : QString(name).replace(u'-', u' ');
}

QJsonObject fileStateJson(const FileState &look, const FileDeclaration &description,
                          QJsonObject fields)
{
    fields.insert(u"state"_s, stateName(look.state));
    fields.insert(u"isDatabase"_s, orNull(look.isDatabase()));
    fields.insert(u"storedVersion"_s, storedVersionJson(look));
    fields.insert(u"layout"_s, layoutJson(look, description));
    return fields;
}

FileState inspectFile(const FileDeclaration &description)
{
    const QString &fileName = description.fileName;
    // Asked before any side file is read: reading a FIFO would wait for a writer.
    const SqliteFile::OpenProblem problem
        = SqliteFile::openProblem(fileName, description.isOnlyRead());
    if (problem.exists())
        return FileState {FileState::State::RunRefuses, {}, problem.reason};
    const FileName::Type type = FileName::type(fileName);
    if (type == FileName::Type::None)
        return FileState();
    if (type != FileName::Type::RegularFile)
        return FileState {FileState::State::NotDatabase, {}, u"not a file"_s};
    // SQLite takes an empty file for an empty database, whatever lies next to it.
    if (FileName::size(fileName) == 0)
        return FileState {FileState::State::Readable, {0, u"0"_s, {}, {}, {}}};
    // A run reads a file that it only reads as it lies.
    if (SqliteFile::runOpenMode(fileName, description.isOnlyRead())
        == SqliteFile::OpenMode::Immutable)
        return lookAtVersion(description, SqliteFile::OpenMode::Immutable);
    // A reader of a file in write-ahead-log mode would have to open its log and index, which
    // writes, so the file is read as it lies, and only when no log lies next to it.
    if (SqliteFile::usesWriteAheadLog(fileName)) {
        if (FileName::exists(SqliteFile::sideFileName(fileName, SideFile::WriteAheadLog)))
            return FileState {FileState::State::LogInUseOrLeft};
        return lookAtVersion(description, SqliteFile::OpenMode::Immutable);
    }
    return inspectJournalFile(description);
}

QString layoutDifferencesText(const QList<std::pair<QString, FileState>> &looks)
{
    QString lines;
    for (const auto &[fileName, look] : looks) {
        for (const LayoutDifference &difference :
             look.layoutDifferences.value_or(QList<LayoutDifference>()))
            lines += fileName + u": "_s + difference.text + u'\n';
    }
    return lines.isEmpty() ? QString() : u"Differences from the promised layout:\n"_s + lines;
}

void printJsonDocument(const QString &command, QJsonObject fields)
{
    // Goes up whenever a field changes meaning or goes away, not when one is added.
    fields.insert(u"format"_s, 1);
    fields.insert(u"command"_s, command);
    printOut(QString::fromUtf8(QJsonDocument(fields).toJson()));
}

QJsonValue bytesJson(qint64 bytes)
{
    return bytes < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(bytes);
}
