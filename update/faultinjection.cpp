#include "faultinjection.h"

#ifdef DBUPDATE_FAULT_INJECTION

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
        std::_Exit(137); // no clean-up, no flushing: as a power cut would leave it
}

#endif
