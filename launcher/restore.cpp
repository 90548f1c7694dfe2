#include "restore.h"

#include "backup.h"
#include "declaration.h"
#include "faultinjection.h"
#include "filename.h"
#include "sqlitefile.h"

#include <QDateTime>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <list>
#include <optional>
#include <system_error>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

// How a restore ended, as the exit status that runRestore() gives back.
enum class RestoreEnd { Done, FileLeft, BackupUnusable };

QString errorText(const std::error_code &code)
{
    return QString::fromLocal8Bit(code.message());
}

// A change of the file system that the restore makes itself, unless a test injects a failure
// for it.
template<typename Change> std::error_code changed(Change change)
{
    std::error_code code;
    if (const int fault = injectedFault())
        code.assign(fault, std::generic_category());
    else
        change(code);
    return code;
}

std::error_code renamed(const QString &from, const QString &to)
{
    return changed([&](std::error_code &code) {
        std::filesystem::rename(FileName::path(from), FileName::path(to), code);
    });
}

// The restored file gets the permissions, owner and group of the file it replaces, so that the
// application goes on writing it whoever restored it. The owner is asked by the file's name: a
// handle opened and closed on a locked file would drop SQLite's lock on it. On Windows a file
// takes the access rules of its directory, as the file it replaces did.
std::error_code takeOwnership(const QString &from, const QString &to)
{
    return changed([&](std::error_code &code) {
        const auto status = std::filesystem::status(FileName::path(from), code);
        if (!code)
            std::filesystem::permissions(FileName::path(to), status.permissions(), code);
#ifndef Q_OS_WIN
        struct stat owner;
        if (!code
            && (::stat(FileName::toBytes(from).constData(), &owner) != 0
                || ::chown(FileName::toBytes(to).constData(), owner.st_uid, owner.st_gid) != 0))
            code.assign(errno, std::generic_category());
#endif
    });
}

// Moves the file into the directory at to; onto another volume as a synced copy that has its
// name there before the file goes. Why that failed; empty when it did not.
QString moved(const QString &from, const QString &to)
{
    std::error_code code = renamed(from, to);
    if (code == std::errc::cross_device_link) {
        QFile file;
        QString error;
        if (!FileName::open(file, from, QIODevice::ReadOnly, &error)
            || BackupDirectory::copyFile(file, to, &error).isEmpty())
            return error;
        file.close();
        code = changed([&](std::error_code &removal) {
            std::filesystem::remove(FileName::path(from), removal);
        });
    }
    return code ? errorText(code) : QString();
}

// A copy in the backup directory, read through the one handle that it is checked and written
// back from.
class BackupCopy
{
public:
    BackupCopy(const QString &path, const BackupDirectory::Entry &entry)
    {
        if (const QString problem = check(path, entry); !problem.isEmpty())
            m_problem = u"its copy %1 %2"_s.arg(FileName::shown(path), problem);
    }

    // Why the copy is not the file the manifest lists, as the log says it; empty when it is.
    const QString &problem() const { return m_problem; }
    QFile &file() { return m_file; }

private:
    QString check(const QString &path, const BackupDirectory::Entry &entry)
    {
        if (FileName::type(path) != FileName::Type::RegularFile)
            return u"is missing"_s;
        QString error;
        if (!FileName::open(m_file, path, QIODevice::ReadOnly, &error))
            return u"cannot be read (%1)"_s.arg(error);
        if (m_file.size() != entry.size) {
            return u"is %1 bytes long, and the manifest lists %2"_s.arg(
                QString::number(m_file.size()), QString::number(entry.size));
        }
        const QString digest = BackupDirectory::digestOf(m_file, &error);
        if (digest.isEmpty())
            return u"cannot be read (%1)"_s.arg(error);
        if (digest != entry.digest)
            return u"does not have the digest that the manifest lists"_s;
        if (!FileName::leadingBytes(path, SqliteFile::headerMagic.size())
                 .startsWith(SqliteFile::headerMagic))
            return u"is not an SQLite database"_s;
        const SqliteFile::Connection connection(path, SqliteFile::OpenMode::Immutable);
        const SqliteFile::StoredVersion stored
            = SqliteFile::readStoredVersion(connection.database());
        if (!stored.version) {
            return u"holds no version that can be read (%1)"_s.arg(
                stored.error.isValid() ? stored.error.text() : stored.problem);
        }
        if (*stored.version != entry.versionBefore) {
            return u"holds version %1, and the manifest lists version %2"_s.arg(
                stored.shown, QString::number(entry.versionBefore));
        }
        return QString();
    }

    QFile m_file;
    QString m_problem;
};

