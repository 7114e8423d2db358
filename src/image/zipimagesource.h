#pragma once

#include "image/crc32.h"
#include "image/imagesource.h"
#include "image/rawinflate.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <memory>

// The one disk image inside a ZIP archive (plain or zip64, stored or
// deflated). open() finds the entry through the central directory; read()
// then streams it strictly forwards through one 1 MiB input buffer and checks
// its CRC-32 when the last byte has been delivered, so memory use does not
// grow with the image.
class ZipImageSource : public ImageSource
{
public:
    explicit ZipImageSource(const QString &path);
    ~ZipImageSource() override;

    bool open() override;
    qint64 size() const override;
    // Returns at most 1 GiB per call, whatever the caller asks.
    qint64 read(char *data, qint64 length) override;
    QString errorString() const override;
    Failure failure() const override;

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
    qint64 inflateInto(char *data, qint64 length);
    qint64 readEntryData(char *data, qint64 length);
    bool fail(Failure kind, const QString &text);
    bool failInvalid(const char *reason);

    QFile m_file;
    Failure m_failure = Failure::Unreadable;
    QString m_errorString;
    quint16 m_method = 0;
    quint32 m_expectedCrc = 0;
    qint64 m_compressedSize = 0;
    qint64 m_uncompressedSize = 0;
    qint64 m_dataOffset = 0;
    qint64 m_consumed = 0;
    qint64 m_delivered = 0;
    Crc32 m_runningCrc;
    QByteArray m_input;
    std::unique_ptr<RawInflate> m_inflate;
};
