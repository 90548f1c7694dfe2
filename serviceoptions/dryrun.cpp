#include "serviceoptions.h"

#include "consoleoutput.h"
#include "copydirectory.h"
#include "diskroom.h"
#include "filename.h"
#include "logsink.h"
#include "sqlitefile.h"
#include "translations.h"
#include "updatesequence.h"

#include <QJsonArray>
#include <QSqlDatabase>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// The lines a run's log would get; once echoed, each is also printed as it comes.
class KeptLog : public RunLog
{
public:
    void warning(const QString &text) override
    {
        m_lines << QString::fromLatin1(logLinePrefix(QtWarningMsg)) + text;
        if (m_echoed)
            printOut(m_lines.last() + u'\n');
    }
    void echo()
    {
        for (const QString &line : std::as_const(m_lines))
            printOut(line + u'\n');
        m_echoed = true;
    }
    const QStringList &lines() const { return m_lines; }

private:
    QStringList m_lines;
    bool m_echoed = false;
};

// The first file, in run order, that a real run could not open or write, or refuses to let
// SQLite open, and why; none when there is no such file. A file that is only read never ends a
// run.
struct FileProblem
{
    qsizetype file = -1;
    QString reason;
};

FileProblem realFileProblem()
{
    for (qsizetype i = 0; i < declaredFiles().size(); ++i) {
        const FileDeclaration &file = declaredFiles().at(i);
        const QString problem
            = file.isOnlyRead() ? QString() : SqliteFile::openProblem(file.fileName, false).reason;
        if (!problem.isEmpty())
            return {i, file.fileName + u": "_s + problem};
    }
    return {};
}

// Copies the file with the journal or write-ahead log of an unfinished write from where SQLite
// finds them (beside the file a symbolic link leads to), so that the copy is in the state
// SQLite would find the file in. A name that leads to no file is left out: the run creates it.
// Empty when every copy was made, else why one could not be.
QString copyFile(const QString &fileName, const CopyDirectory &copies)
{
    const QString copy = copies.path() + u'/' + fileName;
    QList<std::pair<QString, QString>> names = {{fileName, fileName}};
    for (const SqliteFile::SideFile sideFile :
         {SqliteFile::SideFile::Journal, SqliteFile::SideFile::WriteAheadLog}) {
        names.append({SqliteFile::sideFileName(fileName, sideFile),
                      FileName::fromPath(
                          FileName::path(SqliteFile::sideFileName(copy, sideFile)).filename())});
    }
    for (const auto &[source, copyName] : std::as_const(names)) {
        if (FileName::entryType(source) == FileName::Type::None)
            continue;
        QString error;
        if (!copies.copy(source, copyName, &error)) {
            return u"cannot copy %1 to %2: %3"_s.arg(FileName::shown(source),
                                                     FileName::shown(copies.path()), error);
        }
    }
    return QString();
}

// Counts the rows of each table the file's updater rebuilds or fills, in the file of the working
// directory: before a run under the old name where it is a table (else the new one), after it
// under the new name (else the old one). The connection may write, so that it completes an
// interrupted write first as the run does, but it creates no file.
QList<TableRows> countRows(const FileDeclaration &description, bool afterRun)
{
    QList<TableRows> counts(description.rowCounts.size());
    if (!FileName::exists(description.fileName))
        return counts;
    const SqliteFile::Connection connection(description.fileName, SqliteFile::OpenMode::ReadWrite);
    const QSqlDatabase db = connection.database();
    for (qsizetype i = 0; connection.isOpen() && i < counts.size(); ++i) {
        const RowCount &declared = description.rowCounts.at(i);
        for (const QString &table : afterRun
                 ? QStringList {declared.tableAfter, declared.tableBefore}
                 : QStringList {declared.tableBefore, declared.tableAfter}) {
            if (SqliteFile::tableExists(db, table)) {
                counts[i] = {table, SqliteFile::rowCount(db, table, declared.condition)};
                break;
            }
        }
    }
    return counts;
}

