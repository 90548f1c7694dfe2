#include "filename.h"

#include <QDir>
#include <QMap>

#ifdef Q_OS_WIN
#include <QFileInfo>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

using namespace Qt::StringLiterals;

namespace FileName {

namespace {

// Lone surrogates that stand for the bytes 0x80 to 0xff outside of a UTF-8 character.
const char16_t escapedByteBase = 0xdc00;

// The unit at i stands for a byte; the second half of a surrogate pair (U+1F480 is D83D DC80)
// is part of its character.
bool isEscapedByte(QStringView name, qsizetype i)
{
    const char16_t unit = name.at(i).unicode();
    return unit >= escapedByteBase + 0x80 && unit <= escapedByteBase + 0xff
        && (i == 0 || !name.at(i - 1).isHighSurrogate());
}

// The length of the UTF-8 character at the start of bytes, 0 when there is none: overlong
// forms, surrogates and code points beyond U+10FFFF are no characters.
qsizetype characterLength(QByteArrayView bytes)
{
    const uchar lead = uchar(bytes.at(0));
    const qsizetype length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (bytes.size() < length || !QUtf8StringView(bytes.first(length)).isValidUtf8())
        return 0;
    return length;
}

Type typeOf(std::filesystem::file_type type)
{
    using std::filesystem::file_type;
    static const QMap<file_type, Type> types = {{file_type::regular, Type::RegularFile},
                                                {file_type::directory, Type::Directory},
                                                {file_type::symlink, Type::SymbolicLink},
                                                {file_type::none, Type::None},
                                                {file_type::not_found, Type::None}};
    return types.value(type, Type::Other);
}

} // namespace

QString fromBytes(QByteArrayView bytes)
{
    QString name;
    while (!bytes.isEmpty()) {
        const qsizetype length = characterLength(bytes);
        name += length == 0 ? QString(QChar(char16_t(escapedByteBase + uchar(bytes.at(0)))))
                            : QString::fromUtf8(bytes.first(length));
        bytes = bytes.sliced(qMax(length, qsizetype(1)));
    }
    return name;
}

QByteArray toBytes(const QString &name)
{
    QByteArray bytes;
    qsizetype start = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!isEscapedByte(name, i))
            continue;
        bytes += QStringView(name).sliced(start, i - start).toUtf8();
        bytes += char(name.at(i).unicode() - escapedByteBase);
        start = i + 1;
    }
    return bytes + QStringView(name).sliced(start).toUtf8();
}

QString shown(const QString &name)
{
    QString text;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (isEscapedByte(name, i))
            text += u"\\x%1"_s.arg(name.at(i).unicode() - escapedByteBase, 2, 16, QChar(u'0'));
        else
            text += name.at(i);
    }
    return QDir::toNativeSeparators(text);
}

// Windows names are UTF-16, which a QString holds as it is.
std::filesystem::path path(const QString &name)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(name.toStdWString());
#else
    return std::filesystem::path(toBytes(name).toStdString());
#endif
}

QString fromPath(const std::filesystem::path &path)
{
#ifdef Q_OS_WIN
    return QString::fromStdWString(path.native());
#else
    return fromBytes(path.native());
#endif
}

Type entryType(const QString &name)
{
    std::error_code error;
    return typeOf(std::filesystem::symlink_status(path(name), error).type());
}

Type type(const QString &name)
{
    std::error_code error;
    return typeOf(std::filesystem::status(path(name), error).type());
}

bool exists(const QString &name)
{
    return type(name) != Type::None;
}

// The standard library reports an error for anything but a regular file.
qint64 size(const QString &name)
{
    std::error_code error;
    const auto bytes = std::filesystem::file_size(path(name), error);
    return error ? 0 : qint64(bytes);
}

QString linkTarget(const QString &name)
{
    std::error_code error;
    const std::filesystem::path link = std::filesystem::absolute(path(name), error);
    const std::filesystem::path target = std::filesystem::read_symlink(link, error);
    if (error)
        return QString();
    return fromPath((link.parent_path() / target).lexically_normal());
}

