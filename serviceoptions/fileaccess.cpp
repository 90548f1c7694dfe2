#include "fileaccess.h"

#include "sqlitefile.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

QString directoryProblem(const QString &dirPath)
{
    const QFileInfo dir(dirPath);
    if (!dir.isDir())
        return u"its directory %1 does not exist"_s.arg(QDir::toNativeSeparators(dirPath));
    if (!dir.isWritable())
        return u"its directory %1 cannot be written"_s.arg(QDir::toNativeSeparators(dirPath));
    return QString();
}

// A file that does not exist, or a symbolic link to one: the run creates it.
QString creationProblem(const QString &fileName)
{
    const QString destination = SqliteFile::resolvedPath(fileName);
    if (destination.isEmpty())
        return u"it is a symbolic link that leads back to itself"_s;
    return directoryProblem(QFileInfo(destination).absolutePath());
}

} // namespace

bool isLinkLoop(const QString &fileName)
{
    return QFileInfo(fileName).isSymLink() && SqliteFile::resolvedPath(fileName).isEmpty();
}

QString accessProblem(const QString &fileName, FileUse use)
{
    const QFileInfo info(fileName);
    if (!info.exists())
        return creationProblem(fileName);
    if (!info.isFile())
        return u"it is not a regular file"_s;

    // Asked of the file system without opening the file.
    if (!info.isReadable())
        return u"it cannot be read: no permission"_s;
    if (use == FileUse::Written && !info.isWritable())
        return u"it cannot be written: no permission, or a read-only volume"_s;
    if (use == FileUse::Read)
        return QString();
    // The journal is made next to the file the name finally leads to.
    return directoryProblem(QFileInfo(info.canonicalFilePath()).absolutePath());
}
