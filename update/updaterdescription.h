#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One upgrade block of an updater: it runs while the stored version is below `below`, in
// `steps` steps (see ProgressObserver), the schema and the data it writes together.
struct UpgradeBlock
{
    qint32 below;
    QString name;
    int steps;

    bool isNeededAt(qint32 storedVersion) const { return storedVersion < below; }
};

// A column as an updater's statements give it. An empty collation means that the statement
// sets none, so any collation is accepted.
struct ColumnLayout
{
    QString name;
    QString declaredType;
    QString collation;
};

// A table that an updater's statements create or change, with only the columns they give it.
struct TableLayout
{
    QString name;
    QList<ColumnLayout> columns;
};

// A named index and the columns it is on, in order.
struct IndexLayout
{
    QString name;
    QString table;
    QStringList columns;
};

// A named trigger and the table it is defined on.
struct TriggerLayout
{
    QString name;
    QString table;
};

// What a file holds after all of its updater's blocks ran. Anything else in the file (the
// application's own tables, columns and indexes) is outside of it.
struct SchemaLayout
{
    QList<TableLayout> tables;
    QList<IndexLayout> indexes;
    QList<TriggerLayout> triggers;
    QStringList views;
};

// A table whose rows a run rebuilds or fills, counted before and after a run. A table that the
// run replaces by another is counted under its old name before and its new one after; with a
// condition, only the rows that match it are counted.
struct RowCount
{
    QString tableBefore;
    QString tableAfter;
    QString condition;
};

// What an updater does to its file, declared once beside its statements: the version it
// brings the file to, the blocks on the way in the order they run, the layout that its
// current version promises, and the tables whose rows it rebuilds or fills.
struct UpdaterDescription
{
    QString fileName;
    std::optional<qint32> currentVersion; // none: the file is only read
    QList<UpgradeBlock> blocks;
    SchemaLayout layout;
    QList<RowCount> rowCounts;
    // The statements a run executes after the blocks whatever the version: the version stamp,
    // which a file newer than this program does not get, and those that follow it.
    QStringList stampStatements;
    QStringList statementsAfterStamp;
    // The steps a run that updates the file takes whatever the version: those of the version
    // stamp, of the statements after the blocks and of the saving.
    int stepsOfEachRun = 0;

    // A run opens the file and reads it, and writes nothing.
    bool isOnlyRead() const { return !currentVersion; }
    // "4", or "unchanged" for a file that is only read.
    QString targetText() const;
    // The blocks a file at storedVersion still needs, in the order they run.
    QStringList pendingBlocks(qint32 storedVersion) const;
    // The steps of a run that updates a file at storedVersion.
    int stepCount(qint32 storedVersion) const;
    // What a run executes on a file at storedVersion that needs no block.
    QStringList statementsWithoutBlocks(qint32 storedVersion) const;
    // A file that records a version above the one this program brings it to keeps its version.
    bool isNewerThanProgram(qint32 storedVersion) const
    {
        return currentVersion && storedVersion > *currentVersion;
    }
};
