#include "updatesequence.h"

#include "layoutcheck.h"
#include "translations.h"
#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

#include <QCoreApplication>
#include <QSqlDatabase>

namespace {

// A file that its update leaves without part of the layout its version promises gets one
// warning line. The application may create what is missing itself, so the run goes on.
void warnAboutLayout(const UpdateBase &updater, const UpdaterDescription &description)
{
    if (!description.currentVersion || updater.storedVersion() > *description.currentVersion)
        return;
    const QStringList differences = layoutDifferences(QSqlDatabase::database(), description.layout);
    if (differences.isEmpty())
        return;
    qWarning("%s: after the update, %s", qUtf8Printable(description.fileName),
             qUtf8Printable(differences.join(u"; ")));
}

// Each updater lives only for its one run, so at most one holds the default connection.
template<typename Updater> bool runUpdater()
{
    Updater updater;
    if (!updater.run())
        return false;
    warnAboutLayout(updater, Updater::description());
    return true;
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
