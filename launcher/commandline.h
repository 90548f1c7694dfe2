#pragma once

#include <QStringList>

#include <optional>

// What the command line asks for, read once. An option is recognised only as the first
// argument, followed by what its form below takes; a first argument that does not begin with
// '-' names the log file of an upgrade run. A command line of any other form is refused.
struct CommandLine
{
    enum class Action {
        Upgrade, // [logfile [translation...]] or --backup DIR [logfile [translation...]]
        Help,
        Version,
        Status, // --status [--json]
        DryRun, // --dry-run [--json] [--backup DIR] [translation...]
        Restore, // --restore DIR [--force] [logfile]
    };

    Action action = Action::Upgrade;
    // An upgrade's or a restore's log file, as the system names it.
    std::optional<QByteArray> logFile;
    // The translation files to try, in their order; an upgrade's log file is the first.
    QStringList translations;
    // --status or --dry-run answers with one JSON document.
    bool json = false;
    // The directory that --backup copies the files into, or that --restore puts them back
    // from; empty without either.
    QString backupDirectory;
    // --restore also puts back a file changed since the run.
    bool force = false;
    // Why the command line was refused, for standard error; empty when it was not. Nothing
    // else is set then.
    QString error;

    static CommandLine parse(int argc, char **argv);
};
