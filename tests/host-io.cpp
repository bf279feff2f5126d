// Loaded with LD_PRELOAD into a volume daemon, to see and steer what it does to the host disk.
// Only files whose path starts with HOLLOWKEEP_HOST_IO_WITHIN count (a vault's cipher folder).
//
// HOLLOWKEEP_HOST_IO_TRACE=FILE appends a record of every change to such a file, and of every
// sync, to FILE before the change is made: what the crash-state test rebuilds disks from.
//
// HOLLOWKEEP_HOST_IO_FAIL=FILE makes calls fail while FILE holds a rule for them, one per line:
// "CALL ERRNO SUFFIX" with CALL pwrite, fallocate or fdatasync, ERRNO ENOSPC or EIO, and the end
// of the path it applies to. "write DELAY300 SUFFIX" slows each plain write(2) instead, by 300 ms:
// libext2fs writes a superblock's changed fields with them, which makes its last write-out long.
// "umount2 DELAY1500 SUFFIX" lets an unmount return only 1.5 s after it is done.
#include "HostIoTrace.h"

#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::recursive_mutex lock;
thread_local bool inside = false; // the library's own calls pass straight through

template<typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

std::string pathOf(int fd)
{
    char link[64], path[PATH_MAX] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    return length > 0 ? std::string(path, size_t(length)) : std::string();
}

bool watched(const std::string &path)
{
    const char *within = getenv("HOLLOWKEEP_HOST_IO_WITHIN");
    return within && *within && path.rfind(within, 0) == 0;
}

void trace(HostIoTrace::Op op, const std::string &path, int64_t offset, int64_t length, const void *data = nullptr,
           const std::string &other = {})
{
    const char *file = getenv("HOLLOWKEEP_HOST_IO_TRACE");
    if (!file || !*file)
        return;
    static const auto writeAll = next<ssize_t (*)(int, const void *, size_t)>("write");
    const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    HostIoTrace::Record record{HostIoTrace::magic, uint32_t(op), uint32_t(path.size()), uint32_t(other.size()),
                               offset, length};
    std::string bytes(reinterpret_cast<const char *>(&record), sizeof record);
    bytes += path;
    bytes += other;
    if (op == HostIoTrace::Op::Write)
        bytes.append(static_cast<const char *>(data), size_t(length));
    writeAll(fd, bytes.data(), bytes.size());
    close(fd);
}

// The errno a rule sets for this call on this path, minus the milliseconds of a delay, or 0.
int injected(const char *call, const std::string &path)
{
    const char *file = getenv("HOLLOWKEEP_HOST_IO_FAIL");
    if (!file || !*file)
        return 0;
    FILE *rules = fopen(file, "re");
    if (!rules)
        return 0;
    char name[32], error[32], suffix[PATH_MAX];
    int result = 0;
    while (!result && fscanf(rules, "%31s %31s %4095s", name, error, suffix) == 3) {
        const std::string end = suffix;
        if (strcmp(name, call) == 0 && path.size() >= end.size() &&
            path.compare(path.size() - end.size(), end.size(), end) == 0)
            result = strcmp(error, "ENOSPC") == 0          ? ENOSPC
                     : strncmp(error, "DELAY", 5) == 0 ? -std::max(1, atoi(error + 5))
                                                       : EIO;
    }
    fclose(rules);
    return result;
}

// Runs a call on a file descriptor once, under the lock, with the library's own calls passing
// straight through: `onWatched` gets the path of a watched file, any other file gets `plain`.
template<typename Plain, typename OnWatched>
auto onFile(int fd, Plain plain, OnWatched onWatched) -> decltype(plain())
{
    if (inside)
        return plain();
    std::lock_guard guard(lock);
    inside = true;
    const std::string path = pathOf(fd);
    const auto result = watched(path) ? onWatched(path) : plain();
    inside = false;
    return result;
}

// Sets errno and answers true when a rule makes this call fail on this path.
bool failing(const char *call, const std::string &path)
{
    errno = injected(call, path);
    return errno > 0;
}

using WriteAt = ssize_t (*)(int, const void *, size_t, off_t);

