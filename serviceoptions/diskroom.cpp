#include "diskroom.h"

#include <QLocale>
#include <QStorageInfo>

namespace DiskRoom {

namespace {

const qint64 mebibyte = 1024 * 1024;

} // namespace

qint64 neededToChange(qint64 fileSize)
{
    return fileSize + fileSize / 2 + mebibyte;
}

qint64 available()
{
    // Qt names the working directory by other bytes when its name is not UTF-8.
    const QStorageInfo volume(QStringLiteral("."));
    return volume.isValid() ? volume.bytesAvailable() : -1;
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace DiskRoom
