#include "statusreport.h"

#include "consoleoutput.h"
#include "diskroom.h"
#include "filename.h"
#include "filestate.h"
#include "jsondocument.h"
#include "sqlitefile.h"
#include "updaters.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace {

// In the order of precedence; the exit status is 2 for the last two.
enum Outcome {
    UpToDate,
    UpgradePending,
    LayoutDiffers,
    Blocked,
};

int exitStatus(Outcome outcome)
{
    return outcome == Blocked ? 2 : int(outcome);
}

struct Assessment
{
    QString action;
    Outcome outcome;
    // The action names a reason for which a run stops at a file it changes.
    bool stopsRun = false;
    // The upgrade blocks a run applies, in their order.
    QStringList blocks;
};

Assessment stopsRun(const QString &reason)
{
    return {reason, Blocked, true};
}

Assessment plannedRun(const UpdaterDescription &description, qint32 storedVersion)
{
    if (description.isOnlyRead())
        return {u"up to date"_s, UpToDate};
    if (description.isNewerThanProgram(storedVersion))
        return {u"newer than this program: left as it is"_s, UpToDate};
    const QStringList blocks = description.pendingBlocks(storedVersion);
    if (blocks.isEmpty())
        return {u"up to date"_s, UpToDate};
    return {
        u"run blocks: %1; stamp version %2"_s.arg(blocks.join(u", "_s), description.targetText()),
        UpgradePending, false, blocks};
}

Assessment assessState(const UpdaterDescription &description, const FileState &inspection)
{
    switch (inspection.state) {
    case FileState::State::Missing: {
        if (description.isOnlyRead())
            return {u"missing: will be created, empty"_s, UpgradePending};
        const Assessment planned = plannedRun(description, 0);
        return {u"missing: will be created, then "_s + planned.action, UpgradePending, false,
                planned.blocks};
    }
    case FileState::State::Readable:
        return plannedRun(description, *inspection.stored.version);
    case FileState::State::NotDatabase:
        return stopsRun(u"not a database"_s);
    case FileState::State::Locked:
        return stopsRun(u"locked by another process"_s);
    case FileState::State::LogInUseOrLeft:
        return {u"a write-ahead log lies next to it: open in another process or left by an "
                u"interrupted write, which cannot be told without writing"_s,
                Blocked};
    case FileState::State::JournalInUseOrLeft:
        return {u"an unfinished journal lies next to it: another process may be writing it, "
                u"which cannot be told without writing"_s,
                Blocked};
    case FileState::State::UnfinishedWrite:
        return {u"an interrupted write left a journal: a run first restores the file from it"_s,
                UpgradePending};
    case FileState::State::NoVersionNumber:
        return stopsRun(u"its version table holds "_s + inspection.stored.problem);
    case FileState::State::RunRefuses:
        return stopsRun(inspection.detail);
    case FileState::State::Unreadable:
        break;
    }
    return stopsRun(u"cannot be read (%1)"_s.arg(inspection.detail));
}

// The state of the file, with whether the run could open and write it at all, then what the
// statements a run executes at every version meet, then whether a file that a run leaves at its
// version lacks part of the layout that version promises.
Assessment assessFile(const UpdaterDescription &description, const FileState &inspection)
{
    const Assessment assessment = assessState(description, inspection);
    if (assessment.outcome == Blocked)
        return assessment;
    if (!inspection.runFailure.isEmpty())
        return stopsRun(inspection.runFailure);
    if (!inspection.runDoubt.isEmpty())
        return {inspection.runDoubt, Blocked};
    if (assessment.outcome == UpToDate && inspection.layoutDiffers())
        return {u"its layout differs from what its version promises, and a run does not repair "
                u"it"_s,
                LayoutDiffers};
    return assessment;
}

// A file that is only read never ends a run: the run notes the problem and goes on.
Assessment assess(const UpdaterDescription &description, const FileState &inspection)
{
    Assessment assessment = assessFile(description, inspection);
    if (assessment.stopsRun) {
        assessment.action += description.isOnlyRead() ? u": a run notes it and goes on"_s
                                                      : u": a run stops here"_s;
    }
    return assessment;
}

// What the look at one file found and what a run would do to it.
struct FileReport
{
    const UpdaterDescription *description;
    FileState inspection;
    Assessment assessment;
    // The room a run needs to change it; 0 for a file a run does not change.
    qint64 roomNeeded = 0;
};

// Adds up, in run order, the room the files a run changes need at most, and notes the first
// file at which the room may run out.
class RoomTally
{
public:
    RoomTally()
        : m_available(DiskRoom::available())
    {
    }

    // Counts the file in; the room it needs.
    qint64 add(const QString &fileName, const Assessment &assessment)
    {
        if (assessment.outcome != UpgradePending)
            return 0;
        const qint64 needed = DiskRoom::neededToChange(FileName::size(fileName));
        m_needed += needed;
        if (m_available >= 0 && m_needed > m_available && m_runsOutAt.isEmpty()) {
            m_runsOutAt = fileName;
            m_neededThere = m_needed;
        }
        return needed;
    }

    // The warning that follows the action for the file at which the room may run out.
    QString warning(const QString &fileName) const
    {
        if (fileName != m_runsOutAt)
            return QString();
        return u"; the volume may run out of room here: a run needs up to %1, %2 are free"_s.arg(
            DiskRoom::sizeText(m_neededThere), DiskRoom::sizeText(m_available));
    }

    QString summary() const
    {
        const QString available = m_available < 0 ? u"unknown"_s : DiskRoom::sizeText(m_available);
        if (m_needed == 0)
            return u"Free on the volume: %1; a run needs no more room.\n"_s.arg(available);
        return u"Free on the volume: %1; a run needs up to %2 more while it works.\n"_s.arg(
            available, DiskRoom::sizeText(m_needed));
    }

