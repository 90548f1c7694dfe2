#include "serviceoptions.h"

#include "consoleoutput.h"
#include "diskroom.h"
#include "filename.h"
#include "sqlitefile.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace {

// In the order of precedence: the worst verdict of the files is the report's.
enum Verdict {
    UpToDate,
    UpgradePending,
    LayoutDiffers,
    CannotTell,
    RunStops,
};

QString verdictName(Verdict verdict)
{
    switch (verdict) {
    case UpToDate:
        return u"up-to-date"_s;
    case UpgradePending:
        return u"upgrade-pending"_s;
    case LayoutDiffers:
        return u"layout-differs"_s;
    case CannotTell:
        return u"cannot-tell"_s;
    case RunStops:
        break;
    }
    return u"run-stops"_s;
}

int exitStatusOf(Verdict verdict)
{
    switch (verdict) {
    case UpToDate:
        return 0;
    case UpgradePending:
        return 1;
    case LayoutDiffers:
    case CannotTell:
    case RunStops:
        break;
    }
    return 2;
}

// The last column of the table: what a run would do, or why it stops or cannot be told.
QString actionText(const FileDeclaration &description, const Plan &plan)
{
    const QString upgrade = u"run blocks: %1; stamp version %2"_s.arg(plan.blocks.join(u", "_s),
                                                                      description.targetText());
    switch (plan.kind) {
    case Plan::Kind::UpToDate:
    case Plan::Kind::OnlyRead:
        return u"up to date"_s;
    case Plan::Kind::LeftNewer:
        return u"newer than this program: left as it is"_s;
    case Plan::Kind::Create:
        return plan.blocks.isEmpty() ? u"missing: will be created, empty"_s
                                     : u"missing: will be created, then "_s + upgrade;
    case Plan::Kind::Upgrade:
        return upgrade;
    case Plan::Kind::Refresh:
        return u"pending: "_s + plan.reason;
    case Plan::Kind::Restore:
        return u"an interrupted write left a journal: a run first restores the file from it"_s;
    case Plan::Kind::LayoutDiffers:
        return u"its layout differs from what its version promises, and a run does not repair "
               u"it"_s;
    case Plan::Kind::CannotTell:
        return plan.reason;
    case Plan::Kind::Stops:
        break;
    }
    // A file that is only read never ends a run: the run notes the problem and goes on.
    return plan.reason
        + (description.isOnlyRead() ? u": a run notes it and goes on"_s : u": a run stops here"_s);
}

// The verdict on a file that a run treats as the plan says.
Verdict verdictOf(Plan::Kind kind)
{
    switch (kind) {
    case Plan::Kind::UpToDate:
    case Plan::Kind::OnlyRead:
    case Plan::Kind::LeftNewer:
        return UpToDate;
    case Plan::Kind::Create:
    case Plan::Kind::Upgrade:
    case Plan::Kind::Refresh:
    case Plan::Kind::Restore:
        return UpgradePending;
    case Plan::Kind::LayoutDiffers:
        return LayoutDiffers;
    case Plan::Kind::CannotTell:
        return CannotTell;
    case Plan::Kind::Stops:
        break;
    }
    return RunStops;
}

// What the look at one file found and what a run would do to it.
struct FileReport
{
    const FileDeclaration *description;
    FileState look;
    Plan plan;
    Verdict verdict;
    // The room a run needs to change it; 0 for a file a run does not change.
    qint64 roomNeeded = 0;
};

// Adds up, in run order, the room the files a run changes need at most, and notes the first
// file at which the room may run out.
class RoomTally
{
public:
    // Counts the file in; the room it needs. A run with a backup copies a file it upgrades.
    qint64 add(const QString &fileName, Verdict verdict, Plan::Kind kind)
    {
        if (kind == Plan::Kind::Upgrade)
            m_backupNeeded += FileName::size(fileName);
        if (verdict != UpgradePending)
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
        return u"Free on the volume: %1; a run needs up to %2 more while it works, and a backup "
               u"of the files it upgrades %3 on the backup's volume.\n"_s.arg(
                   available, DiskRoom::sizeText(m_needed), DiskRoom::sizeText(m_backupNeeded));
    }

