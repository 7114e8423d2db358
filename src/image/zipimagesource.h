#pragma once

#include "image/compressedimagesource.h"
#include "image/crc32.h"
#include "image/rawinflate.h"

#include <QList>

#include <memory>

// The one disk image inside a ZIP archive (plain or zip64, stored or
// deflated). open() finds the entry through the central directory; read()
// then streams it strictly forwards through one 1 MiB input buffer and checks
// its CRC-32 when the last byte has been delivered, so memory use does not
// grow with the image.
class ZipImageSource : public CompressedImageSource
{
public:
    explicit ZipImageSource(const QString &path);
    ~ZipImageSource() override;

    bool open() override;

private:
    // One usable central-directory entry, held only while open() runs.
    struct Entry {
        QString name;
        quint16 flags = 0;
        quint16 method = 0;
        quint32 crc = 0;
        qint64 compressedSize = 0;
        qint64 uncompressedSize = 0;
        qint64 localHeaderOffset = 0;
    };

    bool locateEntry();
    bool readEntries(const char *directory, qint64 directorySize, quint64 entryCount, QList<Entry> &entries);
    bool useEntry(const Entry &entry, qint64 fileSize);
    qint64 decodeInto(char *data, qint64 length) override;
    bool finish() override;
    qint64 inflateInto(char *data, qint64 length);
    qint64 readEntryData(char *data, qint64 length);
    bool failInvalid(const char *reason);

    quint16 m_method = 0;
    quint32 m_expectedCrc = 0;
    qint64 m_compressedSize = 0;
    qint64 m_dataOffset = 0;
    qint64 m_consumed = 0;
    Crc32 m_runningCrc;
    std::unique_ptr<RawInflate> m_inflate;
};
