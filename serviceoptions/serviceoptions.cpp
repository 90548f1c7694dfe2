#include "serviceoptions.h"

#include "consoleoutput.h"

using namespace Qt::StringLiterals;

namespace {

const QString usage
    = u"Usage: dbupdate [logfile [translation...]]\n"
      u"  or:  dbupdate --backup DIR [logfile [translation...]]\n"
      u"  or:  dbupdate --restore DIR [--force] [logfile]\n"
      u"  or:  dbupdate --help | --version | --status [--json]\n"
      u"  or:  dbupdate --dry-run [--json] [--backup DIR] [translation...]\n"
      u"\n"
      u"Brings profile.db, data.db, qc.db and syslog.db in the working directory\n"
      u"to their current layout, in this order. When standard error is a terminal,\n"
      u"one line there shows the file, the step being run with its place among the\n"
      u"file's steps and the time since the run began; it is cleared before every\n"
      u"message and at the end, and never goes to the log file or a pipe.\n"
      u"\n"
      u"Arguments:\n"
      u"  logfile         The log file, created when missing and always appended to.\n"
      u"                  Without it, messages go to standard error. The name is also\n"
      u"                  tried as a translation file. Name a log file or DIR that\n"
      u"                  begins with \"-\" as \"./-name\".\n"
      u"  translation...  Qt translation files (.qm, the suffix may be left out) for\n"
      u"                  the labels written into profile.db, looked for in \".\",\n"
      u"                  \"..\" and Qt's translations directory.\n"
      u"\n"
      u"Options, recognised only as the first argument:\n"
      u"  --help          Shows this text.\n"
      u"  --version       Shows the program's version and the version it brings\n"
      u"                  each file to.\n"
      u"  --status        Shows where each file stands, whether a file at its current\n"
      u"                  version has the layout that version promises, what a run\n"
      u"                  would do to it and whether the volume has room for it.\n"
      u"                  Opens the files read-only and writes, deletes and creates\n"
      u"                  nothing.\n"
      u"  --dry-run       Checks that each file can be opened and written, runs the\n"
      u"                  upgrade on private copies of the files in a temporary\n"
      u"                  directory and prints the translation files loaded, the\n"
      u"                  lines a real run would write to its log, each file's\n"
      u"                  version before and after with its layout, and the rows\n"
      u"                  of the tables the run rebuilds or fills, before and after.\n"
      u"                  The files stay as they are.\n"
      u"  --backup DIR    Before the run changes a file, copies it into DIR (made\n"
      u"                  when missing) and lists it in DIR/manifest.json; a copy\n"
      u"                  already listed there is kept. Only files the run upgrades\n"
      u"                  are copied.\n"
      u"  --restore DIR   Puts back the files listed in DIR's manifest as they were\n"
      u"                  before the run, each replaced at once; the file it\n"
      u"                  replaces is kept in DIR. Refuses a file changed since the\n"
      u"                  run (results written since) unless --force.\n"
      u"  --json          Only after --status or --dry-run: prints the same facts as\n"
      u"                  one JSON document (UTF-8) on standard output, for scripts;\n"
      u"                  same exit status. The README describes every field; the\n"
      u"                  package installs it as\n"
      u"                  /usr/share/doc/dbupdate/README.md.gz.\n"
      u"\n"
      u"Exit status:\n"
      u"  0  Run: every file was brought up to date (statements that failed on the\n"
      u"     way are in the log). --status: every file is up to date. --dry-run: a\n"
      u"     real run would end with 0. --restore: every file is in place.\n"
      u"  1  Run: a file could not be updated; the run stopped there and the files\n"
      u"     after it were not opened. The log says why. --status: an upgrade is\n"
      u"     pending. --dry-run: a real run would end with 1. --restore: a file\n"
      u"     could not be restored; it is named and was left as it was.\n"
      u"  2  --status: a file cannot be read or written, is in use by another\n"
      u"     process, lacks part of its promised layout, or it cannot tell.\n"
      u"     --dry-run: the dry run itself failed, or it cannot tell. --restore:\n"
      u"     the backup itself is unusable. A command line of another form than\n"
      u"     those above: one line names the argument, then this text; no file is\n"
      u"     opened.\n"
      u"  3  An option's answer could not be written to standard output.\n"
      u"\n"
      u"Log format:\n"
      u"  One line per message, appended to the log file,\n"
      u"\n"
      u"Warning: <text>\n"
      u"\n"
      u"(\"Debug: \", \"Critical: \" or \"Fatal: \" for the other kinds). A statement\n"
      u"that fails gives\n"
      u"\n"
      u"Warning: <source label> ( <line> ):  <SQLite error> : [ <statement> ] \n"_s;

QString versionText()
{
    QList<QStringList> rows = {{u"File"_s, u"Brought to version"_s}};
    for (const FileDeclaration &file : declaredFiles())
        rows << QStringList {file.fileName, file.targetText()};
    return u"dbupdate " DBUPDATE_VERSION u"\n"_s + formatTable(rows);
}

} // namespace

QString usageText()
{
    return usage;
}

int runServiceOption(const CommandLine &command, QCoreApplication &app)
{
    int exitStatus = 0;
    if (command.action == CommandLine::Action::Status)
        exitStatus = printStatusReport(command.json);
    else if (command.action == CommandLine::Action::DryRun)
        exitStatus = runDryRun(app, command.translations, command.json, command.backupDirectory);
    else
        printOut(command.action == CommandLine::Action::Help ? usage : versionText());
    // An answer that did not reach its reader is no verdict about the files: exit status 3.
    if (const QString problem = standardOutputProblem(); !problem.isEmpty()) {
        printError(u"dbupdate: cannot write to standard output: %1; the answer is lost or "
                   u"incomplete\n"_s.arg(problem));
        return 3;
    }
    return exitStatus;
}
