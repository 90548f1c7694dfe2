#include "backup.h"

#include "declaration.h"
#include "faultinjection.h"
#include "filename.h"
#include "sqlitefile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#include <QStorageInfo>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString manifestName = u"manifest.json"_s;
const QString manifestDraftName = u"manifest.json.new"_s;
const int manifestFormat = 1;
// The digests tell a copy or a file from one damaged or written since; they are no guard against a
// forger, who could as well write the manifest. Of those Qt offers, over 4 MiB pieces of the
// bench's data.db, MD4 is the fastest: 1290 MB/s on one core here, against 380 to 870 for SHA-1,
// BLAKE2b-256 and MD5 (their order depends on the processor), 510 for BLAKE2s-256 and less for the
// SHA-2 and SHA-3 families. A digest of the pieces' digests can be checked by no other tool, so a
// better known algorithm would buy nothing. Even so a large file takes longer to digest than a
// shared-block copy takes to make: its pieces are digested on every core, and a copy beside its
// file's update.
const QCryptographicHash::Algorithm digestAlgorithm = QCryptographicHash::Md4;
const QString digestAlgorithmName = u"MD4"_s;
const qint64 copyChunk = 4 * 1024 * 1024;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Makes target share the blocks of source where the file system can (a reflink on btrfs or
// XFS); false where it cannot, and nothing was written.
bool cloneHandle(int source, int target)
{
#ifdef Q_OS_LINUX
    return ::ioctl(target, FICLONE, source) == 0;
#else
    Q_UNUSED(source);
    Q_UNUSED(target);
    return false;
#endif
}

// Copies up to length bytes at offset at of source into target at the same offset, inside the
// system, where it can copy between the two files: the bytes copied, 0 at the end of source, -1
// with errno where it cannot.
qint64 copyRange(int source, int target, qint64 at, qint64 length)
{
#ifdef Q_OS_LINUX
    off64_t from = at;
    off64_t to = at;
    return ::copy_file_range(source, &from, target, &to, size_t(length), 0);
#else
    Q_UNUSED(source);
    Q_UNUSED(target);
    Q_UNUSED(at);
    Q_UNUSED(length);
    errno = ENOSYS;
    return -1;
#endif
}

// Writes out what Qt buffers of the file, and syncs the file's data and size.
bool syncFile(QFile &file, QString *error)
{
    if (const int fault = injectedFault()) {
        *error = systemError(fault);
        return false;
    }
#ifdef Q_OS_WIN
    const bool synced = file.flush() && ::_commit(file.handle()) == 0;
#else
    const bool synced = file.flush() && ::fsync(file.handle()) == 0;
#endif
    if (!synced)
        *error = systemError(errno);
    return synced;
}

bool renameEntry(const QString &from, const QString &to, QString *error)
{
    std::error_code code;
    if (const int fault = injectedFault())
        code.assign(fault, std::generic_category());
    else
        std::filesystem::rename(FileName::path(from), FileName::path(to), code);
    if (code)
        *error = systemError(code.value());
    return !code;
}

// Writes the bytes of in into out, sharing the blocks where the file system can.
bool copyBytes(QFile &in, QFile &out, QString *error)
{
    if (!injectedFault() && cloneHandle(in.handle(), out.handle()))
        return true;
    for (qint64 at = 0;;) {
        const int fault = injectedFault();
        const qint64 copied = fault ? -1 : copyRange(in.handle(), out.handle(), at, copyChunk);
        if (copied == 0)
            return true;
        if (copied > 0) {
            at += copied;
            continue;
        }
        const int failure = fault ? fault : errno;
        // Where the system cannot copy between the files, the bytes pass through a buffer.
        if (at == 0 && !fault
            && (failure == ENOSYS || failure == EXDEV || failure == EINVAL
                || failure == EOPNOTSUPP))
            break;
        *error = systemError(failure);
        return false;
    }
    QByteArray bytes(copyChunk, Qt::Uninitialized);
    if (!in.seek(0)) {
        *error = in.errorString();
        return false;
    }
    for (;;) {
        const qint64 read = in.read(bytes.data(), copyChunk);
        if (read == 0)
            return true;
        if (read < 0) {
            *error = in.errorString();
            return false;
        }
        const int fault = injectedFault();
        if (fault || out.write(bytes.constData(), read) != read) {
            *error = systemError(fault ? fault : errno ? errno : EIO);
            return false;
        }
    }
}

// Made anew, for this user only, and read back: whatever lay at the name (a copy cut off
// part-way) goes first.
bool createFile(QFile &file, const QString &name, QString *error)
{
    std::error_code code;
    std::filesystem::remove(FileName::path(name), code);
    return FileName::open(file, name, QIODevice::ReadWrite | QIODevice::NewOnly, error);
}

// Writes the bytes of in into a new file at target, opened as out, and syncs it.
bool writeCopy(QFile &in, QFile &out, const QString &target, QString *error)
{
    return createFile(out, target, error) && copyBytes(in, out, error) && syncFile(out, error);
}

// What the working directory is called in a manifest.
QString workingDirectory()
{
    return FileName::shown(FileName::canonical(FileName::currentDirectory()));
}

bool isFileOfRun(const QString &name)
{
    return std::any_of(declaredFiles().cbegin(), declaredFiles().cend(),
                       [&](const FileDeclaration &file) { return file.fileName == name; });
}

} // namespace

