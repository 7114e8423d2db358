#include "cli/cardcheck.h"

#include "disks/alignedbuffer.h"
#include "image/sha256.h"
#include "write/fatwriter.h"

#include <cstring>

namespace {

// Setting up a product writes a few small files: their clusters, the
// directory and the FAT sectors. A card that differs from the image in more
// than this does not hold it, whatever its boot files.
constexpr qint64 MaxDifferentBytes = 16 * 1024 * 1024;
// A FAT directory entry, and its name bytes at its start.
constexpr int EntrySize = 32;
constexpr int EntryNameSize = 11;

// The card as the image alone would have left it: the card's sectors, but
// the image's where the two differ. What is written stays in memory.
class ImageView : public BlockDevice
{
public:
    ImageView(BlockDevice &card, const QMap<qint64, QByteArray> &imageSectors)
        : m_card(card)
        , m_imageSectors(imageSectors)
    {
    }

    bool open() override { return true; }
    void close() override {}
    qint64 size() const override { return m_card.size(); }
    int sectorSize() const override { return m_card.sectorSize(); }
    bool seek(qint64 offset) override
    {
        m_position = offset;
        return true;
    }
    bool write(const char *data, qint64 length) override
    {
        for (qint64 done = 0; done < length; done += sectorSize())
            m_written.insert(m_position + done, QByteArray(data + done, sectorSize()));
        m_position += length;
        return true;
    }
    qint64 read(char *data, qint64 length) override
    {
        if (!m_card.seek(m_position))
            return -1;
        const qint64 count = m_card.read(data, length);
        if (count < 0)
            return -1;
        for (qint64 done = 0; done < count; done += sectorSize()) {
            const qint64 offset = m_position + done;
            const auto written = m_written.constFind(offset);
            const QByteArray &sector = written != m_written.cend() ? *written : m_imageSectors.value(offset);
            if (!sector.isNull())
                std::memcpy(data + done, sector.constData(), size_t(sectorSize()));
        }
        m_position += count;
        return count;
    }
    bool flush() override { return true; }
    bool dropCaches() override { return true; }
    QString errorString() const override { return m_card.errorString(); }
    Failure failure() const override { return m_card.failure(); }

    // Each sector written, by offset.
    const QMap<qint64, QByteArray> &written() const { return m_written; }

private:
    BlockDevice &m_card;
    const QMap<qint64, QByteArray> &m_imageSectors;
    QMap<qint64, QByteArray> m_written;
    qint64 m_position = 0;
};

} // namespace

