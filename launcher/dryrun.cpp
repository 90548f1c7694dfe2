#include "dryrun.h"

#include "consoleoutput.h"
#include "filelayouts.h"
#include "filestate.h"
#include "logsink.h"
#include "updatesequence.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QTemporaryDir>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// Routes every message through the log sink into standard output while it exists.
class LogToStandardOutput
{
public:
    LogToStandardOutput()
    {
        logFile = stdout;
        m_previousHandler = qInstallMessageHandler(logMessageHandler);
    }
    ~LogToStandardOutput()
    {
        qInstallMessageHandler(m_previousHandler);
        logFile = nullptr;
    }
    LogToStandardOutput(const LogToStandardOutput &) = delete;
    LogToStandardOutput &operator=(const LogToStandardOutput &) = delete;

private:
    QtMessageHandler m_previousHandler = nullptr;
};

// Copies the file with the journal or write-ahead log of an unfinished write, if there is one,
// so that the copy is in the state SQLite would find the file in.
bool copyFile(const QString &fileName, const QString &targetDir)
{
    for (const QString &suffix : {QString(), u"-journal"_s, u"-wal"_s}) {
        const QString name = fileName + suffix;
        if (!QFile::exists(name))
            continue;
        QFile file(name);
        if (!file.copy(targetDir + u'/' + name)) {
            printError(u"dbupdate: cannot copy %1 to %2: %3\n"_s.arg(
                name, QDir::toNativeSeparators(targetDir), file.errorString()));
            return false;
        }
    }
    return true;
}

QString versionText(const FileState &inspection)
{
    switch (inspection.state) {
    case FileState::State::Missing:
        return u"missing"_s;
    case FileState::State::NotDatabase:
        return u"not a database"_s;
    case FileState::State::UnfinishedWrite:
        return u"interrupted write"_s;
    case FileState::State::Unreadable:
        return u"unreadable"_s;
    default:
        return inspection.storedVersionText();
    }
}

QStringList versionsInWorkingDirectory()
{
    QStringList versions;
    for (const FileLayout &layout : fileLayouts())
        versions << versionText(inspectFile(layout.fileName, LockCheck::ReadLock));
    return versions;
}

} // namespace

int runDryRun(QCoreApplication &app, int argc, char **argv)
{
    // Translation files are looked for relative to the real working directory.
    installTranslations(app, argc, argv, 2);

    const QTemporaryDir copies;
    if (!copies.isValid()) {
        printError(
            u"dbupdate: cannot create a temporary directory: %1\n"_s.arg(copies.errorString()));
        return 2;
    }
    for (const FileLayout &layout : fileLayouts()) {
        if (!copyFile(layout.fileName, copies.path()))
            return 2;
    }

    const QString workingDir = QDir::currentPath();
    if (!QDir::setCurrent(copies.path())) {
        printError(
            u"dbupdate: cannot change to %1\n"_s.arg(QDir::toNativeSeparators(copies.path())));
        return 2;
    }
    const QStringList before = versionsInWorkingDirectory();
    printOut(u"Log of a run on copies of the files:\n"_s);
    bool succeeded = false;
    {
        const LogToStandardOutput log;
        succeeded = runUpdaters();
    }
    // The last updater's connection still holds its copy open.
    QSqlDatabase::removeDatabase(QString::fromLatin1(QSqlDatabase::defaultConnection));
    const QStringList after = versionsInWorkingDirectory();
    QDir::setCurrent(workingDir);

    QList<QStringList> rows = {{u"File"_s, u"Before"_s, u"After"_s}};
    for (qsizetype i = 0; i < fileLayouts().size(); ++i)
        rows << QStringList {fileLayouts().at(i).fileName, before.at(i), after.at(i)};
    const int exitStatus = succeeded ? 0 : 1;
    printOut(u"\n"_s + formatTable(rows)
             + u"A real run would end with exit status %1.\n"_s.arg(exitStatus));
    return exitStatus;
}
