#include "testarchives.h"

#include "support/testfiles.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <zlib.h>

namespace testarchives {

QByteArray mixedPayload(qint64 size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes;
    bytes.reserve(size);
    int part = 0;
    while (bytes.size() < size) {
        const qint64 length = std::min<qint64>(size - bytes.size(), 4096 + random.bounded(60000));
        switch (part++ % 3) {
        case 0: {
            const QByteArray line = QByteArrayLiteral("root:x:0:0:root:/root:/bin/sh seed ")
                    + QByteArray::number(seed) + '\n';
            QByteArray text;
            while (text.size() < length)
                text += line;
            bytes.append(text.left(length));
            break;
        }
        case 1:
            bytes.append(QByteArray(length, '\0'));
            break;
        default:
            bytes.append(randomBytes(length, random.generate()));
            break;
        }
    }
    bytes.truncate(size);
    return bytes;
}

QByteArray rawDeflate(const QByteArray &data, bool fixedCodes)
{
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, fixedCodes ? Z_FIXED : Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

quint32 crc32Of(const QByteArray &data)
{
    return quint32(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(data.constData()),
                         uInt(data.size())));
}

void putLittleEndian16(QByteArray &bytes, qint64 at, quint16 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

void putLittleEndian32(QByteArray &bytes, qint64 at, quint32 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

void putLittleEndian64(QByteArray &bytes, qint64 at, quint64 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

namespace {

quint32 small(quint64 value, bool zip64)
{
    return zip64 ? 0xFFFFFFFFu : quint32(value);
}

} // namespace

Entry storedEntry(const QByteArray &name, const QByteArray &content)
{
    Entry entry;
    entry.name = name;
    entry.data = content;
    entry.method = 0;
    entry.crc = crc32Of(content);
    entry.uncompressedSize = quint64(content.size());
    return entry;
}

Entry deflatedEntry(const QByteArray &name, const QByteArray &content, bool fixedCodes)
{
    Entry entry = storedEntry(name, content);
    entry.method = 8;
    entry.data = rawDeflate(content, fixedCodes);
    return entry;
}

Archive buildZip(const QList<Entry> &entries, bool zip64End, const QByteArray &comment)
{
    Archive archive;
    QByteArray &out = archive.bytes;
    QList<QByteArray> centralRecords;
    for (const Entry &entry : entries) {
        const qint64 localAt = out.size();
        archive.localHeaders.append(localAt);
        out += le32(0x04034b50) + le16(entry.zip64 ? 45 : 20) + le16(entry.flags) + le16(entry.method)
                + le32(0) + le32(entry.crc) + le32(small(quint64(entry.data.size()), entry.zip64))
                + le32(small(entry.uncompressedSize, entry.zip64)) + le16(quint16(entry.name.size()))
                + le16(0) + entry.name + entry.data;

        QByteArray extra = entry.extraBefore;
        if (entry.zip64)
            extra += le16(1) + le16(24) + le64(entry.uncompressedSize) + le64(quint64(entry.data.size()))
                    + le64(quint64(localAt));
        extra += entry.extraAfter;
        centralRecords.append(le32(0x02014b50) + le16(0x031e) + le16(entry.zip64 ? 45 : 20)
                              + le16(entry.flags) + le16(entry.method) + le32(0) + le32(entry.crc)
                              + le32(small(quint64(entry.data.size()), entry.zip64))
                              + le32(small(entry.uncompressedSize, entry.zip64))
                              + le16(quint16(entry.name.size())) + le16(quint16(extra.size())) + le16(0)
                              + le16(0) + le16(0) + le32(0) + le32(small(quint64(localAt), entry.zip64))
                              + entry.name + extra);
    }

    archive.directory = out.size();
    for (const QByteArray &record : centralRecords) {
        archive.centralHeaders.append(out.size());
        out += record;
    }
    const quint64 directorySize = quint64(out.size() - archive.directory);
    const quint64 count = quint64(entries.size());

    if (zip64End) {
        archive.zip64EndRecord = out.size();
        out += le32(0x06064b50) + le64(44) + le16(45) + le16(45) + le32(0) + le32(0) + le64(count)
                + le64(count) + le64(directorySize) + le64(quint64(archive.directory));
        archive.zip64Locator = out.size();
        out += le32(0x07064b50) + le32(0) + le64(quint64(archive.zip64EndRecord)) + le32(1);
    }

    archive.endRecord = out.size();
    out += le32(0x06054b50) + le16(0) + le16(0) + le16(zip64End ? 0xFFFF : quint16(count))
            + le16(zip64End ? 0xFFFF : quint16(count)) + le32(small(directorySize, zip64End))
            + le32(small(quint64(archive.directory), zip64End)) + le16(quint16(comment.size())) + comment;
    return archive;
}

Outcome stream(ImageSource &source, qint64 chunk)
{
    Outcome outcome;
    outcome.opened = source.open();
    if (!outcome.opened) {
        outcome.failure = int(source.failure());
        outcome.errorString = source.errorString();
        return outcome;
    }
    outcome.size = source.size();
    QByteArray buffer(chunk, Qt::Uninitialized);
    for (;;) {
        const qint64 count = source.read(buffer.data(), chunk);
        if (count < 0) {
            outcome.readFailed = true;
            outcome.failure = int(source.failure());
            outcome.errorString = source.errorString();
            break;
        }
        if (count > chunk) {
            outcome.readFailed = true;
            outcome.errorString = QStringLiteral("read returned more bytes than asked");
            break;
        }
        if (count == 0)
            break;
        ++outcome.reads;
        outcome.data.append(buffer.constData(), count);
    }
    return outcome;
}

bool PayloadFolder::createPayload(qint64 size, quint32 seed)
{
    m_payload = mixedPayload(size, seed);
    return m_dir.isValid() && writeFile(path("disk.img"), m_payload);
}

QString PayloadFolder::shell(const QString &line) const
{
    return runTool(QStringLiteral("sh"), {QStringLiteral("-c"), line}, m_dir.path());
}

QString PayloadFolder::path(const char *name) const
{
    return m_dir.filePath(QString::fromLatin1(name));
}

} // namespace testarchives
