#include "ContentCipher.h"

#include "LockedMemory.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstring>
#include <unistd.h>

namespace {

// The info string that separates the content key from other keys derived from the same secret.
constexpr char contentKeyInfo[] = "AES-GCM file content encryption";
constexpr size_t keySize = 32;

bool hkdf(const uint8_t *secret, size_t secretLength, uint8_t *out)
{
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    size_t length = keySize;
    const bool ok = context && EVP_PKEY_derive_init(context) > 0 &&
                    EVP_PKEY_CTX_set_hkdf_md(context, EVP_sha256()) > 0 &&
                    EVP_PKEY_CTX_set1_hkdf_key(context, secret, int(secretLength)) > 0 &&
                    EVP_PKEY_CTX_add1_hkdf_info(context, reinterpret_cast<const unsigned char *>(contentKeyInfo),
                                                int(sizeof contentKeyInfo - 1)) > 0 &&
                    EVP_PKEY_derive(context, out, &length) > 0 && length == keySize;
    EVP_PKEY_CTX_free(context);
    return ok;
}

// Block number (big endian) followed by the file id, when there is one.
size_t associatedData(uint64_t blockNumber, const uint8_t *fileId, uint8_t *out)
{
    for (int i = 0; i < 8; ++i)
        out[i] = uint8_t(blockNumber >> (56 - 8 * i));
    if (!fileId)
        return 8;
    memcpy(out + 8, fileId, ContentCipher::fileIdSize);
    return 8 + ContentCipher::fileIdSize;
}

} // namespace

SecretBytes::SecretBytes(size_t size)
    : m_data(static_cast<uint8_t *>(LockedMemory::allocate(size)))
    , m_size(size)
{
    if (!m_data)
        abort();
}

SecretBytes::~SecretBytes()
{
    LockedMemory::release(m_data);
}

ContentCipher::Unlocked ContentCipher::unlock(const std::string &configPath, const char *password, size_t length)
{
    Unlocked result;
    QFile file(QString::fromStdString(configPath));
    if (!file.open(QIODevice::ReadOnly)) {
        result.failure = Failure::Unreadable;
        result.message = "cannot read " + configPath + ": " + file.errorString().toStdString();
        return result;
    }
    const QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject scrypt = config.value(QLatin1String("ScryptObject")).toObject();
    const QByteArray wrapped = QByteArray::fromBase64(config.value(QLatin1String("EncryptedKey")).toString().toLatin1());
    const QByteArray salt = QByteArray::fromBase64(scrypt.value(QLatin1String("Salt")).toString().toLatin1());
    const uint64_t n = uint64_t(scrypt.value(QLatin1String("N")).toDouble());
    const uint64_t r = uint64_t(scrypt.value(QLatin1String("R")).toDouble());
    const uint64_t p = uint64_t(scrypt.value(QLatin1String("P")).toDouble());
    const int keyLength = scrypt.value(QLatin1String("KeyLen")).toInt();
    QStringList flags;
    for (const QJsonValue &flag : config.value(QLatin1String("FeatureFlags")).toArray())
        flags.append(flag.toString());
    if (config.value(QLatin1String("Version")).toInt() != 2 || salt.isEmpty() || n < 2 || r == 0 || p == 0 ||
        keyLength != int(keySize) || wrapped.size() != int(keySize + overhead)) {
        result.failure = Failure::Unreadable;
        result.message = configPath + " is not a usable settings file";
        return result;
    }
    // The block layout this program reads and writes; other modes are refused, never guessed.
    if (!flags.contains(QLatin1String("GCMIV128")) || !flags.contains(QLatin1String("PlaintextNames")) ||
        flags.contains(QLatin1String("AESSIV")) || flags.contains(QLatin1String("XChaCha20Poly1305"))) {
        result.failure = Failure::Unsupported;
        result.message = "the encryption settings in " + configPath + " are not supported";
        return result;
    }

    SecretBytes derived(keySize);
    if (EVP_PBE_scrypt(password, length, reinterpret_cast<const unsigned char *>(salt.constData()),
                       size_t(salt.size()), n, r, p, 128 * r * n + (64u << 20), derived.data(), keySize) != 1) {
        result.failure = Failure::Unreadable;
        result.message = "the key derivation failed";
        return result;
    }
    // Each key is separated from its secret by HKDF when the settings say so.
    const bool separated = flags.contains(QLatin1String("HKDF"));
    const auto separate = [&](const SecretBytes &secret, SecretBytes &key) {
        if (separated)
            return hkdf(secret.data(), keySize, key.data());
        memcpy(key.data(), secret.data(), keySize);
        return true;
    };
    SecretBytes wrappingKey(keySize);
    if (!separate(derived, wrappingKey)) {
        result.failure = Failure::Unreadable;
        result.message = "the key derivation failed";
        return result;
    }
    ContentCipher unwrapper(wrappingKey.data());
    SecretBytes master(keySize);
    if (!unwrapper.decrypt(reinterpret_cast<const uint8_t *>(wrapped.constData()), size_t(wrapped.size()), 0,
                           nullptr, master.data())) {
        result.failure = Failure::WrongPassword;
        result.message = "Password incorrect.";
        return result;
    }
    SecretBytes contentKey(keySize);
    if (!separate(master, contentKey)) {
        result.failure = Failure::Unreadable;
        result.message = "the key derivation failed";
        return result;
    }
    result.cipher.reset(new ContentCipher(contentKey.data()));
    return result;
}

