#include "write/fatwriter.h"

#include "disks/alignedbuffer.h"
#include "disks/blockdevice.h"

#include <QDateTime>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

// The MBR partition table: four 16-byte entries at 446; only the first counts.
namespace Mbr {
constexpr int Size = 512;
constexpr int FirstEntry = 446;
constexpr int Type = FirstEntry + 4;      // 8 bit
constexpr int StartLba = FirstEntry + 8;  // 32 bit, always in 512-byte units
constexpr int LbaBytes = 512;
constexpr int Signature = 510;            // 0x55 0xAA, also ends the boot sector
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
}

// The FAT32 FSInfo sector.
namespace FsInfo {
constexpr int Size = 512;
constexpr quint32 LeadSignature = 0x41615252;
constexpr int StructSignatureOffset = 484;
constexpr quint32 StructSignature = 0x61417272;
constexpr int FreeCount = 488; // 32 bit; 0xFFFFFFFF = unknown
}

// A 32-byte directory entry.
namespace Dir {
constexpr int EntrySize = 32;
constexpr int Name = 0;              // 8 + 3 bytes, space-padded
constexpr int RawNameSize = 11;
constexpr int Attributes = 11;
constexpr int CaseFlags = 12;
constexpr int CreationTime = 14;     // 16 bit
constexpr int CreationDate = 16;     // 16 bit
constexpr int AccessDate = 18;       // 16 bit
constexpr int FirstClusterHigh = 20; // 16 bit, FAT32 only
constexpr int WriteTime = 22;        // 16 bit
constexpr int WriteDate = 24;        // 16 bit
constexpr int FirstClusterLow = 26;  // 16 bit
constexpr int FileSize = 28;         // 32 bit

constexpr char EndMarker = 0x00;     // this slot and all after it are free
constexpr char Deleted = char(0xE5);

constexpr quint8 LongName = 0x0F;
constexpr quint8 VolumeLabel = 0x08;
constexpr quint8 Directory = 0x10;
constexpr quint8 Archive = 0x20;

constexpr quint8 LowerCaseBase = 0x08;
constexpr quint8 LowerCaseExtension = 0x10;
}

constexpr int Fat12MaxClusters = 4084;
constexpr quint32 Fat16MaxClusters = 65524;
constexpr qint64 MaxFatBytes = 64 * 1024 * 1024;
constexpr quint32 Fat32EntryMask = 0x0FFFFFFF;
constexpr quint32 Fat32EndOfChain = 0x0FFFFFFF;
constexpr quint32 Fat16EndOfChain = 0xFFFF;
// A FAT32 root directory holds at most 65,536 entries of 32 bytes.
constexpr qint64 MaxRootBytes = 65536 * 32;

