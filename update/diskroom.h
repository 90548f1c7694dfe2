#pragma once

#include <QString>

// Room on a volume.
namespace DiskRoom {

// What a run that changes a file of this size needs beyond the file itself, at most: the
// file may grow to 2.5 times its size while its update lasts (the old pages stay as free
// space, and its journal lies next to it), plus 1 MiB for a file that is small or created.
qint64 neededToChange(qint64 fileSize);

// The bytes free for this user on the working directory's volume; -1 when unknown.
qint64 available();

// The files this user may still make on the directory's volume; -1 when unknown, or when the
// volume makes room for files as they come.
qint64 freeEntries(const QString &directory);

// "1.5 GB", "800 KB": the size as an engineer reads it.
QString sizeText(qint64 bytes);

} // namespace DiskRoom
