#include "image/zipimagesource.h"

#include <QtEndian>

#include <algorithm>

namespace {

namespace EndRecord {
constexpr quint32 Signature = 0x06054b50;
constexpr qint64 Size = 22;              // without the comment
constexpr qint64 MaxCommentLength = 65535;
constexpr int DiskNumber = 4;            // 16 bit
constexpr int DirectoryDisk = 6;         // 16 bit
constexpr int EntryCount = 10;           // 16 bit, 0xFFFF: see the zip64 record
constexpr int DirectorySize = 12;        // 32 bit, 0xFFFFFFFF: see the zip64 record
constexpr int DirectoryOffset = 16;      // 32 bit, 0xFFFFFFFF: see the zip64 record
constexpr int CommentLength = 20;        // 16 bit
}

// Directly before the end record when the archive needs zip64 values.
namespace Zip64Locator {
constexpr quint32 Signature = 0x07064b50;
constexpr qint64 Size = 20;
constexpr int EndRecordOffset = 8;       // 64 bit
}

namespace Zip64EndRecord {
constexpr quint32 Signature = 0x06064b50;
constexpr qint64 Size = 56;              // the fixed part; the rest is not used
constexpr int EntryCount = 32;           // 64 bit
constexpr int DirectorySize = 40;        // 64 bit
constexpr int DirectoryOffset = 48;      // 64 bit
}

namespace CentralHeader {
constexpr quint32 Signature = 0x02014b50;
constexpr qint64 Size = 46;              // without name, extra field and comment
constexpr int Flags = 8;                 // 16 bit
constexpr int Method = 10;               // 16 bit
constexpr int Crc = 16;                  // 32 bit
constexpr int CompressedSize = 20;       // 32 bit
constexpr int UncompressedSize = 24;     // 32 bit
constexpr int NameLength = 28;           // 16 bit
constexpr int ExtraLength = 30;          // 16 bit
constexpr int CommentLength = 32;        // 16 bit
constexpr int LocalHeaderOffset = 42;    // 32 bit
}

// One record of a central header's extra field.
namespace ExtraRecord {
constexpr qint64 HeaderSize = 4;
constexpr int Id = 0;                    // 16 bit
constexpr int DataSize = 2;              // 16 bit
constexpr quint16 Zip64Id = 1;           // 64-bit values for the fields set to 0xFFFFFFFF
}

namespace LocalHeader {
constexpr quint32 Signature = 0x04034b50;
constexpr qint64 Size = 30;              // without name and extra field
constexpr int NameLength = 26;           // 16 bit
constexpr int ExtraLength = 28;          // 16 bit
}

constexpr quint16 Zip64Count = 0xFFFF;
constexpr quint32 Zip64Value = 0xFFFFFFFF;
constexpr quint16 EncryptedFlag = 0x0001;
constexpr quint16 Stored = 0;
constexpr quint16 Deflated = 8;

constexpr qint64 MaxDirectorySize = qint64(64) << 20;

// Callers check that the field lies inside the buffer. They pass data() of a
// non-const array, which never points at Qt's shared empty byte; GCC's bounds
// analysis in the sanitizer build would otherwise take reads for overruns of it.
template<typename T>
T field(const char *bytes, qint64 at)
{
    return qFromLittleEndian<T>(bytes + at);
}

} // namespace

ZipImageSource::ZipImageSource(const QString &path)
    : CompressedImageSource(path)
{
}

ZipImageSource::~ZipImageSource() = default;

bool ZipImageSource::open()
{
    m_inflate.reset();
    m_input.clear();
    m_consumed = 0;
    restart();
    m_file.close();

    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(Failure::Unreadable, m_file.errorString());

    if (!locateEntry() || !refuseEmpty())
        return false;

    if (m_method == Deflated) {
        auto inflate = std::make_unique<RawInflate>();
        if (!inflate->init())
            return fail(Failure::Unreadable, QStringLiteral("cannot initialise zlib"));
        m_inflate = std::move(inflate);
        m_input.resize(InputBufferSize);
    }

    m_runningCrc = Crc32();
    if (!m_file.seek(m_dataOffset))
        return fail(Failure::Unreadable, m_file.errorString());
    return true;
}

