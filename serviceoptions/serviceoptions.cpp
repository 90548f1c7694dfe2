#include "serviceoptions.h"

#include "consoleoutput.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace {

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
    Q_INIT_RESOURCE(usage);
    QFile file(u":/usage.txt"_s);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("usage.txt is missing from the program");
    return QString::fromUtf8(file.readAll());
}

int runServiceOption(const CommandLine &command, QCoreApplication &app)
{
    int exitStatus = 0;
    if (command.action == CommandLine::Action::Status)
        exitStatus = printStatusReport(command.json);
    else if (command.action == CommandLine::Action::DryRun)
        exitStatus = runDryRun(app, command.translations, command.json, command.backupDirectory);
    else
        printOut(command.action == CommandLine::Action::Help ? usageText() : versionText());
    // An answer that did not reach its reader is no verdict about the files: exit status 3.
    if (const QString problem = standardOutputProblem(); !problem.isEmpty()) {
        printError(u"dbupdate: cannot write to standard output: %1; the answer is lost or "
                   u"incomplete\n"_s.arg(problem));
        return 3;
    }
    return exitStatus;
}
