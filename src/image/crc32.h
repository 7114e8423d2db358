#pragma once

#include <QtGlobal>

// The CRC-32 of ZIP entries (reflected IEEE polynomial, as zlib's crc32), in
// pieces. It runs through ISA-L where the build has it and through zlib
// otherwise; the values are the same.
class Crc32
{
public:
    void addData(const char *data, qint64 length);
    // The CRC-32 of everything added; 0 for no data.
    quint32 value() const { return m_value; }

    // "ISA-L" or "zlib", for benchmarks and test logs.
    static const char *implementation();

private:
    quint32 m_value = 0;
};
