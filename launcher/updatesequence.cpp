#include "updatesequence.h"

#include "translations.h"
#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

#include <QCoreApplication>

namespace {

// Each updater lives only for its one run, so at most one holds the default connection.
template<typename Updater> bool runUpdater()
{
    Updater updater;
    return updater.run();
}

} // namespace

QStringList installTranslations(QCoreApplication &app, int argc, char **argv, int first)
{
    const QStringList dirs = translationDirs();
    QStringList installed;
    for (int i = first; i < argc; ++i) {
        const QString name = QString::fromLocal8Bit(argv[i]);
        auto *translator = new CheckedTranslator(&app);
        const TranslationSearch search = loadTranslation(translator, dirs, name);
        if (search.outcome == TranslationSearch::Outcome::Loaded) {
            QCoreApplication::installTranslator(translator);
            installed << search.path;
            continue;
        }
        delete translator;
        // Argument 1 is tried only as the log file's name, which is rarely a translation file.
        if (i == 1 && search.outcome == TranslationSearch::Outcome::NotFound)
            continue;
        qWarning("%s", qUtf8Printable(search.warning(name, dirs)));
    }
    return installed;
}

bool runUpdaters()
{
    return runUpdater<UpdateProfile>() && runUpdater<UpdateData>() && runUpdater<UpdateQc>()
        && runUpdater<UpdateSyslog>();
}
