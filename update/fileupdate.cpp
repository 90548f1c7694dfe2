#include "fileupdate.h"

#include "backup.h"
#include "faultinjection.h"
#include "filename.h"
#include "sqlitefile.h"

#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

void FileUpdate::logStatementError(const QSqlError &error, const QString &statement,
                                   const char *label, int line)
{
    m_log->warning(u"%1 ( %2 ):  %3 : [ %4 ] "_s.arg(
        QString::fromLatin1(label), QString::number(line), error.text(), statement));
}

void FileUpdate::logQueryError(const QSqlQuery &query, const char *label, int line)
{
    logStatementError(query.lastError(), query.lastQuery(), label, line);
}

FileUpdate::FileUpdate(const FileDeclaration &description, QObject *parent)
    : QObject(parent)
    , m_description(description)
    , m_onlyRead(description.isOnlyRead())
{
    if (!openFile() || !takeStoredVersion())
        return;
    m_plan = planRun(m_description, {FileState::State::Readable, m_stored});
    // Decided before anything is written: a file newer than this program keeps every byte and
    // its time.
    if (m_plan.kind == Plan::Kind::LeftNewer || (!m_onlyRead && !probeWriteAccess()))
        return;
    limitFileGrowth(m_db, fileName());
}

FileUpdate::~FileUpdate()
{
    rollback();
    const QString connection = m_db.connectionName();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection);
}

bool FileUpdate::openFile()
{
    failDirectorySync();
    m_existed = FileName::exists(fileName());
    const SqliteFile::OpenProblem problem = SqliteFile::openProblem(fileName(), m_onlyRead);
    if (problem.exists()) {
        refuse(problem.failure, problem.reason);
        return false;
    }
    m_db = SqliteFile::addConnection(fileName(), SqliteFile::runOpenMode(fileName(), m_onlyRead),
                                     u"update "_s + fileName());
    if (!m_db.open()) {
        refuse(SqliteFile::failureOf(m_db.lastError()), m_db.lastError().text());
        m_ending->refusedAction = u"open"_s;
        return false;
    }
    // Renames must leave the bodies of other triggers and of views as they are. The tables this
    // program drops hold rows it has copied elsewhere: overwriting their freed pages with zeros
    // (the library's build default) only costs time and journal writes. Up to 32 MiB of changed
    // pages stay in memory before any is written out ahead of the commit: each such spill syncs
    // the journal first, which costs milliseconds on flash storage. Unlike cache_size, this
    // setting reads nothing from the file. A commit ends with the deletion of the journal: only
    // once that deletion has been synced to the directory does a power cut keep the update
    // instead of bringing the journal back to roll the file back to before it. A file that is
    // written is then locked for the whole update.
    QStringList statements = {u"PRAGMA legacy_alter_table=ON"_s, u"PRAGMA secure_delete=FAST"_s,
                              u"PRAGMA cache_spill=-32768"_s};
    if (!m_onlyRead)
        statements << u"PRAGMA synchronous=EXTRA"_s << u"BEGIN IMMEDIATE"_s;
    for (const QString &statement : std::as_const(statements)) {
        QSqlQuery query(m_db);
        if (!query.exec(statement)) {
            refuse(query.lastError());
            return false;
        }
    }
    m_inTransaction = !m_onlyRead;
    return true;
}

// A file that can be read but not written (read-only file, directory without room for the
// journal) still grants the lock; a rolled-back write of the header tells.
bool FileUpdate::probeWriteAccess()
{
    QSqlQuery query(m_db);
    if (!query.exec(u"PRAGMA user_version"_s) || !query.next()) {
        refuse(query.lastError());
        return false;
    }
    const QString userVersion = query.value(0).toString();
    query.finish();
    const bool writable = query.exec(u"SAVEPOINT write_probe"_s)
        && query.exec(u"PRAGMA user_version=%1"_s.arg(userVersion));
    const QSqlError error = query.lastError();
    query.exec(u"ROLLBACK TO write_probe"_s);
    query.exec(u"RELEASE write_probe"_s);
    if (!writable && SqliteFile::failureOf(error) == SqliteFile::Failure::Locked)
        refuse(error);
    else if (!writable)
        refuse(SqliteFile::Failure::NotWritable, u"it cannot be written (%1)"_s.arg(error.text()));
    return writable;
}

