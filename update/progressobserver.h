#pragma once

#include <QString>

// Learns where an updater is while it updates its file. A step is one labelled statement the
// updater runs, one copy of a table by column name, the filling of the assay variables, or the
// saving of the changes, which is always the last; the step count of a file is known when it
// starts, and a run that succeeds ends on step stepCount of stepCount.
class ProgressObserver
{
public:
    virtual ~ProgressObserver() = default;

    virtual void fileStarted(const QString &fileName, int stepCount) = 0;
    // step counts from 1; text says briefly what the step does ("creating table results").
    virtual void stepStarted(int step, const QString &text) = 0;
    // Also when the update failed.
    virtual void fileFinished() = 0;
};

// What the statement does, in a few words: "creating table results", "copying result ->
// results", "saving the changes". A statement of another kind is "running a statement".
QString statementStepText(const QString &statement);
