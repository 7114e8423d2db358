#include "write/imageprobe.h"

#include "disks/blockdevice.h"
#include "write/fatvolume.h"

#include <QByteArray>

#include <cstring>
#include <limits>

namespace {

// The first bytes of an image as a read-only device, as the FAT code reads a
// card: read from the source as far as they are asked for, and kept, since
// the source only goes forwards.
class SourceHead : public BlockDevice
{
public:
    explicit SourceHead(ImageSource &source)
        : m_source(source)
    {
    }

    bool open() override { return true; }
    void close() override {}
    // The card is at least as large as the image; how much larger is not
    // known here, and a file system that runs past the image's end may fit.
    qint64 size() const override { return std::numeric_limits<qint64>::max(); }
    int sectorSize() const override { return 512; }
    bool seek(qint64 offset) override
    {
        m_position = offset;
        return true;
    }
    bool write(const char *, qint64) override
    {
        m_errorString = QStringLiteral("the image is only read");
        return false;
    }
    qint64 read(char *data, qint64 length) override
    {
        const qint64 end = m_position + length;
        if (m_position < 0 || length < 0 || end > ImageProbe::ReadLimit) {
            m_errorString = QStringLiteral("past the bytes read to probe the image");
            return -1;
        }
        while (m_head.size() < end && !m_ended) {
            const qint64 had = m_head.size();
            m_head.resize(end);
            const qint64 count = m_source.read(m_head.data() + had, end - had);
            m_head.resize(had + qMax<qint64>(count, 0));
            if (count < 0) {
                m_errorString = m_source.errorString();
                return -1;
            }
            m_ended = count == 0;
        }
        const qint64 available = qBound<qint64>(0, m_head.size() - m_position, length);
        std::memcpy(data, m_head.constData() + m_position, size_t(available));
        m_position += available;
        return available;
    }
    bool flush() override { return true; }
    bool dropCaches() override { return true; }
    QString errorString() const override { return m_errorString; }

private:
    ImageSource &m_source;
    QByteArray m_head;
    bool m_ended = false;
    qint64 m_position = 0;
    QString m_errorString;
};

} // namespace

ImageProbe ImageProbe::run(ImageSource &source)
{
    ImageProbe probe;
    if (!source.open()) {
        probe.failure = source.failure();
        probe.errorString = source.errorString();
        return probe;
    }
    probe.opened = true;
    probe.size = source.size();

    // The same checks as the boot-file writer makes on the card, on the same
    // bytes: what fails here would fail there, after the whole write.
    SourceHead head(source);
    FatVolume volume(head);
    if (volume.readLayout()) {
        probe.bootPartition = BootPartition::Usable;
    } else if (volume.failure() == FatVolume::Failure::FileSystemError) {
        probe.bootPartition = BootPartition::Missing;
        probe.bootProblem = volume.errorString();
    }
    return probe;
}
