#pragma once

// The one doorway to the crypto library for the backup store. OpenSSL stays
// behind this header: callers see byte arrays and an opaque AES context.
//
// Every helper that can fail returns an empty QByteArray (or false) rather
// than throwing; the file-level routines in BackupManifest turn that into the
// user-facing texts.

#include <QByteArray>
#include <memory>

// Key sizes and block sizes used throughout backups.
inline constexpr int kAesBlockSize = 16;
inline constexpr int kBackupKeySize = 32;  // AES-256 keys: passcode, class, file and manifest keys
inline constexpr int kWrappedKeySize = 40; // RFC 3394 wrap of a 32-byte key

// One AES key schedule for CBC work, encrypting or decrypting. Holds its own
// copy of the key and wipes it when destroyed; not copyable.
class AesContext {
public:
    AesContext();
    ~AesContext();
    AesContext(const AesContext&) = delete;
    AesContext& operator=(const AesContext&) = delete;

    struct Impl;
    Impl* impl() const { return d.get(); }

private:
    std::unique_ptr<Impl> d;
};

// Sets an AES-256 key from the first 32 bytes of key (false when shorter).
bool setAESKeyDecrypt(AesContext* ctx, const QByteArray& key);
bool setAESKeyEncrypt(AesContext* ctx, const QByteArray& key);
// Any AES key size the key's length allows (16, 24 or 32 bytes), used by the row cipher.
bool setAESKeyDecryptAnySize(AesContext* ctx, const QByteArray& key);
bool setAESKeyEncryptAnySize(AesContext* ctx, const QByteArray& key);

// Raw CBC without padding. iv is 16 bytes and is updated in place to the
// chaining value, so consecutive calls continue one stream. Empty result when
// length is not a multiple of 16 or the context has no key.
QByteArray AESdecryptCBC(AesContext* ctx, const char* input, unsigned long length, unsigned char iv[16]);
QByteArray AESencryptCBC(AesContext* ctx, const char* input, unsigned long length, unsigned char iv[16]);

// RFC 3394 with AES-256 (the KEK's first 32 bytes). Empty on any failure,
// including an integrity check that does not match.
QByteArray aes_key_unwrap(const QByteArray& kek, const QByteArray& wrapped);
QByteArray aes_key_wrap(const QByteArray& kek, const QByteArray& key);

// PBKDF2-HMAC; empty on failure (iterations < 1, keyLength < 1).
QByteArray pbkdf2HmacSha1(const QByteArray& password, const QByteArray& salt, int iterations, int keyLength);
QByteArray pbkdf2HmacSha256(const QByteArray& password, const QByteArray& salt, int iterations, int keyLength);

QByteArray sha1Digest(const QByteArray& data);
QByteArray sha256Digest(const QByteArray& data);

// Wipes a buffer that held key material (the array stays allocated, zeroed).
void secureWipe(QByteArray& bytes);

// The fixed initialisation vector of whole-file encryption: 16 zero bytes.
QByteArray backupFileIv();
