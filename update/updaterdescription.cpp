#include "updaterdescription.h"

using namespace Qt::StringLiterals;

QString UpdaterDescription::targetText() const
{
    return currentVersion ? QString::number(*currentVersion) : u"unchanged"_s;
}

QStringList UpdaterDescription::pendingBlocks(qint32 storedVersion) const
{
    QStringList names;
    for (const UpgradeBlock &block : blocks) {
        if (block.isNeededAt(storedVersion))
            names << block.name;
    }
    return names;
}

int UpdaterDescription::stepCount(qint32 storedVersion) const
{
    int steps = stepsOfEachRun;
    for (const UpgradeBlock &block : blocks) {
        if (block.isNeededAt(storedVersion))
            steps += block.steps;
    }
    return steps;
}

QStringList UpdaterDescription::statementsWithoutBlocks(qint32 storedVersion) const
{
    if (isNewerThanProgram(storedVersion))
        return statementsAfterStamp;
    return stampStatements + statementsAfterStamp;
}