BackupDirectory::BackupDirectory(const QString &path)
    : m_path(path)
{
    m_error = read(Use::Run);
}

std::optional<BackupDirectory> BackupDirectory::open(const QString &path, QString *error)
{
    return read(path, Use::Restore, error);
}

std::optional<BackupDirectory> BackupDirectory::look(const QString &path, QString *error)
{
    return read(path, Use::Look, error);
}

std::optional<BackupDirectory> BackupDirectory::read(const QString &path, Use use, QString *error)
{
    BackupDirectory backup;
    backup.m_path = path;
    *error = backup.read(use);
    if (!error->isEmpty())
        return std::nullopt;
    return backup;
}

const BackupDirectory::Entry *BackupDirectory::entry(const QString &fileName) const
{
    const auto found = std::find_if(m_entries.cbegin(), m_entries.cend(),
                                    [&](const Entry &entry) { return entry.name == fileName; });
    return found == m_entries.cend() ? nullptr : &*found;
}

// A directory that holds no manifest must be empty, and is given one at once: so that a copy
// cut off part-way is never taken for someone else's file. One that holds a manifest may hold
// the copies of this program's files, whole or cut off, and what a restore set aside beside
// them, nothing else. Why the directory cannot be used; empty when it can.
QString BackupDirectory::read(Use use)
{
    const QString shownPath = FileName::shown(m_path);
    if (FileName::type(m_path) == FileName::Type::None) {
        if (use == Use::Look)
            return QString();
        if (use == Use::Restore)
            return u"%1 does not exist"_s.arg(shownPath);
        std::error_code code;
        if (!std::filesystem::create_directories(FileName::path(m_path), code))
            return u"%1 cannot be made (%2)"_s.arg(shownPath, systemError(code.value()));
    }
    if (FileName::type(m_path) != FileName::Type::Directory)
        return u"%1 is not a directory"_s.arg(shownPath);
    QStringList names;
    std::error_code code;
    for (const auto &entry : std::filesystem::directory_iterator(FileName::path(m_path), code))
        names << FileName::fromPath(entry.path().filename());
    if (code)
        return u"%1 cannot be read (%2)"_s.arg(shownPath, systemError(code.value()));
    names.removeAll(manifestDraftName);
    if (!names.contains(manifestName)) {
        if (!names.isEmpty()) {
            return u"%1 holds files but no backup manifest: name an empty or a new "
                   u"directory"_s.arg(shownPath);
        }
        if (use == Use::Restore)
            return u"%1 holds no backup manifest"_s.arg(shownPath);
        QString error;
        if (use == Use::Look || writeManifest(&error))
            return QString();
        return u"a manifest cannot be written into %1 (%2)"_s.arg(shownPath, error);
    }
    QFile file;
    QString error;
    if (!FileName::open(file, m_path + u'/' + manifestName, QIODevice::ReadOnly, &error))
        return u"the manifest in %1 cannot be read (%2)"_s.arg(shownPath, error);
    const QJsonObject manifest = QJsonDocument::fromJson(file.readAll()).object();
    const QString foreign = u"the manifest in %1 is not one of this program's"_s.arg(shownPath);
    if (manifest[u"format"_s].toInt() != manifestFormat
        || manifest[u"digest"_s].toString() != digestName())
        return foreign;
    if (manifest[u"directory"_s].toString() != workingDirectory()) {
        return u"%1 holds the backup of another directory, %2"_s.arg(
            shownPath, manifest[u"directory"_s].toString());
    }
    for (const QJsonValue &value : manifest[u"files"_s].toArray()) {
        Entry entry {value[u"name"_s].toString(),
                     value[u"versionBefore"_s].toInt(),
                     value[u"size"_s].toInteger(),
                     value[u"digest"_s].toString(),
                     std::nullopt,
                     value[u"digestAfter"_s].toString()};
        if (value[u"versionAfter"_s].isDouble())
            entry.versionAfter = value[u"versionAfter"_s].toInt();
        if (!isFileOfRun(entry.name) || this->entry(entry.name))
            return foreign;
        m_entries << entry;
    }
    for (const QString &name : std::as_const(names)) {
        const QString file = name.section(u'.', 0, 1);
        if (name != manifestName
            && !(isFileOfRun(file)
                 && (name == file || name.startsWith(file + u".replaced-"_s)
                     || name.startsWith(file + u".restoring"_s))))
            return u"%1 holds %2, which is no part of a backup"_s.arg(shownPath,
                                                                      FileName::shown(name));
    }
    return QString();
}