// The tables counted, "result -> results" when the rows moved to another table, and the
// condition.
QString tableText(const RowCount &declared, const TableRows &before, const TableRows &after)
{
    QString names = after.table;
    if (after.table.isEmpty())
        names = before.table.isEmpty() ? declared.tableAfter : before.table;
    else if (!before.table.isEmpty() && before.table != after.table)
        names = before.table + u" -> "_s + after.table;
    return declared.condition.isEmpty() ? names : names + u" where "_s + declared.condition;
}

// Rows that were there and are not: fewer of them, or no table left to hold them.
bool fell(const TableRows &before, const TableRows &after)
{
    if (!before.rows || *before.rows == 0)
        return false;
    return after.rows ? *after.rows < *before.rows : after.table.isEmpty();
}

// Per table its names before and after, the condition, the rows before and after (null where
// there is no table or it could not be read) and whether rows fell.
QJsonArray rowCountsJson(const FileDeclaration &description, const QList<TableRows> &before,
                         const QList<TableRows> &after)
{
    QJsonArray tables;
    for (qsizetype i = 0; i < description.rowCounts.size(); ++i) {
        const RowCount &declared = description.rowCounts.at(i);
        const TableRows &was = before.at(i);
        const TableRows &is = after.at(i);
        tables << QJsonObject {{u"table"_s, tableText(declared, was, is)},
                               {u"tableBefore"_s, orNull(was.table)},
                               {u"tableAfter"_s, orNull(is.table)},
                               {u"condition"_s, orNull(declared.condition)},
                               {u"before"_s, orNull(was.rows)},
                               {u"after"_s, orNull(is.rows)},
                               {u"fell"_s, fell(was, is)}};
    }
    return tables;
}

// One file's state, size, layout and row counts, in the working directory.
struct FileSnapshot
{
    const FileDeclaration *description;
    FileState inspection;
    bool exists = false;
    qint64 size = 0;
    QList<TableRows> rows;

    // The Before and After cells: the stored version, or the state of a file that has none.
    QString version() const
    {
        using State = FileState::State;
        const QList<State> shownByName
            = {State::Missing, State::NotDatabase, State::UnfinishedWrite, State::Unreadable};
        if (shownByName.contains(inspection.state))
            return stateName(inspection.state).replace(u'-', u' ');
        return storedVersionText(inspection);
    }

    QJsonObject toJson() const
    {
        return fileStateJson(inspection, *description,
                             {{u"exists"_s, exists}, {u"sizeBytes"_s, size}});
    }
};

// Before the run, or after it: a file that the run did not bring up to date (it stopped there
// or before it) is counted as it was left, under the names it had before.
QList<FileSnapshot> snapshotWorkingDirectory(const RunOutcome *afterRun = nullptr)
{
    QList<FileSnapshot> files;
    for (const FileDeclaration &description : declaredFiles()) {
        const QString &fileName = description.fileName;
        const bool updated = afterRun && files.size() < afterRun->files.size()
            && afterRun->files.at(files.size()).failure == SqliteFile::Failure::None;
        files << FileSnapshot {&description, inspectFile(description), FileName::exists(fileName),
                               FileName::size(fileName), countRows(description, updated)};
    }
    return files;
}

// The room a real run needs beyond the files, from what the run did to the copies: at least
// what the files grew by, at most that plus, for the file being updated, a journal as large as
// the file.
struct RoomNeeded
{
    qint64 least = 0;
    qint64 most = 0;
};

RoomNeeded roomNeeded(const QList<FileSnapshot> &before, const QList<FileSnapshot> &after)
{
    const qint64 journalOverhead = 64 * 1024;
    RoomNeeded needed;
    qint64 grown = 0;
    for (qsizetype i = 0; i < before.size(); ++i) {
        const qint64 growth = after.at(i).size - before.at(i).size;
        const FileState &was = before.at(i).inspection;
        const FileState &is = after.at(i).inspection;
        const bool changed
            = growth != 0 || is.state != was.state || is.stored.version != was.stored.version;
        // A journal holds each changed page once, with eight bytes of its own.
        const qint64 largest = qMax(before.at(i).size, after.at(i).size);
        const qint64 journal
            = changed ? largest + largest / 128 + journalOverhead : journalOverhead;
        needed.most = qMax(needed.most, grown + qMax<qint64>(growth, 0) + journal);
        grown += growth;
        needed.least = qMax(needed.least, grown);
    }
    return needed;
}

