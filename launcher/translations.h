#pragma once

#include "qmcheck.h"
#include "runlog.h"

#include <QStringList>
#include <QTranslator>

class QCoreApplication;

// A translator over bytes it keeps: the file is read once and checked, and Qt's lookups read
// those very bytes, followed by qmZeroTail zero bytes, never the file again.
class CheckedTranslator : public QTranslator
{
public:
    using QTranslator::QTranslator;

    // Loads the bytes of a translation file when checkQm finds them sound and Qt accepts them;
    // otherwise says why not and stays empty.
    QmVerdict loadChecked(const QByteArray &bytes);

private:
    QByteArray m_bytes;
};

// Installs the named translation files, each found in ".", ".." or Qt's translations directory,
// with the application as their parent. A name that yields no sound translation file gets a
// warning, except the log file's name when no translation file of that name exists. Returns
// the paths of the files that were installed, in the order given.
QStringList installTranslations(QCoreApplication &app, const QStringList &names,
                                bool firstIsLogFile, RunLog &log = messageLog());
