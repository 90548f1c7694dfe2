#pragma once

#include <QByteArrayView>

// The first 16 bytes of every Qt translation (.qm) file.
inline constexpr QByteArrayView
    qmMagic("\x3c\xb8\x64\x18\xca\xef\x9c\x95\xcd\x21\x1c\xbf\x60\xa1\xbd\xdd", 16);

// The zero bytes that must follow a translation file's bytes in the memory Qt reads it from.
// Qt's lookup walks a chain of context names until it meets a zero length; lrelease -compress
// ends the last chains without one, so a lookup can walk past the end of the file, and in these
// bytes every chain ends.
constexpr qsizetype qmZeroTail = 256;

// What the bytes of a translation file are fit for. Qt's loader and lookup trust the offsets
// and lengths inside a .qm file, so one damaged byte can make them read far outside it.
enum class QmVerdict {
    Sound, // Qt's lookups read nothing outside the file and the zero bytes after it
    NotQm, // no .qm magic: some other kind of file
    Damaged,
    HasDependencies, // names other translation files for Qt to load unchecked
};

// Follows every read Qt's loader and lookup can make in a .qm file, whatever is looked up.
QmVerdict checkQm(QByteArrayView data);
