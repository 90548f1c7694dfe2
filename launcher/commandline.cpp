#include "commandline.h"

#include "filename.h"

#include <QHash>

using namespace Qt::StringLiterals;

namespace {

QString shown(const char *argument)
{
    return FileName::shown(FileName::fromBytes(argument));
}

CommandLine refused(const QString &error)
{
    CommandLine command;
    command.error = error;
    return command;
}

} // namespace

CommandLine CommandLine::parse(int argc, char **argv)
{
    static const QHash<QByteArray, Action> options
        = {{"--help", Action::Help},      {"--version", Action::Version},
           {"--status", Action::Status},  {"--dry-run", Action::DryRun},
           {"--backup", Action::Upgrade}, {"--restore", Action::Restore}};
    CommandLine command;
    const bool hasOption = argc > 1 && argv[1][0] == '-';
    int next = 1;
    if (hasOption) {
        const auto found = options.constFind(QByteArray(argv[next++]));
        if (found == options.cend())
            return refused(u"unknown option %1"_s.arg(shown(argv[1])));
        command.action = *found;
    }
    // A log file or directory whose name begins with '-' is named "./-name".
    const auto nextIsName = [&] { return next < argc && argv[next][0] != '-'; };
    const auto rest = [&] {
        QStringList names;
        for (; next < argc; ++next)
            names << FileName::fromBytes(argv[next]);
        return names;
    };
    const auto take = [&](const char *flag) {
        if (next == argc || qstrcmp(argv[next], flag) != 0)
            return false;
        ++next;
        return true;
    };
    // Takes the directory after the option; returns why there is none, empty when there is.
    const auto takeDirectory = [&](const char *option) {
        if (nextIsName() && argv[next][0] != '\0') {
            command.backupDirectory = FileName::fromBytes(argv[next++]);
            return QString();
        }
        if (next < argc && argv[next][0] == '-')
            return u"%1 needs a directory before %2"_s.arg(shown(option), shown(argv[next]));
        return u"%1 needs a directory"_s.arg(shown(option));
    };
    switch (command.action) {
    case Action::Upgrade: // [logfile [translation...]] or --backup DIR [logfile [translation...]]
        if (const QString error = hasOption ? takeDirectory(argv[1]) : QString(); !error.isEmpty())
            return refused(error);
        if (nextIsName()) {
            command.logFile = QByteArray(argv[next]);
            command.translations = rest();
        }
        break;
    case Action::Restore: // --restore DIR [--force] [logfile]
        if (const QString error = takeDirectory(argv[1]); !error.isEmpty())
            return refused(error);
        command.force = take("--force");
        if (nextIsName())
            command.logFile = QByteArray(argv[next++]);
        break;
    case Action::DryRun: // --dry-run [--json] [--backup DIR] [translation...]
        command.json = take("--json");
        if (const QString error = take("--backup") ? takeDirectory("--backup") : QString();
            !error.isEmpty())
            return refused(error);
        // --json may also follow DIR.
        command.json = command.json || take("--json");
        command.translations = rest();
        break;
    case Action::Status: // --status [--json]
        command.json = take("--json");
        break;
    case Action::Help:
    case Action::Version:
        break;
    }
    if (next < argc)
        return refused(u"unexpected argument %1 after %2"_s.arg(shown(argv[next]), shown(argv[1])));
    return command;
}
