#pragma once

#include "updaterdescription.h"

#include <QList>
#include <QString>

#include <optional>

// What a run does to one of the files, as its updater in update/ declares it: the version it
// brings the file to, the blocks on the way and the layout that version promises.
struct FileLayout
{
    QString fileName;
    std::optional<qint32> targetVersion; // none: the file is only read
    QList<UpgradeBlock> blocks;
    // Compare a file with it through layoutDifferences() (layoutcheck.h).
    SchemaLayout schema;
    // The tables whose rows a run rebuilds or fills.
    QList<RowCount> rowCounts;

    // "4", or "unchanged" for a file that is only read.
    QString targetText() const;
    // The blocks a file at storedVersion still needs, in the order they run.
    QStringList pendingBlocks(qint32 storedVersion) const;
};

// The four files in the order a run takes them.
const QList<FileLayout> &fileLayouts();
