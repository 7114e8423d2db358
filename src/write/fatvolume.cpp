#include "write/fatvolume.h"

#include "disks/alignedbuffer.h"
#include "disks/blockdevice.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The MBR partition table: four 16-byte entries at 446; only the first counts.
namespace Mbr {
constexpr int Size = 512;
constexpr int FirstEntry = 446;
constexpr int Type = FirstEntry + 4;      // 8 bit
constexpr int StartLba = FirstEntry + 8;  // 32 bit, always in 512-byte units
constexpr int LbaBytes = 512;
constexpr int Signature = 510;            // 16 bit, also ends the boot sector
constexpr quint16 SignatureValue = 0xAA55; // the bytes 0x55 0xAA
}

// The partition types that may hold a FAT16 or FAT32 file system; which of
// the two it is follows from the boot sector, not from the type.
namespace PartitionType {
constexpr quint8 Fat16Small = 0x04; // below 32 MiB
constexpr quint8 Fat16 = 0x06;
constexpr quint8 Fat32 = 0x0B;
constexpr quint8 Fat32Lba = 0x0C;
constexpr quint8 Fat16Lba = 0x0E;
}

// The BIOS parameter block of a FAT boot sector.
namespace Boot {
constexpr int Size = 512;
constexpr int BytesPerSector = 11;     // 16 bit
constexpr int SectorsPerCluster = 13;  // 8 bit
constexpr int ReservedSectors = 14;    // 16 bit
constexpr int FatCount = 16;           // 8 bit
constexpr int RootEntryCount = 17;     // 16 bit
constexpr int TotalSectors16 = 19;     // 16 bit
constexpr int SectorsPerFat16 = 22;    // 16 bit
constexpr int TotalSectors32 = 32;     // 32 bit
constexpr int SectorsPerFat32 = 36;    // 32 bit, FAT32 only
constexpr int RootCluster = 44;        // 32 bit, FAT32 only
constexpr int FsInfoSector = 48;       // 16 bit, FAT32 only

constexpr quint32 MinBytesPerSector = 512;
constexpr quint32 MaxBytesPerSector = 4096;
constexpr quint32 NoFsInfoSector = 0xFFFF; // as is 0
}

// The FAT32 FSInfo sector.
namespace FsInfo {
constexpr int Size = 512;
constexpr quint32 LeadSignature = 0x41615252;
constexpr int StructSignatureOffset = 484;
constexpr quint32 StructSignature = 0x61417272;
constexpr int FreeCount = 488; // 32 bit
constexpr quint32 UnknownFreeCount = 0xFFFFFFFF;
}

// FAT entries. Any value from FirstEndOfChain on ends a chain; EndOfChain is
// the one written.
namespace Fat16Entry {
constexpr qint64 Size = 2;
constexpr quint32 FirstEndOfChain = 0xFFF8;
constexpr quint32 EndOfChain = 0xFFFF;
}

namespace Fat32Entry {
constexpr qint64 Size = 4;
constexpr quint32 Mask = 0x0FFFFFFF; // the top four bits are reserved
constexpr quint32 FirstEndOfChain = 0x0FFFFFF8;
constexpr quint32 EndOfChain = 0x0FFFFFFF;
}

constexpr quint32 Fat12MaxClusters = 4084;
constexpr quint32 Fat16MaxClusters = 65524;
constexpr qint64 MaxFatBytes = 64 * 1024 * 1024;
constexpr qint64 DirEntrySize = 32;

bool isPowerOfTwo(quint32 value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

bool hasSignature(const char *sector)
{
    return qFromLittleEndian<quint16>(sector + Mbr::Signature) == Mbr::SignatureValue;
}

bool isFatPartition(quint8 type)
{
    return type == PartitionType::Fat16Small || type == PartitionType::Fat16 || type == PartitionType::Fat32
            || type == PartitionType::Fat32Lba || type == PartitionType::Fat16Lba;
}

// The whole device sectors that hold length bytes from offset. Device sectors
// need not be the file system's: a 4096-byte-sector card holds a FAT with
// 512-byte sectors.
struct SectorSpan {
    qint64 start = 0;
    qint64 length = 0;
};

SectorSpan sectorSpan(qint64 offset, qint64 length, int deviceSectorSize)
{
    const qint64 sector = qMax(1, deviceSectorSize);
    const qint64 start = offset - offset % sector;
    return {start, AlignedBuffer::roundUp(offset + length, sector) - start};
}

} // namespace