bool isPowerOfTwo(quint32 value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

quint16 readU16(const char *p)
{
    return qFromLittleEndian<quint16>(p);
}

quint32 readU32(const char *p)
{
    return qFromLittleEndian<quint32>(p);
}

void writeU16(QByteArray &bytes, int offset, quint16 value)
{
    qToLittleEndian<quint16>(value, bytes.data() + offset);
}

void writeU32(QByteArray &bytes, int offset, quint32 value)
{
    qToLittleEndian<quint32>(value, bytes.data() + offset);
}

bool hasSignature(const char *sector)
{
    return quint8(sector[Mbr::Signature]) == 0x55 && quint8(sector[Mbr::Signature + 1]) == 0xAA;
}

bool isLower(QChar c)
{
    return c >= QLatin1Char('a') && c <= QLatin1Char('z');
}

bool isLower(const QString &part)
{
    return std::any_of(part.cbegin(), part.cend(), [](QChar c) { return isLower(c); });
}

bool isShortNamePart(const QString &part, int maxLength)
{
    if (part.size() > maxLength)
        return false;
    static const QString punctuation = QStringLiteral("!#$%&'()-@^_`{}~");
    bool lower = false;
    bool upper = false;
    for (const QChar c : part) {
        if (isLower(c))
            lower = true;
        else if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            upper = true;
        else if (!(c >= QLatin1Char('0') && c <= QLatin1Char('9')) && !punctuation.contains(c))
            return false;
    }
    return !(lower && upper);
}

// The name before its first dot, and the text after it (empty without a dot).
QString baseName(const QString &name)
{
    return name.left(name.indexOf(QLatin1Char('.')));
}

QString extension(const QString &name)
{
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

// The 11 name bytes of a directory entry for an accepted 8.3 name.
QByteArray rawName(const QString &name)
{
    return baseName(name).toUpper().toLatin1().leftJustified(8, ' ')
            + extension(name).toUpper().toLatin1().leftJustified(3, ' ');
}

quint16 fatDate(QDate date)
{
    date = qBound(QDate(1980, 1, 1), date, QDate(2107, 12, 31));
    return quint16((date.year() - 1980) * 512 + date.month() * 32 + date.day());
}

quint16 fatTime(QTime time)
{
    return quint16(time.hour() * 2048 + time.minute() * 32 + time.second() / 2);
}

} // namespace

bool isFatShortName(const QString &name)
{
    if (name.isEmpty())
        return false;
    const QString base = baseName(name);
    const QString ext = extension(name);
    if (name.contains(QLatin1Char('.')) && (base.isEmpty() || ext.isEmpty()))
        return false;
    return isShortNamePart(base, 8) && isShortNamePart(ext, 3);
}

FatWriter::FatWriter(BlockDevice &device)
    : device(device)
{
}

bool FatWriter::fail(Failure kind, const QString &text)
{
    m_failure = kind;
    m_errorString = text;
    return false;
}

bool FatWriter::failOutOfMemory()
{
    return fail(Failure::FileSystemError, QStringLiteral("out of memory"));
}

bool FatWriter::failDevice()
{
    return fail(Failure::DeviceError, device.errorString());
}

// Device access is in whole device sectors, which need not be the file
// system's sectors: a 4096-byte-sector card holds a FAT with 512-byte sectors.
bool FatWriter::readBytes(qint64 offset, char *data, qint64 length)
{
    const qint64 sector = qMax(1, device.sectorSize());
    const qint64 start = offset - offset % sector;
    const qint64 span = AlignedBuffer::roundUp(offset + length, sector) - start;
    AlignedBuffer buffer(span);
    if (!device.seek(start))
        return failDevice();
    const qint64 got = device.read(buffer.data(), span);
    if (got < 0)
        return failDevice();
    // The device ends before the structure the file system points at.
    if (got != span)
        return fail(Failure::FileSystemError, QStringLiteral("the file system extends past the end of the device"));
    std::memcpy(data, buffer.data() + (offset - start), size_t(length));
    return true;
}

bool FatWriter::writeBytes(qint64 offset, const char *data, qint64 length)
{
    const qint64 sector = qMax(1, device.sectorSize());
    const qint64 start = offset - offset % sector;
    const qint64 span = AlignedBuffer::roundUp(offset + length, sector) - start;
    AlignedBuffer buffer(span);
    if (offset != start || offset + length != start + span) {
        // Keep the bytes around the change that share its device sectors.
        if (!device.seek(start))
            return failDevice();
        const qint64 got = device.read(buffer.data(), span);
        if (got < 0)
            return failDevice();
        if (got != span)
            return fail(Failure::FileSystemError, QStringLiteral("the file system extends past the end of the device"));
    }
    std::memcpy(buffer.data() + (offset - start), data, size_t(length));
    if (!device.seek(start) || !device.write(buffer.data(), span))
        return failDevice();
    return true;
}

bool FatWriter::mount()
{
    if (mounted)
        return true;

    // 1. The MBR.
    char mbr[Mbr::Size];
    if (!readBytes(0, mbr, Mbr::Size))
        return false;
    if (!hasSignature(mbr))
        return fail(Failure::FileSystemError, QStringLiteral("no MBR partition table"));

    // 2. The first partition.
    const quint8 type = quint8(mbr[Mbr::Type]);
    if (type != 0x04 && type != 0x06 && type != 0x0B && type != 0x0C && type != 0x0E)
        return fail(Failure::FileSystemError,
                    QStringLiteral("the first partition is not FAT (type 0x%1)").arg(uint(type), 2, 16, QLatin1Char('0')));
    partitionOffset = qint64(readU32(mbr + Mbr::StartLba)) * Mbr::LbaBytes;

    // 3. The boot sector.
    char boot[Boot::Size];
    if (!readBytes(partitionOffset, boot, Boot::Size))
        return false;
    const quint32 sectorBytes = readU16(boot + Boot::BytesPerSector);
    const quint32 sectorsPerCluster = quint8(boot[Boot::SectorsPerCluster]);
    const quint32 reservedSectors = readU16(boot + Boot::ReservedSectors);
    const quint32 fats = quint8(boot[Boot::FatCount]);
    const quint32 rootEntryCount = readU16(boot + Boot::RootEntryCount);
    const quint16 totalSectors16 = readU16(boot + Boot::TotalSectors16);
    const quint32 totalSectors = totalSectors16 != 0 ? totalSectors16 : readU32(boot + Boot::TotalSectors32);
    const quint16 sectorsPerFat16 = readU16(boot + Boot::SectorsPerFat16);
    const quint32 sectorsPerFat = sectorsPerFat16 != 0 ? sectorsPerFat16 : readU32(boot + Boot::SectorsPerFat32);

    // 4. Plausibility.
    if (!hasSignature(boot) || !isPowerOfTwo(sectorBytes) || sectorBytes < 512 || sectorBytes > 4096
        || !isPowerOfTwo(sectorsPerCluster) || reservedSectors == 0 || fats == 0 || sectorsPerFat == 0
        || totalSectors == 0)
        return fail(Failure::FileSystemError, QStringLiteral("the first partition has no FAT file system"));

    // 5. The data region.
    const qint64 rootSectors = (qint64(rootEntryCount) * Dir::EntrySize + sectorBytes - 1) / sectorBytes;
    const qint64 dataSectors = qint64(totalSectors) - reservedSectors - qint64(fats) * sectorsPerFat - rootSectors;
    if (dataSectors <= 0)
        return fail(Failure::FileSystemError, QStringLiteral("inconsistent FAT boot sector"));

    // 6. The FAT type follows from the cluster count alone.
    clusterCount = quint32(dataSectors / sectorsPerCluster);
    if (clusterCount <= Fat12MaxClusters)
        return fail(Failure::FileSystemError, QStringLiteral("FAT12 is not supported"));
    fat32 = clusterCount > Fat16MaxClusters;

    // 7. The fields that must agree with the type.
    if (fat32 ? (rootEntryCount != 0 || totalSectors16 != 0 || sectorsPerFat16 != 0) : rootEntryCount == 0)
        return fail(Failure::FileSystemError, QStringLiteral("inconsistent FAT boot sector"));

    // 8. The layout.
    bytesPerSector = int(sectorBytes);
    clusterSize = qint64(sectorsPerCluster) * sectorBytes;
    fatOffset = partitionOffset + qint64(reservedSectors) * sectorBytes;
    fatBytes = qint64(sectorsPerFat) * sectorBytes;
    fatCount = int(fats);
    rootOffset = fatOffset + fatCount * fatBytes;
    rootBytes = rootSectors * sectorBytes;
    dataOffset = rootOffset + rootBytes;

    // 9. The FAT must cover every cluster and fit in memory.
    const qint64 entryBytes = fat32 ? 4 : 2;
    if (fatBytes > MaxFatBytes || fatBytes < (qint64(clusterCount) + 2) * entryBytes)
        return fail(Failure::FileSystemError, QStringLiteral("unsupported FAT size"));

    // 10. The FAT32 root directory and FSInfo sector.
    fsInfoOffset = -1;
    rootCluster = 0;
    if (fat32) {
        rootCluster = readU32(boot + Boot::RootCluster) & Fat32EntryMask;
        if (rootCluster < 2 || qint64(rootCluster) >= qint64(clusterCount) + 2)
            return fail(Failure::FileSystemError, QStringLiteral("inconsistent FAT boot sector"));
        const quint32 fsInfoSector = readU16(boot + Boot::FsInfoSector);
        if (fsInfoSector >= 1 && fsInfoSector <= 65534 && fsInfoSector < reservedSectors)
            fsInfoOffset = partitionOffset + qint64(fsInfoSector) * sectorBytes;
    }

    // Every FAT copy and every cluster must be on the device: commitFat and
    // the cluster writes would otherwise write past its end.
    if (dataOffset + qint64(clusterCount) * clusterSize > device.size())
        return fail(Failure::FileSystemError, QStringLiteral("the file system extends past the end of the device"));

    // 11. The first FAT.
    QByteArray table(fatBytes, Qt::Uninitialized);
    if (!readBytes(fatOffset, table.data(), fatBytes))
        return false;
    fat = table;
    dirtySectors.clear();
    mounted = true;
    return true;
}

// mount() made the FAT long enough for every cluster up to clusterCount + 1,
// and callers stay below that; an entry outside reads as the end of a chain
// and is never written.
quint32 FatWriter::fatEntry(quint32 cluster) const
{
    const qint64 width = fat32 ? 4 : 2;
    const qint64 position = qint64(cluster) * width;
    if (position + width > fat.size())
        return fat32 ? Fat32EndOfChain : Fat16EndOfChain;
    if (fat32)
        return readU32(fat.constData() + position) & Fat32EntryMask;
    return readU16(fat.constData() + position);
}

void FatWriter::setEntry(quint32 cluster, quint32 value)
{
    const qint64 width = fat32 ? 4 : 2;
    const qint64 position = qint64(cluster) * width;
    if (position + width > fat.size())
        return;
    if (fat32) {
        // The top four bits are reserved and belong to whoever set them.
        const quint32 kept = readU32(fat.constData() + position) & ~Fat32EntryMask;
        writeU32(fat, int(position), kept | (value & Fat32EntryMask));
    } else {
        writeU16(fat, int(position), quint16(value));
    }
    const qint64 sector = position - position % bytesPerSector;
    if (!dirtySectors.contains(sector))
        dirtySectors.append(sector);
}

bool FatWriter::isEndOfChain(quint32 value) const
{
    return fat32 ? value >= 0x0FFFFFF8 : value >= 0xFFF8;
}

quint32 FatWriter::firstCluster(const QByteArray &entry) const
{
    quint32 cluster = readU16(entry.constData() + Dir::FirstClusterLow);
    if (fat32)
        cluster |= quint32(readU16(entry.constData() + Dir::FirstClusterHigh)) << 16;
    return cluster;
}

qint64 FatWriter::clusterOffset(quint32 cluster) const
{
    return (qint64(cluster) - 2) * clusterSize + dataOffset;
}

quint32 FatWriter::freeCluster(quint32 after) const
{
    const quint64 last = quint64(clusterCount) + 1;
    for (quint64 cluster = qMax<quint64>(quint64(after) + 1, 2); cluster <= last; ++cluster) {
        if (fatEntry(quint32(cluster)) == 0)
            return quint32(cluster);
    }
    return 0;
}

bool FatWriter::chain(quint32 first, QList<quint32> &clusters, quint64 maxClusters)
{
    clusters.clear();
    quint32 cluster = first;
    // A walk longer than the volume has clusters can only be a loop.
    maxClusters = qMin<quint64>(maxClusters, clusterCount);
    while (cluster != 0) {
        if (cluster == 1 || quint64(cluster) >= quint64(clusterCount) + 2
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

bool FatWriter::commitFat()
{
    std::sort(dirtySectors.begin(), dirtySectors.end());
    for (int copy = 0; copy < fatCount; ++copy) {
        for (const qint64 sector : std::as_const(dirtySectors)) {
            if (!writeBytes(fatOffset + copy * fatBytes + sector, fat.constData() + sector, bytesPerSector))
                return false;
        }
    }
    dirtySectors.clear();

    if (fsInfoOffset >= 0) {
        char info[FsInfo::Size];
        if (!readBytes(fsInfoOffset, info, FsInfo::Size))
            return false;
        if (readU32(info) == FsInfo::LeadSignature
            && readU32(info + FsInfo::StructSignatureOffset) == FsInfo::StructSignature) {
            // The free count is now unknown; whoever needs it recounts.
            qToLittleEndian<quint32>(0xFFFFFFFF, info + FsInfo::FreeCount);
            if (!writeBytes(fsInfoOffset, info, FsInfo::Size))
                return false;
        }
    }
    return true;
}

// Cluster sizes are powers of two up to 512 KiB, so this divides evenly.
quint64 FatWriter::maxRootClusters() const
{
    return quint64(MaxRootBytes / clusterSize);
}

bool FatWriter::rootSlots(QList<DirSlot> &dirSlots)
{
    dirSlots.clear();
    auto appendSlots = [&dirSlots](qint64 offset, const QByteArray &bytes) {
        for (qint64 at = 0; at + Dir::EntrySize <= bytes.size(); at += Dir::EntrySize)
            dirSlots.append(DirSlot{offset + at, bytes.mid(at, Dir::EntrySize)});
    };

    if (!fat32) {
        dirSlots.reserve(rootBytes / Dir::EntrySize);
        QByteArray region(rootBytes, Qt::Uninitialized);
        if (!readBytes(rootOffset, region.data(), rootBytes))
            return false;
        appendSlots(rootOffset, region);
        return true;
    }

    QList<quint32> clusters;
    if (!chain(rootCluster, clusters, maxRootClusters()))
        return false;
    dirSlots.reserve(clusters.size() * clusterSize / Dir::EntrySize);
    QByteArray bytes(clusterSize, Qt::Uninitialized);
    for (const quint32 cluster : std::as_const(clusters)) {
        if (!readBytes(clusterOffset(cluster), bytes.data(), clusterSize))
            return false;
        appendSlots(clusterOffset(cluster), bytes);
    }
    return true;
}

bool FatWriter::extendRoot(QList<DirSlot> &dirSlots)
{
    if (!fat32)
        return fail(Failure::FileSystemError, QStringLiteral("the root directory is full"));

    QList<quint32> clusters;
    if (!chain(rootCluster, clusters, maxRootClusters()))
        return false;
    if (quint64(clusters.size()) >= maxRootClusters())
        return fail(Failure::FileSystemError, QStringLiteral("the root directory is full"));
    // A damaged chain may end in a free entry; claim its last cluster first so
    // that it cannot be handed out again as the new one.
    const quint32 last = clusters.last();
    setEntry(last, Fat32EndOfChain);
    const quint32 cluster = freeCluster(1);
    if (cluster == 0)
        return fail(Failure::FileSystemError, QStringLiteral("the boot partition is full"));

    const QByteArray zeros(clusterSize, '\0');
    if (!writeBytes(clusterOffset(cluster), zeros.constData(), clusterSize))
        return false;
    setEntry(last, cluster);
    setEntry(cluster, Fat32EndOfChain);
    for (qint64 at = 0; at < clusterSize; at += Dir::EntrySize)
        dirSlots.append(DirSlot{clusterOffset(cluster) + at, QByteArray(Dir::EntrySize, '\0')});
    return true;
}

// The FAT (up to 64 MiB), the root directory and whole files are held in
// memory; running out of it is one more failure of the call, not an exception
// that escapes into the write job's thread.
std::optional<QByteArray> FatWriter::readFile(const QString &name)
{
    try {
        return tryReadFile(name);
    } catch (const std::bad_alloc &) {
        failOutOfMemory();
        return std::nullopt;
    }
}

std::optional<QByteArray> FatWriter::tryReadFile(const QString &name)
{
    // 1. The name.
    if (!isFatShortName(name)) {
        fail(Failure::FileSystemError, QStringLiteral("\"%1\" is not an 8.3 name").arg(name));
        return std::nullopt;
    }

    // 2. The root directory.
    QList<DirSlot> dirSlots;
    if (!mount() || !rootSlots(dirSlots))
        return std::nullopt;

    // 3. The entry.
    const QByteArray raw = rawName(name);
    const DirSlot *found = nullptr;
    for (const DirSlot &slot : std::as_const(dirSlots)) {
        const char first = slot.entry.at(Dir::Name);
        const quint8 attributes = quint8(slot.entry.at(Dir::Attributes));
        if (first == Dir::EndMarker)
            break;
        if (first == Dir::Deleted || attributes == Dir::LongName
            || (attributes & (Dir::VolumeLabel | Dir::Directory)) != 0)
            continue;
        if (slot.entry.left(Dir::RawNameSize) == raw) {
            found = &slot;
            break;
        }
    }
    if (!found) {
        fail(Failure::FileSystemError, QStringLiteral("\"%1\" not found").arg(name));
        return std::nullopt;
    }

    // 4. The chain must hold the whole size.
    QList<quint32> clusters;
    if (!chain(firstCluster(found->entry), clusters))
        return std::nullopt;
    const qint64 size = readU32(found->entry.constData() + Dir::FileSize);
    if (clusterSize * clusters.size() < size) {
        fail(Failure::FileSystemError, QStringLiteral("\"%1\" is truncated").arg(name));
        return std::nullopt;
    }

    // 5. The data, cluster by cluster.
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0, done = 0; done < size; ++i) {
        const qint64 part = qMin(clusterSize, size - done);
        if (!readBytes(clusterOffset(clusters.at(i)), data.data() + done, part))
            return std::nullopt;
        done += part;
    }
    return data;
}

bool FatWriter::writeFile(const QString &name, const QByteArray &data)
{
    bool written = false;
    try {
        written = tryWriteFile(name, data);
    } catch (const std::bad_alloc &) {
        written = failOutOfMemory();
    }
    if (written)
        return true;
    // The in-memory FAT may hold changes the card never received.
    mounted = false;
    dirtySectors.clear();
    return false;
}

bool FatWriter::tryWriteFile(const QString &name, const QByteArray &data)
{
    // 1. The name.
    if (!isFatShortName(name))
        return fail(Failure::FileSystemError, QStringLiteral("\"%1\" is not an 8.3 name").arg(name));
    // The entry's size field has 32 bits.
    if (quint64(data.size()) > 0xFFFFFFFFu)
        return fail(Failure::FileSystemError, QStringLiteral("\"%1\" is too large for a FAT file system").arg(name));

    // 2. The root directory.
    QList<DirSlot> dirSlots;
    if (!mount() || !rootSlots(dirSlots))
        return false;
    const QByteArray raw = rawName(name);

    // 3. The existing entry, or the first free slot for a new one.
    qsizetype existing = -1;
    qsizetype freeSlot = -1;
    QList<quint32> clusters;
    for (qsizetype i = 0; i < dirSlots.size(); ++i) {
        const QByteArray &entry = dirSlots.at(i).entry;
        const char first = entry.at(Dir::Name);
        const quint8 attributes = quint8(entry.at(Dir::Attributes));
        if (first == Dir::EndMarker || first == Dir::Deleted) {
            if (freeSlot < 0)
                freeSlot = i;
            if (first == Dir::EndMarker)
                break;
            continue;
        }
        // Long-name entries, also those of other files, are never changed.
        if (attributes == Dir::LongName || (attributes & Dir::VolumeLabel) != 0)
            continue;
        if (entry.left(Dir::RawNameSize) == raw) {
            if (attributes & Dir::Directory)
                return fail(Failure::FileSystemError, QStringLiteral("\"%1\" is a directory").arg(name));
            existing = i;
            if (!chain(firstCluster(entry), clusters))
                return false;
            break;
        }
    }
    if (existing < 0 && freeSlot < 0) {
        freeSlot = dirSlots.size();
        if (!extendRoot(dirSlots))
            return false;
    }
    const qsizetype slot = existing >= 0 ? existing : freeSlot;
    const quint32 endOfChain = fat32 ? Fat32EndOfChain : Fat16EndOfChain;

    // 4. Clusters needed.
    const qint64 needed = (qint64(data.size()) + clusterSize - 1) / clusterSize;

    // 5. Shrink.
    while (clusters.size() > needed)
        setEntry(clusters.takeLast(), 0);

    // 6. Grow. The last cluster is claimed first: a damaged chain may end in
    // a free entry, which must not be handed out a second time.
    if (!clusters.isEmpty())
        setEntry(clusters.last(), endOfChain);
    while (clusters.size() < needed) {
        quint32 cluster = 0;
        if (clusters.isEmpty()) {
            cluster = freeCluster(1);
        } else {
            cluster = freeCluster(clusters.last());
            if (cluster == 0)
                cluster = freeCluster(1);
        }
        if (cluster == 0)
            return fail(Failure::FileSystemError, QStringLiteral("the boot partition is full"));
        if (!clusters.isEmpty())
            setEntry(clusters.last(), cluster);
        setEntry(cluster, endOfChain);
        clusters.append(cluster);
    }

    // 7. The end of the chain.
    if (!clusters.isEmpty())
        setEntry(clusters.last(), endOfChain);

    // 8. The data, each cluster padded with zeros.
    QByteArray block(clusterSize, '\0');
    for (qsizetype i = 0; i < clusters.size(); ++i) {
        const qint64 from = i * clusterSize;
        const qint64 part = qMin(clusterSize, qint64(data.size()) - from);
        std::memcpy(block.data(), data.constData() + from, size_t(part));
        std::memset(block.data() + part, 0, size_t(clusterSize - part));
        if (!writeBytes(clusterOffset(clusters.at(i)), block.constData(), clusterSize))
            return false;
    }

    // 9. The FAT, before the entry that points into it.
    if (!commitFat())
        return false;

    // 10. The entry.
    const QDateTime now = QDateTime::currentDateTime();
    const quint16 today = fatDate(now.date());
    const quint16 time = fatTime(now.time());
    QByteArray entry;
    if (existing >= 0) {
        entry = dirSlots.at(slot).entry;
    } else {
        entry = QByteArray(Dir::EntrySize, '\0');
        entry.replace(Dir::Name, Dir::RawNameSize, raw);
        entry[Dir::Attributes] = char(Dir::Archive);
        quint8 caseFlags = 0;
        if (isLower(baseName(name)))
            caseFlags |= Dir::LowerCaseBase;
        if (isLower(extension(name)))
            caseFlags |= Dir::LowerCaseExtension;
        entry[Dir::CaseFlags] = char(caseFlags);
        writeU16(entry, Dir::CreationTime, time);
        writeU16(entry, Dir::CreationDate, today);
    }
    const quint32 first = clusters.isEmpty() ? 0 : clusters.first();
    writeU16(entry, Dir::AccessDate, today);
    writeU16(entry, Dir::FirstClusterHigh, fat32 ? quint16(first >> 16) : 0);
    writeU16(entry, Dir::WriteTime, time);
    writeU16(entry, Dir::WriteDate, today);
    writeU16(entry, Dir::FirstClusterLow, quint16(first));
    writeU32(entry, Dir::FileSize, quint32(data.size()));

    // 11. On the card, and out of the device's caches.
    if (!writeBytes(dirSlots.at(slot).offset, entry.constData(), Dir::EntrySize))
        return false;
    if (!device.flush())
        return failDevice();
    return true;
}