// Runs the upgrade on copies of the files and tells how a real run would end: as text while it
// goes, or as one JSON document at the end.
class DryRun
{
public:
    int run(QCoreApplication &app, const QStringList &translationNames, bool json,
            const QString &backupDirectory);

private:
    void runOnCopies();

    void print(const QString &text) const
    {
        if (!m_json)
            printOut(text);
    }

    // The dry run itself failed, or cannot tell how a real run would end (told so by heading).
    int failed(const QString &reason, const QString &heading = QString())
    {
        printError(u"dbupdate: %1%2\n"_s.arg(heading, reason));
        return finish(2, reason);
    }

    // The reason ends in a full stop, or is the line the failed run ended with.
    int predictFailure(const QString &reason)
    {
        print(u"A real run would end with exit status 1: %1\n"_s.arg(reason));
        return finish(1, reason);
    }

    int cannotPredict(const QString &reason)
    {
        return failed(reason, u"the dry run cannot tell how a real run would end: "_s);
    }

    // With json, prints the one JSON document.
    int finish(int exitStatus, const QString &reason) const;

    bool m_json = false;
    QString m_workingDir = FileName::currentDirectory();
    QStringList m_translations;
    qint64 m_available = DiskRoom::available();
    QJsonArray m_files;
    KeptLog m_log;
    RunOutcome m_outcome;
    RoomNeeded m_needed;
};

int DryRun::run(QCoreApplication &app, const QStringList &translationNames, bool json,
                const QString &backupDirectory)
{
    m_json = json;
    // Translation files are looked for relative to the real working directory, and their
    // warnings go into the log as a run's do.
    for (const QString &path : installTranslations(app, translationNames, false, m_log))
        m_translations << FileName::shown(FileName::absolute(path));
    const FileProblem problem = realFileProblem();
    // A run checks its backup directory before it opens any file.
    if (const QString problem
        = backupDirectory.isEmpty() ? QString() : backupProblem(backupDirectory);
        !problem.isEmpty())
        return predictFailure(backupRefusal(problem));

    const CopyDirectory copies;
    if (!copies.isValid()) {
        return failed(u"cannot make a private temporary directory in %1: %2"_s.arg(
            FileName::shown(copies.parentPath()), copies.errorString()));
    }
    for (const FileDeclaration &file : declaredFiles()) {
        if (const QString error = copyFile(file.fileName, copies); !error.isEmpty())
            return failed(error);
    }
    if (!FileName::setCurrentDirectory(copies.path()))
        return failed(u"cannot change to %1"_s.arg(FileName::shown(copies.path())));
    runOnCopies();
    FileName::setCurrentDirectory(m_workingDir);

    // The run on the copies met a full volume or an I/O error: the copies' own volume failed,
    // and what a real run would meet cannot be told from it.
    if (std::any_of(m_outcome.files.cbegin(), m_outcome.files.cend(), [](const UpdateEnding &file) {
            return file.failure == SqliteFile::Failure::OutOfRoom
                || file.failure == SqliteFile::Failure::IoError;
        })) {
        return cannotPredict(u"writing the copies in %1 failed (no room or an I/O error)"_s.arg(
            FileName::shown(copies.path())));
    }
    // A real run stops at its first failure in run order; room only matters to one that would
    // succeed.
    const qsizetype stopsAt
        = m_outcome.succeeded() ? declaredFiles().size() : m_outcome.files.size() - 1;
    if (problem.file >= 0 && problem.file <= stopsAt)
        return predictFailure(problem.reason + u'.');
    if (!m_outcome.succeeded())
        return predictFailure(m_outcome.files.last().line());
    if (m_available < 0) {
        return cannotPredict(
            u"the free space of the working directory's volume is unknown, and a run needs up "
            u"to %1"_s.arg(DiskRoom::sizeText(m_needed.most)));
    }
    if (m_available < m_needed.least) {
        return predictFailure(u"the files grow by %1, but the volume has only %2 free."_s.arg(
            DiskRoom::sizeText(m_needed.least), DiskRoom::sizeText(m_available)));
    }
    if (m_available < m_needed.most) {
        return cannotPredict(u"a run needs between %1 and %2 of room, and %3 are free"_s.arg(
            DiskRoom::sizeText(m_needed.least), DiskRoom::sizeText(m_needed.most),
            DiskRoom::sizeText(m_available)));
    }
    print(u"A real run would end with exit status 0.\n"_s);
    return finish(0, QString());
}

