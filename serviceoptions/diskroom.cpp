#include "diskroom.h"

#include <QDir>
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
    const QStorageInfo volume(QDir::currentPath());
    return volume.isValid() ? volume.bytesAvailable() : -1;
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace DiskRoom