CardCheck::CardCheck(std::unique_ptr<ImageSource> source, std::unique_ptr<BlockDevice> device,
                     const QMap<QString, QByteArray> &bootFiles, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_device(std::move(device))
    , m_bootFiles(bootFiles)
{
}

CardCheck::~CardCheck() = default;

void CardCheck::cancel()
{
    m_cancelled = true;
}

void CardCheck::run()
{
    if (compare() && !m_imageSectors.isEmpty() && !matchesBootFiles() && m_error == WriteJob::Error::None)
        differsAt(m_firstDifferences.first());
    m_device->close();
    m_source.reset();
    m_imageSectors.clear();
    m_firstDifferences.clear();
}

// Reads the image and the card side by side; true when both were read whole
// and differ in no more sectors than a set-up can explain.
bool CardCheck::compare()
{
    if (!m_source->open())
        return failSource();
    m_imageSize = m_source->size();
    if (!m_device->open())
        return failTarget(WriteJob::Error::TargetUnavailable);
    const int sectorSize = m_device->sectorSize();
    if (sectorSize <= 0 || WriteJob::ChunkSize % sectorSize != 0)
        return fail(WriteJob::Error::TargetIoError, QStringLiteral("unsupported sector size %1").arg(sectorSize));
    if (m_imageSize > m_device->size())
        return fail(WriteJob::Error::TargetTooSmall);

    AlignedBuffer image(WriteJob::ChunkSize);
    AlignedBuffer card(WriteJob::ChunkSize);
    Sha256 cardHash;
    qint64 checked = 0;
    qint64 differentBytes = 0;
    emit progress(WriteJob::Phase::Verifying, 0, m_imageSize);
    while (checked < m_imageSize) {
        if (m_cancelled)
            return fail(WriteJob::Error::Cancelled);
        const qint64 chunk = qMin(m_imageSize - checked, WriteJob::ChunkSize);
        qint64 filled = 0;
        while (filled < chunk) {
            const qint64 count = m_source->read(image.data() + filled, chunk - filled);
            if (count < 0)
                return failSource();
            if (count == 0)
                return fail(WriteJob::Error::SourceUnreadable, QStringLiteral("truncated image"));
            filled += count;
        }
        const qint64 length = AlignedBuffer::roundUp(chunk, sectorSize);
        if (m_device->read(card.data(), length) != length)
            return failTarget(WriteJob::Error::TargetIoError);
        cardHash.addData(card.data(), chunk);

        // The last sector of the image is compared as far as the image goes;
        // the rest of it is the card's own in either view.
        for (qint64 sector = 0; sector < chunk; sector += sectorSize) {
            const qint64 bytes = qMin<qint64>(sectorSize, chunk - sector);
            if (std::memcmp(image.data() + sector, card.data() + sector, size_t(bytes)) == 0)
                continue;
            QByteArray original(card.data() + sector, sectorSize);
            std::memcpy(original.data(), image.data() + sector, size_t(bytes));
            m_imageSectors.insert(checked + sector, original);
            qint64 first = sector;
            while (image.data()[first] == card.data()[first])
                ++first;
            m_firstDifferences.insert(checked + sector, checked + first);
            differentBytes += sectorSize;
            if (differentBytes > MaxDifferentBytes || m_bootFiles.isEmpty())
                return differsAt(m_firstDifferences.first());
        }
        checked += chunk;
        emit progress(WriteJob::Phase::Verifying, checked, m_imageSize);
    }
    m_cardSha256 = cardHash.result();
    return true;
}

// Whether the sectors that differ are those that writing the boot files onto
// the image gives, with the same bytes but for the writer's stamped dates.
bool CardCheck::matchesBootFiles()
{
    ImageView view(*m_device, m_imageSectors);
    FatWriter writer(view);
    for (auto file = m_bootFiles.cbegin(); file != m_bootFiles.cend(); ++file) {
        // The card could not be read; otherwise the image has no file system
        // to take them, and the card cannot have them either.
        if (!writer.writeFile(file.key(), file.value()))
            return writer.failure() == FatWriter::Failure::DeviceError ? failTarget(WriteJob::Error::TargetIoError)
                                                                       : false;
    }
    for (auto sector = m_firstDifferences.cbegin(); sector != m_firstDifferences.cend(); ++sector) {
        if (!view.written().contains(sector.key()))
            return differsAt(sector.value());
    }

    QList<QByteArray> names;
    for (const QString &name : m_bootFiles.keys())
        names << FatWriter::entryName(name);
    const qint64 sectorSize = m_device->sectorSize();
    AlignedBuffer card(sectorSize);
    const auto written = view.written();
    for (auto sector = written.cbegin(); sector != written.cend(); ++sector) {
        if (sector.key() >= m_imageSize)
            continue;
        if (!m_device->seek(sector.key()) || m_device->read(card.data(), sectorSize) != sectorSize)
            return failTarget(WriteJob::Error::TargetIoError);
        const QByteArray &expected = sector.value();
        for (qint64 i = 0; i < sectorSize; ++i) {
            if (expected.at(i) == card.data()[i])
                continue;
            const qint64 entry = i - i % EntrySize;
            const bool stamp = FatWriter::isStampByte(int(i % EntrySize))
                    && names.contains(expected.mid(entry, EntryNameSize));
            if (!stamp)
                return differsAt(sector.key() + i);
        }
    }
    return true;
}

bool CardCheck::differsAt(qint64 offset)
{
    return fail(WriteJob::Error::VerifyMismatch, QString::number(offset));
}

bool CardCheck::fail(WriteJob::Error error, const QString &detail)
{
    m_error = error;
    m_errorDetail = detail;
    return false;
}

bool CardCheck::failSource()
{
    switch (m_source->failure()) {
    case ImageSource::Failure::Unreadable:
        return fail(WriteJob::Error::SourceUnreadable, m_source->errorString());
    case ImageSource::Failure::Unsupported:
        return fail(WriteJob::Error::UnsupportedImage, m_source->errorString());
    case ImageSource::Failure::Corrupt:
        return fail(WriteJob::Error::CorruptImage, m_source->errorString());
    }
    return fail(WriteJob::Error::SourceUnreadable, m_source->errorString());
}

bool CardCheck::failTarget(WriteJob::Error fallback)
{
    switch (m_device->failure()) {
    case BlockDevice::Failure::IoError:
        break;
    case BlockDevice::Failure::WriteProtected:
        return fail(WriteJob::Error::TargetWriteProtected, m_device->errorString());
    case BlockDevice::Failure::Removed:
        return fail(WriteJob::Error::TargetRemoved, m_device->errorString());
    case BlockDevice::Failure::PermissionDenied:
        return fail(WriteJob::Error::TargetPermissionDenied, m_device->errorString());
    case BlockDevice::Failure::Cancelled:
        return fail(WriteJob::Error::Cancelled, m_device->errorString());
    }
    return fail(fallback, m_device->errorString());
}