    QJsonObject toJson() const
    {
        return {{u"freeBytes"_s, bytesJson(m_available)},
                {u"neededBytes"_s, m_needed},
                {u"mayRunOutAt"_s,
                 m_runsOutAt.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(m_runsOutAt)}};
    }

private:
    qint64 m_available;
    qint64 m_needed = 0;
    QString m_runsOutAt;
    qint64 m_neededThere = 0;
};

QString summary(Outcome outcome)
{
    switch (outcome) {
    case UpToDate:
        return u"Every file is up to date.\n"_s;
    case UpgradePending:
        return u"An upgrade is pending.\n"_s;
    case LayoutDiffers:
        return u"A file lacks part of the layout its version promises; a run does not repair "
               u"it.\n"_s;
    case Blocked:
        break;
    }
    return u"A run would stop at one of the files, or cannot be predicted without writing.\n"_s;
}

QString verdictName(const Assessment &assessment)
{
    switch (assessment.outcome) {
    case UpToDate:
        return u"up-to-date"_s;
    case UpgradePending:
        return u"upgrade-pending"_s;
    case LayoutDiffers:
        return u"layout-differs"_s;
    case Blocked:
        break;
    }
    return assessment.stopsRun ? u"run-stops"_s : u"cannot-tell"_s;
}

QJsonArray sideFilesJson(const QString &fileName)
{
    QJsonArray found;
    for (const SqliteFile::SideFile sideFile : SqliteFile::sideFiles) {
        const QString name = SqliteFile::sideFileName(fileName, sideFile);
        if (!name.isEmpty() && FileName::entryType(name) != FileName::Type::None)
            found << QJsonObject {{u"name"_s, FileName::shown(name)},
                                  {u"kind"_s, SqliteFile::sideFileKind(sideFile)}};
    }
    return found;
}

QJsonObject fileJson(const FileReport &file)
{
    const UpdaterDescription &description = *file.description;
    QJsonObject object = file.inspection.toJson(description);
    const QList<std::pair<QString, QJsonValue>> fields = {
        {u"name"_s, description.fileName},
        {u"exists"_s, FileName::exists(description.fileName)},
        {u"targetVersion"_s,
         description.currentVersion ? QJsonValue(*description.currentVersion)
                                    : QJsonValue(QJsonValue::Null)},
        {u"onlyRead"_s, description.isOnlyRead()},
        {u"sideFiles"_s, sideFilesJson(description.fileName)},
        {u"blocks"_s, QJsonArray::fromStringList(file.assessment.blocks)},
        {u"verdict"_s, verdictName(file.assessment)},
        {u"runStops"_s, file.assessment.stopsRun},
        {u"action"_s, file.assessment.action},
        {u"roomNeededBytes"_s, file.roomNeeded},
    };
    for (const auto &[key, value] : fields)
        object.insert(key, value);
    return object;
}

void printText(const QList<FileReport> &files, const RoomTally &room, Outcome worst)
{
    QList<QStringList> rows = {{u"File"_s, u"Exists"_s, u"Database"_s, u"Stored"_s, u"Brought to"_s,
                                u"Layout"_s, u"What a run would do"_s}};
    QStringList differences;
    for (const FileReport &file : files) {
        const UpdaterDescription &description = *file.description;
        rows << QStringList {description.fileName,
                             FileName::exists(description.fileName) ? u"yes"_s : u"no"_s,
                             file.inspection.databaseText(),
                             file.inspection.storedVersionText(),
                             description.targetText(),
                             file.inspection.layoutText(description),
                             file.assessment.action + room.warning(description.fileName)};
        differences << file.inspection.layoutDifferenceLines(description.fileName);
    }
    printOut(u"Files in %1:\n"_s.arg(FileName::shown(FileName::currentDirectory())));
    printOut(formatTable(rows));
    printOut(layoutDifferencesText(differences));
    printOut(room.summary());
    printOut(summary(worst));
    printOut(u"A write lock that another process has taken shows only once that process writes:\n"
             u"close the analyser application before a run.\n"_s);
}

// The verdict of the worst file; of the two verdicts of exit status 2, a run that stops is the
// surer one.
QString overallVerdict(const QList<FileReport> &files, Outcome worst)
{
    QString verdict = u"up-to-date"_s;
    for (const FileReport &file : files) {
        if (file.assessment.outcome != worst)
            continue;
        verdict = verdictName(file.assessment);
        if (worst != Blocked || file.assessment.stopsRun)
            break;
    }
    return verdict;
}

void printJson(const QList<FileReport> &files, const RoomTally &room, Outcome worst)
{
    QJsonArray fileList;
    for (const FileReport &file : files)
        fileList << fileJson(file);
    printJsonDocument(u"status"_s,
                      {{u"directory"_s, FileName::shown(FileName::currentDirectory())},
                       {u"files"_s, fileList},
                       {u"room"_s, room.toJson()},
                       {u"verdict"_s, overallVerdict(files, worst)},
                       {u"exitStatus"_s, exitStatus(worst)}});
}

} // namespace

int printStatusReport(bool json)
{
    QList<FileReport> files;
    Outcome worst = UpToDate;
    RoomTally room;
    for (const UpdaterEntry &entry : updatersInRunOrder()) {
        FileReport file {entry.description, inspectFile(*entry.description), {}};
        file.assessment = assess(*file.description, file.inspection);
        file.roomNeeded = room.add(file.description->fileName, file.assessment);
        worst = qMax(worst, file.assessment.outcome);
        files << file;
    }
    if (json)
        printJson(files, room, worst);
    else
        printText(files, room, worst);
    return exitStatus(worst);
}
