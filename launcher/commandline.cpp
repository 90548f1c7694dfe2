#include "commandline.h"

#include "filename.h"

#include <QHash>

using namespace Qt::StringLiterals;

namespace {

QStringList argumentsFrom(int first, int argc, char **argv)
{
    QStringList arguments;
    for (int i = first; i < argc; ++i)
        arguments << FileName::fromBytes(argv[i]);
    return arguments;
}

} // namespace

CommandLine CommandLine::parse(int argc, char **argv)
{
    static const QHash<QByteArray, Action> options = {
        {"--help", Action::Help},
        {"--version", Action::Version},
        {"--status", Action::Status},
        {"--dry-run", Action::DryRun},
    };
    CommandLine command;
    if (argc < 2)
        return command;
    command.action = options.value(QByteArray(argv[1]), Action::Upgrade);
    switch (command.action) {
    case Action::Upgrade:
        command.logFile = QByteArray(argv[1]);
        command.firstTranslationIsLogFile = true;
        command.translations = argumentsFrom(1, argc, argv);
        break;
    case Action::Status:
    case Action::DryRun:
        command.json = argc > 2 && QByteArray(argv[2]) == "--json";
        if (command.action == Action::DryRun)
            command.translations = argumentsFrom(command.json ? 3 : 2, argc, argv);
        break;
    case Action::Help:
    case Action::Version:
        break;
    }
    return command;
}