FatVolume::FatVolume(BlockDevice &device)
    : m_device(device)
{
}

bool FatVolume::fail(Failure kind, const QString &text)
{
    m_failure = kind;
    m_errorString = text;
    return false;
}

bool FatVolume::failDevice()
{
    return fail(Failure::DeviceError, m_device.errorString());
}

bool FatVolume::readSectors(qint64 start, char *buffer, qint64 span)
{
    if (!m_device.seek(start))
        return failDevice();
    const qint64 got = m_device.read(buffer, span);
    if (got < 0)
        return failDevice();
    // The device ends before the structure the file system points at.
    if (got != span)
        return fail(Failure::FileSystemError, QStringLiteral("the file system extends past the end of the device"));
    return true;
}

bool FatVolume::readBytes(qint64 offset, char *data, qint64 length)
{
    const SectorSpan span = sectorSpan(offset, length, m_device.sectorSize());
    AlignedBuffer buffer(span.length);
    if (!readSectors(span.start, buffer.data(), span.length))
        return false;
    std::memcpy(data, buffer.data() + (offset - span.start), size_t(length));
    return true;
}

bool FatVolume::writeBytes(qint64 offset, const char *data, qint64 length)
{
    const SectorSpan span = sectorSpan(offset, length, m_device.sectorSize());
    AlignedBuffer buffer(span.length);
    // Keep the bytes around the change that share its device sectors.
    const bool partial = offset != span.start || offset + length != span.start + span.length;
    if (partial && !readSectors(span.start, buffer.data(), span.length))
        return false;
    std::memcpy(buffer.data() + (offset - span.start), data, size_t(length));
    if (!m_device.seek(span.start) || !m_device.write(buffer.data(), span.length))
        return failDevice();
    return true;
}

bool FatVolume::flush()
{
    return m_device.flush() || failDevice();
}

void FatVolume::forget()
{
    m_mounted = false;
    m_dirtySectors.clear();
}

bool FatVolume::mount()
{
    if (m_mounted)
        return true;
    if (!readLayout())
        return false;

    // 11. The first FAT.
    QByteArray table(m_fatBytes, Qt::Uninitialized);
    if (!readBytes(m_fatOffset, table.data(), m_fatBytes))
        return false;
    m_fat = table;
    m_dirtySectors.clear();
    m_mounted = true;
    return true;
}

