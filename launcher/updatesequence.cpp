#include "updatesequence.h"

#include "backup.h"
#include "diskroom.h"
#include "filename.h"
#include "layoutcheck.h"

using namespace Qt::StringLiterals;

RunOutcome runUpdaters(ProgressObserver *progress, BackupDirectory *backup, RunLog &log)
{
    RunOutcome outcome;
    for (const FileDeclaration &description : declaredFiles()) {
        FileUpdate updater(description);
        updater.setProgressObserver(progress);
        updater.setBackup(backup);
        updater.setLog(&log);
        outcome.files << updater.run();
        if (!outcome.succeeded())
            break;
        // A file that its update leaves without part of the layout its version promises gets one
        // warning line. The application may create what is missing itself, so the run goes on.
        if (outcome.files.last().kind != UpdateEnding::Kind::Done
            || updater.plan().kind == Plan::Kind::OnlyRead
            || updater.plan().kind == Plan::Kind::LeftNewer)
            continue;
        QStringList differences;
        for (const LayoutDifference &difference :
             findLayoutDifferences(updater.database(), description.layout))
            differences << difference.text;
        if (!differences.isEmpty()) {
            log.warning(
                u"%1: after the update, %2"_s.arg(description.fileName, differences.join(u"; ")));
        }
    }
    return outcome;
}

// Each file's plan is made from its stored version as the run makes it; a file whose version
// cannot be read is counted in.
QString backupProblem(const QString &backupDirectory)
{
    QString problem;
    const std::optional<BackupDirectory> backup = BackupDirectory::look(backupDirectory, &problem);
    if (!backup)
        return problem;
    const qint64 available = DiskRoom::availableOn(backup->path());
    if (available < 0)
        return QString();
    qint64 copies = 0;
    qint64 upgrades = 0;
    for (const FileDeclaration &description : declaredFiles()) {
        const QString &fileName = description.fileName;
        if (description.isOnlyRead() || !FileName::exists(fileName) || backup->entry(fileName))
            continue;
        const SqliteFile::Connection connection(fileName, SqliteFile::OpenMode::ReadOnly);
        const auto stored = SqliteFile::readStoredVersion(connection.database());
        if (stored.version
            && planRun(description, {FileState::State::Readable, stored}).kind
                != Plan::Kind::Upgrade)
            continue;
        if (const QString problem = BackupDirectory::copyProblem(fileName); !problem.isEmpty())
            return problem;
        const qint64 size = FileName::size(fileName);
        copies += size;
        upgrades += DiskRoom::neededToChange(size);
    }
    const bool shared = backup->isOnWorkingVolume();
    if (copies == 0 || available >= copies + (shared ? upgrades : 0))
        return QString();
    return u"%1 has %2 free, and the copies of the files need %3%4"_s.arg(
        FileName::shown(backup->path()), DiskRoom::sizeText(available), DiskRoom::sizeText(copies),
        shared ? u", the upgrade on the same volume %1 more"_s.arg(DiskRoom::sizeText(upgrades))
               : QString());
}

QString backupRefusal(const QString &problem)
{
    return u"Can't back up the files: %1; no file was changed"_s.arg(problem);
}
