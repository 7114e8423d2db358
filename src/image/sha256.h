#pragma once

#include <QByteArray>

#include <memory>

// The one SHA-256 helper of the download, the write and the verification, so
// that the implementation can change in one place. It hashes through
// OpenSSL's libcrypto where the build has it, several times faster than
// QCryptographicHash on the same CPU; the digests are the same.
class Sha256
{
public:
    Sha256();
    ~Sha256();

    void addData(const char *data, qint64 length);
    // The raw 32-byte digest of everything added; more data may follow.
    QByteArray result() const;
    void reset();

    // "libcrypto" or "QCryptographicHash", for benchmarks and test logs.
    static const char *implementation();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