bool FileUpdate::takeStoredVersion()
{
    m_stored = SqliteFile::readStoredVersion(m_db);
    if (m_stored.error.isValid())
        refuse(m_stored.error);
    else if (!m_stored.version)
        refuse(SqliteFile::Failure::Statement, m_stored.refusal());
    return m_stored.version.has_value();
}

void FileUpdate::refuse(const QSqlError &error)
{
    const SqliteFile::Failure failure = SqliteFile::failureOf(error);
    if (failure == SqliteFile::Failure::Locked)
        refuse(failure, u"it is locked by another process"_s);
    else if (failure == SqliteFile::Failure::NotWritable)
        refuse(failure, u"it cannot be written (%1)"_s.arg(error.text()));
    else
        refuse(failure, error.text());
}

void FileUpdate::refuse(SqliteFile::Failure failure, const QString &reason)
{
    m_ending = ending(UpdateEnding::Kind::Refused, failure, reason);
}

UpdateEnding FileUpdate::ending(UpdateEnding::Kind kind, SqliteFile::Failure failure,
                                const QString &reason) const
{
    return {kind, failure, fileName(), m_onlyRead, reason, currentVersion()};
}

QString UpdateEnding::line() const
{
    // What a commit that stands without the disk's confirmation saved.
    const auto unconfirmed = [this](const QString &saved) {
        return u", but the system could not confirm that %1 reached the disk (%2): a power cut "
               u"before the disk is sound may undo it"_s.arg(saved, unconfirmedBy);
    };
    switch (kind) {
    case Kind::Done:
        return QString();
    case Kind::Refused:
    case Kind::Undone: {
        // A file that is only read has nothing to protect: the run goes on without it.
        const QString action = !refusedAction.isEmpty() ? refusedAction
            : onlyRead                                  ? u"read"_s
                                                        : u"update"_s;
        return u"Can't %1 %2: %3; the file was left as it is%4"_s.arg(
            action, fileName, reason.isEmpty() ? u"its update failed"_s : reason,
            onlyRead ? u" and the run goes on"_s : QString());
    }
    case Kind::PartKept:
        return u"Can't update %1: %2; %3%4"_s.arg(fileName, reason, keptWork,
                                                  unconfirmedBy.isEmpty() ? QString()
                                                                          : unconfirmed(u"this"_s));
    case Kind::Unconfirmed:
        return u"%1 was upgraded to version %2%3"_s.arg(fileName, QString::number(version),
                                                        unconfirmed(u"the upgrade"_s));
    case Kind::NotNoted:
        return u"%1 was upgraded to version %2, but %3: a restore from there takes it for one "
               u"changed since"_s.arg(fileName, QString::number(version), reason);
    }
    return QString();
}

UpdateEnding FileUpdate::run()
{
    if (m_plan.kind == Plan::Kind::LeftNewer) {
        m_log->warning(
            u"%1 has version %2, newer than this program's %3: its version was left "
            u"as it is"_s.arg(fileName(), m_stored.shown, QString::number(currentVersion())));
    }
    if (!m_ending && m_plan.kind != Plan::Kind::LeftNewer)
        updateAndCommit();
    rollback();
    if (!m_ending && m_notesUpgrade)
        noteUpgrade();
    const UpdateEnding ended
        = m_ending.value_or(ending(UpdateEnding::Kind::Done, SqliteFile::Failure::None));
    if (const QString line = ended.line(); !line.isEmpty())
        m_log->warning(line);
    return ended;
}

bool FileUpdate::fail(const QString &reason)
{
    if (!aborted())
        m_ending = ending(UpdateEnding::Kind::Undone, SqliteFile::Failure::Statement, reason);
    return false;
}

bool FileUpdate::keepWork(const QString &keptWork)
{
    // After an abort SQLite has already undone the work: nothing is left to keep.
    if (aborted())
        return false;
    if (!m_ending)
        fail(QString());
    m_ending->kind = UpdateEnding::Kind::PartKept;
    m_ending->keptWork = keptWork;
    return false;
}

void FileUpdate::updateAndCommit()
{
    // A file that is only read has no steps to show.
    ProgressObserver *const progress = m_onlyRead ? nullptr : m_progress;
    if (progress)
        progress->fileStarted(fileName(), m_plan.steps + (copiesFile() ? 1 : 0));
    const bool updated = (!m_backup || keepCopy()) && update();
    if (!updated && !m_ending)
        fail(QString());
    listCopy();
    // An update that has an ending by now failed: only one that keeps its work commits.
    if (!m_ending || m_ending->kind == UpdateEnding::Kind::PartKept)
        commitChanges();
    if (progress)
        progress->fileFinished();
}

