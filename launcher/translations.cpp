#include "translations.h"

#include <QLibraryInfo>
#include <QTranslator>

using namespace Qt::StringLiterals;

QStringList translationDirs()
{
    return {u"."_s, u".."_s, QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
}

bool loadTranslator(QTranslator *translator, const QStringList &dirs, const QString &name)
{
    for (const QString &dir : dirs) {
        if (translator->load(name, dir))
            return true;
    }
    return false;
}
