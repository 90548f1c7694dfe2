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

QStringList UpdaterDescription::statementsWithoutBlocks(qint32 storedVersion) const
{
    if (isNewerThanProgram(storedVersion))
        return statementsAfterStamp;
    return stampStatements + statementsAfterStamp;
}
