#include "commandline.h"

#include <QHash>

using namespace Qt::StringLiterals;

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
    if (command.action == Action::Upgrade) {
        command.logFile = QByteArray(argv[1]);
        command.firstTranslationIsLogFile = true;
    } else if (command.action != Action::DryRun) {
        return command;
    }
    const int first = command.action == Action::Upgrade ? 1 : 2;
    for (int i = first; i < argc; ++i)
        command.translations << QString::fromLocal8Bit(argv[i]);
    return command;
}
