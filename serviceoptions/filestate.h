#pragma once

#include "layoutcheck.h"
#include "updaterdescription.h"

#include <QJsonObject>
#include <QJsonValue>
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
    std::optional<qint32> storedVersion;
    // The stored version as the file holds it, beyond 32 bits included.
    QString shownVersion;
    // The version table's value as SQLite holds it; none without a table or a row.
    QVariant storedValue;
    // The error text, or what the stored value that is no version number is.
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
    // The layout as a table cell: "as expected" or "differs" for a file at the version a run
    // brings it to, "pending" for one that a run still upgrades, "-" where there is no verdict
    // (a file that is only read, one newer than this program, one that cannot be read).
    QString layoutText(const UpdaterDescription &description) const;
    // One line per difference from the promised layout, each naming the file:
    // "data.db: table result has no column version".
    QStringList layoutDifferenceLines(const QString &fileName) const;
    bool layoutDiffers() const { return layoutDifferences && !layoutDifferences->isEmpty(); }

    // As JSON: the state ("missing", "readable", ...), whether the file is a database (null
    // where it was not or could not be read), the stored version (null where none was read)
    // and the layout verdict with each difference.
    QString stateName() const;
    QJsonValue isDatabaseJson() const;
    QJsonValue storedVersionJson() const;
    QJsonObject layoutJson(const UpdaterDescription &description) const;
};

// Inspects the file in the working directory, and compares its layout with the promised one
// when it is at its target version. Every connection it opens is read-only; it plays back no
// journal, creates no write-ahead log or index, and asks for no lock beyond the shared one a
// reader takes.
FileState inspectFile(const UpdaterDescription &description);

// The differences of the files from their promised layouts under a heading, one per line;
// empty when there are none.
QString layoutDifferencesText(const QStringList &differenceLines);
