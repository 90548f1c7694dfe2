#pragma once

#include <QString>

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
    };

    State state = State::Missing;
    std::optional<qint32> storedVersion;
    // The error text, or the stored value that is no version number.
    QString detail;

    // The stored version as a table cell: the number, or why there is none.
    QString storedVersionText() const;
};

// Inspects the named file in the working directory. Every connection it opens is read-only;
// it plays back no journal, creates no write-ahead log or index, and asks for no lock beyond
// the shared one a reader takes.
FileState inspectFile(const QString &fileName);
