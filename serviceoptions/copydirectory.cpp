#include "copydirectory.h"

#include "declaration.h"
#include "filename.h"
#include "sqlitefile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#ifndef Q_OS_WIN
#include <signal.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString namePrefix = u"dbupdate-dry-run-"_s;
const QString lockName = u"dry-run.lock"_s;
// A directory without its lock file may belong to a dry run that has just made it.
const qint64 unlockedGraceSeconds = 60;
const qint64 copyChunk = 1024 * 1024;

// What the signal handler removes, worked out beforehand: the files first, the directory last.
std::vector<std::string> cleanupPaths;

// The signals that end the program unless it handles them, where the platform has them: those
// sent to it (a dropped session's SIGHUP, a user's or a timer's) and abort()'s SIGABRT. SIGKILL
// and SIGSTOP cannot be caught; a fault in the program itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGSYS, SIGTRAP) is left to whatever reports it.
std::vector<int> endingSignals()
{
    std::vector<int> endings = {SIGINT, SIGTERM, SIGABRT};
#ifdef Q_OS_WIN
    endings.push_back(SIGBREAK);
#else
    endings.insert(endings.end(),
                   {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGXFSZ,
                    SIGVTALRM, SIGPROF});
#endif
#ifdef Q_OS_LINUX
    endings.insert(endings.end(), {SIGPOLL, SIGPWR, SIGSTKFLT});
#endif
#ifdef SIGRTMIN
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        endings.push_back(signal);
#endif
    return endings;
}

std::vector<int> handledSignals;

// Removes the copies and ends the program as the signal would have.
extern "C" void removeCopiesAndExit(int signal)
{
    for (const std::string &path : cleanupPaths)
        std::remove(path.c_str());
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Whether the signal would still end the program. One that is ignored (SIGHUP under nohup,
// SIGPIPE, which the program ignores from its start) or handled elsewhere is left as it is.
bool hasDefaultAction(int signal)
{
#ifdef Q_OS_WIN
    // Signals are not inherited there, and the program ignores or handles none elsewhere.
    Q_UNUSED(signal);
    return true;
#else
    struct sigaction action = {};
    return sigaction(signal, nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0
        && action.sa_handler == SIG_DFL;
#endif
}

// A directory an earlier dry run left: its lock is stale (its process is gone), or it has no
// lock file and is older than a dry run needs to take its lock.
bool isAbandoned(const QString &dirPath)
{
    const QString lockPath = dirPath + u'/' + lockName;
    if (!QFileInfo::exists(lockPath))
        return QFileInfo(dirPath).lastModified().secsTo(QDateTime::currentDateTime())
            > unlockedGraceSeconds;
    QLockFile lock(lockPath);
    lock.setStaleLockTime(0); // only a lock whose process has gone is stale
    return lock.tryLock(0);
}

void removeAbandonedDirectories(const QString &parentPath)
{
    const QDir temp(parentPath);
    for (const QString &name :
         temp.entryList({namePrefix + u'*'}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString dirPath = temp.filePath(name);
        if (isAbandoned(dirPath))
            QDir(dirPath).removeRecursively();
    }
}

} // namespace

CopyDirectory::CopyDirectory()
    : m_parentPath(QDir::tempPath())
{
    // Qt names no directory when the one the environment names does not exist, nor when its name
    // is not UTF-8, which Qt needs to make the copies' directory and its lock file there.
    if (m_parentPath.isEmpty()) {
        m_parentPath = FileName::fromBytes(qgetenv("TMPDIR"));
        m_error = FileName::exists(m_parentPath)
            ? u"its name is not UTF-8: name another directory in TMPDIR"_s
            : u"it does not exist"_s;
        return;
    }
    const QFileInfo parent(m_parentPath);
    if (!parent.isDir() || !parent.isWritable()) {
        m_error = parent.isDir() ? u"it cannot be written"_s : u"it is not a directory"_s;
        return;
    }
    removeAbandonedDirectories(m_parentPath);
    m_dir = std::make_unique<QTemporaryDir>(m_parentPath + u'/' + namePrefix + u"XXXXXX"_s);
    if (!m_dir->isValid()) {
        m_error = m_dir->errorString();
        return;
    }
    if (!QFile::setPermissions(m_dir->path(),
                               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        m_error = u"cannot make it private"_s;
        return;
    }
    m_lock = std::make_unique<QLockFile>(m_dir->filePath(lockName));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        m_error = u"cannot lock it"_s;
        return;
    }
    QStringList paths;
    for (const FileDeclaration &file : declaredFiles()) {
        const QString copy = m_dir->filePath(file.fileName);
        paths << copy;
        for (const SqliteFile::SideFile sideFile : SqliteFile::sideFiles)
            paths << SqliteFile::sideFileName(copy, sideFile);
    }
    for (const QString &path : paths << m_dir->filePath(lockName) << m_dir->path())
        cleanupPaths.push_back(QFile::encodeName(path).toStdString());
    for (const int signal : endingSignals()) {
        if (hasDefaultAction(signal) && std::signal(signal, removeCopiesAndExit) != SIG_ERR)
            handledSignals.push_back(signal);
    }
}

CopyDirectory::~CopyDirectory()
{
    if (cleanupPaths.empty())
        return;
    // Removed before the handlers go, so that a signal cannot leave copies behind.
    m_lock.reset();
    m_dir->remove();
    for (const int signal : handledSignals)
        std::signal(signal, SIG_DFL);
    handledSignals.clear();
    cleanupPaths.clear();
}

bool CopyDirectory::copy(const QString &sourcePath, const QString &copyName, QString *error) const
{
    const FileName::Type type = FileName::type(sourcePath);
    const QString targetPath = m_dir->filePath(copyName);
    QFile source;
    QFile target;
    if (type == FileName::Type::RegularFile
        && !FileName::accessError(sourcePath, FileName::Access::Read).isEmpty()) {
        return FileName::open(target, targetPath, QIODevice::WriteOnly | QIODevice::NewOnly, error,
                              QFileDevice::Permissions());
    }
    if (type != FileName::Type::RegularFile) {
        std::error_code made;
        if (type == FileName::Type::Directory
            && !std::filesystem::create_directory(FileName::path(targetPath), made)) {
            *error = u"cannot make a directory"_s;
            return false;
        }
        if (SqliteFile::resolvedPath(sourcePath).isEmpty())
            std::filesystem::create_symlink(FileName::path(targetPath), FileName::path(targetPath),
                                            made);
        if (made)
            *error = u"cannot make a symbolic link"_s;
        return !made;
    }
    // Written in place rather than through a temporary file, so that the signal handler
    // knows every name in the directory.
    if (!FileName::open(source, sourcePath, QIODevice::ReadOnly, error)
        || !FileName::open(target, targetPath, QIODevice::WriteOnly | QIODevice::NewOnly, error))
        return false;
    const QFile *failed = nullptr;
    while (!failed && !source.atEnd()) {
        const QByteArray chunk = source.read(copyChunk);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError)
            failed = &source;
        else if (target.write(chunk) != chunk.size())
            failed = &target;
    }
    if (!failed && !target.flush())
        failed = &target;
    if (failed)
        *error = failed->errorString();
    return !failed;
}
