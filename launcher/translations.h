#pragma once

#include "qmcheck.h"

#include <QByteArray>
#include <QStringList>
#include <QTranslator>

// ".", ".." and the Qt installation's translations directory, searched in this order.
QStringList translationDirs();

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

// What came of looking for one translation file name.
struct TranslationSearch
{
    enum class Outcome { Loaded, NotFound, Damaged, HasDependencies };

    Outcome outcome = Outcome::NotFound;
    QString path; // the file loaded or refused
    QStringList unusable; // files of that name found on the way that are no translation file

    // The warning for a file that was not used.
    QString warning(const QString &name, const QStringList &dirs) const;
};

// Looks for the name in the directories in their order, as QTranslator::load(name, dir) would:
// with ".qm" added, as given, then cut at its last "_" or "." and again. A file that is no
// translation file is passed over; the first translation file found is checked and loaded into
// the translator, or refused, and ends the search.
TranslationSearch loadTranslation(CheckedTranslator *translator, const QStringList &dirs,
                                  const QString &name);