bool FatVolume::readLayout()
{
    // 1. The MBR.
    char mbr[Mbr::Size];
    if (!readBytes(0, mbr, Mbr::Size))
        return false;
    if (!hasSignature(mbr))
        return fail(Failure::FileSystemError, QStringLiteral("no MBR partition table"));

    // 2. The first partition.
    const quint8 type = quint8(mbr[Mbr::Type]);
    if (!isFatPartition(type))
        return fail(Failure::FileSystemError,
                    QStringLiteral("the first partition is not FAT (type 0x%1)").arg(uint(type), 2, 16, QLatin1Char('0')));
    m_partitionOffset = qint64(qFromLittleEndian<quint32>(mbr + Mbr::StartLba)) * Mbr::LbaBytes;

    // 3. The boot sector.
    char boot[Boot::Size];
    if (!readBytes(m_partitionOffset, boot, Boot::Size))
        return false;
    const quint32 sectorBytes = qFromLittleEndian<quint16>(boot + Boot::BytesPerSector);
    const quint32 sectorsPerCluster = quint8(boot[Boot::SectorsPerCluster]);
    const quint32 reservedSectors = qFromLittleEndian<quint16>(boot + Boot::ReservedSectors);
    const quint32 fats = quint8(boot[Boot::FatCount]);
    const quint32 rootEntryCount = qFromLittleEndian<quint16>(boot + Boot::RootEntryCount);
    const quint16 totalSectors16 = qFromLittleEndian<quint16>(boot + Boot::TotalSectors16);
    const quint32 totalSectors = totalSectors16 != 0 ? totalSectors16
                                                     : qFromLittleEndian<quint32>(boot + Boot::TotalSectors32);
    const quint16 sectorsPerFat16 = qFromLittleEndian<quint16>(boot + Boot::SectorsPerFat16);
    const quint32 sectorsPerFat = sectorsPerFat16 != 0 ? sectorsPerFat16
                                                       : qFromLittleEndian<quint32>(boot + Boot::SectorsPerFat32);

    // 4. Plausibility.
    if (!hasSignature(boot) || !isPowerOfTwo(sectorBytes) || sectorBytes < Boot::MinBytesPerSector
        || sectorBytes > Boot::MaxBytesPerSector || !isPowerOfTwo(sectorsPerCluster) || reservedSectors == 0
        || fats == 0 || sectorsPerFat == 0 || totalSectors == 0)
        return fail(Failure::FileSystemError, QStringLiteral("the first partition has no FAT file system"));

    // 5. The data region.
    const qint64 rootSectors = AlignedBuffer::roundUp(qint64(rootEntryCount) * DirEntrySize, sectorBytes) / sectorBytes;
    const qint64 dataSectors = qint64(totalSectors) - reservedSectors - qint64(fats) * sectorsPerFat - rootSectors;
    if (dataSectors <= 0)
        return fail(Failure::FileSystemError, QStringLiteral("inconsistent FAT boot sector"));

    // 6. The FAT type follows from the cluster count alone.
    m_clusterCount = quint32(dataSectors / sectorsPerCluster);
    if (m_clusterCount <= Fat12MaxClusters)
        return fail(Failure::FileSystemError, QStringLiteral("FAT12 is not supported"));
    m_fat32 = m_clusterCount > Fat16MaxClusters;

    // 7. The fields that must agree with the type.
    if (m_fat32 ? (rootEntryCount != 0 || totalSectors16 != 0 || sectorsPerFat16 != 0) : rootEntryCount == 0)
        return fail(Failure::FileSystemError, QStringLiteral("inconsistent FAT boot sector"));

    // 8. The layout.
    m_bytesPerSector = int(sectorBytes);
    m_clusterSize = qint64(sectorsPerCluster) * sectorBytes;
    m_fatOffset = m_partitionOffset + qint64(reservedSectors) * sectorBytes;
    m_fatBytes = qint64(sectorsPerFat) * sectorBytes;
    m_fatCount = int(fats);
    m_rootOffset = m_fatOffset + m_fatCount * m_fatBytes;
    m_rootBytes = rootSectors * sectorBytes;
    m_dataOffset = m_rootOffset + m_rootBytes;

    // 9. The FAT must cover every cluster and fit in memory.
    const qint64 entrySize = m_fat32 ? Fat32Entry::Size : Fat16Entry::Size;
    if (m_fatBytes > MaxFatBytes || m_fatBytes < (qint64(m_clusterCount) + 2) * entrySize)
        return fail(Failure::FileSystemError, QStringLiteral("unsupported FAT size"));

    // 10. The FAT32 root directory and FSInfo sector.
    m_fsInfoOffset = -1;
    m_rootCluster = 0;
    if (m_fat32) {
        m_rootCluster = qFromLittleEndian<quint32>(boot + Boot::RootCluster) & Fat32Entry::Mask;
        if (m_rootCluster < 2 || qint64(m_rootCluster) >= qint64(m_clusterCount) + 2)
            return fail(Failure::FileSystemError, QStringLiteral("inconsistent FAT boot sector"));
        const quint32 fsInfoSector = qFromLittleEndian<quint16>(boot + Boot::FsInfoSector);
        if (fsInfoSector != 0 && fsInfoSector != Boot::NoFsInfoSector && fsInfoSector < reservedSectors)
            m_fsInfoOffset = m_partitionOffset + qint64(fsInfoSector) * sectorBytes;
    }

    // Every FAT copy and every cluster must be on the device: commitFat and
    // the cluster writes would otherwise write past its end.
    if (m_dataOffset + qint64(m_clusterCount) * m_clusterSize > m_device.size())
        return fail(Failure::FileSystemError, QStringLiteral("the file system extends past the end of the device"));
    return true;
}

