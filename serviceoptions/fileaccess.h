#pragma once

#include <QString>

enum class FileUse {
    Read, // the run only opens the file
    Written, // the run writes the file and keeps its journal next to it
};

// Why a run could not open, create or write the named file, judged from the file system
// alone: the file is not opened, nothing is written and nothing created.
// Empty when nothing stands in the way.
QString accessProblem(const QString &fileName, FileUse use);

// True when the name is a symbolic link whose chain leads back into itself.
bool isLinkLoop(const QString &fileName);
