#pragma once

#include <QByteArray>
#include <QCryptographicHash>

// The one SHA-256 helper of the download, the write and the verification, so
// that the implementation can change in one place.
class Sha256
{
public:
    Sha256();

    void addData(const char *data, qint64 length);
    // The raw 32-byte digest of everything added.
    QByteArray result() const;
    void reset();

private:
    QCryptographicHash m_hash;
};