qint64 FatVolume::clusterOffset(quint32 cluster) const
{
    return (qint64(cluster) - 2) * m_clusterSize + m_dataOffset;
}

quint32 FatVolume::endOfChain() const
{
    return m_fat32 ? Fat32Entry::EndOfChain : Fat16Entry::EndOfChain;
}

bool FatVolume::isEndOfChain(quint32 value) const
{
    return value >= (m_fat32 ? Fat32Entry::FirstEndOfChain : Fat16Entry::FirstEndOfChain);
}

// mount() made the FAT long enough for every cluster up to m_clusterCount + 1,
// and callers stay below that; an entry outside reads as the end of a chain
// and is never written.
quint32 FatVolume::fatEntry(quint32 cluster) const
{
    const qint64 size = m_fat32 ? Fat32Entry::Size : Fat16Entry::Size;
    const qint64 position = qint64(cluster) * size;
    if (position + size > m_fat.size())
        return endOfChain();
    if (m_fat32)
        return qFromLittleEndian<quint32>(m_fat.constData() + position) & Fat32Entry::Mask;
    return qFromLittleEndian<quint16>(m_fat.constData() + position);
}

void FatVolume::setEntry(quint32 cluster, quint32 value)
{
    const qint64 size = m_fat32 ? Fat32Entry::Size : Fat16Entry::Size;
    const qint64 position = qint64(cluster) * size;
    if (position + size > m_fat.size())
        return;
    char *at = m_fat.data() + position;
    if (m_fat32) {
        // The top four bits are reserved and belong to whoever set them.
        const quint32 kept = qFromLittleEndian<quint32>(at) & ~Fat32Entry::Mask;
        qToLittleEndian<quint32>(kept | (value & Fat32Entry::Mask), at);
    } else {
        qToLittleEndian<quint16>(quint16(value), at);
    }
    const qint64 sector = position - position % m_bytesPerSector;
    if (!m_dirtySectors.contains(sector))
        m_dirtySectors.append(sector);
}

quint32 FatVolume::freeCluster(quint32 after) const
{
    const quint64 last = quint64(m_clusterCount) + 1;
    for (quint64 cluster = qMax<quint64>(quint64(after) + 1, 2); cluster <= last; ++cluster) {
        if (fatEntry(quint32(cluster)) == 0)
            return quint32(cluster);
    }
    return 0;
}

bool FatVolume::chain(quint32 first, QList<quint32> &clusters, quint64 maxClusters)
{
    clusters.clear();
    quint32 cluster = first;
    // A walk longer than the volume has clusters can only be a loop.
    maxClusters = qMin<quint64>(maxClusters, m_clusterCount);
    while (cluster != 0) {
        if (cluster == 1 || quint64(cluster) >= quint64(m_clusterCount) + 2
            || quint64(clusters.size()) >= maxClusters)
            return fail(Failure::FileSystemError, QStringLiteral("broken cluster chain"));
        clusters.append(cluster);
        const quint32 next = fatEntry(cluster);
        if (isEndOfChain(next))
            break;
        cluster = next;
    }
    return true;
}

bool FatVolume::commitFat()
{
    std::sort(m_dirtySectors.begin(), m_dirtySectors.end());
    for (int copy = 0; copy < m_fatCount; ++copy) {
        for (const qint64 sector : std::as_const(m_dirtySectors)) {
            if (!writeBytes(m_fatOffset + copy * m_fatBytes + sector, m_fat.constData() + sector, m_bytesPerSector))
                return false;
        }
    }
    m_dirtySectors.clear();

    if (m_fsInfoOffset >= 0) {
        char info[FsInfo::Size];
        if (!readBytes(m_fsInfoOffset, info, FsInfo::Size))
            return false;
        if (qFromLittleEndian<quint32>(info) == FsInfo::LeadSignature
            && qFromLittleEndian<quint32>(info + FsInfo::StructSignatureOffset) == FsInfo::StructSignature) {
            // The free count is now unknown; whoever needs it recounts.
            qToLittleEndian<quint32>(FsInfo::UnknownFreeCount, info + FsInfo::FreeCount);
            if (!writeBytes(m_fsInfoOffset, info, FsInfo::Size))
                return false;
        }
    }
    return true;
}
