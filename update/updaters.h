#pragma once

#include "updatebase.h"
#include "updaterdescription.h"

#include <QList>

#include <memory>

// One of the updaters: what it does to its file, and the updater itself, made anew for each
// run of it.
struct UpdaterEntry
{
    const UpdaterDescription *description;
    std::unique_ptr<UpdateBase> (*make)();
};

// The four updaters in the order a run takes them: profile.db, data.db, qc.db, syslog.db.
const QList<UpdaterEntry> &updatersInRunOrder();
