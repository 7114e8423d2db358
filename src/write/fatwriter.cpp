#include "write/fatwriter.h"

#include "disks/alignedbuffer.h"

#include <QDateTime>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

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

// A FAT32 root directory holds at most 65,536 entries of 32 bytes.
constexpr qint64 MaxRootBytes = 65536 * Dir::EntrySize;
// The entry's size field has 32 bits.
constexpr quint64 MaxFileSize = 0xFFFFFFFFu;

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

QByteArray FatWriter::entryName(const QString &name)
{
    return rawName(name);
}

bool FatWriter::isStampByte(int offset)
{
    const auto within = [offset](int field) { return offset >= field && offset < field + 2; };
    return within(Dir::CreationTime) || within(Dir::CreationDate) || within(Dir::AccessDate)
            || within(Dir::WriteTime) || within(Dir::WriteDate);
}

FatWriter::FatWriter(BlockDevice &device)
    : m_volume(device)
{
}

bool FatWriter::fail(const QString &text)
{
    return m_volume.fail(Failure::FileSystemError, text);
}

quint32 FatWriter::firstCluster(const QByteArray &entry) const
{
    quint32 cluster = qFromLittleEndian<quint16>(entry.constData() + Dir::FirstClusterLow);
    if (m_volume.isFat32())
        cluster |= quint32(qFromLittleEndian<quint16>(entry.constData() + Dir::FirstClusterHigh)) << 16;
    return cluster;
}

// Cluster sizes are powers of two up to 512 KiB, so this divides evenly.
quint64 FatWriter::maxRootClusters() const
{
    return quint64(MaxRootBytes / m_volume.clusterSize());
}

bool FatWriter::rootSlots(QList<DirSlot> &dirSlots)
{
    dirSlots.clear();
    auto appendSlots = [&dirSlots](qint64 offset, const QByteArray &bytes) {
        for (qint64 at = 0; at + Dir::EntrySize <= bytes.size(); at += Dir::EntrySize)
            dirSlots.append(DirSlot{offset + at, bytes.mid(at, Dir::EntrySize)});
    };

    if (!m_volume.isFat32()) {
        const qint64 rootBytes = m_volume.rootBytes();
        dirSlots.reserve(rootBytes / Dir::EntrySize);
        QByteArray region(rootBytes, Qt::Uninitialized);
        if (!m_volume.readBytes(m_volume.rootOffset(), region.data(), rootBytes))
            return false;
        appendSlots(m_volume.rootOffset(), region);
        return true;
    }

    QList<quint32> clusters;
    if (!m_volume.chain(m_volume.rootCluster(), clusters, maxRootClusters()))
        return false;
    const qint64 clusterSize = m_volume.clusterSize();
    dirSlots.reserve(clusters.size() * clusterSize / Dir::EntrySize);
    QByteArray bytes(clusterSize, Qt::Uninitialized);
    for (const quint32 cluster : std::as_const(clusters)) {
        if (!m_volume.readBytes(m_volume.clusterOffset(cluster), bytes.data(), clusterSize))
            return false;
        appendSlots(m_volume.clusterOffset(cluster), bytes);
    }
    return true;
}

bool FatWriter::extendRoot(QList<DirSlot> &dirSlots)
{
    if (!m_volume.isFat32())
        return fail(QStringLiteral("the root directory is full"));

    QList<quint32> clusters;
    if (!m_volume.chain(m_volume.rootCluster(), clusters, maxRootClusters()))
        return false;
    if (quint64(clusters.size()) >= maxRootClusters())
        return fail(QStringLiteral("the root directory is full"));
    // A damaged chain may end in a free entry; claim its last cluster first so
    // that it cannot be handed out again as the new one.
    const quint32 last = clusters.last();
    m_volume.setEntry(last, m_volume.endOfChain());
    const quint32 cluster = m_volume.freeCluster(1);
    if (cluster == 0)
        return fail(QStringLiteral("the boot partition is full"));

    const qint64 clusterSize = m_volume.clusterSize();
    const QByteArray zeros(clusterSize, '\0');
    if (!m_volume.writeBytes(m_volume.clusterOffset(cluster), zeros.constData(), clusterSize))
        return false;
    m_volume.setEntry(last, cluster);
    m_volume.setEntry(cluster, m_volume.endOfChain());
    for (qint64 at = 0; at < clusterSize; at += Dir::EntrySize)
        dirSlots.append(DirSlot{m_volume.clusterOffset(cluster) + at, QByteArray(Dir::EntrySize, '\0')});
    return true;
}

