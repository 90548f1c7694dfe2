/*
 * Slow-sync storage for the benchmark: preloaded into a process (LD_PRELOAD), it makes every
 * fsync and fdatasync take SYNC_DELAY_MS milliseconds longer (default 20), as on eMMC or SD
 * flash, whose syncs this machine's disk hides. It also counts the syncs per file and, at exit,
 * writes the counts, the process's /proc/self/io and, from /proc/self/schedstat, the
 * nanoseconds it ran and waited for a CPU (what other processes cost it) to the file named by
 * SYNC_REPORT:
 *
 *     sync <count> <path>
 *     io <field> <value>
 *     sched <running ns> <waiting ns>
 *
 * A tool of bench/run.py only, never linked into the program.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { maxFiles = 64 };

struct SyncedFile
{
    char path[PATH_MAX];
    long count;
};

static struct SyncedFile syncedFiles[maxFiles];
static int syncedFileCount;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

static long delayMs(void)
{
    const char *text = getenv("SYNC_DELAY_MS");
    return text && *text ? strtol(text, NULL, 10) : 20;
}

static void countSync(int fd)
{
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length < 0)
        snprintf(path, sizeof path, "fd %d", fd);
    else
        path[length] = '\0';

    pthread_mutex_lock(&mutex);
    int i = 0;
    while (i < syncedFileCount && strcmp(syncedFiles[i].path, path) != 0)
        ++i;
    if (i == syncedFileCount && syncedFileCount < maxFiles) {
        strcpy(syncedFiles[i].path, path);
        ++syncedFileCount;
    }
    if (i < syncedFileCount)
        ++syncedFiles[i].count;
    pthread_mutex_unlock(&mutex);
}

static void delay(void)
{
    const long ms = delayMs();
    if (ms <= 0)
        return;
    struct timespec wait = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) { }
}

int fsync(int fd)
{
    countSync(fd);
    const int result = (int)syscall(SYS_fsync, fd);
    delay();
    return result;
}

int fdatasync(int fd)
{
    countSync(fd);
    const int result = (int)syscall(SYS_fdatasync, fd);
    delay();
    return result;
}

__attribute__((destructor)) static void writeReport(void)
{
    const char *reportPath = getenv("SYNC_REPORT");
    if (!reportPath || !*reportPath)
        return;
    FILE *report = fopen(reportPath, "w");
    if (!report)
        return;
    for (int i = 0; i < syncedFileCount; ++i)
        fprintf(report, "sync %ld %s\n", syncedFiles[i].count, syncedFiles[i].path);
    FILE *io = fopen("/proc/self/io", "r");
    if (io) {
        char field[64];
        long long value;
        while (fscanf(io, "%63[^:]: %lld\n", field, &value) == 2)
            fprintf(report, "io %s %lld\n", field, value);
        fclose(io);
    }
    FILE *sched = fopen("/proc/self/schedstat", "r");
    if (sched) {
        long long running, waiting;
        if (fscanf(sched, "%lld %lld", &running, &waiting) == 2)
            fprintf(report, "sched %lld %lld\n", running, waiting);
        fclose(sched);
    }
    fclose(report);
}
