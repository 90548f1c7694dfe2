#include "filelayouts.h"

#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

using namespace Qt::StringLiterals;

namespace {

FileLayout fileLayout(const UpdaterDescription &description)
{
    return {description.fileName, description.currentVersion, description.blocks,
            description.layout, description.rowCounts};
}

} // namespace

QString FileLayout::targetText() const
{
    return targetVersion ? QString::number(*targetVersion) : u"unchanged"_s;
}

QStringList FileLayout::pendingBlocks(qint32 storedVersion) const
{
    QStringList names;
    for (const UpgradeBlock &block : blocks) {
        if (block.isNeededAt(storedVersion))
            names << block.name;
    }
    return names;
}

const QList<FileLayout> &fileLayouts()
{
    static const QList<FileLayout> layouts = {
        fileLayout(UpdateProfile::description()),
        fileLayout(UpdateData::description()),
        fileLayout(UpdateQc::description()),
        fileLayout(UpdateSyslog::description()),
    };
    return layouts;
}
