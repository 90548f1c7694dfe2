#include "fileaccess.h"

#include "filename.h"
#include "sqlitefile.h"

using namespace Qt::StringLiterals;

namespace {

QString directoryProblem(const QString &dirPath)
{
    if (FileName::type(dirPath) != FileName::Type::Directory)
        return u"its directory %1 does not exist"_s.arg(FileName::shown(dirPath));
    if (!FileName::isAccessible(dirPath, FileName::Access::Write))
        return u"its directory %1 cannot be written"_s.arg(FileName::shown(dirPath));
    return QString();
}

// A file that does not exist, or a symbolic link to one: the run creates it.
QString creationProblem(const QString &fileName)
{
    const QString destination = SqliteFile::resolvedPath(fileName);
    if (destination.isEmpty())
        return u"it is a symbolic link that leads back to itself"_s;
    return directoryProblem(FileName::directoryOf(destination));
}

} // namespace

bool isLinkLoop(const QString &fileName)
{
    return FileName::isSymbolicLink(fileName) && SqliteFile::resolvedPath(fileName).isEmpty();
}

QString accessProblem(const QString &fileName, FileUse use)
{
    const FileName::Type type = FileName::type(fileName);
    if (type == FileName::Type::None)
        return creationProblem(fileName);
    if (type != FileName::Type::RegularFile)
        return u"it is not a regular file"_s;

    // Asked of the file system without opening the file.
    if (!FileName::isAccessible(fileName, FileName::Access::Read))
        return u"it cannot be read: no permission"_s;
    if (use == FileUse::Written && !FileName::isAccessible(fileName, FileName::Access::Write))
        return u"it cannot be written: no permission, or a read-only volume"_s;
    if (use == FileUse::Read)
        return QString();
    // The journal is made next to the file the name finally leads to.
    return directoryProblem(FileName::directoryOf(FileName::canonical(fileName)));
}
