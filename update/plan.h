#pragma once

#include "layoutcheck.h"
#include "sqlitefile.h"

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
        RunRefuses, // for the reason in detail (see SqliteFile::openProblem)
    };

    // How the file's layout stands: none for a file that is only read, one newer than this
    // program or one that cannot be read; pending for one that a run still upgrades; compared
    // only for a file at the version a run brings it to.
    enum class Layout { None, Pending, AsExpected, Differs };

    State state = State::Missing;
    // The stored version as a run reads it; its version is none where none was read.
    SqliteFile::StoredVersion stored;
    QString detail; // the error text, or why a run refuses the file
    // How the file differs from the layout its version promises, where compared (see Layout).
    std::optional<QList<LayoutDifference>> layoutDifferences;
    // For a file that needs no upgrade block, what the statements a run still executes meet:
    // why each run fails, or why whether it does cannot be told without writing.
    QString runFailure;
    QString runDoubt;
    // For such a file, what those statements would change in it, as told without writing ("the
    // assay variables would be filled"); empty when a run leaves it as it is.
    QStringList runChanges;

    // Whether the file is an SQLite database; none where it was not looked at (missing,
    // refused) or could not be read.
    std::optional<bool> isDatabase() const;
    Layout layout(const FileDeclaration &description) const;
};

// What a run does to one file.
struct Plan
{
    enum class Kind {
        UpToDate,
        OnlyRead, // a file that is only read: the run reads it and goes on
        LeftNewer, // newer than this program: left as it is
        Create, // missing: created, then upgraded with the blocks, if any
        Upgrade,
        Refresh, // at its version, but the steps of every run change it, as the reason says
        Restore, // an interrupted write is undone first; what follows cannot be read yet
        LayoutDiffers, // up to date, but lacking part of its promised layout
        CannotTell, // for the reason, without writing
        Stops, // the run stops at the file for the reason (a file only read: notes it)
    };

    Kind kind = Kind::UpToDate;
    // The upgrade blocks the run applies, in their order, and the steps it takes.
    QStringList blocks;
    int steps = 0;
    QString reason;
};

// What a run does to the file that looks as the look found. The state of the file goes first (a
// run that cannot open and write it among them), then what the statements a run executes at
// every version meet, then whether a file the run leaves at its version lacks part of the layout
// that version promises, then what those statements change in it.
Plan planRun(const FileDeclaration &description, const FileState &look);
