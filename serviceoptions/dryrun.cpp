#include "dryrun.h"

#include "consoleoutput.h"
#include "copydirectory.h"
#include "diskroom.h"
#include "filename.h"
#include "filestate.h"
#include "logsink.h"
#include "rowcounts.h"
#include "sqlitefile.h"
#include "translations.h"
#include "updaterdescription.h"
#include "updatesequence.h"

#include <QJsonArray>
#include <QSqlDatabase>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// The lines a run's log would get, kept while keepLine handles the messages; each also goes
// through the log sink into standard output while logFile is set.
QStringList runLog;

void keepLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (const char *prefix = logLinePrefix(type))
        runLog << QString::fromLocal8Bit(prefix) + message;
    if (logFile)
        logMessageHandler(type, context, message);
}

// The run on the copies met a full volume or an I/O error: the copies' own volume failed, and
// what a real run would meet cannot be told from it.
bool copyVolumeFailed(const RunOutcome &outcome)
{
    return std::any_of(outcome.files.cbegin(), outcome.files.cend(), [](const UpdateOutcome &file) {
        return file.failure == SqliteFile::Failure::OutOfRoom
            || file.failure == SqliteFile::Failure::IoError;
    });
}

// The first reason, in run order, for which a real run could not open or write a file, or
// refuses to let SQLite open it. A file that is only read never ends a run.
QString realFileProblem()
{
    for (const UpdaterDescription &file : updaters()) {
        if (file.isOnlyRead())
            continue;
        const QString &fileName = file.fileName;
        if (const QString problem = SqliteFile::openProblem(fileName, false).reason;
            !problem.isEmpty())
            return fileName + u": "_s + problem;
    }
    return QString();
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

// The Before and After cells: the stored version, or the state of a file that has none.
QString versionText(const FileState &inspection)
{
    using State = FileState::State;
    const QList<State> shownByName
        = {State::Missing, State::NotDatabase, State::UnfinishedWrite, State::Unreadable};
    if (shownByName.contains(inspection.state))
        return stateName(inspection.state).replace(u'-', u' ');
    return storedVersionText(inspection);
}

// One file's state, size, layout and row counts, in the working directory.
struct FileSnapshot
{
    const UpdaterDescription *description;
    FileState inspection;
    bool exists = false;
    qint64 size = 0;
    QList<TableRows> rows;

    QString version() const { return versionText(inspection); }

    QJsonObject toJson() const
    {
        QJsonObject object = fileStateJson(inspection, *description);
        object.insert(u"exists"_s, exists);
        object.insert(u"sizeBytes"_s, size);
        return object;
    }
};

// Before the run, or after it: a file that the run did not bring up to date (it stopped there
// or before it) is counted as it was left, under the names it had before.
QList<FileSnapshot> snapshotWorkingDirectory(const RunOutcome *afterRun = nullptr)
{
    QList<FileSnapshot> files;
    for (const UpdaterDescription &description : updaters()) {
        const QString &fileName = description.fileName;
        const qsizetype file = files.size();
        const bool updated = afterRun && file < afterRun->files.size()
            && afterRun->files.at(file).failure == SqliteFile::Failure::None;
        files << FileSnapshot {
            &description, inspectFile(description), FileName::exists(fileName),
            FileName::size(fileName),
            countRows(description, updated ? RunMoment::After : RunMoment::Before)};
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
        const bool changed = growth != 0 || after.at(i).version() != before.at(i).version();
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
    explicit DryRun(bool json)
        : m_json(json)
    {
    }

    int run(QCoreApplication &app, const QStringList &translationNames);

private:
    void runOnCopies();
    void printTables() const;

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

    int finish(int exitStatus, const QString &reason) const
    {
        if (m_json)
            printJson(exitStatus, reason);
        return exitStatus;
    }

    void printJson(int exitStatus, const QString &reason) const;

    bool m_json;
    QString m_workingDir = FileName::currentDirectory();
    QStringList m_translations;
    qint64 m_available = -1;
    QList<FileSnapshot> m_before;
    QList<FileSnapshot> m_after;
    RunOutcome m_outcome;
    RoomNeeded m_needed;
};

int DryRun::run(QCoreApplication &app, const QStringList &translationNames)
{
    // Translation files are looked for relative to the real working directory, and their
    // warnings go into the log as a run's do.
    const QtMessageHandler previousHandler = qInstallMessageHandler(keepLine);
    for (const QString &path : installTranslations(app, translationNames, false))
        m_translations << FileName::shown(FileName::absolute(path));
    qInstallMessageHandler(previousHandler);
    const QString problem = realFileProblem();
    m_available = DiskRoom::available();

    QStringList databaseNames;
    for (const UpdaterDescription &file : updaters())
        databaseNames << file.fileName;
    const CopyDirectory copies(databaseNames);
    if (!copies.isValid()) {
        return failed(u"cannot make a private temporary directory in %1: %2"_s.arg(
            FileName::shown(copies.parentPath()), copies.errorString()));
    }
    for (const QString &name : std::as_const(databaseNames)) {
        if (const QString error = copyFile(name, copies); !error.isEmpty())
            return failed(error);
    }
    if (!FileName::setCurrentDirectory(copies.path()))
        return failed(u"cannot change to %1"_s.arg(FileName::shown(copies.path())));
    runOnCopies();
    FileName::setCurrentDirectory(m_workingDir);

    if (copyVolumeFailed(m_outcome)) {
        return cannotPredict(u"writing the copies in %1 failed (no room or an I/O error)"_s.arg(
            FileName::shown(copies.path())));
    }
    // The real run fails either way; room only matters to one that would succeed.
    if (!problem.isEmpty())
        return predictFailure(problem + u'.');
    if (!m_outcome.succeeded())
        return predictFailure(m_outcome.files.last().failureLine);
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
    m_before = snapshotWorkingDirectory();
    print(m_translations.isEmpty()
              ? u"Translation files loaded: none (labels are written in Chinese)\n"_s
              : u"Translation files loaded, later ones winning: %1\n"_s.arg(
                  m_translations.join(u", "_s)));
    print(u"Log of a run on copies of the files:\n"_s);
    // The lines that came before the run, the translation files' warnings, lead its log.
    if (!m_json) {
        for (const QString &line : std::as_const(runLog))
            printOut(line + u'\n');
        logFile = stdout;
    }
    const QtMessageHandler previousHandler = qInstallMessageHandler(keepLine);
    m_outcome = runUpdaters();
    qInstallMessageHandler(previousHandler);
    logFile = nullptr;
    // The last updater's connection still holds its copy open.
    QSqlDatabase::removeDatabase(QString::fromLatin1(QSqlDatabase::defaultConnection));
    m_after = snapshotWorkingDirectory(&m_outcome);
    m_needed = roomNeeded(m_before, m_after);
    if (!m_json)
        printTables();
}

void DryRun::printTables() const
{
    QList<QStringList> rows = {{u"File"_s, u"Before"_s, u"After"_s, u"Layout"_s}};
    QStringList differences;
    QList<const UpdaterDescription *> descriptions;
    QList<QList<TableRows>> rowsBefore;
    QList<QList<TableRows>> rowsAfter;
    for (qsizetype i = 0; i < m_after.size(); ++i) {
        const UpdaterDescription &description = *m_after.at(i).description;
        const FileState &after = m_after.at(i).inspection;
        rows << QStringList {description.fileName, m_before.at(i).version(),
                             m_after.at(i).version(), layoutText(after.layout(description))};
        differences << layoutDifferenceLines(after, description.fileName);
        descriptions << &description;
        rowsBefore << m_before.at(i).rows;
        rowsAfter << m_after.at(i).rows;
    }
    printOut(u"\n"_s + formatTable(rows) + layoutDifferencesText(differences) + u"\n"_s
             + rowCountsText(descriptions, rowsBefore, rowsAfter));
}

void DryRun::printJson(int exitStatus, const QString &reason) const
{
    QJsonArray files;
    for (qsizetype i = 0; i < m_after.size(); ++i) {
        const UpdaterDescription &description = *m_after.at(i).description;
        files << QJsonObject {
            {u"name"_s, description.fileName},
            {u"before"_s, m_before.at(i).toJson()},
            {u"after"_s, m_after.at(i).toJson()},
            {u"rowCounts"_s, rowCountsJson(description, m_before.at(i).rows, m_after.at(i).rows)},
        };
    }
    const QJsonObject room = {{u"freeBytes"_s, bytesJson(m_available)},
                              {u"neededLeastBytes"_s, m_needed.least},
                              {u"neededMostBytes"_s, m_needed.most}};
    const QJsonObject prediction
        = {{u"exitStatus"_s, exitStatus},
           {u"reason"_s, reason.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(reason)}};
    printJsonDocument(u"dry-run"_s,
                      {{u"directory"_s, FileName::shown(m_workingDir)},
                       {u"translations"_s, QJsonArray::fromStringList(m_translations)},
                       {u"log"_s, QJsonArray::fromStringList(runLog)},
                       {u"files"_s, files},
                       {u"room"_s, room},
                       {u"prediction"_s, prediction},
                       {u"exitStatus"_s, exitStatus}});
}

} // namespace

int runDryRun(QCoreApplication &app, const QStringList &translationNames, bool json)
{
    return DryRun(json).run(app, translationNames);
}
