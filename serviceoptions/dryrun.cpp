#include "dryrun.h"

#include "consoleoutput.h"
#include "copydirectory.h"
#include "diskroom.h"
#include "fileaccess.h"
#include "filestate.h"
#include "logsink.h"
#include "rowcounts.h"
#include "sqlitefile.h"
#include "updaters.h"
#include "updatesequence.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// Routes every message through the log sink into standard output while it exists, and keeps
// the last one: a run that fails ends its log with the line that says why.
class LogToStandardOutput
{
public:
    LogToStandardOutput()
    {
        logFile = stdout;
        lastMessage().clear();
        m_previousHandler = qInstallMessageHandler(logAndKeep);
    }
    ~LogToStandardOutput()
    {
        qInstallMessageHandler(m_previousHandler);
        logFile = nullptr;
    }
    LogToStandardOutput(const LogToStandardOutput &) = delete;
    LogToStandardOutput &operator=(const LogToStandardOutput &) = delete;

    static QString &lastMessage()
    {
        static QString message;
        return message;
    }

private:
    static void logAndKeep(QtMsgType type, const QMessageLogContext &context,
                           const QString &message)
    {
        lastMessage() = message;
        logMessageHandler(type, context, message);
    }

    QtMessageHandler m_previousHandler = nullptr;
};

// The run on the copies met a full volume or an I/O error: the copies' own volume failed, and
// what a real run would meet cannot be told from it.
bool copyVolumeFailed(const RunOutcome &outcome)
{
    for (const UpdateOutcome &file : outcome.files) {
        if (file.ending == UpdateOutcome::Ending::OutOfRoom
            || file.ending == UpdateOutcome::Ending::IoError)
            return true;
    }
    return false;
}

// The first reason, in run order, for which a real run could not open or write a file, or
// refuses to let SQLite open it. A file that is only read never ends a run.
QString realFileProblem()
{
    for (const UpdaterEntry &entry : updatersInRunOrder()) {
        if (entry.description->isOnlyRead())
            continue;
        const QString &fileName = entry.description->fileName;
        QString problem = accessProblem(fileName, FileUse::Written);
        if (problem.isEmpty())
            problem = SqliteFile::openProblem(fileName, false).reason;
        if (!problem.isEmpty())
            return fileName + u": "_s + problem;
    }
    return QString();
}

// Copies the file with the journal or write-ahead log of an unfinished write from where SQLite
// finds them (beside the file a symbolic link leads to), so that the copy is in the state
// SQLite would find the file in. A name that leads to no file is left out: the run creates it.
bool copyFile(const QString &fileName, const CopyDirectory &copies)
{
    const QString copy = copies.path() + u'/' + fileName;
    QList<std::pair<QString, QString>> names = {{fileName, fileName}};
    for (const SqliteFile::SideFile sideFile :
         {SqliteFile::SideFile::Journal, SqliteFile::SideFile::WriteAheadLog}) {
        names.append({SqliteFile::sideFileName(fileName, sideFile),
                      QFileInfo(SqliteFile::sideFileName(copy, sideFile)).fileName()});
    }
    for (const auto &[source, copyName] : std::as_const(names)) {
        if (!QFileInfo::exists(source) && !QFileInfo(source).isSymLink())
            continue;
        QString error;
        if (!copies.copy(source, copyName, &error)) {
            printError(u"dbupdate: cannot copy %1 to %2: %3\n"_s.arg(
                source, QDir::toNativeSeparators(copies.path()), error));
            return false;
        }
    }
    return true;
}

QString versionText(const FileState &inspection)
{
    switch (inspection.state) {
    case FileState::State::Missing:
        return u"missing"_s;
    case FileState::State::NotDatabase:
        return u"not a database"_s;
    case FileState::State::UnfinishedWrite:
        return u"interrupted write"_s;
    case FileState::State::Unreadable:
        return u"unreadable"_s;
    default:
        return inspection.storedVersionText();
    }
}

// One file's version, size and layout, in the working directory.
struct FileSnapshot
{
    QString version;
    qint64 size = 0;
    QString layout;
    QStringList layoutDifferences;
};

QList<FileSnapshot> snapshotWorkingDirectory()
{
    QList<FileSnapshot> files;
    for (const UpdaterEntry &entry : updatersInRunOrder()) {
        const UpdaterDescription &description = *entry.description;
        const FileState inspection = inspectFile(description);
        files << FileSnapshot {versionText(inspection), QFileInfo(description.fileName).size(),
                               inspection.layoutText(description),
                               inspection.layoutDifferenceLines(description.fileName)};
    }
    return files;
}