ContentCipher::ContentCipher(const uint8_t *key)
    : m_encrypt(EVP_CIPHER_CTX_new())
    , m_decrypt(EVP_CIPHER_CTX_new())
{
    memcpy(m_key.data(), key, keySize);
    if (!m_encrypt || !m_decrypt ||
        EVP_EncryptInit_ex(m_encrypt, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(m_encrypt, EVP_CTRL_GCM_SET_IVLEN, int(nonceSize), nullptr) != 1 ||
        EVP_EncryptInit_ex(m_encrypt, nullptr, nullptr, m_key.data(), nullptr) != 1 ||
        EVP_DecryptInit_ex(m_decrypt, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(m_decrypt, EVP_CTRL_GCM_SET_IVLEN, int(nonceSize), nullptr) != 1 ||
        EVP_DecryptInit_ex(m_decrypt, nullptr, nullptr, m_key.data(), nullptr) != 1)
        abort();
}

ContentCipher::~ContentCipher()
{
    EVP_CIPHER_CTX_free(m_encrypt);
    EVP_CIPHER_CTX_free(m_decrypt);
}

bool ContentCipher::encrypt(const uint8_t *plain, size_t plainLength, uint64_t blockNumber,
                            const uint8_t *fileId, uint8_t *out)
{
    uint8_t ad[8 + fileIdSize];
    const size_t adLength = associatedData(blockNumber, fileId, ad);
    // Nonces come from a stock of random bytes filled a page at a time: asking the generator
    // for each block costs more than the encryption itself.
    if (m_nonceStock.size() - m_nonceUsed < nonceSize) {
        if (RAND_bytes(m_nonceStock.data(), int(m_nonceStock.size())) != 1)
            return false;
        m_nonceUsed = 0;
    }
    memcpy(out, m_nonceStock.data() + m_nonceUsed, nonceSize);
    m_nonceUsed += nonceSize;
    int length = 0;
    return EVP_EncryptInit_ex(m_encrypt, nullptr, nullptr, nullptr, out) == 1 &&
           EVP_EncryptUpdate(m_encrypt, nullptr, &length, ad, int(adLength)) == 1 &&
           EVP_EncryptUpdate(m_encrypt, out + nonceSize, &length, plain, int(plainLength)) == 1 &&
           EVP_EncryptFinal_ex(m_encrypt, out + nonceSize + length, &length) == 1 &&
           EVP_CIPHER_CTX_ctrl(m_encrypt, EVP_CTRL_GCM_GET_TAG, int(tagSize), out + nonceSize + plainLength) == 1;
}

bool ContentCipher::decrypt(const uint8_t *cipher, size_t cipherLength, uint64_t blockNumber,
                            const uint8_t *fileId, uint8_t *out)
{
    if (cipherLength <= overhead || cipherLength > cipherBlock)
        return false;
    static const uint8_t zeroNonce[nonceSize] = {};
    // An all-zero nonce is never written: such a block is damage, not data.
    if (memcmp(cipher, zeroNonce, nonceSize) == 0)
        return false;
    uint8_t ad[8 + fileIdSize];
    const size_t adLength = associatedData(blockNumber, fileId, ad);
    const size_t plainLength = cipherLength - overhead;
    uint8_t tag[tagSize];
    memcpy(tag, cipher + nonceSize + plainLength, tagSize);
    int length = 0;
    return EVP_DecryptInit_ex(m_decrypt, nullptr, nullptr, nullptr, cipher) == 1 &&
           EVP_DecryptUpdate(m_decrypt, nullptr, &length, ad, int(adLength)) == 1 &&
           EVP_DecryptUpdate(m_decrypt, out, &length, cipher + nonceSize, int(plainLength)) == 1 &&
           EVP_CIPHER_CTX_ctrl(m_decrypt, EVP_CTRL_GCM_SET_TAG, int(tagSize), tag) == 1 &&
           EVP_DecryptFinal_ex(m_decrypt, out + length, &length) == 1;
}
