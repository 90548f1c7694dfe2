#include "updatesequence.h"

#include "layoutcheck.h"
#include "translations.h"

#include <QCoreApplication>
#include <QSqlDatabase>

namespace {

// A file that its update leaves without part of the layout its version promises gets one
// warning line. The application may create what is missing itself, so the run goes on.
void warnAboutLayout(const UpdateBase &updater, const UpdaterDescription &description)
{
    if (description.isOnlyRead() || description.isNewerThanProgram(updater.storedVersion()))
        return;
    const QStringList differences = layoutDifferences(QSqlDatabase::database(), description.layout);
    if (differences.isEmpty())
        return;
    qWarning("%s: after the update, %s", qUtf8Printable(description.fileName),
             qUtf8Printable(differences.join(u"; ")));
}

} // namespace

QStringList installTranslations(QCoreApplication &app, const QStringList &names,
                                bool firstIsLogFile)
{
    const QStringList dirs = translationDirs();
    QStringList installed;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString &name = names.at(i);
        auto *translator = new CheckedTranslator(&app);
        const TranslationSearch search = loadTranslation(translator, dirs, name);
        if (search.outcome == TranslationSearch::Outcome::Loaded) {
            QCoreApplication::installTranslator(translator);
            installed << search.path;
            continue;
        }
        delete translator;
        // The log file's name is tried as well, and is rarely a translation file.
        if (i == 0 && firstIsLogFile && search.outcome == TranslationSearch::Outcome::NotFound)
            continue;
        qWarning("%s", qUtf8Printable(search.warning(name, dirs)));
    }
    return installed;
}

RunOutcome runUpdaters(ProgressObserver *progress)
{
    RunOutcome outcome;
    for (const UpdaterDescription &description : updaters()) {
        // Each updater lives only for its one run, so at most one holds the default connection.
        const auto updater = std::make_unique<UpdateBase>(description);
        updater->setProgressObserver(progress);
        outcome.files << updater->run();
        if (!outcome.succeeded())
            break;
        warnAboutLayout(*updater, description);
    }
    return outcome;
}
