#pragma once

#include <QStringList>

#include <optional>

// What the command line asks for, read once. An option is recognised only as the first
// argument; anything else there names the log file of an upgrade run. --status and --dry-run
// take --json as their second argument.
struct CommandLine
{
    enum class Action {
        Upgrade, // [logfile [translation...]]
        Help,
        Version,
        Status, // --status [--json]
        DryRun, // --dry-run [--json] [translation...]
    };

    Action action = Action::Upgrade;
    // An upgrade's log file, as the system names it.
    std::optional<QByteArray> logFile;
    // The translation files to try, in their order; an upgrade's log file is the first.
    QStringList translations;
    // --status or --dry-run answers with one JSON document.
    bool json = false;

    static CommandLine parse(int argc, char **argv);
};
