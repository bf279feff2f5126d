#include "HostFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace HostFile {

ssize_t readAt(int fd, uint8_t *buffer, size_t length, off_t offset, size_t unit)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, buffer + done, length - done, offset + off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -errno;
        done += size_t(got);
        if (got == 0 || size_t(got) % unit != 0)
            break;
    }
    return ssize_t(done);
}

int writeAt(int fd, const uint8_t *buffer, size_t length, off_t offset)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t put = pwrite(fd, buffer + done, length - done, offset + off_t(done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            return -errno;
        done += size_t(put);
    }
    return 0;
}

int syncFolderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int result = fsync(fd) == 0 ? 0 : -errno;
    ::close(fd);
    return result;
}

} // namespace HostFile
