// Loaded with LD_PRELOAD into a volume daemon, to end it in the middle of a write the way a
// SIGKILL can: once the file named by HOLLOWKEEP_CUT_WRITE exists, the next long write (of file
// data, not of the few blocks of metadata) to a file whose name ends as that file says stops at a
// page boundary near its middle, and the process is killed. The kernel checks for a fatal signal before each page it copies, so this
// is exactly what such a kill leaves behind.
#include <dlfcn.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

using WriteAt = ssize_t (*)(int, const void *, size_t, off_t);

bool shouldCut(int fd, size_t length)
{
    const char *trigger = getenv("HOLLOWKEEP_CUT_WRITE");
    if (!trigger || length < 256 * 1024)
        return false;
    char suffix[256] = {};
    const int triggerFd = open(trigger, O_RDONLY | O_CLOEXEC);
    if (triggerFd < 0)
        return false;
    const ssize_t got = read(triggerFd, suffix, sizeof suffix - 1);
    close(triggerFd);
    char link[64], path[PATH_MAX] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t pathLength = readlink(link, path, sizeof path - 1);
    if (got <= 0 || pathLength <= 0)
        return false;
    const std::string name(path, size_t(pathLength));
    const std::string end(suffix, size_t(got));
    // Claiming the trigger by removing it: one cut only.
    return name.size() >= end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0 &&
           unlink(trigger) == 0;
}

ssize_t writeAt(WriteAt next, int fd, const void *buffer, size_t length, off_t offset)
{
    if (!shouldCut(fd, length))
        return next(fd, buffer, length, offset);
    const off_t cut = (offset + off_t(length / 2)) / 4096 * 4096;
    if (cut > offset)
        next(fd, buffer, size_t(cut - offset), offset);
    kill(getpid(), SIGKILL);
    pause();
    return -1;
}

} // namespace

extern "C" ssize_t pwrite64(int fd, const void *buffer, size_t length, off_t offset)
{
    static const auto next = reinterpret_cast<WriteAt>(dlsym(RTLD_NEXT, "pwrite64"));
    return writeAt(next, fd, buffer, length, offset);
}

extern "C" ssize_t pwrite(int fd, const void *buffer, size_t length, off_t offset)
{
    static const auto next = reinterpret_cast<WriteAt>(dlsym(RTLD_NEXT, "pwrite"));
    return writeAt(next, fd, buffer, length, offset);
}
