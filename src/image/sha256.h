#pragma once

#include <QByteArray>

#include <memory>

// The one SHA-256 helper of the download, the write and the verification, so
// that the implementation can change in one place. It hashes through the
// system's CNG on Windows and through OpenSSL's libcrypto elsewhere where the
// build has it, both several times faster than QCryptographicHash on the same
// CPU (they use its SHA instructions); the digests are the same.
class Sha256
{
public:
    Sha256();
    ~Sha256();

    void addData(const char *data, qint64 length);
    // The raw 32-byte digest of everything added; more data may follow.
    QByteArray result() const;
    void reset();

    // "CNG", "libcrypto" or "QCryptographicHash", for benchmarks and test logs.
    static const char *implementation();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