bool ZipImageSource::locateEntry()
{
    // The end record sits in the last 22 bytes plus the longest comment.
    const qint64 fileSize = m_file.size();
    const qint64 tailLength = std::min(fileSize, EndRecord::Size + EndRecord::MaxCommentLength);
    const qint64 tailStart = fileSize - tailLength;
    if (!m_file.seek(tailStart))
        return fail(Failure::Unreadable, m_file.errorString());
    QByteArray tailBytes = m_file.read(tailLength);
    if (tailBytes.size() != tailLength)
        return fail(Failure::Unreadable, m_file.errorString());
    const char *const tail = tailBytes.data();

    // Searching backwards finds the last record; one whose comment would run
    // past the file is a look-alike inside a comment or inside entry data.
    qint64 end = -1;
    for (qint64 at = tailLength - EndRecord::Size; at >= 0; --at) {
        if (field<quint32>(tail, at) == EndRecord::Signature
            && at + EndRecord::Size + field<quint16>(tail, at + EndRecord::CommentLength) <= tailLength) {
            end = at;
            break;
        }
    }
    if (end < 0)
        return failInvalid("end of central directory not found");

    if (field<quint16>(tail, end + EndRecord::DiskNumber) != 0
        || field<quint16>(tail, end + EndRecord::DirectoryDisk) != 0)
        return fail(Failure::Unsupported, QStringLiteral("split zip archives are not supported"));

    quint64 entryCount = field<quint16>(tail, end + EndRecord::EntryCount);
    quint64 directorySize = field<quint32>(tail, end + EndRecord::DirectorySize);
    quint64 directoryOffset = field<quint32>(tail, end + EndRecord::DirectoryOffset);

    if (entryCount == Zip64Count || directorySize == Zip64Value || directoryOffset == Zip64Value) {
        const qint64 locatorAt = tailStart + end - Zip64Locator::Size;
        QByteArray locator;
        if (locatorAt < 0 || !m_file.seek(locatorAt)
            || (locator = m_file.read(Zip64Locator::Size)).size() != Zip64Locator::Size
            || field<quint32>(locator.data(), 0) != Zip64Locator::Signature)
            return failInvalid("zip64 locator not found");

        const quint64 recordAt = field<quint64>(locator.data(), Zip64Locator::EndRecordOffset);
        if (recordAt > quint64(fileSize) || !m_file.seek(qint64(recordAt)))
            return failInvalid("zip64 end of central directory out of range");
        QByteArray recordBytes = m_file.read(Zip64EndRecord::Size);
        if (recordBytes.size() != Zip64EndRecord::Size
            || field<quint32>(recordBytes.data(), 0) != Zip64EndRecord::Signature)
            return failInvalid("zip64 end of central directory not found");
        const char *const record = recordBytes.data();

        entryCount = field<quint64>(record, Zip64EndRecord::EntryCount);
        directorySize = field<quint64>(record, Zip64EndRecord::DirectorySize);
        directoryOffset = field<quint64>(record, Zip64EndRecord::DirectoryOffset);
    }

    // Unsigned comparisons: 64-bit values from the file may exceed qint64.
    if (directorySize > quint64(MaxDirectorySize) || directoryOffset > quint64(fileSize)
        || directorySize > quint64(fileSize) - directoryOffset)
        return failInvalid("central directory out of range");
    if (!m_file.seek(qint64(directoryOffset)))
        return fail(Failure::Unreadable, m_file.errorString());
    QByteArray directory = m_file.read(qint64(directorySize));
    if (directory.size() != qint64(directorySize))
        return fail(Failure::Unreadable, m_file.errorString());

    QList<Entry> entries;
    if (!readEntries(directory.data(), directory.size(), entryCount, entries))
        return false;
    if (entries.isEmpty())
        return failInvalid("the archive is empty");

    // An ".img" entry wins over any other; among the candidates the largest,
    // and on equal sizes the earliest in the directory.
    const auto isImage = [](const Entry &entry) {
        return entry.name.endsWith(QLatin1String(".img"), Qt::CaseInsensitive);
    };
    const bool anyImage = std::any_of(entries.cbegin(), entries.cend(), isImage);
    const Entry *chosen = nullptr;
    for (const Entry &entry : entries) {
        if (anyImage && !isImage(entry))
            continue;
        if (!chosen || entry.uncompressedSize > chosen->uncompressedSize)
            chosen = &entry;
    }
    return useEntry(*chosen, fileSize);
}

