#include "statusreport.h"

#include "consoleoutput.h"
#include "filelayouts.h"
#include "filestate.h"

#include <QDir>

using namespace Qt::StringLiterals;

namespace {

enum Outcome {
    UpToDate = 0,
    UpgradePending = 1,
    Blocked = 2,
};

struct Assessment
{
    QString action;
    Outcome outcome;
};

Assessment plannedRun(const FileLayout &layout, qint32 storedVersion)
{
    if (!layout.targetVersion)
        return {u"up to date"_s, UpToDate};
    if (storedVersion > *layout.targetVersion)
        return {u"newer than this program: left as it is"_s, UpToDate};
    const QStringList blocks = layout.pendingBlocks(storedVersion);
    if (blocks.isEmpty())
        return {u"up to date"_s, UpToDate};
    return {u"run blocks: %1; stamp version %2"_s.arg(blocks.join(u", "_s), layout.targetText()),
            UpgradePending};
}

Assessment assess(const FileLayout &layout, const FileState &inspection)
{
    switch (inspection.state) {
    case FileState::State::Missing:
        if (!layout.targetVersion)
            return {u"missing: will be created, empty"_s, UpgradePending};
        return {u"missing: will be created, then "_s + plannedRun(layout, 0).action,
                UpgradePending};
    case FileState::State::Readable:
        return plannedRun(layout, *inspection.storedVersion);
    case FileState::State::NotDatabase:
        return {u"not a database: a run stops here"_s, Blocked};
    case FileState::State::Locked:
        return {u"locked by another process: a run stops here"_s, Blocked};
    case FileState::State::OpenElsewhere:
        return {u"open in another process (write-ahead log): close it first"_s, Blocked};
    case FileState::State::UnfinishedWrite:
        return {u"an interrupted write left a journal: a run first restores the file"_s,
                UpgradePending};
    case FileState::State::NoVersionNumber:
        return {u"its version table holds no version number: a run stops here"_s, Blocked};
    case FileState::State::Unreadable:
        break;
    }
    return {u"cannot be read (%1): a run stops here"_s.arg(inspection.detail), Blocked};
}

QString databaseText(FileState::State state)
{
    switch (state) {
    case FileState::State::Missing:
        return u"-"_s;
    case FileState::State::NotDatabase:
        return u"no"_s;
    case FileState::State::Unreadable:
        return u"?"_s;
    default:
        return u"yes"_s;
    }
}

QString summary(Outcome outcome)
{
    switch (outcome) {
    case UpToDate:
        return u"Every file is up to date.\n"_s;
    case UpgradePending:
        return u"An upgrade is pending.\n"_s;
    case Blocked:
        break;
    }
    return u"A file cannot be read or is in use by another process.\n"_s;
}

} // namespace

int printStatusReport()
{
    QList<QStringList> rows = {{u"File"_s, u"Exists"_s, u"Database"_s, u"Stored"_s, u"Brought to"_s,
                                u"What a run would do"_s}};
    Outcome worst = UpToDate;
    for (const FileLayout &layout : fileLayouts()) {
        const FileState inspection = inspectFile(
            layout.fileName, layout.targetVersion ? LockCheck::WriteLock : LockCheck::ReadLock);
        const Assessment assessment = assess(layout, inspection);
        worst = qMax(worst, assessment.outcome);
        rows << QStringList {layout.fileName,
                             inspection.state == FileState::State::Missing ? u"no"_s : u"yes"_s,
                             databaseText(inspection.state),
                             inspection.storedVersionText(),
                             layout.targetText(),
                             assessment.action};
    }
    printOut(u"Files in %1:\n"_s.arg(QDir::toNativeSeparators(QDir::currentPath())));
    printOut(formatTable(rows));
    printOut(summary(worst));
    return worst;
}
