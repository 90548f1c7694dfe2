#include "commandline.h"
#include "consoleoutput.h"
#include "logsink.h"
#include "progressline.h"
#include "serviceoptions.h"
#include "translations.h"
#include "updatesequence.h"

#include <QCoreApplication>

#include <memory>

// The upgrade run: the log file, the translations, then the updaters in their fixed order,
// with a progress line when standard error is a terminal.
// Exit status 0 when every updater succeeded, 1 otherwise. The options for service engineers
// answer on their own.
int main(int argc, char **argv)
{
    prepareStandardStreams();
    const CommandLine command = CommandLine::parse(argc, argv);
    // The log catches everything from here on, the application's own messages included.
    if (command.logFile)
        openLogFile(*command.logFile);

    QCoreApplication app(argc, argv);
    if (command.action != CommandLine::Action::Upgrade)
        return runServiceOption(command, app);

    installTranslations(app, command.translations, command.logFile.has_value());
    auto progress = standardErrorColumns() > 0 ? std::make_unique<ProgressLine>() : nullptr;
    const bool succeeded = runUpdaters(progress.get()).succeeded();
    // Nothing of the line stays on the terminal, whatever the outcome.
    progress.reset();
    if (!succeeded)
        return 1;

    closeLogFile();
    return 0;
}
