#include "diskroom.h"

#include <QLocale>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/statvfs.h>
#endif

namespace DiskRoom {

namespace {

const qint64 mebibyte = 1024 * 1024;

} // namespace

qint64 neededToChange(qint64 fileSize)
{
    return fileSize + fileSize / 2 + mebibyte;
}

// The file system is asked about the working directory itself, not about a mount point found
// for it: in a chroot or a container no mount point may be known.
qint64 available()
{
#ifdef Q_OS_WIN
    ULARGE_INTEGER freeForUser;
    if (!GetDiskFreeSpaceExW(L".", &freeForUser, nullptr, nullptr))
        return -1;
    return qint64(freeForUser.QuadPart);
#else
    struct statvfs volume;
    if (statvfs(".", &volume) != 0)
        return -1;
    return qint64(volume.f_bavail) * qint64(volume.f_frsize);
#endif
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace DiskRoom