bool ZipImageSource::readEntries(const char *directory, qint64 directorySize, quint64 entryCount,
                                 QList<Entry> &entries)
{
    qint64 at = 0;
    // Each record takes at least 46 bytes, so a forged count ends with the directory.
    for (quint64 index = 0; index < entryCount; ++index) {
        if (CentralHeader::Size > directorySize - at
            || field<quint32>(directory, at) != CentralHeader::Signature)
            return failInvalid("bad central directory entry");
        const qint64 nameLength = field<quint16>(directory, at + CentralHeader::NameLength);
        const qint64 extraLength = field<quint16>(directory, at + CentralHeader::ExtraLength);
        const qint64 commentLength = field<quint16>(directory, at + CentralHeader::CommentLength);
        const qint64 nameAt = at + CentralHeader::Size;
        const qint64 extraAt = nameAt + nameLength;
        const qint64 next = extraAt + extraLength + commentLength;
        if (next > directorySize)
            return failInvalid("bad central directory entry");

        Entry entry;
        // The name is taken as UTF-8 whatever the language-encoding flag says.
        entry.name = QString::fromUtf8(directory + nameAt, nameLength);
        entry.flags = field<quint16>(directory, at + CentralHeader::Flags);
        entry.method = field<quint16>(directory, at + CentralHeader::Method);
        entry.crc = field<quint32>(directory, at + CentralHeader::Crc);
        const quint32 compressed = field<quint32>(directory, at + CentralHeader::CompressedSize);
        const quint32 uncompressed = field<quint32>(directory, at + CentralHeader::UncompressedSize);
        const quint32 localHeader = field<quint32>(directory, at + CentralHeader::LocalHeaderOffset);
        entry.compressedSize = compressed;
        entry.uncompressedSize = uncompressed;
        entry.localHeaderOffset = localHeader;

        // 64-bit values over 2^63 turn negative here and fail the entry's
        // size or offset check if the entry is chosen.
        const qint64 extraEnd = extraAt + extraLength;
        qint64 record = extraAt;
        while (ExtraRecord::HeaderSize <= extraEnd - record) {
            const quint16 id = field<quint16>(directory, record + ExtraRecord::Id);
            const qint64 dataAt = record + ExtraRecord::HeaderSize;
            const qint64 dataEnd = dataAt + field<quint16>(directory, record + ExtraRecord::DataSize);
            if (dataEnd > extraEnd)
                return failInvalid("bad zip64 extra field");
            if (id == ExtraRecord::Zip64Id) {
                // Only the fields whose 32-bit value is 0xFFFFFFFF are present, in this order.
                qint64 valueAt = dataAt;
                const auto take = [&](quint32 small, qint64 &value) {
                    if (small != Zip64Value)
                        return true;
                    if (8 > dataEnd - valueAt)
                        return false;
                    value = qint64(field<quint64>(directory, valueAt));
                    valueAt += 8;
                    return true;
                };
                if (!take(uncompressed, entry.uncompressedSize)
                    || !take(compressed, entry.compressedSize)
                    || !take(localHeader, entry.localHeaderOffset))
                    return failInvalid("bad zip64 extra field");
                break;
            }
            record = dataEnd;
        }

        if (!entry.name.endsWith(QLatin1Char('/')))
            entries.append(entry);
        at = next;
    }
    return true;
}

