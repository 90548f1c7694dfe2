#pragma once

#include <QByteArrayView>

// The first 16 bytes of every Qt translation (.qm) file.
extern const QByteArrayView qmMagic;

// What the bytes of a translation file are fit for. Qt's loader and lookup trust the offsets
// and lengths inside a .qm file, so one damaged byte can make them read far outside it.
enum class QmVerdict {
    Sound, // every offset and length that Qt's lookup follows stays inside the file
    NotQm, // no .qm magic: some other kind of file
    Damaged,
    HasDependencies, // names other translation files for Qt to load unchecked
};

// Checks the sections of a .qm file and every offset and length inside them against their sizes.
QmVerdict checkQm(QByteArrayView data);