QString absolute(const QString &name)
{
    std::error_code error;
    return fromPath(std::filesystem::absolute(path(name), error).lexically_normal());
}

QString directoryOf(const QString &name)
{
    return fromPath(path(absolute(name)).parent_path());
}

QString canonical(const QString &name)
{
    std::error_code error;
    const std::filesystem::path found
        = std::filesystem::weakly_canonical(std::filesystem::absolute(path(name), error), error);
    return error ? absolute(name) : fromPath(found);
}

bool isSameFile(const QString &one, const QString &other)
{
    std::error_code error;
    if (exists(one) && exists(other))
        return std::filesystem::equivalent(path(one), path(other), error);
    return path(canonical(one)).lexically_normal() == path(canonical(other)).lexically_normal();
}

QString currentDirectory()
{
    std::error_code error;
    return fromPath(std::filesystem::current_path(error));
}

bool setCurrentDirectory(const QString &name)
{
    std::error_code error;
    std::filesystem::current_path(path(name), error);
    return !error;
}

QString accessError(const QString &name, Access access)
{
#ifdef Q_OS_WIN
    const QFileInfo info(name);
    if (!info.exists() || (access == Access::Read ? info.isReadable() : info.isWritable()))
        return QString();
    return u"Permission denied"_s;
#else
    const QByteArray bytes = toBytes(name);
    const QByteArray directory = toBytes(directoryOf(name));
    const uid_t user = ::geteuid();
    struct stat entry;
    struct stat parent;
    int error = 0;
    if (access != Access::Delete) {
        if (::access(bytes.constData(), access == Access::Read ? R_OK : W_OK) != 0)
            error = errno;
    } else if (::lstat(bytes.constData(), &entry) == 0) {
        // Removing an entry writes its directory; in a directory with the sticky bit, only the
        // owner of the entry or of the directory may remove it, or the superuser.
        if (::access(directory.constData(), W_OK | X_OK) != 0)
            error = errno;
        else if (::stat(directory.constData(), &parent) == 0 && (parent.st_mode & S_ISVTX)
                 && user != 0 && entry.st_uid != user && parent.st_uid != user)
            error = EPERM;
    }
    return error == 0 || error == ENOENT ? QString() : QString::fromLocal8Bit(std::strerror(error));
#endif
}

bool open(QFile &file, const QString &name, QIODevice::OpenMode mode, QString *error,
          QFileDevice::Permissions created)
{
#ifdef Q_OS_WIN
    file.setFileName(name);
    if (!file.open(mode) || (mode.testFlag(QIODevice::NewOnly) && !file.setPermissions(created))) {
        *error = file.errorString();
        return false;
    }
    return true;
#else
    const int accessMode = mode.testFlag(QIODevice::ReadWrite) ? O_RDWR
        : mode.testFlag(QIODevice::WriteOnly)                  ? O_WRONLY
                                                               : O_RDONLY;
    const int flags = O_CLOEXEC | O_NONBLOCK | accessMode
        | (mode.testFlag(QIODevice::NewOnly) ? O_CREAT | O_EXCL : 0);
    const mode_t permissions = (created.testFlag(QFileDevice::ReadOwner) ? S_IRUSR : 0)
        | (created.testFlag(QFileDevice::WriteOwner) ? S_IWUSR : 0);
    const int descriptor = ::open(toBytes(name).constData(), flags, permissions);
    if (descriptor < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // Reads and writes wait as they do on any file.
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(descriptor, mode, QFileDevice::AutoCloseHandle)) {
        *error = file.errorString();
        ::close(descriptor);
        return false;
    }
    return true;
#endif
}

QByteArray leadingBytes(const QString &name, qint64 count)
{
    QFile file;
    QString error;
    if (type(name) != Type::RegularFile || !open(file, name, QIODevice::ReadOnly, &error))
        return QByteArray();
    return file.read(count);
}

} // namespace FileName
