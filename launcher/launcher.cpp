#include "launcher.h"

#include "logsink.h"
#include "serviceoptions.h"
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

void installTranslations(QCoreApplication &app, int argc, char **argv, int first)
{
    const QStringList dirs = translationDirs();
    for (int i = first; i < argc; ++i) {
        auto *translator = new QTranslator(&app);
        if (loadTranslator(translator, dirs, QString::fromLocal8Bit(argv[i])))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}

bool runUpdaters()
{
    return runUpdater<UpdateProfile>() && runUpdater<UpdateData>() && runUpdater<UpdateQc>()
        && runUpdater<UpdateSyslog>();
}

int runLauncher(int argc, char **argv)
{
    if (const std::optional<int> exitStatus = runServiceOption(argc, argv))
        return *exitStatus;

    if (argc > 1)
        openLogFile(argv[1]);

    QCoreApplication app(argc, argv);
    installTranslations(app, argc, argv, 1);

    if (!runUpdaters())
        return 1;

    closeLogFile();
    return 0;
}
