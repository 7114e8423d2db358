#pragma once

#include "write/fatvolume.h"

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
    using Failure = FatVolume::Failure;

    // The device stays owned by the caller and must be open.
    explicit FatWriter(BlockDevice &device);

    bool writeFile(const QString &name, const QByteArray &data);
    std::optional<QByteArray> readFile(const QString &name);

    Failure failure() const { return m_volume.failure(); }
    QString errorString() const { return m_volume.errorString(); }

    // The 11 name bytes of the root-directory entry of a file named name.
    static QByteArray entryName(const QString &name);
    // Whether the byte at offset (0 to 31) of an entry this writer wrote is
    // one of the dates and times it stamped: an entry written for the same
    // file at another moment differs in those bytes alone.
    static bool isStampByte(int offset);

private:
    struct DirSlot {
        qint64 offset = 0; // absolute device offset of the 32-byte slot
        QByteArray entry;  // the slot as read
    };

    // What one pass over the root directory found for a name.
    struct DirMatch {
        qsizetype entry = -1;    // the file's slot, or -1
        qsizetype freeSlot = -1; // the first slot free for a new entry, or -1
    };
    enum class Directories { Skip, Match };

    quint32 firstCluster(const QByteArray &entry) const;
    quint64 maxRootClusters() const;
    bool rootSlots(QList<DirSlot> &dirSlots);
    bool extendRoot(QList<DirSlot> &dirSlots);
    DirMatch find(const QList<DirSlot> &dirSlots, const QByteArray &rawName, Directories directories) const;
    bool allocate(QList<quint32> &clusters, qint64 needed);
    bool writeClusters(const QList<quint32> &clusters, const QByteArray &data);
    bool tryWriteFile(const QString &name, const QByteArray &data);
    std::optional<QByteArray> tryReadFile(const QString &name);

    bool fail(const QString &text);

    FatVolume m_volume;
};
