#include "launcher.h"

#include "consoleoutput.h"
#include "filelayouts.h"
#include "logsink.h"
#include "serviceoptions.h"
#include "updatesequence.h"

#include <QCoreApplication>

using namespace Qt::StringLiterals;

namespace {

// Opens the log file; when the log may not or cannot go there, one line on standard error
// says why, and the messages take standard error.
void openLog(const char *name)
{
    const QString fileName = QString::fromLocal8Bit(name);
    QStringList databases;
    for (const FileLayout &layout : fileLayouts())
        databases << layout.fileName;
    if (const QString refusal = logFileRefusal(name, databases); !refusal.isEmpty()) {
        printError(u"dbupdate: the log is not appended to %1: %2; the log goes to standard "
                   u"error\n"_s.arg(fileName, refusal));
        return;
    }
    QString error;
    if (!openLogFile(name, &error)) {
        printError(
            u"dbupdate: cannot open the log file %1: %2; the log goes to standard error\n"_s.arg(
                fileName, error));
    }
}

} // namespace

int runLauncher(int argc, char **argv)
{
    if (const std::optional<int> exitStatus = runServiceOption(argc, argv))
        return *exitStatus;

    if (argc > 1)
        openLog(argv[1]);

    QCoreApplication app(argc, argv);
    installTranslations(app, argc, argv, 1);

    if (!runUpdaters())
        return 1;

    closeLogFile();
    return 0;
}
