// Preloaded into dbupdate by the tests: no directory's free space can be told, as on a system
// whose file system does not answer.
#include <cerrno>

struct statvfs;
struct statvfs64;

extern "C" int statvfs(const char *, struct statvfs *)
{
    errno = ENOSYS;
    return -1;
}

extern "C" int statvfs64(const char *, struct statvfs64 *)
{
    errno = ENOSYS;
    return -1;
}
