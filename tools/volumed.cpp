// volumed: serves a vault from one process. It reads the password on standard input, mounts the
// decrypted view of the vault's cipher folder, and on request mounts the file system inside the
// image directly (see Layer's control file), with the encryption done in place.
//
//   volumed [-ro] [-f] CIPHER_FOLDER MOUNT_POINT
//   volumed -recover CIPHER_FOLDER
//
// Before anything else the image's journal is put in place when an earlier process could not
// finish (in memory only with -ro); what that did is printed on standard output as
// "journal: replayed T, blocks B, cleared C". -recover stops there. -f stays in the foreground.
//
// Exit status: 0 once mounted (the daemon goes on in the background), 12 for a wrong password,
// 1 for any other failure, with a message on standard error. The daemon itself ends with 0 when
// everything was written back, 1 otherwise; its failures go to the system log.

#include "volume/ContentCipher.h"
#include "volume/Layer.h"
#include "volume/LockedMemory.h"

#include <openssl/crypto.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int statusWrongPassword = 12;
constexpr size_t passwordMax = 4096;

// The password, up to the first line break, read straight from the descriptor into memory that
// is wiped afterwards.
bool readPassword(SecretBytes &buffer, size_t &length)
{
    length = 0;
    while (length < buffer.size()) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data() + length, buffer.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += size_t(got);
        if (memchr(buffer.data(), '\n', length))
            break;
    }
    if (const void *end = memchr(buffer.data(), '\n', length))
        length = size_t(static_cast<const uint8_t *>(end) - buffer.data());
    return length > 0 && length < buffer.size();
}

void ignore(int) {}

// The caller learns how starting went from the process that goes on serving: that process is
// the one that unlocks, so the memory it locked for the keys stays locked and its own.
class Answer
{
public:
    // Forks; only the serving process returns. The caller's process exits with the answer.
    explicit Answer(bool detach)
    {
        if (!detach)
            return;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            exit(1);
        const pid_t child = fork();
        if (child < 0)
            exit(1);
        if (child > 0) {
            ::close(ends[1]);
            uint8_t status = 1;
            ssize_t got = 0;
            while ((got = ::read(ends[0], &status, 1)) < 0 && errno == EINTR) {
            }
            if (got != 1) {
                int ended = 0;
                waitpid(child, &ended, 0);
                exit(1);
            }
            exit(status);
        }
        ::close(ends[0]);
        m_fd = ends[1];
    }
    int operator()(int status)
    {
        if (m_fd >= 0) {
            const uint8_t byte = uint8_t(status);
            while (::write(m_fd, &byte, 1) < 0 && errno == EINTR) {
            }
            ::close(m_fd);
            m_fd = -1;
        }
        return status;
    }

private:
    int m_fd = -1;
};

} // namespace

