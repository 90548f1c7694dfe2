#pragma once

#include <QString>

// Puts back the files of the working directory that the backup directory holds copies of, in run
// order, each replaced at once by its copy. The file each copy replaces is kept in the directory
// under a name that says when it was set aside, so that a restore can be undone as well. Nothing
// is replaced before every copy is checked, every file is locked, and every file is found as its
// upgrade left it; force also replaces a file changed since. A restore that is cut off leaves
// each file as it was or restored, and the same restore run again finishes it.
// Returns the exit status that the usage gives for --restore.
int runRestore(const QString &directory, bool force);
