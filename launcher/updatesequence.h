#pragma once

#include "updatebase.h"

#include <QList>
#include <QStringList>

class QCoreApplication;

// Installs the named translation files, each found in ".", ".." or Qt's translations directory,
// with the application as their parent. A name that yields no sound translation file gets a
// warning, except the log file's name when no translation file of that name exists. Returns
// the paths of the files that were installed, in the order given.
QStringList installTranslations(QCoreApplication &app, const QStringList &names,
                                bool firstIsLogFile);

// How a run over the files ended: the outcome of each file it reached, in run order.
struct RunOutcome
{
    QList<UpdateOutcome> files;

    bool succeeded() const { return files.isEmpty() || files.last().succeeded(); }
};

// Runs the updaters in their fixed order until one fails; the observer, if given, learns of
// each step.
RunOutcome runUpdaters(ProgressObserver *progress = nullptr);
