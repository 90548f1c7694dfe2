#include "serviceoptions.h"

#include "consoleoutput.h"
#include "diskroom.h"
#include "filename.h"
#include "sqlitefile.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace {

// In the order of precedence: the worst verdict of the files is the report's.
enum Verdict { UpToDate, UpgradePending, LayoutDiffers, CannotTell, RunStops };

// What the report makes of a verdict: its name in JSON, the exit status and, for the worst
// verdict of the files, the last line of the text.
struct VerdictMeaning
{
    QString name;
    int exitStatus;
    QString summary;
};

VerdictMeaning meaningOf(Verdict verdict)
{
    const QString runMayStop
        = u"A run would stop at one of the files, or cannot be predicted without writing.\n"_s;
    switch (verdict) {
    case UpToDate:
        return {u"up-to-date"_s, 0, u"Every file is up to date.\n"_s};
    case UpgradePending:
        return {u"upgrade-pending"_s, 1, u"An upgrade is pending.\n"_s};
    case LayoutDiffers:
        return {u"layout-differs"_s, 2,
                u"A file lacks part of the layout its version promises; a run does not repair "
                u"it.\n"_s};
    case CannotTell:
        return {u"cannot-tell"_s, 2, runMayStop};
    case RunStops:
        break;
    }
    return {u"run-stops"_s, 2, runMayStop};
}

// What a run would do to the file, or why it stops or cannot be told (the last column of the
// table), and the verdict on the file.
std::pair<Verdict, QString> verdictAndAction(const FileDeclaration &description, const Plan &plan)
{
    const QString upgrade = u"run blocks: %1; stamp version %2"_s.arg(plan.blocks.join(u", "_s),
                                                                      description.targetText());
    switch (plan.kind) {
    case Plan::Kind::UpToDate:
    case Plan::Kind::OnlyRead:
        return {UpToDate, u"up to date"_s};
    case Plan::Kind::LeftNewer:
        return {UpToDate, u"newer than this program: left as it is"_s};
    case Plan::Kind::Create:
        return {UpgradePending,
                plan.blocks.isEmpty() ? u"missing: will be created, empty"_s
                                      : u"missing: will be created, then "_s + upgrade};
    case Plan::Kind::Upgrade:
        return {UpgradePending, upgrade};
    case Plan::Kind::Refresh:
        return {UpgradePending, u"pending: "_s + plan.reason};
    case Plan::Kind::Restore:
        return {UpgradePending,
                u"an interrupted write left a journal: a run first restores the file from it"_s};
    case Plan::Kind::LayoutDiffers:
        return {LayoutDiffers,
                u"its layout differs from what its version promises, and a run does not repair "
                u"it"_s};
    case Plan::Kind::CannotTell:
        return {CannotTell, plan.reason};
    case Plan::Kind::Stops:
        break;
    }
    const QString outcome
        = description.isOnlyRead() ? u"a run notes it and goes on"_s : u"a run stops here"_s;
    return {RunStops, plan.reason + u": "_s + outcome};
}

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
                {u"mayRunOutAt"_s, orNull(m_runsOutAt)}};
    }

private:
    qint64 m_available = DiskRoom::available();
    qint64 m_needed = 0;
    qint64 m_backupNeeded = 0;
    QString m_runsOutAt;
    qint64 m_neededThere = 0;
};

QJsonArray sideFilesJson(const QString &fileName)
{
    QJsonArray found;
    for (const SqliteFile::SideFile sideFile : SqliteFile::sideFiles) {
        const QString name = SqliteFile::sideFileName(fileName, sideFile);
        if (FileName::entryType(name) != FileName::Type::None)
            found << QJsonObject {{u"name"_s, FileName::shown(name)},
                                  {u"kind"_s, SqliteFile::sideFileKind(sideFile)}};
    }
    return found;
}

} // namespace

int printStatusReport(bool json)
{
    QList<QStringList> rows = {{u"File"_s, u"Exists"_s, u"Database"_s, u"Stored"_s, u"Brought to"_s,
                                u"Layout"_s, u"What a run would do"_s}};
    QList<std::pair<QString, FileState>> looks;
    QJsonArray files;
    Verdict worst = UpToDate;
    RoomTally room;
    for (const FileDeclaration &description : declaredFiles()) {
        const QString &fileName = description.fileName;
        const FileState look = inspectFile(description);
        const Plan plan = planRun(description, look);
        const auto [verdict, action] = verdictAndAction(description, plan);
        const qint64 roomNeeded = room.add(fileName, verdict, plan.kind);
        worst = qMax(worst, verdict);
        const bool exists = FileName::exists(fileName);
        rows << QStringList {fileName,
                             exists ? u"yes"_s : u"no"_s,
                             databaseText(look),
                             storedVersionText(look),
                             description.targetText(),
                             layoutText(look.layout(description)),
                             action + room.warning(fileName)};
        looks.append({fileName, look});
        files << fileStateJson(look, description,
                               {{u"name"_s, fileName},
                                {u"exists"_s, exists},
                                {u"targetVersion"_s, orNull(description.currentVersion)},
                                {u"onlyRead"_s, description.isOnlyRead()},
                                {u"sideFiles"_s, sideFilesJson(fileName)},
                                {u"blocks"_s, QJsonArray::fromStringList(plan.blocks)},
                                {u"verdict"_s, meaningOf(verdict).name},
                                {u"runStops"_s, verdict == RunStops},
                                {u"action"_s, action},
                                {u"roomNeededBytes"_s, roomNeeded}});
    }
    const VerdictMeaning report = meaningOf(worst);
    if (json) {
        printJsonDocument(u"status"_s,
                          {{u"directory"_s, FileName::shown(FileName::currentDirectory())},
                           {u"files"_s, files},
                           {u"room"_s, room.toJson()},
                           {u"verdict"_s, report.name},
                           {u"exitStatus"_s, report.exitStatus}});
        return report.exitStatus;
    }
    printOut(u"Files in %1:\n"_s.arg(FileName::shown(FileName::currentDirectory()))
             + formatTable(rows) + layoutDifferencesText(looks) + room.summary() + report.summary
             + u"A write lock that another process has taken shows only once that process "
               u"writes:\nclose the analyser application before a run.\n"_s);
    return report.exitStatus;
}
