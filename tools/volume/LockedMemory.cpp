#include "LockedMemory.h"

#include <openssl/crypto.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace LockedMemory {

namespace {

// Small sizes come from locked chunks in size classes of powers of two; larger ones have a
// mapping of their own.
constexpr size_t smallestClass = 32;
constexpr size_t classCount = 12; // up to 64 KiB
constexpr size_t largestSmall = smallestClass << (classCount - 1);
constexpr size_t chunkSize = 256 * 1024;
constexpr uint32_t magic = 0x6c6f636b;

struct alignas(16) Head
{
    uint32_t magic;
    uint32_t sizeClass; // classCount for a mapping of its own
    size_t size;        // the mapping's length, or the size class's
};

struct FreeBlock
{
    FreeBlock *next;
};

std::mutex lock;
std::array<FreeBlock *, classCount> freeLists{};
uint8_t *chunkAt = nullptr;
size_t chunkLeft = 0;

void *mapSecret(size_t length, bool pin)
{
    void *memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    madvise(memory, length, MADV_DONTDUMP);
    if (pin)
        mlock(memory, length); // best effort: beyond the limit it still stays out of core dumps
    return memory;
}

size_t classOf(size_t size)
{
    size_t sizeClass = 0;
    while ((smallestClass << sizeClass) < size)
        ++sizeClass;
    return sizeClass;
}

void *openSslAllocate(size_t size, const char *, int)
{
    return allocate(size);
}

void openSslRelease(void *memory, const char *, int)
{
    release(memory);
}

void *openSslReallocate(void *memory, size_t size, const char *, int)
{
    if (!memory)
        return allocate(size);
    if (size == 0) {
        release(memory);
        return nullptr;
    }
    const Head *head = static_cast<const Head *>(memory) - 1;
    const size_t old = head->sizeClass == classCount ? head->size - sizeof(Head) : head->size - sizeof(Head);
    if (size <= old)
        return memory;
    void *grown = allocate(size);
    if (grown) {
        memcpy(grown, memory, old);
        release(memory);
    }
    return grown;
}

} // namespace

void *allocate(size_t size)
{
    const size_t total = size + sizeof(Head);
    Head *head = nullptr;
    if (total > largestSmall) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t length = (total + page - 1) / page * page;
        head = static_cast<Head *>(mapSecret(length, false));
        if (!head)
            return nullptr;
        *head = {magic, uint32_t(classCount), length};
        return head + 1;
    }
    const size_t sizeClass = classOf(total);
    const size_t blockSize = smallestClass << sizeClass;
    std::lock_guard guard(lock);
    if (FreeBlock *block = freeLists[sizeClass]) {
        freeLists[sizeClass] = block->next;
        head = reinterpret_cast<Head *>(block);
    } else {
        if (chunkLeft < blockSize) {
            chunkAt = static_cast<uint8_t *>(mapSecret(chunkSize, true));
            chunkLeft = chunkAt ? chunkSize : 0;
            if (!chunkAt)
                return nullptr;
        }
        head = reinterpret_cast<Head *>(chunkAt);
        chunkAt += blockSize;
        chunkLeft -= blockSize;
    }
    *head = {magic, uint32_t(sizeClass), blockSize};
    return head + 1;
}

void release(void *memory)
{
    if (!memory)
        return;
    Head *head = static_cast<Head *>(memory) - 1;
    if (head->magic != magic)
        abort();
    if (head->sizeClass == classCount) {
        const size_t length = head->size;
        OPENSSL_cleanse(head, length);
        munmap(head, length);
        return;
    }
    const size_t sizeClass = head->sizeClass;
    OPENSSL_cleanse(head, head->size);
    std::lock_guard guard(lock);
    auto *block = reinterpret_cast<FreeBlock *>(head);
    block->next = freeLists[sizeClass];
    freeLists[sizeClass] = block;
}

bool serveOpenSsl()
{
    return CRYPTO_set_mem_functions(openSslAllocate, openSslReallocate, openSslRelease) == 1;
}

} // namespace LockedMemory
