#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <openssl/evp.h>

// Bytes kept out of swap and core dumps and wiped when released: the keys live only here (and in
// OpenSSL's own memory, which LockedMemory serves too).
class SecretBytes
{
public:
    explicit SecretBytes(size_t size);
    ~SecretBytes();
    SecretBytes(const SecretBytes &) = delete;
    SecretBytes &operator=(const SecretBytes &) = delete;

    [[nodiscard]] uint8_t *data() { return m_data; }
    [[nodiscard]] const uint8_t *data() const { return m_data; }
    [[nodiscard]] size_t size() const { return m_size; }

private:
    uint8_t *m_data = nullptr;
    size_t m_size = 0;
};

// The content encryption of a vault's cipher folder: AES-256-GCM with 128-bit nonces over
// 4096-byte blocks, each authenticated with its block number and its file's id, the key unwrapped
// from gocryptfs.conf with the password.
class ContentCipher
{
public:
    static constexpr size_t plainBlock = 4096;
    static constexpr size_t nonceSize = 16;
    static constexpr size_t tagSize = 16;
    static constexpr size_t overhead = nonceSize + tagSize;
    static constexpr size_t cipherBlock = plainBlock + overhead;
    static constexpr size_t headerSize = 18; // format version (2, big endian) and the file id
    static constexpr size_t fileIdSize = 16;

    enum class Failure { None, WrongPassword, Unreadable, Unsupported };
    struct Unlocked
    {
        std::unique_ptr<ContentCipher> cipher;
        Failure failure = Failure::None;
        std::string message;
    };
    // Reads the settings file and unwraps the master key; the password is not kept.
    [[nodiscard]] static Unlocked unlock(const std::string &configPath, const char *password, size_t length);

    ~ContentCipher();
    ContentCipher(const ContentCipher &) = delete;
    ContentCipher &operator=(const ContentCipher &) = delete;

    // plainLength bytes (1 to 4096) into plainLength + overhead bytes, with a fresh random nonce.
    [[nodiscard]] bool encrypt(const uint8_t *plain, size_t plainLength, uint64_t blockNumber,
                               const uint8_t *fileId, uint8_t *out);
    // False when the block fails its authentication.
    [[nodiscard]] bool decrypt(const uint8_t *cipher, size_t cipherLength, uint64_t blockNumber,
                               const uint8_t *fileId, uint8_t *out);

private:
    explicit ContentCipher(const uint8_t *key);

    SecretBytes m_key{32};
    EVP_CIPHER_CTX *m_encrypt = nullptr;
    EVP_CIPHER_CTX *m_decrypt = nullptr;
    std::array<uint8_t, 4096> m_nonceStock{};
    size_t m_nonceUsed = 4096;
};
