#pragma once

#include <QByteArray>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <optional>


// A card image in a plain file: an MBR with one partition holding a FAT file
// system made by mkfs.fat, and the real tools to look at it (fsck.fat,
// mtools). Every tool failure leaves its output in errorString(), so a test
// can show it with QVERIFY2(ok, qPrintable(image.errorString())).
class CardImage
{
public:
    struct Options {
        int fatBits = 16;           // 16 or 32
        int clusterBytes = 512;
        int fatCount = 2;
        int sectorBytes = 512;      // the file system's logical sector size
        int rootEntries = 0;        // FAT16 root directory slots; 0 = mkfs.fat's default
        qint64 partitionLba = 2048; // in 512-byte units, as the MBR counts
        qint64 partitionBytes = 0;  // 0 = about the smallest size the FAT type allows
        quint8 partitionType = 0;   // 0 = 0x0E for FAT16, 0x0C for FAT32
        QString label;              // volume label, also as a root-directory entry
    };

    // The file system's layout as fsck.fat -v reports it; offsets are bytes
    // from the start of the image.
    struct Layout {
        int fatBits = 0;
        qint64 clusterBytes = 0;
        qint64 fatOffset = 0;
        qint64 fatBytes = 0;
        int fatCount = 0;
        qint64 rootOffset = -1;   // FAT16 fixed root directory
        int rootEntries = 0;      // FAT16
        quint32 rootCluster = 0;  // FAT32
        qint64 dataOffset = 0;    // cluster 2
        quint32 clusters = 0;
    };

    CardImage() = default;
    // An image that already exists, with its partition at partitionOffset.
    CardImage(const QString &path, qint64 partitionOffset, qint64 partitionBytes);

    // Creates path (sparse) with the MBR and runs mkfs.fat on the partition.
    bool create(const QString &path, const Options &options);

    QString path() const { return m_path; }
    qint64 partitionOffset() const { return m_partitionOffset; }
    qint64 partitionBytes() const { return m_partitionBytes; }
    QString errorString() const { return m_errorString; }

    // fsck.fat -n on a copy of the partition: true when it finds no error.
    bool fsck();
    // Runs fsck.fat -v to fill layout(); false when it cannot.
    bool readLayout();
    const Layout &layout() const { return m_layout; }
    // Entry `cluster` of FAT copy `copy`, read from the image (needs readLayout()).
    quint32 fatEntry(quint32 cluster, int copy = 0) const;
    qint64 clusterOffset(quint32 cluster) const;

    // The bytes of a root-directory file as mtype shows them.
    std::optional<QByteArray> mtype(const QString &name);
    // The root directory as mdir -b lists it: names as shown (long name when
    // there is one, else the short name in its stored case); directories end
    // with "/".
    std::optional<QStringList> mdir();
    // True when mtype shows each of these root-directory files with these
    // bytes; else errorString() names the first that differs.
    bool holds(const QMap<QString, QByteArray> &files);
    // Puts data into the root directory under name, replacing a file there.
    bool mcopy(const QString &name, const QByteArray &data);
    bool mmd(const QString &name);
    bool mdel(const QString &name);

    // Raw access to the image file.
    QByteArray read(qint64 offset, qint64 length) const;
    bool patch(qint64 offset, const QByteArray &bytes);

    // A 512-byte MBR with one primary partition.
    static QByteArray mbrSector(quint8 type, quint32 startLba, quint32 sectorCount);

private:
    // Runs one of mtools or the mkfs/fsck tools; false when it cannot start,
    // crashes or exits with a code other than 0. *output receives its
    // standard output, followed by its standard error when it failed.
    static bool run(const QString &program, const QStringList &arguments, QByteArray *output);
    bool fail(const QString &text);
    bool fsckCopy(const QStringList &options, QByteArray *output, bool *clean);
    bool runMtools(const QString &program, const QStringList &arguments, QByteArray *output);
    QString drive() const;

    QString m_path;
    qint64 m_partitionOffset = 0;
    qint64 m_partitionBytes = 0;
    QString m_errorString;
    Layout m_layout;
};

Q_DECLARE_METATYPE(CardImage::Options)
