#include "backup/backupcrypto.h"

#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

const EVP_CIPHER* cbcCipherFor(int keyLength) {
    switch (keyLength) {
    case 16:
        return EVP_aes_128_cbc();
    case 24:
        return EVP_aes_192_cbc();
    case 32:
        return EVP_aes_256_cbc();
    default:
        return nullptr;
    }
}

} // namespace

struct AesContext::Impl {
    QByteArray key;
    const EVP_CIPHER* cipher = nullptr;
    bool encrypt = false;
    CipherCtx ctx{EVP_CIPHER_CTX_new()};

    ~Impl() { secureWipe(key); }
};

AesContext::AesContext() : d(std::make_unique<Impl>()) {}
AesContext::~AesContext() = default;

namespace {

bool setKey(AesContext* ctx, const QByteArray& key, bool encrypt) {
    if (!ctx || !ctx->impl()->ctx) {
        return false;
    }
    AesContext::Impl* d = ctx->impl();
    const EVP_CIPHER* cipher = cbcCipherFor(static_cast<int>(key.size()));
    if (!cipher) {
        return false;
    }
    secureWipe(d->key);
    d->key = QByteArray(key.constData(), key.size());
    d->cipher = cipher;
    d->encrypt = encrypt;
    return true;
}

QByteArray runCbc(AesContext* ctx, const char* input, unsigned long length, unsigned char iv[16], bool encrypt) {
    if (!ctx || !ctx->impl()->cipher || ctx->impl()->encrypt != encrypt || length % kAesBlockSize != 0 ||
        length > static_cast<unsigned long>(INT32_MAX)) {
        return {};
    }
    AesContext::Impl* d = ctx->impl();
    if (length == 0) {
        return QByteArray("");
    }
    if (EVP_CipherInit_ex(d->ctx.get(), d->cipher, nullptr, reinterpret_cast<const unsigned char*>(d->key.constData()),
                          iv, encrypt ? 1 : 0) != 1) {
        return {};
    }
    EVP_CIPHER_CTX_set_padding(d->ctx.get(), 0);
    QByteArray out(static_cast<qsizetype>(length) + kAesBlockSize, Qt::Uninitialized);
    int outLen = 0;
    if (EVP_CipherUpdate(d->ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &outLen,
                         reinterpret_cast<const unsigned char*>(input), static_cast<int>(length)) != 1 ||
        outLen != static_cast<int>(length)) {
        return {};
    }
    out.truncate(outLen);
    // The next chunk chains on the last ciphertext block.
    const char* lastCipherBlock = encrypt ? out.constData() + length - kAesBlockSize : input + length - kAesBlockSize;
    std::memcpy(iv, lastCipherBlock, kAesBlockSize);
    return out;
}

QByteArray keyWrapOp(const QByteArray& kek, const QByteArray& in, bool wrap) {
    if (kek.size() < kBackupKeySize) {
        return {};
    }
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        return {};
    }
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr,
                          reinterpret_cast<const unsigned char*>(kek.constData()), nullptr, wrap ? 1 : 0) != 1) {
        return {};
    }
    QByteArray out(in.size() + 16, Qt::Uninitialized);
    int outLen = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &outLen,
                         reinterpret_cast<const unsigned char*>(in.constData()), static_cast<int>(in.size())) != 1) {
        secureWipe(out);
        return {};
    }
    int finalLen = 0;
    if (EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + outLen, &finalLen) != 1) {
        secureWipe(out);
        return {};
    }
    out.truncate(outLen + finalLen);
    return out;
}

QByteArray pbkdf2(const QByteArray& password, const QByteArray& salt, int iterations, int keyLength, const EVP_MD* md) {
    if (iterations < 1 || keyLength < 1) {
        return {};
    }
    QByteArray out(keyLength, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(password.constData(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.constData()), static_cast<int>(salt.size()),
                          iterations, md, keyLength, reinterpret_cast<unsigned char*>(out.data())) != 1) {
        return {};
    }
    return out;
}

QByteArray digest(const QByteArray& data, const EVP_MD* md) {
    unsigned char buf[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.constData(), static_cast<size_t>(data.size()), buf, &len, md, nullptr) != 1) {
        return {};
    }
    return QByteArray(reinterpret_cast<const char*>(buf), static_cast<qsizetype>(len));
}

} // namespace

bool setAESKeyDecrypt(AesContext* ctx, const QByteArray& key) {
    return key.size() >= kBackupKeySize && setKey(ctx, key.left(kBackupKeySize), false);
}
bool setAESKeyEncrypt(AesContext* ctx, const QByteArray& key) {
    return key.size() >= kBackupKeySize && setKey(ctx, key.left(kBackupKeySize), true);
}
bool setAESKeyDecryptAnySize(AesContext* ctx, const QByteArray& key) {
    return setKey(ctx, key, false);
}
bool setAESKeyEncryptAnySize(AesContext* ctx, const QByteArray& key) {
    return setKey(ctx, key, true);
}

QByteArray AESdecryptCBC(AesContext* ctx, const char* input, unsigned long length, unsigned char iv[16]) {
    return runCbc(ctx, input, length, iv, false);
}
QByteArray AESencryptCBC(AesContext* ctx, const char* input, unsigned long length, unsigned char iv[16]) {
    return runCbc(ctx, input, length, iv, true);
}

QByteArray aes_key_unwrap(const QByteArray& kek, const QByteArray& wrapped) {
    // Bytes after the last whole 8-byte block are ignored; at least one key block is needed.
    const qsizetype whole = (wrapped.size() / 8) * 8;
    if (whole < 16) {
        return {};
    }
    return keyWrapOp(kek.left(kBackupKeySize), wrapped.left(whole), false);
}

QByteArray aes_key_wrap(const QByteArray& kek, const QByteArray& key) {
    if (key.size() < 8 || key.size() % 8 != 0) {
        return {};
    }
    return keyWrapOp(kek.left(kBackupKeySize), key, true);
}

QByteArray pbkdf2HmacSha1(const QByteArray& password, const QByteArray& salt, int iterations, int keyLength) {
    return pbkdf2(password, salt, iterations, keyLength, EVP_sha1());
}
QByteArray pbkdf2HmacSha256(const QByteArray& password, const QByteArray& salt, int iterations, int keyLength) {
    return pbkdf2(password, salt, iterations, keyLength, EVP_sha256());
}

QByteArray sha1Digest(const QByteArray& data) {
    return digest(data, EVP_sha1());
}
QByteArray sha256Digest(const QByteArray& data) {
    return digest(data, EVP_sha256());
}

void secureWipe(QByteArray& bytes) {
    if (!bytes.isEmpty()) {
        OPENSSL_cleanse(bytes.data(), static_cast<size_t>(bytes.size()));
    }
}

QByteArray backupFileIv() {
    return QByteArray(kAesBlockSize, '\0');
}