// Runs the upgrade in the copies' directory, the working directory now, and notes the files
// before and after.
void DryRun::runOnCopies()
{
    const QList<FileSnapshot> before = snapshotWorkingDirectory();
    print(m_translations.isEmpty()
              ? u"Translation files loaded: none (labels are written in Chinese)\n"_s
              : u"Translation files loaded, later ones winning: %1\n"_s.arg(
                  m_translations.join(u", "_s)));
    print(u"Log of a run on copies of the files:\n"_s);
    // The lines that came before the run, the translation files' warnings, lead its log.
    if (!m_json)
        m_log.echo();
    m_outcome = runUpdaters(nullptr, nullptr, m_log);
    const QList<FileSnapshot> after = snapshotWorkingDirectory(&m_outcome);
    m_needed = roomNeeded(before, after);
    QList<QStringList> rows = {{u"File"_s, u"Before"_s, u"After"_s, u"Layout"_s}};
    QList<QStringList> counts = {{u"File"_s, u"Table"_s, u"Rows before -> after"_s}};
    QList<std::pair<QString, FileState>> looks;
    for (qsizetype i = 0; i < after.size(); ++i) {
        const FileSnapshot &was = before.at(i);
        const FileSnapshot &is = after.at(i);
        const FileDeclaration &description = *is.description;
        rows << QStringList {description.fileName, was.version(), is.version(),
                             layoutText(is.inspection.layout(description))};
        looks.append({description.fileName, is.inspection});
        counts << rowCountRows(description, was.rows, is.rows);
        m_files << QJsonObject {{u"name"_s, description.fileName},
                                {u"before"_s, was.toJson()},
                                {u"after"_s, is.toJson()},
                                {u"rowCounts"_s, rowCountsJson(description, was.rows, is.rows)}};
    }
    print(u"\n"_s + formatTable(rows) + layoutDifferencesText(looks)
          + u"\nRows of the tables a run rebuilds or fills:\n"_s + formatTable(counts));
}

int DryRun::finish(int exitStatus, const QString &reason) const
{
    if (!m_json)
        return exitStatus;
    const QJsonObject room = {{u"freeBytes"_s, bytesJson(m_available)},
                              {u"neededLeastBytes"_s, m_needed.least},
                              {u"neededMostBytes"_s, m_needed.most}};
    const QJsonObject prediction = {{u"exitStatus"_s, exitStatus}, {u"reason"_s, orNull(reason)}};
    printJsonDocument(u"dry-run"_s,
                      {{u"directory"_s, FileName::shown(m_workingDir)},
                       {u"translations"_s, QJsonArray::fromStringList(m_translations)},
                       {u"log"_s, QJsonArray::fromStringList(m_log.lines())},
                       {u"files"_s, m_files},
                       {u"room"_s, room},
                       {u"prediction"_s, prediction},
                       {u"exitStatus"_s, exitStatus}});
    return exitStatus;
}

} // namespace

int runDryRun(QCoreApplication &app, const QStringList &translationNames, bool json,
              const QString &backupDirectory)
{
    return DryRun().run(app, translationNames, json, backupDirectory);
}

QList<QStringList> rowCountRows(const FileDeclaration &description, const QList<TableRows> &before,
                                const QList<TableRows> &after)
{
    const auto rowsText = [](const TableRows &counted) {
        if (counted.rows)
            return QString::number(*counted.rows);
        return counted.table.isEmpty() ? u"-"_s : u"?"_s;
    };
    QList<QStringList> rows;
    for (qsizetype i = 0; i < description.rowCounts.size(); ++i) {
        const TableRows &was = before.at(i);
        const TableRows &is = after.at(i);
        rows << QStringList {description.fileName, tableText(description.rowCounts.at(i), was, is),
                             rowsText(was) + u" -> "_s + rowsText(is)
                                 + (fell(was, is) ? u"  FELL"_s : QString())};
    }
    return rows;
}
