#include "launcher.h"

#include "logsink.h"
#include "serviceoptions.h"
#include "updatesequence.h"

#include <QCoreApplication>

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
