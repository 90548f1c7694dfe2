#include "commandline.h"
#include "consoleoutput.h"
#include "filename.h"
#include "logsink.h"
#include "progressline.h"
#include "serviceoptions.h"
#include "updaterdescription.h"
#include "updatesequence.h"

#include <QCoreApplication>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Opens the log file; when the log may not or cannot go there, one line on standard error
// says why, and the messages take standard error.
void openLog(const QByteArray &name)
{
    const QString fileName = FileName::shown(FileName::fromBytes(name));
    QStringList databases;
    for (const UpdaterDescription &file : updaters())
        databases << file.fileName;
    if (const QString refusal = logFileRefusal(name.constData(), databases); !refusal.isEmpty()) {
        printError(u"dbupdate: the log is not appended to %1: %2; the log goes to standard "
                   u"error\n"_s.arg(fileName, refusal));
        return;
    }
    QString error;
    if (!openLogFile(name.constData(), &error)) {
        printError(
            u"dbupdate: cannot open the log file %1: %2; the log goes to standard error\n"_s.arg(
                fileName, error));
    }
}

} // namespace

// The upgrade run: the log file, the translations, then the updaters in their fixed order,
// with a progress line when standard error is a terminal.
// Exit status 0 when every updater succeeded, 1 otherwise. The options for service engineers
// answer on their own.
int main(int argc, char **argv)
{
    const CommandLine command = CommandLine::parse(argc, argv);
    // The log catches everything from here on, the application's own messages included.
    if (command.logFile)
        openLog(*command.logFile);

    QCoreApplication app(argc, argv);
    if (command.action != CommandLine::Action::Upgrade)
        return runServiceOption(command, app);

    installTranslations(app, command.translations, command.firstTranslationIsLogFile);
    auto progress = standardErrorColumns() > 0 ? std::make_unique<ProgressLine>() : nullptr;
    const bool succeeded = runUpdaters(progress.get()).succeeded();
    // Nothing of the line stays on the terminal, whatever the outcome.
    progress.reset();
    if (!succeeded)
        return 1;

    closeLogFile();
    return 0;
}