// Written whole beside the manifest, synced, and renamed over it: a power cut leaves the old
// manifest or the new one.
bool BackupDirectory::writeManifest(QString *error) const
{
    QJsonArray files;
    for (const Entry &entry : m_entries) {
        QJsonObject file = {{u"name"_s, entry.name},
                            {u"versionBefore"_s, entry.versionBefore},
                            {u"size"_s, entry.size},
                            {u"digest"_s, entry.digest}};
        if (entry.versionAfter) {
            file.insert(u"versionAfter"_s, *entry.versionAfter);
            file.insert(u"digestAfter"_s, entry.digestAfter);
        }
        files << file;
    }
    const QJsonObject manifest = {{u"format"_s, manifestFormat},
                                  {u"program"_s, u"dbupdate " DBUPDATE_VERSION ""_s},
                                  {u"directory"_s, workingDirectory()},
                                  {u"digest"_s, digestName()},
                                  {u"files"_s, files}};
    const QString draft = m_path + u'/' + manifestDraftName;
    QFile file;
    if (!createFile(file, draft, error))
        return false;
    const QByteArray bytes = QJsonDocument(manifest).toJson();
    if (const int fault = injectedFault(); fault || file.write(bytes) != bytes.size()) {
        *error = fault ? systemError(fault) : file.errorString();
        return false;
    }
    const bool written = syncFile(file, error)
        && renameEntry(draft, m_path + u'/' + manifestName, error) && syncDirectory(m_path, error);
    statementDone();
    return written;
}

bool BackupDirectory::keep(QFile &file, const QString &fileName, qint32 storedVersion,
                           QString *error)
{
    if (entry(fileName))
        return true;
    const QString copy = m_path + u'/' + fileName;
    QFile out;
    if (!writeCopy(file, out, copy, error) || !syncDirectory(m_path, error))
        return false;
    statementDone();
    // The copy lies still while the update writes the file: it is digested beside the update,
    // which keeps a core of its own.
    m_kept.emplace(Kept {{fileName, storedVersion, FileName::size(copy), {}, std::nullopt, {}},
                         std::async(std::launch::async, [copy] {
                             QFile file;
                             QString error;
                             if (!FileName::open(file, copy, QIODevice::ReadOnly, &error))
                                 return std::pair(QString(), error);
                             const QString digest = digestOf(file, &error, Cores::One);
                             return std::pair(digest, error);
                         })});
    return true;
}

bool BackupDirectory::listKept(QString *error)
{
    if (!m_kept)
        return true;
    Entry entry = m_kept->entry;
    std::tie(entry.digest, *error) = m_kept->digest.get();
    m_kept.reset();
    if (entry.digest.isEmpty())
        return false;
    m_entries << entry;
    if (writeManifest(error)) {
        qWarning("%s (version %d, %lld bytes) was copied into %s before its update",
                 qUtf8Printable(FileName::shown(entry.name)), entry.versionBefore, entry.size,
                 qUtf8Printable(FileName::shown(m_path)));
        return true;
    }
    m_entries.removeLast();
    return false;
}