// A file of the working directory, locked through SQLite so that no other process writes it
// while it is restored, and read through one handle that stays open while the lock is held.
class LiveFile
{
public:
    explicit LiveFile(const QString &fileName)
        : m_name(fileName)
        , m_path(SqliteFile::resolvedPath(fileName))
    {
    }
    ~LiveFile() { release(); }
    Q_DISABLE_COPY(LiveFile)

    // Where the file lies, a symbolic link followed; its side files lie beside it.
    const QString &path() const { return m_path; }
    QFile &file() { return m_file; }
    const QString &digest() const { return m_digest; }
    // "version 3", as the file holds it.
    const QString &version() const { return m_version; }

    // Takes the write lock, which plays an interrupted write's journal back first, and reads
    // the file; why that failed, empty when it did not.
    QString lock()
    {
        if (const SqliteFile::OpenProblem problem = SqliteFile::openProblem(m_name, false);
            problem.exists())
            return problem.reason;
        // Asked before SQLite opens the file: reading it afterwards would drop the lock.
        const bool logMode = SqliteFile::usesWriteAheadLog(m_path);
        m_connection.emplace(m_name, SqliteFile::OpenMode::ReadWrite);
        if (!m_connection->isOpen())
            return lockProblem(m_connection->database().lastError());
        QSqlQuery query(m_connection->database());
        // A file in write-ahead-log mode may hold changes in its log alone: they are written
        // into the file first, so that its digest covers them.
        if (logMode) {
            if (!query.exec(u"PRAGMA wal_checkpoint(TRUNCATE)"_s) || !query.next())
                return lockProblem(query.lastError());
            if (query.value(0).toInt() != 0)
                return lockProblem({});
            query.finish();
        }
        if (!query.exec(u"BEGIN IMMEDIATE"_s))
            return lockProblem(query.lastError());
        if (logMode
            && FileName::size(SqliteFile::sideFileName(m_name, SqliteFile::SideFile::WriteAheadLog))
                > 0)
            return lockProblem({});
        const SqliteFile::StoredVersion stored
            = SqliteFile::readStoredVersion(m_connection->database());
        m_version = stored.version ? u"version "_s + stored.shown : u"the file"_s;
        QString error;
        if (FileName::open(m_file, m_path, QIODevice::ReadOnly, &error))
            m_digest = BackupDirectory::digestOf(m_file, &error);
        return m_digest.isEmpty() ? u"it cannot be read (%1)"_s.arg(error) : QString();
    }

    // Ends the lock's transaction and closes the connection, only then the handle.
    void release()
    {
        if (m_connection)
            QSqlQuery(m_connection->database()).exec(u"ROLLBACK"_s);
        m_connection.reset();
        m_file.close();
    }

private:
    // Another process's lock shows as no error, or as SQLite's.
    static QString lockProblem(const QSqlError &error)
    {
        if (!error.isValid() || SqliteFile::failureOf(error) == SqliteFile::Failure::Locked)
            return u"it is locked by another process"_s;
        return u"it cannot be locked (%1)"_s.arg(error.text());
    }

    QString m_name;
    QString m_path;
    std::optional<SqliteFile::Connection> m_connection;
    QFile m_file;
    QString m_digest;
    QString m_version;
};

// What the file of the working directory is to its copy; a changed one was written since its
// upgrade, or left by an update that failed and written since.
enum class LiveState { Upgraded, Restored, Changed, Missing };

// One file of the manifest; restoring is where the copy is written beside the file it replaces.
struct ManifestFile
{
    ManifestFile(const QString &directory, const BackupDirectory::Entry &entry)
        : entry(entry)
        , copy(directory + u'/' + entry.name, entry)
        , live(entry.name)
        , restoring(live.path() + u".restoring"_s)
    {
    }

    const BackupDirectory::Entry &entry;
    BackupCopy copy;
    LiveFile live;
    QString restoring;
    LiveState state = LiveState::Missing;
    QString setAside;
};

// The file stays in the working directory until the copy is renamed over it: in the backup
// directory it gets a second name, or on another volume a synced copy. Why that failed; empty
// when it did not.
QString setAside(ManifestFile &file, const QString &directory)
{
    const QString shownAside = FileName::shown(file.setAside);
    std::error_code code = changed([&](std::error_code &link) {
        std::filesystem::create_hard_link(FileName::path(file.live.path()),
                                          FileName::path(file.setAside), link);
    });
    // A link cannot be made into a directory on another volume, nor on a file system without
    // links (FAT, exFAT): the file is copied there instead.
    if (code == std::errc::cross_device_link || code == std::errc::operation_not_permitted
        || code == std::errc::operation_not_supported || code == std::errc::function_not_supported
        || code == std::errc::too_many_links) {
        const QString draft = file.setAside + u".partial"_s;
        QString error;
        const QString digest = BackupDirectory::copyFile(file.live.file(), draft, &error);
        if (digest.isEmpty())
            return u"it could not be copied to %1 (%2)"_s.arg(shownAside, error);
        if (digest != file.live.digest())
            return u"it changed while it was copied to %1"_s.arg(shownAside);
        code = renamed(draft, file.setAside);
    }
    if (code)
        return u"it could not be set aside as %1 (%2)"_s.arg(shownAside, errorText(code));
    if (QString error; !BackupDirectory::syncDirectory(directory, &error))
        return u"%1 could not be synced (%2)"_s.arg(FileName::shown(directory), error);
    statementDone();
    return QString();
}