bool FileUpdate::copiesFile() const
{
    return m_backup && m_existed && m_plan.kind == Plan::Kind::Upgrade;
}

// Taken under the write lock, before the first write: the file as the update found it, an
// interrupted write of its own undone. A file that an earlier run upgraded and noted gets its
// note renewed after this run's writes, unless something else wrote it since.
bool FileUpdate::keepCopy()
{
    const QString backup = FileName::shown(m_backup->path());
    QString error;
    if (!copiesFile()) {
        const BackupDirectory::Entry *const entry = m_backup->entry(fileName());
        m_notesUpgrade = entry && entry->versionAfter
            && FileName::open(m_liveFile, fileName(), QIODevice::ReadOnly, &error)
            && BackupDirectory::digestOf(m_liveFile, &error) == entry->digestAfter;
        return true;
    }
    stepStarted(u"copying into "_s + backup);
    error = BackupDirectory::copyProblem(fileName());
    m_notesUpgrade = error.isEmpty()
        && FileName::open(m_liveFile, fileName(), QIODevice::ReadOnly, &error)
        && m_backup->keep(m_liveFile, fileName(), storedVersion(), &error);
    return m_notesUpgrade || fail(u"it could not be copied into %1 (%2)"_s.arg(backup, error));
}

// Whatever the update's end, its copy is listed before anything is committed: a commit without
// it would leave no way back.
void FileUpdate::listCopy()
{
    QString error;
    if (!m_backup || m_backup->listKept(&error)
        || (m_ending && m_ending->kind != UpdateEnding::Kind::PartKept))
        return;
    m_ending = ending(
        UpdateEnding::Kind::Undone, SqliteFile::Failure::Statement,
        u"it could not be copied into %1 (%2)"_s.arg(FileName::shown(m_backup->path()), error));
}

// Read under a shared lock, so that no other process writes it meanwhile.
void FileUpdate::noteUpgrade()
{
    QSqlQuery query(m_db);
    QString error;
    const bool locked = query.exec(u"BEGIN"_s) && query.exec(u"select 1 from sqlite_master"_s);
    const bool noted
        = locked && m_backup->noteUpgraded(m_liveFile, fileName(), currentVersion(), &error);
    if (!locked)
        error = query.lastError().text();
    query.finish();
    query.exec(u"COMMIT"_s);
    if (!noted) {
        m_ending = ending(UpdateEnding::Kind::NotNoted, SqliteFile::Failure::Statement,
                          u"its digest could not be noted in %1 (%2)"_s.arg(
                              FileName::shown(m_backup->path()), error));
    }
}

void FileUpdate::stepStarted(const QString &text)
{
    if (m_progress)
        m_progress->stepStarted(++m_step, text);
}

// The text is made only for an observer.
void FileUpdate::statementStarted(const QString &statement)
{
    if (m_progress)
        stepStarted(statementStepText(statement));
}

void FileUpdate::commitChanges()
{
    if (!m_inTransaction)
        return;
    const QString commit = u"COMMIT"_s;
    statementStarted(commit);
    QSqlQuery query(m_db);
    const bool committed = query.exec(commit);
    statementDone();
    if (committed) {
        m_inTransaction = false;
        return;
    }
    const QSqlError error = query.lastError();
    rollback();
    const SqliteFile::Failure failure = SqliteFile::failureOf(error);
    if (!upgradeStands(error)) {
        m_ending = ending(UpdateEnding::Kind::Undone, failure,
                          u"its changes could not be saved (%1)"_s.arg(error.text()));
        return;
    }
    // The failure that made the update keep its work is the one to report, also when the work
    // stands without the disk having confirmed it.
    if (!m_ending)
        m_ending = ending(UpdateEnding::Kind::Unconfirmed, failure);
    m_ending->failure = failure;
    m_ending->unconfirmedBy = error.text();
}

// A commit that failed after SQLite deleted the journal (its last step, the sync of the
// directory, failed) stands: no journal is left to undo it, and the file stores the version the
// update wrote. A file that stored that version before only tells by SQLite's error.
bool FileUpdate::upgradeStands(const QSqlError &commitError) const
{
    if (SqliteFile::journalBeside(fileName()) != SqliteFile::Journal::None)
        return false;
    const SqliteFile::Connection connection(fileName(), SqliteFile::OpenMode::ReadOnly);
    if (!connection.isOpen())
        return false;
    const SqliteFile::StoredVersion stored = SqliteFile::readStoredVersion(connection.database());
    return stored.version == currentVersion()
        && (storedVersion() != currentVersion() || SqliteFile::isUnsyncedDeletion(commitError));
}

