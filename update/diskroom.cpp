#include "diskroom.h"

#include "filename.h"

#include <QLocale>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/statvfs.h>
#endif

using namespace Qt::StringLiterals;

namespace DiskRoom {

namespace {

struct Room
{
    qint64 bytes = -1;
    qint64 entries = -1;
};

// The file system is asked about the directory itself, not about a mount point found for it:
// in a chroot or a container no mount point may be known.
Room roomOn(const QString &directory)
{
#ifdef Q_OS_WIN
    ULARGE_INTEGER freeForUser;
    if (!GetDiskFreeSpaceExW(reinterpret_cast<LPCWSTR>(directory.utf16()), &freeForUser, nullptr,
                             nullptr))
        return {};
    return {qint64(freeForUser.QuadPart), -1};
#else
    struct statvfs volume;
    if (statvfs(FileName::toBytes(directory).constData(), &volume) != 0)
        return {};
    // A volume without a fixed number of files reports none.
    return {qint64(volume.f_bavail) * qint64(volume.f_frsize),
            volume.f_files == 0 ? -1 : qint64(volume.f_favail)};
#endif
}

} // namespace

qint64 neededToChange(qint64 fileSize)
{
    return 3 * fileSize + 1024 * 1024;
}

qint64 available()
{
    return availableOn(u"."_s);
}

qint64 availableOn(const QString &directory)
{
    return roomOn(directory).bytes;
}

qint64 freeEntries(const QString &directory)
{
    return roomOn(directory).entries;
}

QString sizeText(qint64 bytes)
{
    return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace DiskRoom
