#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One step of an upgrade, as upgrades.txt declares it.
struct UpgradeStep
{
    enum class Kind {
        Sql, // a labelled statement: a failure is logged and passed over
        Rename,
        Copy, // the rows of a rebuilt table's old copy, every value arriving
        CopyRows, // rows the source holds, with no count to check
        Drop, // the old copy of a rebuilt table
        Stamp, // the current version written into the version table
        FillVariables,
        DropBackupIndex,
    };

    Kind kind = Kind::Sql;
    QList<int> lines; // each statement's line, in the order the step declares them
    QStringList names; // the tables the step names, in the order it names them
    QString text;
    QStringList labels; // translated into the places %1, %2, ... of the text, in order
    int progressSteps = 0; // the steps a progress observer sees (see ProgressObserver)

    int line() const { return lines.value(0); }
    // The statement as it runs, with the installed translations of its labels.
    QString statement() const;
};

// The statement that runs command ("SAVEPOINT", "ROLLBACK TO", "RELEASE") on the savepoint of
// the steps between a savepoint and a release, which the fill of the assay variables runs in.
QString blockSavepoint(const QString &command);

// A part of an upgrade block, or the steps of every run when it has no version. A block may come
// in several parts, each in its place of the run.
struct UpgradeSection
{
    std::optional<qint32> version; // the version the block brings a file to
    QString blockName;
    QList<UpgradeStep> steps;

    bool isNeededAt(qint32 storedVersion) const { return !version || storedVersion < *version; }
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

struct IndexLayout
{
    QString name;
    QString table;
    QStringList columns; // in order
};

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

// What a run does to one file, as upgrades.txt declares it: the steps in the order they run, the
// layout its current version promises and the tables whose rows it rebuilds or fills. Everything
// else is derived from these.
struct FileDeclaration
{
    QString fileName;
    std::optional<qint32> currentVersion; // none: the file is only read
    QList<UpgradeSection> sections;
    SchemaLayout layout;
    QList<RowCount> rowCounts;
    QByteArray label; // names the statements in the lines of their failures

    bool isOnlyRead() const { return !currentVersion; }
    // "4", or "unchanged" for a file that is only read.
    QString targetText() const;
    // The blocks a file at storedVersion still needs, in the order they run.
    QStringList pendingBlocks(qint32 storedVersion) const;
    // The steps of a run that updates a file at storedVersion, the saving included.
    int stepCount(qint32 storedVersion) const;
    // What a run executes on a file at storedVersion that needs no block; nothing for a file
    // newer than this program.
    QStringList statementsWithoutBlocks(qint32 storedVersion) const;
    // The version stamp: the statements that empty the version table and write the current
    // version into it.
    QStringList stampStatements() const;
    // A file that records a version above the one this program brings it to keeps its version.
    bool isNewerThanProgram(qint32 storedVersion) const
    {
        return currentVersion && storedVersion > *currentVersion;
    }
};

// What the variable fill reads and writes, as --status prepares it.
QStringList variableFillStatements();

// The files a declaration in the form of upgrades.txt lists, or, for its first malformed line,
// "upgrades.txt:<line>: <what is wrong>" and no files.
struct Declaration
{
    QList<FileDeclaration> files;
    QString error;
};

Declaration readDeclaration(const QString &text);

// The four files in the order a run takes them: profile.db, data.db, qc.db, syslog.db.
const QList<FileDeclaration> &declaredFiles();