int main(int argc, char **argv)
{
    // Before OpenSSL allocates anything: its key schedules go to locked, undumpable memory.
    LockedMemory::serveOpenSsl();
    // No core dumps and no tracing by other processes of this user: the keys are in memory.
    prctl(PR_SET_DUMPABLE, 0);
    bool readOnly = false, foreground = false, recoverOnly = false;
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; ++at) {
        if (strcmp(argv[at], "-ro") == 0)
            readOnly = true;
        else if (strcmp(argv[at], "-f") == 0)
            foreground = true;
        else if (strcmp(argv[at], "-recover") == 0)
            recoverOnly = true;
        else
            break;
    }
    if (argc - at != (recoverOnly ? 1 : 2)) {
        fprintf(stderr, "usage: volumed [-ro] [-f] CIPHER_FOLDER MOUNT_POINT | volumed -recover CIPHER_FOLDER "
                        "(password on standard input)\n");
        return 1;
    }
    char cipherFolder[PATH_MAX], mountPoint[PATH_MAX] = {};
    if (!realpath(argv[at], cipherFolder) || (!recoverOnly && !realpath(argv[at + 1], mountPoint))) {
        fprintf(stderr, "volumed: %s: %s\n", argv[at], strerror(errno));
        return 1;
    }
    Answer answer(!foreground && !recoverOnly);

    std::unique_ptr<ContentCipher> cipher;
    {
        SecretBytes password(passwordMax);
        size_t length = 0;
        if (!readPassword(password, length)) {
            fprintf(stderr, "volumed: no password on standard input\n");
            return answer(statusWrongPassword);
        }
        ContentCipher::Unlocked unlocked = ContentCipher::unlock(
            std::string(cipherFolder) + "/gocryptfs.conf", reinterpret_cast<const char *>(password.data()), length);
        if (!unlocked.cipher) {
            fprintf(stderr, "volumed: %s\n", unlocked.message.c_str());
            return answer(unlocked.failure == ContentCipher::Failure::WrongPassword ? statusWrongPassword : 1);
        }
        cipher = std::move(unlocked.cipher);
    }

    // Every thread starts with these signals blocked: one thread waits for the ending ones, and
    // SIGUSR1 only wakes a loop that should look at its exit flag.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction wake = {};
    wake.sa_handler = ignore; // without SA_RESTART: a waiting read returns EINTR
    sigaction(SIGUSR1, &wake, nullptr);
    openlog("volumed", LOG_PID, LOG_USER);

    std::mutex lock;
    Layer layer(cipherFolder, *cipher, readOnly, lock);
    layer.setMountPoint(mountPoint);
    CipherFile::Recovery recovery;
    if (const int error = layer.openImage(recovery)) {
        fprintf(stderr, "volumed: cannot open the image: %s\n", strerror(-error));
        return answer(1);
    }
    printf("journal: replayed %zu, blocks %zu, cleared %zu\n", recovery.replayed, recovery.blocks, recovery.cleared);
    fflush(stdout);
    if (recoverOnly)
        return answer(layer.closeImage() == 0 ? 0 : 1);

    const std::string options =
        "fsname=" + Ext4Volume::escapedOption(cipherFolder) + ",subtype=volumed" + (readOnly ? ",ro" : "");
    std::string optionText = options;
    char program[] = "volumed", dashO[] = "-o";
    char *fuseArgv[] = {program, dashO, optionText.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    fuse *view = fuse_new(&args, &Layer::operations(), sizeof(fuse_operations), &layer);
    fuse_opt_free_args(&args);
    if (!view || fuse_mount(view, mountPoint) != 0) {
        fprintf(stderr, "volumed: cannot mount %s\n", mountPoint);
        return answer(1);
    }
    // From here on the caller has its answer; the daemon goes on with no terminal and no output.
    if (!foreground) {
        setsid();
        if (chdir("/") != 0) {
        }
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            dup2(null, fd);
        if (null > STDERR_FILENO)
            ::close(null);
    }
    answer(0);

    const pthread_t mainThread = pthread_self();
    bool ending = false;
    std::atomic<bool> finished = false;
    std::thread signals([&] {
        sigset_t ends;
        sigemptyset(&ends);
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&ends, signal);
        int received = 0;
        sigwait(&ends, &received);
        if (finished)
            return;
        std::lock_guard guard(lock);
        ending = true;
        if (Ext4Volume *volume = layer.volume())
            volume->stop();
        fuse_exit(view);
        pthread_kill(mainThread, SIGUSR1);
    });
    // Makes changes durable and puts them in place while requests are few; ends before the
    // layer goes away.
    bool writerRuns = true;
    std::condition_variable writerWakes;
    std::thread writer([&] {
        std::unique_lock guard(lock);
        while (!writerWakes.wait_for(guard, std::chrono::milliseconds(100), [&] { return !writerRuns; })) {
            if (Ext4Volume *volume = layer.volume())
                volume->maintain();
        }
    });

    Ext4Volume::acceptWakeSignal();
    fuse_loop(view);

    // The view is gone; a mounted volume is served until it is unmounted too.
    int failed = 0;
    {
        std::unique_lock guard(lock);
        if (Ext4Volume *volume = layer.volume()) {
            if (ending)
                volume->stop();
            volume->waitClosed(guard);
            failed = volume->closeError();
        }
        writerRuns = false;
    }
    writerWakes.notify_all();
    writer.join();
    finished = true;
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    fuse_unmount(view);
    fuse_destroy(view);
    if (layer.closeImage() != 0)
        failed = 1;
    if (failed)
        syslog(LOG_ERR, "%s: not everything could be written back", cipherFolder);
    return failed ? 1 : 0;
}