bool BackupDirectory::noteUpgraded(QFile &file, const QString &fileName, qint32 version,
                                   QString *error)
{
    const auto found = std::find_if(m_entries.begin(), m_entries.end(),
                                    [&](const Entry &entry) { return entry.name == fileName; });
    if (found == m_entries.end())
        return true;
    const QString digest = digestOf(file, error);
    if (digest.isEmpty())
        return false;
    found->versionAfter = version;
    found->digestAfter = digest;
    return writeManifest(error);
}

QString BackupDirectory::copyProblem(const QString &fileName)
{
    if (!SqliteFile::usesWriteAheadLog(fileName))
        return QString();
    return u"%1 is in write-ahead-log mode, and a copy of the file alone would miss what its log "
           u"holds"_s.arg(FileName::shown(fileName));
}

bool BackupDirectory::isOnWorkingVolume() const
{
#ifdef Q_OS_WIN
    return QStorageInfo(m_path).rootPath() == QStorageInfo(u"."_s).rootPath();
#else
    struct stat backup;
    struct stat working;
    return ::stat(FileName::toBytes(m_path).constData(), &backup) == 0 && ::stat(".", &working) == 0
        && backup.st_dev == working.st_dev;
#endif
}

QString BackupDirectory::digestName()
{
    return u"%1 of %2 MiB pieces"_s.arg(digestAlgorithmName).arg(copyChunk / (1024 * 1024));
}

// The file's digest is that of its pieces' digests in their order. The pieces are read through
// the one handle, one after the other in the file's order, and digested on their own beside
// each other, one on each core given. The digest, or nothing with the reason.
QString BackupDirectory::digestOf(QFile &file, QString *error, Cores cores)
{
    std::mutex lock;
    QList<QByteArray> digests;
    bool atEnd = false;
    std::optional<QString> failure;
    const auto digestPieces = [&] {
        QByteArray bytes(copyChunk, Qt::Uninitialized);
        std::unique_lock locked(lock);
        while (!atEnd) {
            const qsizetype piece = digests.size();
            const qint64 read = file.read(bytes.data(), copyChunk);
            atEnd = read <= 0;
            if (atEnd) {
                if (read < 0)
                    failure = file.errorString();
                return;
            }
            digests.append(QByteArray());
            locked.unlock();
            const QByteArray digest = QCryptographicHash::hash(
                QByteArrayView(bytes.constData(), read), digestAlgorithm);
            locked.lock();
            digests[piece] = digest;
        }
    };
    if (!file.seek(0)) {
        *error = file.errorString();
        return QString();
    }
    // Each core holds a piece: past three, memory would grow with the cores and the reads
    // would keep them waiting.
    const unsigned coreCount
        = cores == Cores::All ? std::clamp(std::thread::hardware_concurrency(), 1u, 3u) : 1;
    std::vector<std::thread> beside(coreCount - 1);
    for (std::thread &thread : beside)
        thread = std::thread(digestPieces);
    digestPieces();
    for (std::thread &thread : beside)
        thread.join();
    if (failure) {
        *error = *failure;
        return QString();
    }
    QCryptographicHash whole(digestAlgorithm);
    for (const QByteArray &digest : std::as_const(digests))
        whole.addData(digest);
    return QString::fromLatin1(whole.result().toHex());
}

// The copy is read back for its digest: it tells a copy that is not what the source held when
// it was checked.
QString BackupDirectory::copyFile(QFile &in, const QString &target, QString *error)
{
    QFile out;
    return writeCopy(in, out, target, error) ? digestOf(out, error) : QString();
}

bool BackupDirectory::syncDirectory(const QString &path, QString *error)
{
    if (const int fault = injectedFault()) {
        *error = systemError(fault);
        return false;
    }
#ifdef Q_OS_WIN
    // NTFS makes a rename last by its own log; a directory cannot be synced there.
    Q_UNUSED(path);
    Q_UNUSED(error);
    return true;
#else
    const int handle = ::open(FileName::toBytes(path).constData(), O_RDONLY | O_DIRECTORY);
    const bool synced = handle >= 0 && ::fsync(handle) == 0;
    if (!synced)
        *error = systemError(errno);
    if (handle >= 0)
        ::close(handle);
    return synced;
#endif
}
