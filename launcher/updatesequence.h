#pragma once

#include "fileupdate.h"

// How a run over the files ended: the ending of each file it reached, in run order.
struct RunOutcome
{
    QList<UpdateEnding> files;

    bool succeeded() const { return files.isEmpty() || files.last().succeeded(); }
};

// Runs the updaters in their fixed order until one fails, writing their lines into the log; the
// observer, if given, learns of each step, and the backup, if given, gets a copy of each file
// the run upgrades before its first write.
RunOutcome runUpdaters(ProgressObserver *progress = nullptr, BackupDirectory *backup = nullptr,
                       RunLog &log = messageLog());

// Why a run would not start with the backup directory, told without writing into it: it holds
// something else, or its volume lacks room for the copies of the files the run upgrades (and,
// on the working directory's volume, for the upgrade as well); empty when nothing stands in the
// way or the room is unknown.
QString backupProblem(const QString &backupDirectory);
// The line of a run that does not start for the backup's problem.
QString backupRefusal(const QString &problem);