void FileUpdate::rollback()
{
    if (!m_inTransaction)
        return;
    QSqlQuery query(m_db);
    query.exec(u"ROLLBACK"_s);
    m_inTransaction = false;
}

bool FileUpdate::runQuery(QSqlQuery &query, const QString &text)
{
    if (aborted())
        return false;
    const bool succeeded = text.isNull() ? query.exec() : query.exec(text);
    statementDone();
    if (!succeeded)
        checkFailure(query.lastError());
    return succeeded;
}

// Errors after which the file's state is in doubt: a full disk, an I/O error, a lost lock,
// corruption. SQLite may even have rolled the whole transaction back by itself, so that the
// statements that follow would write outside of it; the update stops and is undone.
void FileUpdate::checkFailure(const QSqlError &error)
{
    if (!m_inTransaction)
        return;
    if (!SqliteFile::isFatal(SqliteFile::failureOf(error))) {
        // A BEGIN succeeds only outside of a transaction.
        QSqlQuery probe(m_db);
        if (!probe.exec(u"BEGIN"_s))
            return;
        probe.exec(u"ROLLBACK"_s);
    }
    rollback();
    m_ending = ending(UpdateEnding::Kind::Undone, SqliteFile::failureOf(error), error.text());
}

bool FileUpdate::exec(const QString &statement, const char *label, int line)
{
    if (aborted())
        return false;
    statementStarted(statement);
    QSqlQuery query(m_db);
    if (runQuery(query, statement))
        return true;
    logQueryError(query, label, line);
    return false;
}

void FileUpdate::renameTable(const QString &from, const QString &to)
{
    exec(u"alter table %1 rename to %2"_s.arg(from, to), baseLabel, renameLine);
}

bool FileUpdate::update()
{
    for (const UpgradeSection &section : m_description.sections) {
        if (!section.isNeededAt(storedVersion()))
            continue;
        for (const UpgradeStep &step : section.steps) {
            if (!runStep(step))
                return false;
        }
    }
    return true;
}

bool FileUpdate::runStep(const UpgradeStep &step)
{
    switch (step.kind) {
    case UpgradeStep::Kind::Sql:
        exec(step.statement(), label(), step.line());
        break;
    case UpgradeStep::Kind::Rename:
        renameTable(step.names.at(0), step.names.at(1));
        break;
    case UpgradeStep::Kind::Copy:
        return copyRebuiltRows(step);
    case UpgradeStep::Kind::CopyRows:
        return copyRows(step, step.names.at(0), QString(), step.names.at(1));
    case UpgradeStep::Kind::Drop:
        return dropCopiedTable(step);
    case UpgradeStep::Kind::Stamp: {
        const QStringList stamp = m_description.stampStatements();
        const bool deleted = exec(stamp.at(0), label(), step.lines.at(0));
        const bool inserted = exec(stamp.at(1), label(), step.lines.at(1));
        return (deleted && inserted && versionStuck())
            || fail(u"writing version %1 into its version table failed"_s.arg(currentVersion()));
    }
    case UpgradeStep::Kind::FillVariables:
        return backfillVariables(step.lines);
    case UpgradeStep::Kind::DropBackupIndex:
        dropIndexOfBackup(step.names.at(0), step.names.at(1));
        break;
    }
    return true;
}

// The version is read back as the run read it before: one that does not stick (a trigger of the
// file's own passed it over, or wrote another) would make the next run redo the upgrade.
bool FileUpdate::versionStuck()
{
    if (aborted())
        return false;
    const SqliteFile::StoredVersion stored = SqliteFile::readStoredVersion(m_db);
    statementDone();
    if (stored.error.isValid())
        checkFailure(stored.error);
    return stored.version == currentVersion();
}

void FileUpdate::dropIndexOfBackup(const QString &index, const QString &backup)
{
    QSqlQuery query(m_db);
    query.prepare(
        u"select 1 from sqlite_master where name = ? collate nocase and tbl_name = ? collate nocase"_s);
    query.addBindValue(index);
    query.addBindValue(backup);
    if (!runQuery(query) || !query.next())
        return;
    query.finish();
    runQuery(query, u"drop index "_s + index);
}