// SQLite would play a journal or write-ahead log left beside the restored file into it.
QString moveSideFiles(const ManifestFile &file, const QString &directory)
{
    bool anyMoved = false;
    for (const SqliteFile::SideFile side : SqliteFile::sideFiles) {
        const QString from = SqliteFile::sideFileName(file.live.path(), side);
        if (FileName::entryType(from) == FileName::Type::None)
            continue;
        const QString to = SqliteFile::sideFileName(file.setAside, side);
        if (const QString error = moved(from, to); !error.isEmpty()) {
            return u"its %1 %2 could not be moved to %3 (%4)"_s.arg(
                SqliteFile::sideFileKind(side), FileName::shown(from), FileName::shown(to), error);
        }
        statementDone();
        anyMoved = true;
    }
    QString error;
    if (anyMoved
        && (!BackupDirectory::syncDirectory(directory, &error)
            || !BackupDirectory::syncDirectory(FileName::directoryOf(file.live.path()), &error)))
        return u"the directories could not be synced (%1)"_s.arg(error);
    return QString();
}

// Puts the copy in the place of its file, each step leaving the file as it was, the last one
// restored. Why a step failed; empty when none did.
QString replace(ManifestFile &file, const QString &directory)
{
    const QString shownRestoring = FileName::shown(file.restoring);
    QString error;
    const QString digest = BackupDirectory::copyFile(file.copy.file(), file.restoring, &error);
    if (digest.isEmpty())
        return u"its copy could not be written as %1 (%2)"_s.arg(shownRestoring, error);
    if (digest != file.entry.digest)
        return u"its copy changed while it was written as %1"_s.arg(shownRestoring);
    const bool replaces = file.state != LiveState::Missing;
    if (const std::error_code code
        = replaces ? takeOwnership(file.live.path(), file.restoring) : std::error_code()) {
        return u"%1 could not be given the owner and permissions of the file (%2)"_s.arg(
            shownRestoring, errorText(code));
    }
    statementDone();
    if (const QString problem = replaces ? setAside(file, directory) : QString();
        !problem.isEmpty())
        return problem;
    file.live.release();
    statementDone();
    if (const QString problem = moveSideFiles(file, directory); !problem.isEmpty())
        return problem;
    if (const std::error_code code = renamed(file.restoring, file.live.path()))
        return u"%1 could not be renamed over it (%2)"_s.arg(shownRestoring, errorText(code));
    statementDone();
    return QString();
}

class Restore
{
public:
    Restore(const QString &directory, bool force)
        : m_directory(directory)
        , m_shown(FileName::shown(directory))
        , m_force(force)
        , m_time(QDateTime::currentDateTimeUtc().toString(u"yyyyMMdd'T'HHmmss'Z'"_s))
    {
    }

    RestoreEnd run()
    {
        QString error;
        m_backup = BackupDirectory::open(m_directory, &error);
        if (!m_backup) {
            qWarning("Can't restore from %s: %s; no file was changed", qUtf8Printable(m_shown),
                     qUtf8Printable(error));
            return RestoreEnd::BackupUnusable;
        }
        for (const FileDeclaration &description : declaredFiles()) {
            if (const BackupDirectory::Entry *entry = m_backup->entry(description.fileName))
                m_files.emplace_back(m_directory, *entry);
        }
        if (!everyFilePasses([](ManifestFile &file) { return file.copy.problem(); }))
            return RestoreEnd::BackupUnusable;
        if (!everyFilePasses([this](ManifestFile &file) { return readiness(file); }))
            return RestoreEnd::FileLeft;
        QStringList restored;
        for (ManifestFile &file : m_files) {
            if (!restore(file)) {
                const QString before = restored.isEmpty()
                    ? u"no file was restored before it"_s
                    : restored.join(u", "_s) + u" restored before it"_s;
                qWarning("Restore from %s stopped at %s: %s; running the same --restore again "
                         "finishes it",
                         qUtf8Printable(m_shown), qUtf8Printable(file.entry.name),
                         qUtf8Printable(before));
                return RestoreEnd::FileLeft;
            }
            restored << file.entry.name;
        }
        qWarning("Restore from %s done: every file of its manifest is as its copy",
                 qUtf8Printable(m_shown));
        return RestoreEnd::Done;
    }

private:
    // Warns of each file that problemOf finds a problem with, every file asked, and then that
    // nothing was restored; whether every file passed.
    template<typename Check> bool everyFilePasses(Check problemOf)
    {
        bool passed = true;
        for (ManifestFile &file : m_files) {
            if (const QString problem = problemOf(file); !problem.isEmpty()) {
                qWarning("Can't restore %s: %s", qUtf8Printable(file.entry.name),
                         qUtf8Printable(problem));
                passed = false;
            }
        }
        if (!passed)
            qWarning("Nothing was restored from %s", qUtf8Printable(m_shown));
        return passed;
    }

