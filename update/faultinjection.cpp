#include "faultinjection.h"

#ifdef DBUPDATE_FAULT_INJECTION

#include <QSqlDatabase>
#include <QSqlQuery>

#include <cstdio>
#include <cstdlib>

void statementDone()
{
    static const long killAfter = [] {
        const char *value = std::getenv("DBUPDATE_KILL_AFTER");
        return value ? std::strtol(value, nullptr, 10) : 0L;
    }();
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

void limitFileGrowth(const QString &fileName)
{
    const QString fullFile = QString::fromLocal8Bit(qgetenv("DBUPDATE_FULL_FILE"));
    if (fullFile.isEmpty() || fullFile != fileName)
        return;
    QSqlQuery query(QSqlDatabase::database());
    if (!query.exec(QStringLiteral("PRAGMA page_count")) || !query.next())
        return;
    const qlonglong limit
        = query.value(0).toLongLong() + qEnvironmentVariableIntValue("DBUPDATE_FULL_AFTER_PAGES");
    query.finish();
    query.exec(QStringLiteral("PRAGMA max_page_count=%1").arg(limit));
}

#endif
