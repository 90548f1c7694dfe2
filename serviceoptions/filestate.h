#pragma once

#include "layoutcheck.h"
#include "sqlitefile.h"
#include "updaterdescription.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// What a look at one database file found, without changing or creating any file.
struct FileState
{
    enum class State {
        Missing,
        Readable,
        NotDatabase,
        Locked,
        // A write-ahead log lies next to the file: another process has it open, or an
        // interrupted write left it. Only taking a lock would tell, and that may write.
        LogInUseOrLeft,
        // A journal whose header was never completed lies next to the file: another process
        // is writing it, or a write was cut short before it changed the file.
        JournalInUseOrLeft,
        // An interrupted write left a journal behind; the next writer restores the file.
        UnfinishedWrite,
        NoVersionNumber,
        Unreadable,
        // A run does not let SQLite open the file, for the reason in detail (see
        // SqliteFile::openProblem).
        RunRefuses,
    };

    State state = State::Missing;
    // The stored version as a run reads it; its version is none where none was read.
    SqliteFile::StoredVersion stored;
    // The error text, or why a run refuses the file.
    QString detail;
    // How the file differs from the layout its version promises; compared only for a file at
    // the version a run brings it to.
    std::optional<QList<LayoutDifference>> layoutDifferences;
    // For a file that needs no upgrade block, what the statements a run still executes meet:
    // why each run fails, or why whether it does cannot be told without writing.
    QString runFailure;
    QString runDoubt;

    // The stored version as a table cell: the number, or why there is none.
    QString storedVersionText() const;
    // The Database column: "yes", "no", "-" where the file was not looked at (missing, refused),
    // "?" where it could not be read.
    QString databaseText() const;
    // The layout as a table cell: "as expected" or "differs" for a file at the version a run
    // brings it to, "pending" for one that a run still upgrades, "-" where there is no verdict
    // (a file that is only read, one newer than this program, one that cannot be read).
    QString layoutText(const UpdaterDescription &description) const;
    // One line per difference from the promised layout, each naming the file:
    // "data.db: table result has no column version".
    QStringList layoutDifferenceLines(const QString &fileName) const;
    bool layoutDiffers() const { return layoutDifferences && !layoutDifferences->isEmpty(); }

    // The same facts as JSON: "state" ("missing", "readable", ...), "isDatabase" (null where
    // the Database column says neither yes nor no), "storedVersion" (null where none was read)
    // and "layout", the verdict with each difference.
    QJsonObject toJson(const UpdaterDescription &description) const;
};

// Inspects the file in the working directory, and compares its layout with the promised one
// when it is at its target version. Every connection it opens is read-only; it plays back no
// journal, creates no write-ahead log or index, and asks for no lock beyond the shared one a
// reader takes.
FileState inspectFile(const UpdaterDescription &description);

// The differences of the files from their promised layouts under a heading, one per line;
// empty when there are none.
QString layoutDifferencesText(const QStringList &differenceLines);
