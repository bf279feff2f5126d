// volumed: serves a vault from one process. It reads the password on standard input, mounts the
// decrypted view of the vault's cipher folder, and on request mounts the file system inside the
// image directly (see Layer's control file), with the encryption done in place.
//
//   volumed [-ro] CIPHER_FOLDER MOUNT_POINT
//
// Exit status: 0 once mounted (the daemon goes on in the background), 12 for a wrong password,
// 1 for any other failure, with a message on standard error.

#include "volume/ContentCipher.h"
#include "volume/Layer.h"

#include <openssl/crypto.h>

#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/prctl.h>
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

} // namespace

int main(int argc, char **argv)
{
    bool readOnly = false;
    int at = 1;
    if (at < argc && strcmp(argv[at], "-ro") == 0) {
        readOnly = true;
        ++at;
    }
    if (argc - at != 2) {
        fprintf(stderr, "usage: volumed [-ro] CIPHER_FOLDER MOUNT_POINT (password on standard input)\n");
        return 1;
    }
    // No core dumps and no tracing by other processes of this user: the keys are in memory.
    prctl(PR_SET_DUMPABLE, 0);
    char cipherFolder[PATH_MAX], mountPoint[PATH_MAX];
    if (!realpath(argv[at], cipherFolder) || !realpath(argv[at + 1], mountPoint)) {
        fprintf(stderr, "volumed: %s: %s\n", argv[at], strerror(errno));
        return 1;
    }

    std::unique_ptr<ContentCipher> cipher;
    {
        SecretBytes password(passwordMax);
        size_t length = 0;
        if (!readPassword(password, length)) {
            fprintf(stderr, "volumed: no password on standard input\n");
            return statusWrongPassword;
        }
        const std::string text(reinterpret_cast<const char *>(password.data()), length);
        ContentCipher::Unlocked unlocked =
            ContentCipher::unlock(std::string(cipherFolder) + "/gocryptfs.conf", text);
        OPENSSL_cleanse(const_cast<char *>(text.data()), text.size());
        if (!unlocked.cipher) {
            fprintf(stderr, "volumed: %s\n", unlocked.message.c_str());
            return unlocked.failure == ContentCipher::Failure::WrongPassword ? statusWrongPassword : 1;
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

    std::mutex lock;
    Layer layer(cipherFolder, *cipher, readOnly, lock);
    layer.setMountPoint(mountPoint);
    const std::string options =
        "fsname=" + Ext4Volume::escapedOption(cipherFolder) + ",subtype=volumed" + (readOnly ? ",ro" : "");
    std::string optionText = options;
    char program[] = "volumed", dashO[] = "-o";
    char *fuseArgv[] = {program, dashO, optionText.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    fuse *view = fuse_new(&args, &Layer::operations(), sizeof(fuse_operations), &layer);
    if (!view || fuse_mount(view, mountPoint) != 0) {
        fprintf(stderr, "volumed: cannot mount %s\n", mountPoint);
        return 1;
    }
    // From here on the caller has its answer; the daemon goes on with no terminal and no output.
    if (fuse_daemonize(0) != 0)
        return 1;

    const pthread_t mainThread = pthread_self();
    bool ending = false;
    std::thread signals([&] {
        sigset_t ends;
        sigemptyset(&ends);
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&ends, signal);
        int received = 0;
        sigwait(&ends, &received);
        std::lock_guard guard(lock);
        ending = true;
        if (Ext4Volume *volume = layer.volume())
            volume->stop();
        fuse_exit(view);
        pthread_kill(mainThread, SIGUSR1);
    });
    signals.detach();
    // Writes metadata back while requests are few; ends before the layer goes away.
    bool writerRuns = true;
    std::condition_variable writerWakes;
    std::thread writer([&] {
        std::unique_lock guard(lock);
        while (!writerWakes.wait_for(guard, std::chrono::milliseconds(250), [&] { return !writerRuns; })) {
            if (Ext4Volume *volume = layer.volume())
                volume->flushIfDue();
        }
    });

    Ext4Volume::acceptWakeSignal();
    fuse_loop(view);

    // The view is gone; a mounted volume is served until it is unmounted too.
    {
        std::unique_lock guard(lock);
        if (Ext4Volume *volume = layer.volume()) {
            if (ending)
                volume->stop();
            volume->waitClosed(guard);
        }
        layer.syncAll();
        writerRuns = false;
    }
    writerWakes.notify_all();
    writer.join();
    fuse_unmount(view);
    fuse_destroy(view);
    return 0;
}
