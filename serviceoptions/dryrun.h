#pragma once

#include <QStringList>

class QCoreApplication;

// Runs the whole upgrade on copies of the files in a temporary directory, with the named
// translation files, and prints the lines a real run would write to its log and each file's
// version before and after. The files themselves are only copied. Returns the exit status
// the real run would end with, 2 when the copies cannot be made. With json, prints one JSON
// document at the end instead.
int runDryRun(QCoreApplication &app, const QStringList &translations, bool json);
