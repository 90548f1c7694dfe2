#include "updaters.h"

#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

namespace {

template<typename Updater> UpdaterEntry entry()
{
    return {&Updater::description(), [] { return std::unique_ptr<UpdateBase>(new Updater); }};
}

} // namespace

const QList<UpdaterEntry> &updatersInRunOrder()
{
    static const QList<UpdaterEntry> updaters = {
        entry<UpdateProfile>(),
        entry<UpdateData>(),
        entry<UpdateQc>(),
        entry<UpdateSyslog>(),
    };
    return updaters;
}
