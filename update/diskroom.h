#pragma once

#include <QString>

namespace DiskRoom {

// What a run that changes a file of this size needs beyond the file itself, at most: the file
// and its journal may take up to 4 times its size while its update lasts (the tables a run
// rebuilds are written anew while their old pages stay as free space, and the journal holds the
// old pages that it writes over), plus 1 MiB for a file that is small or created.
// The sizes measured on the bench's sets, which the factor lies above, are in the reference
// (doc/reference.md, "The room a run needs").
qint64 neededToChange(qint64 fileSize);

// The bytes free for this user on the working directory's volume; -1 when unknown.
qint64 available();
// The same for the volume the directory lies on.
qint64 availableOn(const QString &directory);

// The files this user may still make on the directory's volume; -1 when unknown, or when the
// volume makes room for files as they come.
qint64 freeEntries(const QString &directory);

// "1.5 GB", "800 KB": the size as an engineer reads it.
QString sizeText(qint64 bytes);

} // namespace DiskRoom
