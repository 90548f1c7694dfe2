#pragma once

#include <QStringList>

class QCoreApplication;

// Installs the translation files named by the arguments from index first on, each found in
// ".", ".." or Qt's translations directory, with the application as their parent. A name that
// yields no sound translation file gets a warning, except argument 1 (the log file's name) when
// no translation file of that name exists. Returns the paths of the files that were installed,
// in argument order.
QStringList installTranslations(QCoreApplication &app, int argc, char **argv, int first);

// Runs the four updaters in their fixed order until one fails; true when all succeeded.
bool runUpdaters();
