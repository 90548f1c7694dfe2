#pragma once

#include "updatebase.h"

// How a run over the files ended: the outcome of each file it reached, in run order.
struct RunOutcome
{
    QList<UpdateOutcome> files;

    bool succeeded() const { return files.isEmpty() || files.last().succeeded(); }
};

// Runs the updaters in their fixed order until one fails; the observer, if given, learns of
// each step.
RunOutcome runUpdaters(ProgressObserver *progress = nullptr);
