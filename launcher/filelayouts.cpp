#include "filelayouts.h"

#include "updatedata.h"
#include "updateprofile.h"
#include "updatesyslog.h"

using namespace Qt::StringLiterals;

QString FileLayout::targetText() const
{
    return targetVersion ? QString::number(*targetVersion) : u"unchanged"_s;
}

QStringList FileLayout::pendingBlocks(qint32 storedVersion) const
{
    QStringList names;
    for (const UpgradeBlock &block : blocks) {
        if (storedVersion < block.below)
            names << block.name;
    }
    return names;
}

const QList<FileLayout> &fileLayouts()
{
    static const QList<FileLayout> layouts = {
        {u"profile.db"_s,
         UpdateProfile::currentVersion,
         {{1, u"version 1"_s}, {2, u"version 2"_s}, {3, u"version 3"_s}, {4, u"version 4"_s}}},
        {u"data.db"_s,
         UpdateData::currentVersion,
         {{1, u"first generation"_s}, {2, u"version 2"_s}, {3, u"version 3"_s}}},
        {u"qc.db"_s, std::nullopt, {}},
        {u"syslog.db"_s, UpdateSyslog::currentVersion, {{1, u"balance table"_s}}},
    };
    return layouts;
}
