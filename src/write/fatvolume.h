#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class BlockDevice;

// The FAT16 or FAT32 file system in the first partition of a card, read from
// the raw device: the boot-sector values, the first FAT held in memory, the
// cluster chains, and byte access to the device in whole device sectors.
//
// The values stay from the first successful mount() on, until forget().
class FatVolume
{
public:
    enum class Failure {
        DeviceError = 0,     // the device's own text
        FileSystemError = 1, // partition table, boot sector, name, file, space
    };

    // The device stays owned by the caller and must be open.
    explicit FatVolume(BlockDevice &device);

    // Reads and checks the partition table, boot sector and first FAT, once.
    bool mount();
    // Reads and checks the partition table and the boot sector only: what the
    // first sectors of the card tell about whether it can be mounted at all.
    bool readLayout();
    // Drops the in-memory FAT and its uncommitted changes; the next mount()
    // starts again from what is on the card.
    void forget();

    bool readBytes(qint64 offset, char *data, qint64 length);
    bool writeBytes(qint64 offset, const char *data, qint64 length);
    bool flush();

    bool isFat32() const { return m_fat32; }
    qint64 clusterSize() const { return m_clusterSize; }
    qint64 clusterOffset(quint32 cluster) const;
    qint64 rootOffset() const { return m_rootOffset; } // FAT16 fixed root directory
    qint64 rootBytes() const { return m_rootBytes; }
    quint32 rootCluster() const { return m_rootCluster; } // FAT32 root directory

    // The value that ends a chain on this volume.
    quint32 endOfChain() const;
    void setEntry(quint32 cluster, quint32 value);
    // The first free cluster after the given one, or 0 when there is none.
    quint32 freeCluster(quint32 after) const;
    // At most maxClusters clusters (and never more than the volume has).
    bool chain(quint32 first, QList<quint32> &clusters, quint64 maxClusters = ~quint64(0));
    // Writes the changed FAT sectors to every copy, and marks the FSInfo
    // free count unknown.
    bool commitFat();

    bool fail(Failure kind, const QString &text);
    Failure failure() const { return m_failure; }
    QString errorString() const { return m_errorString; }

private:
    quint32 fatEntry(quint32 cluster) const;
    bool isEndOfChain(quint32 value) const;
    bool readSectors(qint64 start, char *buffer, qint64 span);
    bool failDevice();

    BlockDevice &m_device;
    bool m_mounted = false;
    bool m_fat32 = false;
    qint64 m_partitionOffset = 0;
    int m_bytesPerSector = 0;
    qint64 m_clusterSize = 0;
    qint64 m_fatOffset = 0;
    qint64 m_fatBytes = 0;
    int m_fatCount = 0;
    qint64 m_rootOffset = 0;
    qint64 m_rootBytes = 0;
    quint32 m_rootCluster = 0;
    qint64 m_dataOffset = 0; // cluster 2
    quint32 m_clusterCount = 0;
    qint64 m_fsInfoOffset = -1;
    QByteArray m_fat;              // the first FAT, m_fatBytes long
    QList<qint64> m_dirtySectors;  // FAT-relative offsets changed since the last commit
    Failure m_failure = Failure::FileSystemError;
    QString m_errorString;
};
