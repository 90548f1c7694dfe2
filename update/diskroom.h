#pragma once

#include <QString>

// Room on a volume.
namespace DiskRoom {

// What a run that changes a file of this size needs beyond the file itself, at most: the file
// and its journal may take up to 4 times its size while its update lasts (the tables a run
// rebuilds are written anew while their old pages stay as free space, and the journal holds the
// old pages that it writes over), plus 1 MiB for a file that is small or created.
//
// Measured on sets of bench/generate.py, with the sizes of the files taken as SQLite deleted
// each journal, the peak of that file's update; the room beyond its size that a file took, as a
// multiple of its size: data.db 1.13 at the large and the medium preset (517.5 and 51.5 MB),
// 1.19 at the tiny one (0.57 MB), 1.62 to 1.70 with 3,000 to 100,000 results and no curves
// (0.35 to 10.5 MB; vacuumed, or at version 2, alike), 1.82 to 2.08 with 100,000 results that
// hold fewer columns (8.1 to 6.2 MB), and 2.60 with results that hold their keys alone and no
// patients (4.9 MB): the copy of result and its index, checkedResult and its two indexes write
// the index about five times over. profile.db took 0.09 and 0.17 (7.0 and 0.73 MB), syslog.db
// 0.83 at most from 20 kB up; the files of a few kB took a few dozen kB more (66 kB for the
// tiny profile.db), well within the 1 MiB. Three times the size lies above every one of them,
// 15 % above the highest.
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
