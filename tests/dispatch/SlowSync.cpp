// Preloaded into a test (LD_PRELOAD) as a disk that is slow to sync: fsync and fdatasync of a
// file below the folder named by ALVETRA_SLOW_SYNC_FOLDER first wait ALVETRA_SLOW_SYNC_MS
// milliseconds. Every other file syncs as usual, and nothing waits while the folder is unset.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

void WaitIfSlow(int handle)
{
    const char *folder = std::getenv("ALVETRA_SLOW_SYNC_FOLDER");
    const char *delay = std::getenv("ALVETRA_SLOW_SYNC_MS");
    if (folder == nullptr || delay == nullptr || *folder == '\0')
        return;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", handle);
    char path[PATH_MAX];
    const ssize_t length = ::readlink(link, path, sizeof path - 1);
    if (length <= 0)
        return;
    path[length] = '\0';
    const size_t prefix = std::strlen(folder);
    if (std::strncmp(path, folder, prefix) != 0 || path[prefix] != '/')
        return;
    const long milliseconds = std::atol(delay);
    timespec left{milliseconds / 1000, milliseconds % 1000 * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

template<typename Function>
Function Next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

// The test looks for it to know that it runs with the slow disk.
__attribute__((visibility("default"))) int alvetra_slow_sync_loaded = 1;

__attribute__((visibility("default"))) int fsync(int handle)
{
    static const auto next = Next<int (*)(int)>("fsync");
    WaitIfSlow(handle);
    return next(handle);
}

__attribute__((visibility("default"))) int fdatasync(int handle)
{
    static const auto next = Next<int (*)(int)>("fdatasync");
    WaitIfSlow(handle);
    return next(handle);
}
}
