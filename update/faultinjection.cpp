#include "faultinjection.h"

#ifdef DBUPDATE_FAULT_INJECTION

#include <QSqlQuery>

#include <cstdio>
#include <cstdlib>

#include <sqlite3.h>

namespace {

sqlite3_vfs *systemVfs = nullptr;

// The journal is deleted; the sync of its directory, which would make the deletion last, fails.
int deleteWithoutDirectorySync(sqlite3_vfs *, const char *path, int syncDirectory)
{
    const QByteArray journal = '/' + qgetenv("DBUPDATE_UNSYNCED_FILE") + "-journal";
    const QByteArrayView name(path);
    if (!syncDirectory || !name.endsWith(journal))
        return systemVfs->xDelete(systemVfs, path, syncDirectory);
    const int result = systemVfs->xDelete(systemVfs, path, 0);
    return result == SQLITE_OK ? SQLITE_IOERR_DIR_FSYNC : result;
}

} // namespace

void statementDone()
{
    static const long killAfter = qEnvironmentVariableIntValue("DBUPDATE_KILL_AFTER");
    static long count = 0;
    ++count;
    if (const char *countFile = std::getenv("DBUPDATE_COUNT_FILE")) {
        if (FILE *file = std::fopen(countFile, "w")) {
            std::fprintf(file, "%ld\n", count);
            std::fclose(file);
        }
    }
    if (killAfter > 0 && count >= killAfter)
        std::_Exit(137); // no clean-up, no flushing
}

int injectedFault()
{
    static const long failing = qEnvironmentVariableIntValue("DBUPDATE_FAIL_CALL");
    static long count = 0;
    if (failing <= 0 || ++count != failing)
        return 0;
    return qEnvironmentVariableIntValue("DBUPDATE_FAIL_ERROR");
}

void failDirectorySync()
{
    if (systemVfs || qEnvironmentVariableIsEmpty("DBUPDATE_UNSYNCED_FILE"))
        return;
    systemVfs = sqlite3_vfs_find(nullptr);
    static sqlite3_vfs unsynced = *systemVfs;
    unsynced.zName = "unsynced";
    unsynced.xDelete = deleteWithoutDirectorySync;
    sqlite3_vfs_register(&unsynced, 1);
}

void limitFileGrowth(const QSqlDatabase &db, const QString &fileName)
{
    if (qEnvironmentVariable("DBUPDATE_FULL_FILE") != fileName)
        return;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA page_count")) || !query.next())
        return;
    const qlonglong limit
        = query.value(0).toLongLong() + qEnvironmentVariableIntValue("DBUPDATE_FULL_AFTER_PAGES");
    query.finish();
    query.exec(QStringLiteral("PRAGMA max_page_count=%1").arg(limit));
}

#endif
