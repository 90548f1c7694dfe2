#include "updatesequence.h"

#include "translations.h"
#include "updatedata.h"
#include "updateprofile.h"
#include "updateqc.h"
#include "updatesyslog.h"

#include <QCoreApplication>
#include <QTranslator>

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
        auto *translator = new QTranslator(&app);
        if (loadTranslator(translator, dirs, QString::fromLocal8Bit(argv[i]))) {
            QCoreApplication::installTranslator(translator);
            installed << translator->filePath();
        } else {
            delete translator;
        }
    }
    return installed;
}

bool runUpdaters()
{
    return runUpdater<UpdateProfile>() && runUpdater<UpdateData>() && runUpdater<UpdateQc>()
        && runUpdater<UpdateSyslog>();
}
