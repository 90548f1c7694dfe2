#pragma once

#include <QList>
#include <QString>

#include <optional>

// One upgrade block of a file: it runs while the stored version is below `below`.
struct UpgradeBlock
{
    qint32 below;
    QString name;
};

// What a run does to one of the files: the version it brings the file to and the blocks
// on the way, as the updaters in update/ run them.
struct FileLayout
{
    QString fileName;
    std::optional<qint32> targetVersion; // none: the file is only read
    QList<UpgradeBlock> blocks;

    // "4", or "unchanged" for a file that is only read.
    QString targetText() const;
    // The blocks a file at storedVersion still needs, in the order they run.
    QStringList pendingBlocks(qint32 storedVersion) const;
};

// The four files in the order a run takes them.
const QList<FileLayout> &fileLayouts();