// Before the run, or after it: a file that the run did not bring up to date (it stopped there
// or before it) is counted as it was left, under the names it had before.
QList<QList<TableRows>> countRowsInWorkingDirectory(const RunOutcome *afterRun = nullptr)
{
    QList<QList<TableRows>> counts;
    for (const UpdaterEntry &entry : updatersInRunOrder()) {
        const qsizetype file = counts.size();
        const bool updated = afterRun && file < afterRun->files.size()
            && afterRun->files.at(file).ending == UpdateOutcome::Ending::Done;
        counts << countRows(*entry.description, updated ? RunMoment::After : RunMoment::Before);
    }
    return counts;
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
        const bool changed = growth != 0 || after.at(i).version != before.at(i).version;
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

// The paths of the translation files loaded, as seen from the working directory.
QString translationsText(const QStringList &installed)
{
    if (installed.isEmpty())
        return u"Translation files loaded: none (labels are written in Chinese)\n"_s;
    QStringList paths;
    for (const QString &path : installed)
        paths << QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    return u"Translation files loaded, later ones winning: %1\n"_s.arg(paths.join(u", "_s));
}

// The reason ends in a full stop, or is the failed run's last log line.
int predictFailure(const QString &reason)
{
    printOut(u"A real run would end with exit status 1: %1\n"_s.arg(reason));
    return 1;
}

int cannotPredict(const QString &reason)
{
    printError(u"dbupdate: the dry run cannot tell how a real run would end: %1\n"_s.arg(reason));
    return 2;
}

} // namespace

int runDryRun(QCoreApplication &app, const QStringList &translationNames)
{
    // Translation files are looked for relative to the real working directory.
    const QString translations
        = translationsText(installTranslations(app, translationNames, false));
    const QString problem = realFileProblem();
    const qint64 available = DiskRoom::available();

    QStringList databaseNames;
    QList<const UpdaterDescription *> descriptions;
    for (const UpdaterEntry &entry : updatersInRunOrder()) {
        databaseNames << entry.description->fileName;
        descriptions << entry.description;
    }
    const CopyDirectory copies(databaseNames);
    if (!copies.isValid()) {
        printError(u"dbupdate: cannot make a private temporary directory in %1: %2\n"_s.arg(
            QDir::toNativeSeparators(copies.parentPath()), copies.errorString()));
        return 2;
    }
    for (const QString &name : std::as_const(databaseNames)) {
        if (!copyFile(name, copies))
            return 2;
    }

    const QString workingDir = QDir::currentPath();
    if (!QDir::setCurrent(copies.path())) {
        printError(
            u"dbupdate: cannot change to %1\n"_s.arg(QDir::toNativeSeparators(copies.path())));
        return 2;
    }
    const QList<FileSnapshot> before = snapshotWorkingDirectory();
    const QList<QList<TableRows>> rowsBefore = countRowsInWorkingDirectory();
    printOut(translations);
    printOut(u"Log of a run on copies of the files:\n"_s);
    RunOutcome outcome;
    QString lastLogLine;
    {
        const LogToStandardOutput log;
        outcome = runUpdaters();
        lastLogLine = LogToStandardOutput::lastMessage();
    }
    // The last updater's connection still holds its copy open.
    QSqlDatabase::removeDatabase(QString::fromLatin1(QSqlDatabase::defaultConnection));
    const QList<FileSnapshot> after = snapshotWorkingDirectory();
    const QList<QList<TableRows>> rowsAfter = countRowsInWorkingDirectory(&outcome);
    QDir::setCurrent(workingDir);

    QList<QStringList> rows = {{u"File"_s, u"Before"_s, u"After"_s, u"Layout"_s}};
    QStringList differences;
    for (qsizetype i = 0; i < databaseNames.size(); ++i) {
        rows << QStringList {databaseNames.at(i), before.at(i).version, after.at(i).version,
                             after.at(i).layout};
        differences << after.at(i).layoutDifferences;
    }
    printOut(u"\n"_s + formatTable(rows) + layoutDifferencesText(differences) + u"\n"_s
             + rowCountsText(descriptions, rowsBefore, rowsAfter));

    if (copyVolumeFailed(outcome)) {
        return cannotPredict(u"writing the copies in %1 failed (no room or an I/O error)"_s.arg(
            QDir::toNativeSeparators(copies.path())));
    }
    // The real run fails either way; room only matters to one that would succeed.
    if (!problem.isEmpty())
        return predictFailure(problem + u'.');
    if (!outcome.succeeded())
        return predictFailure(lastLogLine);
    const RoomNeeded needed = roomNeeded(before, after);
    if (available >= 0 && available < needed.least) {
        return predictFailure(u"the files grow by %1, but the volume has only %2 free."_s.arg(
            DiskRoom::sizeText(needed.least), DiskRoom::sizeText(available)));
    }
    if (available >= 0 && available < needed.most) {
        return cannotPredict(u"a run needs between %1 and %2 of room, and %3 are free"_s.arg(
            DiskRoom::sizeText(needed.least), DiskRoom::sizeText(needed.most),
            DiskRoom::sizeText(available)));
    }
    printOut(u"A real run would end with exit status 0.\n"_s);
    return 0;
}