bool ZipImageSource::useEntry(const Entry &entry, qint64 fileSize)
{
    if (entry.flags & EncryptedFlag)
        return fail(Failure::Unsupported, QStringLiteral("encrypted zip entries are not supported"));
    if (entry.method != Stored && entry.method != Deflated)
        return fail(Failure::Unsupported,
                    QStringLiteral("zip compression method %1 is not supported").arg(entry.method));
    if (entry.uncompressedSize < 0 || entry.compressedSize < 0
        || (entry.method == Stored && entry.compressedSize != entry.uncompressedSize))
        return failInvalid("bad entry sizes");

    if (entry.localHeaderOffset < 0 || entry.localHeaderOffset > fileSize
        || !m_file.seek(entry.localHeaderOffset))
        return failInvalid("local header out of range");
    QByteArray localBytes = m_file.read(LocalHeader::Size);
    if (localBytes.size() != LocalHeader::Size || field<quint32>(localBytes.data(), 0) != LocalHeader::Signature)
        return failInvalid("local header not found");
    const char *const local = localBytes.data();

    // Sizes, CRC and flags of the local header are not used: streaming
    // writers leave them zero and put the values after the data.
    const qint64 dataOffset = entry.localHeaderOffset + LocalHeader::Size
            + field<quint16>(local, LocalHeader::NameLength)
            + field<quint16>(local, LocalHeader::ExtraLength);
    if (dataOffset > fileSize || entry.compressedSize > fileSize - dataOffset)
        return failInvalid("entry data out of range");

    m_method = entry.method;
    m_expectedCrc = entry.crc;
    m_compressedSize = entry.compressedSize;
    m_size = entry.uncompressedSize;
    m_dataOffset = dataOffset;
    return true;
}

// The base class keeps every length at 1 GiB at most, inside the 32-bit
// counters of the inflate and CRC libraries.
qint64 ZipImageSource::decodeInto(char *data, qint64 length)
{
    const qint64 produced = m_method == Stored ? readEntryData(data, length) : inflateInto(data, length);
    if (produced > 0)
        m_runningCrc.addData(data, produced);
    return produced;
}

// The caller must not use the bytes of a read that fails the check.
bool ZipImageSource::finish()
{
    if (m_runningCrc.value() != m_expectedCrc)
        return fail(Failure::Corrupt, QStringLiteral("CRC32 mismatch"));
    return true;
}

qint64 ZipImageSource::inflateInto(char *data, qint64 length)
{
    qint64 produced = 0;
    while (produced < length) {
        if (m_inflate->inputLeft() == 0 && m_consumed < m_compressedSize) {
            const qint64 count = readEntryData(m_input.data(), m_input.size());
            if (count < 0)
                return -1;
            m_inflate->setInput(m_input.constData(), count);
        }
        const qint64 count = m_inflate->inflate(data + produced, length - produced);
        if (count < 0) {
            fail(Failure::Corrupt, QStringLiteral("corrupt compressed data (%1)").arg(m_inflate->errorString()));
            return -1;
        }
        produced += count;
        if (m_inflate->finished()) {
            if (produced < length) {
                fail(Failure::Corrupt, QStringLiteral("compressed data shorter than declared"));
                return -1;
            }
            break;
        }
        // Once the entry data is used up, the decoder may still hold output
        // for the bits it has already taken; only a stall without input is a
        // cut entry.
        if (count == 0 && m_inflate->inputLeft() == 0 && m_consumed >= m_compressedSize) {
            fail(Failure::Corrupt, QStringLiteral("truncated zip entry"));
            return -1;
        }
    }
    return produced;
}

qint64 ZipImageSource::readEntryData(char *data, qint64 length)
{
    const qint64 count = m_file.read(data, std::min(length, m_compressedSize - m_consumed));
    if (count < 0) {
        fail(Failure::Unreadable, m_file.errorString());
        return -1;
    }
    if (count == 0) {
        fail(Failure::Corrupt, QStringLiteral("truncated zip entry"));
        return -1;
    }
    m_consumed += count;
    return count;
}

bool ZipImageSource::failInvalid(const char *reason)
{
    return fail(Failure::Corrupt, QStringLiteral("invalid zip file: %1").arg(QLatin1String(reason)));
}
