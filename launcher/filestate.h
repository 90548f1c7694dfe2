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
        // A write-ahead log is open: the file's latest changes cannot be read without
        // writing.
        OpenElsewhere,
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

enum class LockCheck {
    ReadLock, // only whether the file can be read: enough for a file that is never written
    WriteLock, // also whether another process holds the file's write lock
};

// Inspects the named file in the working directory.
FileState inspectFile(const QString &fileName, LockCheck lockCheck);
