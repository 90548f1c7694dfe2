#pragma once

#include <QFile>

#include <filesystem>

// File names as the system holds them. On Linux a name is a string of bytes, which need not
// be UTF-8 in any locale: a QString holds each byte that is not part of a UTF-8 character as
// the lone surrogate U+DC80 + byte, so that the name comes back as the same bytes. Every name
// the program takes from the system or gives to it goes through fromBytes and toBytes, and
// every question about what lies at a name through the functions below, never through Qt's
// own conversion, which would turn such bytes into other ones.
namespace FileName {

QString fromBytes(QByteArrayView bytes);
QByteArray toBytes(const QString &name);

// The name as the log, --status and JSON show it: valid UTF-8, each byte that is not part of a
// UTF-8 character written as \x and two lowercase hexadecimal digits, with the platform's
// separators.
QString shown(const QString &name);

// The name as the standard library's file system functions take it, and back.
std::filesystem::path path(const QString &name);
QString fromPath(const std::filesystem::path &path);

// What lies at the name; Other is a FIFO, socket or device.
enum class Type { None, RegularFile, Directory, SymbolicLink, Other };

// The entry itself: a symbolic link is one.
Type entryType(const QString &name);
// Where a symbolic link leads; None for a link to nothing.
Type type(const QString &name);
bool exists(const QString &name);
// The size of the regular file the name leads to; 0 for anything else.
qint64 size(const QString &name);
// Where the symbolic link leads, the link's own directory put in front of a relative target;
// empty for anything else.
QString linkTarget(const QString &name);
// The absolute name without "." and "..", without following any link.
QString absolute(const QString &name);
// The directory the name lies in, as an absolute name.
QString directoryOf(const QString &name);
// The absolute name with every symbolic link followed, as far as the entries exist.
QString canonical(const QString &name);
// Both name the same file, or would once it is created.
bool isSameFile(const QString &one, const QString &other);

QString currentDirectory();
bool setCurrentDirectory(const QString &name);

// Delete removes the entry itself from its directory.
enum class Access { Read, Write, Delete };
// Why the system would not let this user read, write or delete what the name leads to, in the
// system's words ("Permission denied"), asked without opening it; empty when it would, or when
// nothing lies there.
QString accessError(const QString &name, Access access);

// Opens the file by its bytes, a FIFO without waiting for its other end; error says why it
// could not be. A file that NewOnly creates gets its owner's read and write permissions as
// given, and no others.
bool open(QFile &file, const QString &name, QIODevice::OpenMode mode, QString *error,
          QFileDevice::Permissions created = QFileDevice::ReadOwner | QFileDevice::WriteOwner);

// The first count bytes of the regular file the name leads to; nothing for anything else, so
// that a FIFO is never opened.
QByteArray leadingBytes(const QString &name, qint64 count);

} // namespace FileName
