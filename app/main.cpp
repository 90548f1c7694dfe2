#include "backup.h"
#include "commandline.h"
#include "consoleoutput.h"
#include "logsink.h"
#include "progressline.h"
#include "restore.h"
#include "serviceoptions.h"
#include "translations.h"
#include "updatesequence.h"

#include <QCoreApplication>

#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

// Exit status 0 when every updater succeeded, 1 otherwise, 2 for a command line that is refused
// before any file is opened. The options for service engineers answer on their own.
int main(int argc, char **argv)
{
    prepareStandardStreams();
    const CommandLine command = CommandLine::parse(argc, argv);
    if (!command.error.isEmpty()) {
        printError(u"dbupdate: %1\n"_s.arg(command.error) + usageText());
        return 2;
    }
    // The log catches everything from here on, the application's own messages included.
    if (command.logFile)
        openLogFile(*command.logFile);

    QCoreApplication app(argc, argv);
    if (command.action == CommandLine::Action::Restore)
        return runRestore(command.backupDirectory, command.force);
    if (command.action != CommandLine::Action::Upgrade)
        return runServiceOption(command, app);

    installTranslations(app, command.translations, command.logFile.has_value());
    std::optional<BackupDirectory> backup;
    if (!command.backupDirectory.isEmpty()) {
        QString problem = backupProblem(command.backupDirectory);
        if (problem.isEmpty())
            problem = backup.emplace(command.backupDirectory).error();
        if (!problem.isEmpty()) {
            qWarning("%s", qUtf8Printable(backupRefusal(problem)));
            return 1;
        }
    }
    const auto progress = standardErrorColumns() > 0 ? std::make_unique<ProgressLine>() : nullptr;
    if (!runUpdaters(progress.get(), backup ? &*backup : nullptr).succeeded())
        return 1;

    closeLogFile();
    return 0;
}