// Reading skips directories of the name; writing matches them, to refuse
// replacing one with a file.
FatWriter::DirMatch FatWriter::find(const QList<DirSlot> &dirSlots, const QByteArray &rawName,
                                    Directories directories) const
{
    DirMatch match;
    for (qsizetype i = 0; i < dirSlots.size(); ++i) {
        const QByteArray &entry = dirSlots.at(i).entry;
        const char first = entry.at(Dir::Name);
        const quint8 attributes = quint8(entry.at(Dir::Attributes));
        if (first == Dir::EndMarker || first == Dir::Deleted) {
            if (match.freeSlot < 0)
                match.freeSlot = i;
            if (first == Dir::EndMarker)
                break;
            continue;
        }
        // Long-name entries, also those of other files, are never changed.
        if (attributes == Dir::LongName || (attributes & Dir::VolumeLabel) != 0)
            continue;
        if ((attributes & Dir::Directory) != 0 && directories == Directories::Skip)
            continue;
        if (entry.left(Dir::RawNameSize) == rawName) {
            match.entry = i;
            break;
        }
    }
    return match;
}

// The FAT (up to 64 MiB), the root directory and whole files are held in
// memory; running out of it is one more failure of the call, not an exception
// that escapes into the write job's thread.
std::optional<QByteArray> FatWriter::readFile(const QString &name)
{
    try {
        return tryReadFile(name);
    } catch (const std::bad_alloc &) {
        fail(QStringLiteral("out of memory"));
        return std::nullopt;
    }
}

std::optional<QByteArray> FatWriter::tryReadFile(const QString &name)
{
    // 1. The name.
    if (!isFatShortName(name)) {
        fail(QStringLiteral("\"%1\" is not an 8.3 name").arg(name));
        return std::nullopt;
    }

    // 2. The root directory.
    QList<DirSlot> dirSlots;
    if (!m_volume.mount() || !rootSlots(dirSlots))
        return std::nullopt;

    // 3. The entry.
    const DirMatch match = find(dirSlots, rawName(name), Directories::Skip);
    if (match.entry < 0) {
        fail(QStringLiteral("\"%1\" not found").arg(name));
        return std::nullopt;
    }
    const QByteArray &entry = dirSlots.at(match.entry).entry;

    // 4. The chain must hold the whole size.
    QList<quint32> clusters;
    if (!m_volume.chain(firstCluster(entry), clusters))
        return std::nullopt;
    const qint64 size = qFromLittleEndian<quint32>(entry.constData() + Dir::FileSize);
    const qint64 clusterSize = m_volume.clusterSize();
    if (clusterSize * clusters.size() < size) {
        fail(QStringLiteral("\"%1\" is truncated").arg(name));
        return std::nullopt;
    }

    // 5. The data, cluster by cluster.
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0, done = 0; done < size; ++i) {
        const qint64 part = qMin(clusterSize, size - done);
        if (!m_volume.readBytes(m_volume.clusterOffset(clusters.at(i)), data.data() + done, part))
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
        written = fail(QStringLiteral("out of memory"));
    }
    if (written)
        return true;
    // The in-memory FAT may hold changes the card never received.
    m_volume.forget();
    return false;
}

// Shrinks or grows the chain to needed clusters, in the in-memory FAT.
bool FatWriter::allocate(QList<quint32> &clusters, qint64 needed)
{
    const quint32 endOfChain = m_volume.endOfChain();
    while (clusters.size() > needed)
        m_volume.setEntry(clusters.takeLast(), 0);

    // The last cluster is claimed first: a damaged chain may end in a free
    // entry, which must not be handed out a second time.
    if (!clusters.isEmpty())
        m_volume.setEntry(clusters.last(), endOfChain);
    while (clusters.size() < needed) {
        quint32 cluster = 0;
        if (clusters.isEmpty()) {
            cluster = m_volume.freeCluster(1);
        } else {
            cluster = m_volume.freeCluster(clusters.last());
            if (cluster == 0)
                cluster = m_volume.freeCluster(1);
        }
        if (cluster == 0)
            return fail(QStringLiteral("the boot partition is full"));
        if (!clusters.isEmpty())
            m_volume.setEntry(clusters.last(), cluster);
        m_volume.setEntry(cluster, endOfChain);
        clusters.append(cluster);
    }
    return true;
}

