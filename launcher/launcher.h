#pragma once

class QCoreApplication;

// Installs the translation files named by the arguments from index first on, each found in
// ".", ".." or Qt's translations directory, with the application as their parent.
void installTranslations(QCoreApplication &app, int argc, char **argv, int first);

// Runs the four updaters in their fixed order until one fails; true when all succeeded.
bool runUpdaters();

// The program: log file, translations, then the four updaters in their fixed order.
// Returns the exit status: 0 when every updater succeeded, 1 otherwise.
int runLauncher(int argc, char **argv);
