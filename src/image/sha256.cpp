#include "image/sha256.h"

#if TESSARO_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

#include <algorithm>

namespace {

// Both libraries take their lengths in narrower types than ours.
constexpr qint64 Piece = qint64(1) << 30;

} // namespace

#if TESSARO_HAVE_LIBCRYPTO

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
