#include "image/sha256.h"

Sha256::Sha256()
    : m_hash(QCryptographicHash::Sha256)
{
}

void Sha256::addData(const char *data, qint64 length)
{
    // QByteArrayView takes its length as qsizetype; feed huge spans in pieces.
    constexpr qint64 Piece = qint64(1) << 30;
    while (length > 0) {
        const qint64 n = qMin(length, Piece);
        m_hash.addData(QByteArrayView(data, qsizetype(n)));
        data += n;
        length -= n;
    }
}

QByteArray Sha256::result() const
{
    return m_hash.result();
}

void Sha256::reset()
{
    m_hash.reset();
}