    // Locks the file and finds its state; why it may not be replaced, empty when it may.
    QString readiness(ManifestFile &file)
    {
        file.setAside = setAsideName(file.entry.name);
        // A chain of links that leads back into itself has no path: the lock refuses it.
        if (!file.live.path().isEmpty() && FileName::type(file.live.path()) == FileName::Type::None)
            return m_force ? QString() : u"it is missing; --force puts its copy in its place"_s;
        if (const QString problem = file.live.lock(); !problem.isEmpty())
            return problem;
        const BackupDirectory::Entry &entry = file.entry;
        file.state = file.live.digest() == entry.digest                     ? LiveState::Restored
            : entry.versionAfter && file.live.digest() == entry.digestAfter ? LiveState::Upgraded
                                                                            : LiveState::Changed;
        if (file.state != LiveState::Changed || m_force)
            return QString();
        return u"it was changed since its upgrade; --force restores it all the same and sets it "
               u"aside with the results written since as %1"_s.arg(FileName::shown(file.setAside));
    }

    // The name in the backup directory that the file is set aside under, with its side files
    // beside it: "data.db.replaced-20240131T120000Z", numbered on where that is taken.
    QString setAsideName(const QString &fileName) const
    {
        const QString first = m_directory + u'/' + fileName + u".replaced-"_s + m_time;
        const auto taken = [](const QString &name) {
            return FileName::entryType(name) != FileName::Type::None
                || std::any_of(std::begin(SqliteFile::sideFiles), std::end(SqliteFile::sideFiles),
                               [&](SqliteFile::SideFile side) {
                                   return FileName::entryType(SqliteFile::sideFileName(name, side))
                                       != FileName::Type::None;
                               });
        };
        QString name = first;
        for (int number = 2; taken(name) || taken(name + u".partial"_s); ++number)
            name = first + u'-' + QString::number(number);
        return name;
    }

    bool restore(ManifestFile &file)
    {
        const QString name = file.entry.name;
        std::error_code ignored;
        if (file.state == LiveState::Restored) {
            file.live.release();
            std::filesystem::remove(FileName::path(file.restoring), ignored);
            qWarning("%s already is its copy of version %d from %s and was left as it is",
                     qUtf8Printable(name), file.entry.versionBefore, qUtf8Printable(m_shown));
            return true;
        }
        if (const QString error = replace(file, m_directory); !error.isEmpty()) {
            std::filesystem::remove(FileName::path(file.restoring), ignored);
            qWarning("Can't restore %s: %s; it was left as it is", qUtf8Printable(name),
                     qUtf8Printable(error));
            return false;
        }
        QString done = file.state == LiveState::Missing
            ? u"%1: its copy of version %2 from %3 was put in the place of the missing file"_s.arg(
                name, QString::number(file.entry.versionBefore), m_shown)
            : u"%1: %2 was replaced by its copy of version %3 from %4; the replaced file is %5"_s
                  .arg(name, file.live.version(), QString::number(file.entry.versionBefore),
                       m_shown, FileName::shown(file.setAside));
        QString error;
        const bool synced
            = BackupDirectory::syncDirectory(FileName::directoryOf(file.live.path()), &error);
        statementDone();
        if (!synced) {
            done += u", but the system could not confirm that this reached the disk (%1): a "
                    u"power cut before the disk is sound may undo it"_s.arg(error);
        }
        qWarning("%s", qUtf8Printable(done));
        return synced;
    }

    QString m_directory;
    QString m_shown;
    bool m_force;
    // When the files are set aside, for their names.
    QString m_time;
    std::optional<BackupDirectory> m_backup;
    // A file is neither copied nor moved: it holds open handles.
    std::list<ManifestFile> m_files;
};

} // namespace

int runRestore(const QString &directory, bool force)
{
    switch (Restore(directory, force).run()) {
    case RestoreEnd::Done:
        return 0;
    case RestoreEnd::FileLeft:
        return 1;
    case RestoreEnd::BackupUnusable:
        break;
    }
    return 2;
}
