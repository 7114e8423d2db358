#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

class BlockDevice;

// The FAT 8.3 short-name rule, shared with the catalog parser: a base of up to
// eight characters and an optional extension of up to three, each made of
// ASCII letters, digits and !#$%&'()-@^_`{}~ and not mixing letter cases.
bool isFatShortName(const QString &name);

// Creates, replaces and reads files in the root directory of the first
// partition of a card, when that partition holds a FAT16 or FAT32 file
// system. Works on the raw device, without any operating-system mount; only
// 8.3 names, no long names and no subdirectories.
//
// The writer keeps the boot-sector values and the first FAT in memory from
// the first call on. A failed writeFile forgets both, so that the next call
// starts again from what is on the card.
class FatWriter
{
public:
    enum class Failure {
        DeviceError = 0,     // the device's own text
        FileSystemError = 1, // partition table, boot sector, name, file, space
    };

    // The device stays owned by the caller and must be open.
    explicit FatWriter(BlockDevice &device);

    bool writeFile(const QString &name, const QByteArray &data);
    std::optional<QByteArray> readFile(const QString &name);

    Failure failure() const { return m_failure; }
    QString errorString() const { return m_errorString; }

private:
    struct DirSlot {
        qint64 offset = 0; // absolute device offset of the 32-byte slot
        QByteArray entry;  // the slot as read
    };

    bool mount();
    bool readBytes(qint64 offset, char *data, qint64 length);
    bool writeBytes(qint64 offset, const char *data, qint64 length);
    quint32 fatEntry(quint32 cluster) const;
    void setEntry(quint32 cluster, quint32 value);
    bool isEndOfChain(quint32 value) const;
    quint32 firstCluster(const QByteArray &entry) const;
    qint64 clusterOffset(quint32 cluster) const;
    quint32 freeCluster(quint32 after) const;
    // At most maxClusters clusters (and never more than the volume has).
    bool chain(quint32 first, QList<quint32> &clusters, quint64 maxClusters = ~quint64(0));
    quint64 maxRootClusters() const;
    bool commitFat();

    bool rootSlots(QList<DirSlot> &dirSlots);
    bool extendRoot(QList<DirSlot> &dirSlots);
    bool tryWriteFile(const QString &name, const QByteArray &data);
    std::optional<QByteArray> tryReadFile(const QString &name);

    bool fail(Failure kind, const QString &text);
    bool failDevice();
    bool failOutOfMemory();

    BlockDevice &device;
    bool mounted = false;
    bool fat32 = false;
    qint64 partitionOffset = 0;
    int bytesPerSector = 0;
    qint64 clusterSize = 0;
    qint64 fatOffset = 0;
    qint64 fatBytes = 0;
    int fatCount = 0;
    qint64 rootOffset = 0; // FAT16 fixed root directory
    qint64 rootBytes = 0;
    quint32 rootCluster = 0; // FAT32 root directory
    qint64 dataOffset = 0;   // cluster 2
    quint32 clusterCount = 0;
    qint64 fsInfoOffset = -1;
    QByteArray fat;                // the first FAT, fatBytes long
    QList<qint64> dirtySectors;    // FAT-relative offsets changed since the last commit
    Failure m_failure = Failure::FileSystemError;
    QString m_errorString;
};
