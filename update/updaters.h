#pragma once

#include "updaterdescription.h"

// One of the updaters, in the order a run takes them.
struct UpdaterEntry
{
    const UpdaterDescription *description;
};

const QList<UpdaterEntry> &updatersInRunOrder();
