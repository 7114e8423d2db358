#include "image/sha256.h"

#if TESSARO_HAVE_CNG
#include <windows.h>
#include <bcrypt.h>
#elif TESSARO_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

#include <algorithm>

namespace {

// Both libraries take their lengths in narrower types than ours.
constexpr qint64 Piece = qint64(1) << 30;

} // namespace

#if TESSARO_HAVE_CNG

namespace {

// The system's provider, opened once and kept for the life of the process;
// CNG lets any thread make hashes from it.
BCRYPT_ALG_HANDLE sha256Provider()
{
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        const NTSTATUS status = BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        if (!BCRYPT_SUCCESS(status))
            qFatal("Cannot open the system's SHA-256 provider: status 0x%lx", static_cast<unsigned long>(status));
        return handle;
    }();
    return provider;
}

// With a valid handle and a length in range, CNG fails only when it cannot
// allocate its state; that ends the process, as it does for Qt's own
// containers.
void check(NTSTATUS status)
{
    if (!BCRYPT_SUCCESS(status))
        qFatal("SHA-256 through CNG failed: status 0x%lx", static_cast<unsigned long>(status));
}

} // namespace

struct Sha256::State {
    struct Destroy {
        void operator()(void *hash) const { BCryptDestroyHash(hash); }
    };
    using Hash = std::unique_ptr<void, Destroy>;
    Hash hash;

    State() { reset(); }
    void reset()
    {
        BCRYPT_HASH_HANDLE handle = nullptr;
        check(BCryptCreateHash(sha256Provider(), &handle, nullptr, 0, nullptr, 0, 0));
        hash.reset(handle);
    }
    void add(const char *data, qint64 length)
    {
        check(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char *>(data)), ULONG(length), 0));
    }
    // Finishing consumes a hash, so it finishes a copy and the hash can go on.
    QByteArray result() const
    {
        BCRYPT_HASH_HANDLE handle = nullptr;
        check(BCryptDuplicateHash(hash.get(), &handle, nullptr, 0, 0));
        const Hash copy(handle);
        QByteArray digest(32, Qt::Uninitialized);
        check(BCryptFinishHash(copy.get(), reinterpret_cast<PUCHAR>(digest.data()), ULONG(digest.size()), 0));
        return digest;
    }
};

const char *Sha256::implementation()
{
    return "CNG";
}

#elif TESSARO_HAVE_LIBCRYPTO

// EVP contexts cannot fail in practice once allocated; a failed allocation
// ends the process, as it does for Qt's own containers.
struct Sha256::State {
    struct Free {
        void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> context{EVP_MD_CTX_new()};

    State()
    {
        Q_CHECK_PTR(context.get());
        reset();
    }
    void reset() { EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr); }
    void add(const char *data, qint64 length) { EVP_DigestUpdate(context.get(), data, size_t(length)); }
    // Finishing consumes a context, so it finishes a copy and the hash can go on.
    QByteArray result() const
    {
        std::unique_ptr<EVP_MD_CTX, Free> copy(EVP_MD_CTX_new());
        Q_CHECK_PTR(copy.get());
        QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
        unsigned int size = 0;
        EVP_MD_CTX_copy_ex(copy.get(), context.get());
        EVP_DigestFinal_ex(copy.get(), reinterpret_cast<unsigned char *>(digest.data()), &size);
        digest.truncate(int(size));
        return digest;
    }
};

const char *Sha256::implementation()
{
    return "libcrypto";
}

#else

struct Sha256::State {
    QCryptographicHash hash{QCryptographicHash::Sha256};

    void reset() { hash.reset(); }
    void add(const char *data, qint64 length) { hash.addData(QByteArrayView(data, qsizetype(length))); }
    QByteArray result() const { return hash.result(); }
};

const char *Sha256::implementation()
{
    return "QCryptographicHash";
}

#endif

Sha256::Sha256()
    : m_state(std::make_unique<State>())
{
}

Sha256::~Sha256() = default;

void Sha256::addData(const char *data, qint64 length)
{
    while (length > 0) {
        const qint64 n = std::min(length, Piece);
        m_state->add(data, n);
        data += n;
        length -= n;
    }
}

QByteArray Sha256::result() const
{
    return m_state->result();
}

void Sha256::reset()
{
    m_state->reset();
}