    QJsonObject toJson() const
    {
        return {{u"freeBytes"_s, bytesJson(m_available)},
                {u"neededBytes"_s, m_needed},
                {u"backupNeededBytes"_s, m_backupNeeded},
                {u"mayRunOutAt"_s,
                 m_runsOutAt.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(m_runsOutAt)}};
    }

private:
    qint64 m_available = DiskRoom::available();
    qint64 m_needed = 0;
    qint64 m_backupNeeded = 0;
    QString m_runsOutAt;
    qint64 m_neededThere = 0;
};

QString summary(Verdict worst)
{
    switch (worst) {
    case UpToDate:
        return u"Every file is up to date.\n"_s;
    case UpgradePending:
        return u"An upgrade is pending.\n"_s;
    case LayoutDiffers:
        return u"A file lacks part of the layout its version promises; a run does not repair it.\n"_s;
    case CannotTell:
    case RunStops:
        break;
    }
    return u"A run would stop at one of the files, or cannot be predicted without writing.\n"_s;
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
    const FileDeclaration &description = *file.description;
    return fileStateJson(file.look, description,
                         {{u"name"_s, description.fileName},
                          {u"exists"_s, FileName::exists(description.fileName)},
                          {u"targetVersion"_s,
                           description.currentVersion ? QJsonValue(*description.currentVersion)
                                                      : QJsonValue(QJsonValue::Null)},
                          {u"onlyRead"_s, description.isOnlyRead()},
                          {u"sideFiles"_s, sideFilesJson(description.fileName)},
                          {u"blocks"_s, QJsonArray::fromStringList(file.plan.blocks)},
                          {u"verdict"_s, verdictName(file.verdict)},
                          {u"runStops"_s, file.verdict == RunStops},
                          {u"action"_s, actionText(description, file.plan)},
                          {u"roomNeededBytes"_s, file.roomNeeded}});
}

} // namespace

int printStatusReport(bool json)
{
    QList<FileReport> files;
    Verdict worst = UpToDate;
    RoomTally room;
    for (const FileDeclaration &description : declaredFiles()) {
        const FileState look = inspectFile(description);
        const Plan plan = planRun(description, look);
        const Verdict verdict = verdictOf(plan.kind);
        files << FileReport {&description, look, plan, verdict,
                             room.add(description.fileName, verdict, plan.kind)};
        worst = qMax(worst, verdict);
    }
    const int exitStatus = exitStatusOf(worst);
    if (json) {
        QJsonArray fileList;
        for (const FileReport &file : files)
            fileList << fileJson(file);
        printJsonDocument(u"status"_s,
                          {{u"directory"_s, FileName::shown(FileName::currentDirectory())},
                           {u"files"_s, fileList},
                           {u"room"_s, room.toJson()},
                           {u"verdict"_s, verdictName(worst)},
                           {u"exitStatus"_s, exitStatus}});
        return exitStatus;
    }
    QList<QStringList> rows = {{u"File"_s, u"Exists"_s, u"Database"_s, u"Stored"_s, u"Brought to"_s,
                                u"Layout"_s, u"What a run would do"_s}};
    QList<std::pair<QString, FileState>> looks;
    for (const FileReport &file : files) {
        const FileDeclaration &description = *file.description;
        rows << QStringList {description.fileName,
                             FileName::exists(description.fileName) ? u"yes"_s : u"no"_s,
                             databaseText(file.look),
                             storedVersionText(file.look),
                             description.targetText(),
                             layoutText(file.look.layout(description)),
                             actionText(description, file.plan)
                                 + room.warning(description.fileName)};
        looks.append({description.fileName, file.look});
    }
    printOut(u"Files in %1:\n"_s.arg(FileName::shown(FileName::currentDirectory())));
    printOut(formatTable(rows));
    printOut(layoutDifferencesText(looks));
    printOut(room.summary());
    printOut(summary(worst));
    printOut(u"A write lock that another process has taken shows only once that process writes:\n"
             u"close the analyser application before a run.\n"_s);
    return exitStatus;
}