// Each cluster padded with zeros.
bool FatWriter::writeClusters(const QList<quint32> &clusters, const QByteArray &data)
{
    const qint64 clusterSize = m_volume.clusterSize();
    QByteArray block(clusterSize, '\0');
    for (qsizetype i = 0; i < clusters.size(); ++i) {
        const qint64 from = i * clusterSize;
        const qint64 part = qMin(clusterSize, qint64(data.size()) - from);
        std::memcpy(block.data(), data.constData() + from, size_t(part));
        std::memset(block.data() + part, 0, size_t(clusterSize - part));
        if (!m_volume.writeBytes(m_volume.clusterOffset(clusters.at(i)), block.constData(), clusterSize))
            return false;
    }
    return true;
}

bool FatWriter::tryWriteFile(const QString &name, const QByteArray &data)
{
    // 1. The name and size.
    if (!isFatShortName(name))
        return fail(QStringLiteral("\"%1\" is not an 8.3 name").arg(name));
    if (quint64(data.size()) > MaxFileSize)
        return fail(QStringLiteral("\"%1\" is too large for a FAT file system").arg(name));

    // 2. The root directory.
    QList<DirSlot> dirSlots;
    if (!m_volume.mount() || !rootSlots(dirSlots))
        return false;
    const QByteArray raw = rawName(name);

    // 3. The existing entry, or the first free slot for a new one.
    const DirMatch match = find(dirSlots, raw, Directories::Match);
    const bool existing = match.entry >= 0;
    QList<quint32> clusters;
    if (existing) {
        const QByteArray &entry = dirSlots.at(match.entry).entry;
        if (quint8(entry.at(Dir::Attributes)) & Dir::Directory)
            return fail(QStringLiteral("\"%1\" is a directory").arg(name));
        if (!m_volume.chain(firstCluster(entry), clusters))
            return false;
    }
    qsizetype slot = existing ? match.entry : match.freeSlot;
    if (slot < 0) {
        slot = dirSlots.size();
        if (!extendRoot(dirSlots))
            return false;
    }

    // 4. The clusters and the data in them.
    const qint64 clusterSize = m_volume.clusterSize();
    if (!allocate(clusters, AlignedBuffer::roundUp(data.size(), clusterSize) / clusterSize)
        || !writeClusters(clusters, data))
        return false;

    // 5. The FAT, before the entry that points into it.
    if (!m_volume.commitFat())
        return false;

    // 6. The entry.
    const QDateTime now = QDateTime::currentDateTime();
    const quint16 today = fatDate(now.date());
    const quint16 time = fatTime(now.time());
    QByteArray entry;
    if (existing) {
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
        qToLittleEndian<quint16>(time, entry.data() + Dir::CreationTime);
        qToLittleEndian<quint16>(today, entry.data() + Dir::CreationDate);
    }
    const quint32 first = clusters.isEmpty() ? 0 : clusters.first();
    char *fields = entry.data();
    qToLittleEndian<quint16>(today, fields + Dir::AccessDate);
    qToLittleEndian<quint16>(m_volume.isFat32() ? quint16(first >> 16) : 0, fields + Dir::FirstClusterHigh);
    qToLittleEndian<quint16>(time, fields + Dir::WriteTime);
    qToLittleEndian<quint16>(today, fields + Dir::WriteDate);
    qToLittleEndian<quint16>(quint16(first), fields + Dir::FirstClusterLow);
    qToLittleEndian<quint32>(quint32(data.size()), fields + Dir::FileSize);

    // 7. On the card, and out of the device's caches.
    return m_volume.writeBytes(dirSlots.at(slot).offset, entry.constData(), Dir::EntrySize) && m_volume.flush();
}
