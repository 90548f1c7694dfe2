#include "commandline.h"

#include "filename.h"

#include <QHash>

CommandLine CommandLine::parse(int argc, char **argv)
{
    static const QHash<QByteArray, Action> options = {{"--help", Action::Help},
                                                      {"--version", Action::Version},
                                                      {"--status", Action::Status},
                                                      {"--dry-run", Action::DryRun}};
    CommandLine command;
    if (argc < 2)
        return command;
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << FileName::fromBytes(argv[i]);
    command.action = options.value(QByteArray(argv[1]), Action::Upgrade);
    command.json = (command.action == Action::Status || command.action == Action::DryRun)
        && argc > 2 && QByteArray(argv[2]) == "--json";
    if (command.action == Action::Upgrade) {
        command.logFile = QByteArray(argv[1]);
        command.translations = arguments;
    } else if (command.action == Action::DryRun) {
        command.translations = arguments.mid(command.json ? 2 : 1);
    }
    return command;
}