ssize_t writeAt(WriteAt real, int fd, const void *buffer, size_t length, off_t offset)
{
    const auto plain = [&] { return real(fd, buffer, length, offset); };
    return onFile(fd, plain, [&](const std::string &path) -> ssize_t {
        if (failing("pwrite", path))
            return -1;
        trace(HostIoTrace::Op::Write, path, offset, int64_t(length), buffer);
        return plain();
    });
}

ssize_t slowWrite(int fd, const void *buffer, size_t length)
{
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    if (!inside) {
        std::lock_guard guard(lock);
        inside = true;
        const std::string path = pathOf(fd);
        const int rule = watched(path) ? injected("write", path) : 0;
        inside = false;
        if (rule < 0)
            usleep(useconds_t(-rule) * 1000);
    }
    return real(fd, buffer, length);
}

int syncCall(int (*real)(int), int fd)
{
    return onFile(fd, [&] { return real(fd); }, [&](const std::string &path) {
        if (failing("fdatasync", path))
            return -1;
        const int result = real(fd);
        if (result == 0)
            trace(HostIoTrace::Op::Sync, path, 0, 0);
        return result;
    });
}

} // namespace

extern "C" {

ssize_t pwrite64(int fd, const void *buffer, size_t length, off_t offset)
{
    static const auto real = next<WriteAt>("pwrite64");
    return writeAt(real, fd, buffer, length, offset);
}

ssize_t pwrite(int fd, const void *buffer, size_t length, off_t offset)
{
    static const auto real = next<WriteAt>("pwrite");
    return writeAt(real, fd, buffer, length, offset);
}

ssize_t write(int fd, const void *buffer, size_t length)
{
    return slowWrite(fd, buffer, length);
}

int umount2(const char *target, int flags)
{
    static const auto real = next<int (*)(const char *, int)>("umount2");
    // fusermount3 unmounts by a name relative to the folder it moved to.
    std::string path = target;
    if (path.rfind('/', 0) != 0) {
        char folder[PATH_MAX] = {};
        path = std::string(getcwd(folder, sizeof folder) ? folder : "") + '/' + path;
    }
    const int result = real(target, flags);
    const int error = errno;
    if (const int rule = watched(path) ? injected("umount2", path) : 0; rule < 0)
        usleep(useconds_t(-rule) * 1000);
    errno = error;
    return result;
}

int fdatasync(int fd)
{
    static const auto real = next<int (*)(int)>("fdatasync");
    return syncCall(real, fd);
}

int fsync(int fd)
{
    static const auto real = next<int (*)(int)>("fsync");
    return syncCall(real, fd);
}

int fallocate64(int fd, int mode, off_t offset, off_t length)
{
    static const auto real = next<int (*)(int, int, off_t, off_t)>("fallocate64");
    const auto plain = [&] { return real(fd, mode, offset, length); };
    return onFile(fd, plain, [&](const std::string &path) {
        if (failing("fallocate", path))
            return -1;
        trace((mode & FALLOC_FL_PUNCH_HOLE) ? HostIoTrace::Op::Punch : HostIoTrace::Op::Allocate, path, offset, length);
        return plain();
    });
}

int fallocate(int fd, int mode, off_t offset, off_t length)
{
    return fallocate64(fd, mode, offset, length);
}

int ftruncate64(int fd, off_t length)
{
    static const auto real = next<int (*)(int, off_t)>("ftruncate64");
    const auto plain = [&] { return real(fd, length); };
    return onFile(fd, plain, [&](const std::string &path) {
        trace(HostIoTrace::Op::Truncate, path, length, 0);
        return plain();
    });
}

int ftruncate(int fd, off_t length)
{
    return ftruncate64(fd, length);
}

int unlink(const char *path)
{
    static const auto real = next<int (*)(const char *)>("unlink");
    if (!inside && watched(path)) {
        std::lock_guard guard(lock);
        trace(HostIoTrace::Op::Remove, path, 0, 0);
    }
    return real(path);
}

int rename(const char *from, const char *to)
{
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    if (!inside && watched(from)) {
        std::lock_guard guard(lock);
        trace(HostIoTrace::Op::Rename, from, 0, 0, nullptr, to);
    }
    return real(from, to);
}

} // extern "C"
