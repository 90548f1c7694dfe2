#pragma once

#include "updaterdescription.h"

#include <QJsonArray>
#include <QList>
#include <QString>

#include <optional>

// The rows of one of the tables a run rebuilds or fills, as found in one file.
struct TableRows
{
    QString table; // the table counted; empty when the file holds neither name as a table
    std::optional<qint64> rows; // none: no table, or it could not be read
};

enum class RunMoment {
    Before,
    After,
};

// Counts the rows of each table the file's updater rebuilds or fills, in the file of the working
// directory: before a run under the old name where it is a table (else the new one), after it
// under the new name (else the old one). Meant for the dry run's copies: the connection may
// write, so that it completes an interrupted write first as the run does, but it creates no
// file. Costs one count(*) per table.
QList<TableRows> countRows(const UpdaterDescription &description, RunMoment moment);

// The counts of every file before and after, one row per table, with "FELL" beside a table
// that lost rows.
QString rowCountsText(const QList<const UpdaterDescription *> &descriptions,
                      const QList<QList<TableRows>> &before, const QList<QList<TableRows>> &after);

// The counts of one file as JSON: per table its names before and after, the condition, the
// rows before and after (null where there is no table or it could not be read) and whether
// rows fell.
QJsonArray rowCountsJson(const UpdaterDescription &description, const QList<TableRows> &before,
                         const QList<TableRows> &after);
