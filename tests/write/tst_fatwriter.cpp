#include "fattyperows.h"
#include "write/fatwriter.h"

#include "disks/fileblockdevice.h"
#include "support/cardimage.h"
#include "support/scriptedcard.h"
#include "support/testfiles.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Deterministic bytes that differ from file to file and from cluster to cluster.
QByteArray pattern(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 12345u;
    for (qint64 i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

CardImage::Options volume(int fatBits, int clusterBytes, int fatCount = 2, qint64 lba = 2048)
{
    CardImage::Options options;
    options.fatBits = fatBits;
    options.clusterBytes = clusterBytes;
    options.fatCount = fatCount;
    options.partitionLba = lba;
    return options;
}

bool makeImage(CardImage &image, const QTemporaryDir &dir, const CardImage::Options &options)
{
    return image.create(dir.filePath(QStringLiteral("card.img")), options) && image.readLayout();
}

QDateTime fatDateTime(quint16 date, quint16 time)
{
    return QDateTime(QDate(1980 + (date >> 9), (date >> 5) & 15, date & 31),
                     QTime(time >> 11, (time >> 5) & 63, (time & 31) * 2));
}

bool isEnd(const CardImage &image, quint32 value)
{
    return value >= (image.layout().fatBits == 32 ? 0x0FFFFFF8u : 0xFFF8u);
}

// The clusters of a chain as the image's first FAT holds them.
QList<quint32> chainOf(const CardImage &image, quint32 first)
{
    QList<quint32> clusters;
    for (quint32 cluster = first; cluster >= 2 && cluster < image.layout().clusters + 2
         && quint32(clusters.size()) <= image.layout().clusters;
         cluster = image.fatEntry(cluster)) {
        clusters << cluster;
        if (isEnd(image, image.fatEntry(cluster)))
            break;
    }
    return clusters;
}

// The byte ranges of the root directory: the fixed region on FAT16, the
// clusters of its chain on FAT32.
QList<QPair<qint64, qint64>> rootRegions(const CardImage &image)
{
    const CardImage::Layout &layout = image.layout();
    if (layout.fatBits == 16)
        return {{layout.rootOffset, qint64(layout.rootEntries) * 32}};
    QList<QPair<qint64, qint64>> regions;
    for (const quint32 cluster : chainOf(image, layout.rootCluster))
        regions.append({image.clusterOffset(cluster), layout.clusterBytes});
    return regions;
}

// The image offset of the root-directory entry named raw (11 bytes), or -1.
qint64 findEntry(const CardImage &image, const QByteArray &raw)
{
    for (const auto &[offset, length] : rootRegions(image)) {
        const QByteArray bytes = image.read(offset, length);
        for (qint64 at = 0; at + 32 <= bytes.size(); at += 32) {
            if (bytes.mid(at, 11) == raw)
                return offset + at;
        }
    }
    return -1;
}

quint32 firstClusterOf(const CardImage &image, const QByteArray &entry)
{
    quint32 cluster = le16At(entry, 26);
    if (image.layout().fatBits == 32)
        cluster |= quint32(le16At(entry, 20)) << 16;
    return cluster;
}

// Everything a failed write must leave as it was: every FAT copy and the
// root directory.
QByteArray metadata(const CardImage &image)
{
    const CardImage::Layout &layout = image.layout();
    QByteArray bytes = image.read(layout.fatOffset, layout.fatCount * layout.fatBytes);
    for (const auto &[offset, length] : rootRegions(image))
        bytes += image.read(offset, length);
    return bytes;
}

} // namespace

class TestFatWriter : public QObject
{
    Q_OBJECT

private slots:
    void shortNames_data();
    void shortNames();
    void writesAreWhatTheToolsSee_data();
    void writesAreWhatTheToolsSee();
    void entriesKeepOrGetTheirFields_data();
    void entriesKeepOrGetTheirFields();
    void chainsGrowAfterTheirEndAndShrinkFromIt_data();
    void chainsGrowAfterTheirEndAndShrinkFromIt();
    void growthWrapsToTheStartOfTheVolume();
    void fat32ClusterNumbersAbove16Bits();
    void fullFat16RootDirectory();
    void fat32RootGrowsByAZeroedCluster();
    void fullPartition_data();
    void fullPartition();
    void fullFat32PartitionCannotGrowTheRoot();
    void fourKibSectorDevice_data();
    void fourKibSectorDevice();
    void deviceFailureWhileWritingData();
    void failedFlushIsADeviceError();
    void fileFailures();
    void volumeLabelIsNotAFile();
};

void TestFatWriter::shortNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("upper case base and extension") << QStringLiteral("CONFIG.TXT") << true;
    QTest::newRow("lower case base and extension") << QStringLiteral("config.txt") << true;
    QTest::newRow("upper case base, lower case extension") << QStringLiteral("CONFIG.txt") << true;
    QTest::newRow("lower case base, upper case extension") << QStringLiteral("config.TXT") << true;
    QTest::newRow("eight letters, no dot") << QStringLiteral("BOOTFILE") << true;
    QTest::newRow("one letter") << QStringLiteral("a") << true;
    QTest::newRow("signs in the base") << QStringLiteral("!#$%&'()") << true;
    QTest::newRow("signs and digits in both parts") << QStringLiteral("-@^_`{}~.0~9") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("nine characters") << QStringLiteral("BOOTFILES") << false;
    QTest::newRow("four-character extension") << QStringLiteral("BOOT.TEXT") << false;
    QTest::newRow("starts with the dot") << QStringLiteral(".TXT") << false;
    QTest::newRow("ends with the dot") << QStringLiteral("BOOT.") << false;
    QTest::newRow("second dot") << QStringLiteral("A.B.C") << false;
    QTest::newRow("space") << QStringLiteral("MY FILE") << false;
    QTest::newRow("mixed case base") << QStringLiteral("Config.txt") << false;
    QTest::newRow("mixed case extension") << QStringLiteral("CONFIG.Txt") << false;
    QTest::newRow("non-ASCII letter") << QStringLiteral("CAF\u00C9") << false;
    QTest::newRow("plus sign") << QStringLiteral("A+B") << false;
    QTest::newRow("path separator") << QStringLiteral("DIR/A") << false;
    QTest::newRow("wildcard") << QStringLiteral("*.TXT") << false;
}

void TestFatWriter::shortNames()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QCOMPARE(isFatShortName(name), accepted);
}

void TestFatWriter::writesAreWhatTheToolsSee_data()
{
    QTest::addColumn<CardImage::Options>("options");

    QTest::newRow("FAT16, 512 B clusters, two FATs, LBA 2048") << volume(16, 512);
    QTest::newRow("FAT16, 2 KiB clusters, one FAT, LBA 8192") << volume(16, 2048, 1, 8192);
    QTest::newRow("FAT16, 32 KiB clusters, two FATs, LBA 8192") << volume(16, 32768, 2, 8192);
    QTest::newRow("FAT32, 512 B clusters, one FAT, LBA 2048") << volume(32, 512, 1);
    QTest::newRow("FAT32, 4 KiB clusters, two FATs, LBA 8192") << volume(32, 4096, 2, 8192);
    QTest::newRow("FAT32, 32 KiB clusters, two FATs, LBA 2048") << volume(32, 32768);
}

void TestFatWriter::writesAreWhatTheToolsSee()
{
    QFETCH(CardImage::Options, options);
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, options), qPrintable(image.errorString()));
    const qint64 cluster = image.layout().clusterBytes;
    QCOMPARE(cluster, qint64(options.clusterBytes));

    // What the writer finds on the card: files of other sizes, a long name
    // and a directory.
    QMap<QString, QByteArray> expected{
        {QStringLiteral("KEEP.BIN"), pattern(cluster / 2, 1)},
        {QStringLiteral("GROW.BIN"), pattern(3 * cluster, 2)},
        {QStringLiteral("SHRINK.BIN"), pattern(3 * cluster, 3)},
        {QStringLiteral("GONE.BIN"), pattern(2 * cluster, 4)},
        {QStringLiteral("Long File Name.txt"), pattern(100, 5)},
    };
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(image.mcopy(it.key(), it.value()), qPrintable(image.errorString()));
    QVERIFY2(image.mmd(QStringLiteral("SUBDIR")), qPrintable(image.errorString()));

    const QList<QPair<QString, QByteArray>> writes{
        {QStringLiteral("CONFIG.TXT"), pattern(100, 10)},
        {QStringLiteral("EMPTY"), QByteArray()},
        {QStringLiteral("EXACT.BIN"), pattern(cluster, 11)},
        {QStringLiteral("PLUS.BIN"), pattern(cluster + 1, 12)},
        {QStringLiteral("GROW.BIN"), pattern(5 * cluster, 13)},
        {QStringLiteral("SHRINK.BIN"), pattern(cluster, 14)},
        {QStringLiteral("GONE.BIN"), QByteArray()},
        {QStringLiteral("keep.bin"), pattern(2 * cluster + 7, 15)},
        {QStringLiteral("boot.cfg"), pattern(20, 16)},
        {QStringLiteral("CONFIG.TXT"), pattern(50, 17)},
    };
    {
        FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
        QVERIFY(device.open());
        FatWriter writer(device);
        for (const auto &[name, data] : writes)
            QVERIFY2(writer.writeFile(name, data), qPrintable(name + QStringLiteral(": ") + writer.errorString()));
    }
    // mdir shows the name of a replaced file as it was, and a new lower-case
    // name in lower case.
    for (const auto &[name, data] : writes)
        expected[name == QStringLiteral("keep.bin") ? QStringLiteral("KEEP.BIN") : name] = data;

    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    const std::optional<QStringList> listed = image.mdir();
    QVERIFY2(listed, qPrintable(image.errorString()));
    QStringList names = expected.keys();
    names << QStringLiteral("SUBDIR/");
    names.sort();
    QStringList sortedListed = *listed;
    sortedListed.sort();
    QCOMPARE(sortedListed, names);
    QVERIFY2(image.holds(expected), qPrintable(image.errorString()));

    // A fresh writer reads back both its own files and those of mcopy.
    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter reader(device);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QString name = it.key() == QStringLiteral("Long File Name.txt") ? QStringLiteral("LONGFI~1.TXT") : it.key();
        const std::optional<QByteArray> read = reader.readFile(name);
        QVERIFY2(read, qPrintable(name + QStringLiteral(": ") + reader.errorString()));
        QVERIFY2(*read == it.value(), qPrintable(name));
    }
}

void TestFatWriter::entriesKeepOrGetTheirFields_data()
{
    addFatTypeRows();
}

void TestFatWriter::entriesKeepOrGetTheirFields()
{
    QFETCH(int, fatBits);
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(fatBits, 1024)), qPrintable(image.errorString()));
    QVERIFY2(image.mcopy(QStringLiteral("KEEP.BIN"), pattern(10, 1)), qPrintable(image.errorString()));
    const qint64 keepAt = findEntry(image, "KEEP    BIN");
    QVERIFY(keepAt > 0);
    // Creation time and case flags of the existing entry, made recognisable.
    QVERIFY(image.patch(keepAt + 12, QByteArray::fromHex("08654321215a")));
    const QByteArray before = image.read(keepAt, 32);

    const QDateTime start = QDateTime::currentDateTime().addSecs(-2);
    {
        FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
        QVERIFY(device.open());
        FatWriter writer(device);
        QVERIFY2(writer.writeFile(QStringLiteral("keep.bin"), pattern(3000, 2)), qPrintable(writer.errorString()));
        QVERIFY2(writer.writeFile(QStringLiteral("boot.cfg"), pattern(5, 3)), qPrintable(writer.errorString()));
        QVERIFY2(writer.writeFile(QStringLiteral("BASE.cfg"), pattern(5, 4)), qPrintable(writer.errorString()));
        QVERIFY2(writer.writeFile(QStringLiteral("base2.CFG"), QByteArray()), qPrintable(writer.errorString()));
    }
    const QDateTime end = QDateTime::currentDateTime().addSecs(2);
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));

    // Replaced in place: same slot, name, attributes, case flags and creation time.
    QCOMPARE(findEntry(image, "KEEP    BIN"), keepAt);
    const QByteArray kept = image.read(keepAt, 32);
    QCOMPARE(kept.left(18), before.left(18));
    QCOMPARE(le32At(kept, 28), quint32(3000));
    QCOMPARE(chainOf(image, firstClusterOf(image, kept)).size(), 3);
    const QDateTime written = fatDateTime(le16At(kept, 24), le16At(kept, 22));
    QVERIFY2(written >= start.addSecs(-1) && written <= end, qPrintable(written.toString()));
    QCOMPARE(le16At(kept, 18), le16At(kept, 24));

    struct New {
        QByteArray raw;
        quint8 caseFlags;
        quint32 size;
    };
    const QList<New> created{
        {"BOOT    CFG", 0x18, 5},
        {"BASE    CFG", 0x10, 5},
        {"BASE2   CFG", 0x08, 0},
    };
    for (const New &expected : created) {
        const qint64 at = findEntry(image, expected.raw);
        QVERIFY2(at > 0, expected.raw.constData());
        const QByteArray entry = image.read(at, 32);
        QCOMPARE(quint8(entry[11]), quint8(0x20));
        QCOMPARE(quint8(entry[12]), expected.caseFlags);
        QCOMPARE(quint8(entry[13]), quint8(0));
        QCOMPARE(le32At(entry, 28), expected.size);
        const QDateTime created = fatDateTime(le16At(entry, 16), le16At(entry, 14));
        QVERIFY2(created >= start.addSecs(-1) && created <= end, qPrintable(created.toString()));
        QCOMPARE(le16At(entry, 22), le16At(entry, 14));
        QCOMPARE(le16At(entry, 24), le16At(entry, 16));
        QCOMPARE(le16At(entry, 18), le16At(entry, 16));
        if (expected.size == 0)
            QCOMPARE(firstClusterOf(image, entry), quint32(0));
    }
    const std::optional<QStringList> listed = image.mdir();
    QVERIFY2(listed, qPrintable(image.errorString()));
    QVERIFY2(listed->contains(QStringLiteral("boot.cfg")), qPrintable(listed->join(QLatin1Char(' '))));
    QVERIFY2(listed->contains(QStringLiteral("BASE.cfg")), qPrintable(listed->join(QLatin1Char(' '))));
    QVERIFY2(listed->contains(QStringLiteral("base2.CFG")), qPrintable(listed->join(QLatin1Char(' '))));
}

void TestFatWriter::chainsGrowAfterTheirEndAndShrinkFromIt_data()
{
    QTest::addColumn<int>("fatBits");
    QTest::addColumn<int>("fatCount");
    QTest::newRow("FAT16, two FATs") << 16 << 2;
    QTest::newRow("FAT32, two FATs") << 32 << 2;
    QTest::newRow("FAT32, one FAT") << 32 << 1;
}

void TestFatWriter::chainsGrowAfterTheirEndAndShrinkFromIt()
{
    QFETCH(int, fatBits);
    QFETCH(int, fatCount);
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(fatBits, 512, fatCount)), qPrintable(image.errorString()));
    // A free cluster before OLD.BIN and a used one right after it.
    QVERIFY(image.mcopy(QStringLiteral("FIRST.BIN"), pattern(512, 1)));
    QVERIFY(image.mcopy(QStringLiteral("OLD.BIN"), pattern(3 * 512, 2)));
    QVERIFY(image.mcopy(QStringLiteral("NEXT.BIN"), pattern(512, 3)));
    const quint32 freed = firstClusterOf(image, image.read(findEntry(image, "FIRST   BIN"), 32));
    QVERIFY2(image.mdel(QStringLiteral("FIRST.BIN")), qPrintable(image.errorString()));
    const qint64 oldAt = findEntry(image, "OLD     BIN");
    const QList<quint32> old = chainOf(image, firstClusterOf(image, image.read(oldAt, 32)));
    QCOMPARE(old.size(), 3);
    const quint32 next = firstClusterOf(image, image.read(findEntry(image, "NEXT    BIN"), 32));
    QVERIFY(freed < old.first() && next > old.last());

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);

    // Five clusters: the three kept, two more searched from after the old end.
    QVERIFY2(writer.writeFile(QStringLiteral("OLD.BIN"), pattern(5 * 512, 4)), qPrintable(writer.errorString()));
    const QList<quint32> grown = chainOf(image, firstClusterOf(image, image.read(oldAt, 32)));
    QCOMPARE(grown.size(), 5);
    QCOMPARE(grown.mid(0, 3), old);
    QVERIFY(grown[3] > old.last() && grown[3] != next && grown[4] > grown[3]);
    QCOMPARE(image.fatEntry(freed), quint32(0));
    QVERIFY(image.fsck());
    QCOMPARE(*image.mtype(QStringLiteral("OLD.BIN")), pattern(5 * 512, 4));

    // One cluster: the first ends the chain, the other four are free.
    QVERIFY2(writer.writeFile(QStringLiteral("OLD.BIN"), pattern(100, 5)), qPrintable(writer.errorString()));
    QVERIFY(isEnd(image, image.fatEntry(grown[0])));
    for (int i = 1; i < 5; ++i)
        QCOMPARE(image.fatEntry(grown[i]), quint32(0));
    QVERIFY(image.fsck());
    QCOMPARE(*image.mtype(QStringLiteral("OLD.BIN")), pattern(100, 5));

    // Empty: no cluster at all.
    QVERIFY2(writer.writeFile(QStringLiteral("OLD.BIN"), QByteArray()), qPrintable(writer.errorString()));
    QCOMPARE(firstClusterOf(image, image.read(oldAt, 32)), quint32(0));
    QCOMPARE(image.fatEntry(grown[0]), quint32(0));
    QVERIFY(image.fsck());

    // Every FAT copy holds the same table.
    const CardImage::Layout &layout = image.layout();
    for (int copy = 1; copy < layout.fatCount; ++copy)
        QVERIFY(image.read(layout.fatOffset, layout.fatBytes) == image.read(layout.fatOffset + copy * layout.fatBytes, layout.fatBytes));
}

void TestFatWriter::growthWrapsToTheStartOfTheVolume()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(16, 512)), qPrintable(image.errorString()));
    const quint32 clusters = image.layout().clusters;
    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    // FIRST.BIN takes cluster 2, FILL.BIN all but the last, LAST.BIN the last.
    QVERIFY(writer.writeFile(QStringLiteral("FIRST.BIN"), pattern(512, 1)));
    QVERIFY2(writer.writeFile(QStringLiteral("FILL.BIN"), pattern(qint64(clusters - 2) * 512, 2)), qPrintable(writer.errorString()));
    QVERIFY(writer.writeFile(QStringLiteral("LAST.BIN"), pattern(512, 3)));
    const qint64 lastAt = findEntry(image, "LAST    BIN");
    QCOMPARE(firstClusterOf(image, image.read(lastAt, 32)), clusters + 1);
    QVERIFY(writer.writeFile(QStringLiteral("FIRST.BIN"), QByteArray()));

    QVERIFY2(writer.writeFile(QStringLiteral("LAST.BIN"), pattern(1024, 4)), qPrintable(writer.errorString()));
    QCOMPARE(chainOf(image, clusters + 1), (QList<quint32>{clusters + 1, 2}));
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("LAST.BIN")), pattern(1024, 4));

    QVERIFY(!writer.writeFile(QStringLiteral("MORE.BIN"), QByteArray(1, 'x')));
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), QStringLiteral("the boot partition is full"));
}

void TestFatWriter::fat32ClusterNumbersAbove16Bits()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(32, 512)), qPrintable(image.errorString()));
    QVERIFY(image.mcopy(QStringLiteral("LOW.BIN"), pattern(65600 * 512, 1)));
    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    QVERIFY2(writer.writeFile(QStringLiteral("HIGH.BIN"), pattern(1500, 2)), qPrintable(writer.errorString()));
    const QByteArray entry = image.read(findEntry(image, "HIGH    BIN"), 32);
    QVERIFY(le16At(entry, 20) > 0);
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("HIGH.BIN")), pattern(1500, 2));
    QCOMPARE(*writer.readFile(QStringLiteral("HIGH.BIN")), pattern(1500, 2));
}

void TestFatWriter::fullFat16RootDirectory()
{
    QTemporaryDir dir;
    CardImage image;
    CardImage::Options options = volume(16, 512);
    options.rootEntries = 16;
    QVERIFY2(makeImage(image, dir, options), qPrintable(image.errorString()));
    const int rootSlots = image.layout().rootEntries;
    QVERIFY(rootSlots >= 16);

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    for (int i = 0; i < rootSlots; ++i)
        QVERIFY2(writer.writeFile(QStringLiteral("F%1.TXT").arg(i), pattern(700, i)), qPrintable(writer.errorString()));

    const QByteArray before = metadata(image);
    QVERIFY(!writer.writeFile(QStringLiteral("ONEMORE.TXT"), pattern(10, 99)));
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), QStringLiteral("the root directory is full"));
    QVERIFY(metadata(image) == before);

    // A full root still lets a file there be replaced, and a deleted slot be reused.
    QVERIFY2(writer.writeFile(QStringLiteral("F0.TXT"), pattern(1500, 100)), qPrintable(writer.errorString()));
    const qint64 deletedAt = findEntry(image, "F3      TXT");
    QVERIFY(image.mdel(QStringLiteral("F3.TXT")));
    FatWriter fresh(device);
    QVERIFY2(fresh.writeFile(QStringLiteral("NEW.TXT"), pattern(10, 101)), qPrintable(fresh.errorString()));
    QCOMPARE(findEntry(image, "NEW     TXT"), deletedAt);

    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(image.mdir()->size(), rootSlots);
    QCOMPARE(*image.mtype(QStringLiteral("F0.TXT")), pattern(1500, 100));
    QCOMPARE(*image.mtype(QStringLiteral("NEW.TXT")), pattern(10, 101));
}

void TestFatWriter::fat32RootGrowsByAZeroedCluster()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(32, 512)), qPrintable(image.errorString()));
    QCOMPARE(chainOf(image, image.layout().rootCluster).size(), 1);
    // Free clusters full of old bytes: the root must not take them as entries.
    QVERIFY(image.mcopy(QStringLiteral("STALE.BIN"), QByteArray(64 * 512, 'S')));
    QVERIFY(image.mdel(QStringLiteral("STALE.BIN")));

    const int files = 40; // 16 slots per cluster
    {
        FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
        QVERIFY(device.open());
        FatWriter writer(device);
        for (int i = 0; i < files; ++i)
            QVERIFY2(writer.writeFile(QStringLiteral("FILE%1.TXT").arg(i), pattern(i * 37, i)), qPrintable(writer.errorString()));
    }
    QCOMPARE(chainOf(image, image.layout().rootCluster).size(), 3);
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    const std::optional<QStringList> listed = image.mdir();
    QVERIFY2(listed, qPrintable(image.errorString()));
    QCOMPARE(listed->size(), files);
    QCOMPARE(*image.mtype(QStringLiteral("FILE39.TXT")), pattern(39 * 37, 39));

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter reader(device);
    for (int i = 0; i < files; ++i)
        QCOMPARE(*reader.readFile(QStringLiteral("FILE%1.TXT").arg(i)), pattern(i * 37, i));
}

void TestFatWriter::fullPartition_data()
{
    addFatTypeRows();
}

void TestFatWriter::fullPartition()
{
    QFETCH(int, fatBits);
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(fatBits, 512)), qPrintable(image.errorString()));
    QVERIFY(image.mcopy(QStringLiteral("OLD.BIN"), pattern(2000, 1)));
    const QByteArray tooLarge = pattern(image.partitionBytes(), 2);

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    const QByteArray before = metadata(image);
    for (const QString &name : {QStringLiteral("NEW.BIN"), QStringLiteral("OLD.BIN")}) {
        QVERIFY(!writer.writeFile(name, tooLarge));
        QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
        QCOMPARE(writer.errorString(), QStringLiteral("the boot partition is full"));
        QVERIFY(metadata(image) == before);
    }
    QCOMPARE(*image.mtype(QStringLiteral("OLD.BIN")), pattern(2000, 1));

    // The writer goes on from what is on the card.
    QVERIFY2(writer.writeFile(QStringLiteral("NEW.BIN"), pattern(3000, 3)), qPrintable(writer.errorString()));
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("NEW.BIN")), pattern(3000, 3));
}

void TestFatWriter::fullFat32PartitionCannotGrowTheRoot()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(32, 512)), qPrintable(image.errorString()));
    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    // Fifteen files and one that fills every free cluster fill the root's 16 slots.
    for (int i = 0; i < 15; ++i)
        QVERIFY(writer.writeFile(QStringLiteral("F%1").arg(i), QByteArray(1, char(i))));
    const qint64 rest = qint64(image.layout().clusters - 1 - 15) * 512;
    QVERIFY2(writer.writeFile(QStringLiteral("FILL.BIN"), QByteArray(rest, 'f')), qPrintable(writer.errorString()));

    const QByteArray before = metadata(image);
    QVERIFY(!writer.writeFile(QStringLiteral("EMPTY"), QByteArray()));
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), QStringLiteral("the boot partition is full"));
    QVERIFY(metadata(image) == before);
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
}

void TestFatWriter::fourKibSectorDevice_data()
{
    QTest::addColumn<CardImage::Options>("options");

    QTest::newRow("FAT16 with 512 B sectors at LBA 2048") << volume(16, 512, 2, 2048);
    QTest::newRow("FAT16 with 512 B sectors at LBA 8192") << volume(16, 1024, 1, 8192);
    QTest::newRow("FAT32 with 512 B sectors at LBA 8192") << volume(32, 512, 2, 8192);
    CardImage::Options native = volume(16, 4096, 2, 8192);
    native.sectorBytes = 4096;
    QTest::newRow("FAT16 with 4096 B sectors at LBA 8192") << native;
}

void TestFatWriter::fourKibSectorDevice()
{
    QFETCH(CardImage::Options, options);
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, options), qPrintable(image.errorString()));
    QVERIFY(image.mcopy(QStringLiteral("OLD.BIN"), pattern(5000, 1)));
    QVERIFY(image.mcopy(QStringLiteral("TOOL.TXT"), pattern(300, 2)));

    ScriptedCard device(ScriptedCard::Script::overFile(image.path(), 4096));
    QVERIFY2(device.open(), qPrintable(device.errorString()));
    {
        FatWriter writer(device);
        QVERIFY2(writer.writeFile(QStringLiteral("CONFIG.TXT"), pattern(777, 3)), qPrintable(writer.errorString()));
        QVERIFY2(writer.writeFile(QStringLiteral("OLD.BIN"), pattern(9000, 4)), qPrintable(writer.errorString()));
        QVERIFY2(writer.writeFile(QStringLiteral("boot.ini"), pattern(1, 5)), qPrintable(writer.errorString()));
    }
    FatWriter reader(device);
    QCOMPARE(*reader.readFile(QStringLiteral("TOOL.TXT")), pattern(300, 2));
    QCOMPARE(*reader.readFile(QStringLiteral("OLD.BIN")), pattern(9000, 4));
    QCOMPARE(device.misalignedRequests(), 0);
    device.close();

    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("CONFIG.TXT")), pattern(777, 3));
    QCOMPARE(*image.mtype(QStringLiteral("OLD.BIN")), pattern(9000, 4));
    QCOMPARE(*image.mtype(QStringLiteral("boot.ini")), pattern(1, 5));
}

void TestFatWriter::deviceFailureWhileWritingData()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(16, 512)), qPrintable(image.errorString()));
    QVERIFY(image.mcopy(QStringLiteral("OLD.BIN"), pattern(1000, 1)));
    const QByteArray before = metadata(image);

    ScriptedCard::Script script = ScriptedCard::Script::overFile(image.path());
    script.failCall = ScriptedCard::Call::Write;
    script.failAt = 2; // the second cluster of the new file
    ScriptedCard device(script);
    QVERIFY(device.open());
    FatWriter writer(device);
    QVERIFY(!writer.writeFile(QStringLiteral("NEW.BIN"), pattern(3 * 512, 2)));
    QCOMPARE(writer.failure(), FatWriter::Failure::DeviceError);
    QCOMPARE(writer.errorString(), QStringLiteral("simulated write error"));
    QVERIFY(metadata(image) == before);
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));

    // The clusters it had taken in memory are not on the card, and the next
    // write must not bring them there.
    device.stopFailing();
    QVERIFY2(writer.writeFile(QStringLiteral("OTHER.BIN"), pattern(2 * 512, 3)), qPrintable(writer.errorString()));
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QVERIFY2(writer.writeFile(QStringLiteral("NEW.BIN"), pattern(3 * 512, 2)), qPrintable(writer.errorString()));
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("NEW.BIN")), pattern(3 * 512, 2));
    QCOMPARE(*image.mtype(QStringLiteral("OTHER.BIN")), pattern(2 * 512, 3));
}

void TestFatWriter::failedFlushIsADeviceError()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(16, 512)), qPrintable(image.errorString()));
    ScriptedCard::Script script = ScriptedCard::Script::overFile(image.path());
    script.failCall = ScriptedCard::Call::Flush;
    ScriptedCard device(script);
    QVERIFY(device.open());
    FatWriter writer(device);
    QVERIFY(!writer.writeFile(QStringLiteral("NEW.BIN"), pattern(100, 1)));
    QCOMPARE(writer.failure(), FatWriter::Failure::DeviceError);
    QCOMPARE(writer.errorString(), QStringLiteral("simulated flush error"));
    device.stopFailing();
    QVERIFY2(writer.writeFile(QStringLiteral("NEW.BIN"), pattern(200, 2)), qPrintable(writer.errorString()));
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("NEW.BIN")), pattern(200, 2));
}

void TestFatWriter::fileFailures()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(makeImage(image, dir, volume(16, 512)), qPrintable(image.errorString()));
    QVERIFY(image.mcopy(QStringLiteral("A.TXT"), pattern(100, 1)));
    QVERIFY(image.mcopy(QStringLiteral("B.TXT"), pattern(100, 2)));
    QVERIFY(image.mcopy(QStringLiteral("SHORT.TXT"), pattern(600, 3)));
    QVERIFY(image.mmd(QStringLiteral("SUB")));
    const qint64 shortAt = findEntry(image, "SHORT   TXT");
    QVERIFY(image.patch(shortAt + 28, QByteArray::fromHex("01040000"))); // 1025 bytes in two clusters

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    auto readFails = [&writer](const QString &name, const QString &text) {
        const bool failed = !writer.readFile(name) && writer.failure() == FatWriter::Failure::FileSystemError
                && writer.errorString() == text;
        if (!failed)
            qWarning("readFile(%s): %s", qPrintable(name), qPrintable(writer.errorString()));
        return failed;
    };
    QVERIFY(readFails(QStringLiteral("bad name.txt"), QStringLiteral("\"bad name.txt\" is not an 8.3 name")));
    QVERIFY(readFails(QStringLiteral("NONE.TXT"), QStringLiteral("\"NONE.TXT\" not found")));
    QVERIFY(readFails(QStringLiteral("SUB"), QStringLiteral("\"SUB\" not found")));
    QVERIFY(readFails(QStringLiteral("SHORT.TXT"), QStringLiteral("\"SHORT.TXT\" is truncated")));

    QVERIFY(!writer.writeFile(QStringLiteral("Bad.txt"), pattern(1, 1)));
    QCOMPARE(writer.errorString(), QStringLiteral("\"Bad.txt\" is not an 8.3 name"));
    QVERIFY(!writer.writeFile(QStringLiteral("sub"), pattern(1, 1)));
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), QStringLiteral("\"sub\" is a directory"));

    // An entry after the end marker is not looked at.
    QVERIFY(image.patch(findEntry(image, "A       TXT"), QByteArray(1, '\0')));
    FatWriter fresh(device);
    QVERIFY(!fresh.readFile(QStringLiteral("B.TXT")));
    QCOMPARE(fresh.errorString(), QStringLiteral("\"B.TXT\" not found"));
}

void TestFatWriter::volumeLabelIsNotAFile()
{
    QTemporaryDir dir;
    CardImage image;
    CardImage::Options options = volume(16, 512);
    options.label = QStringLiteral("BOOT");
    QVERIFY2(makeImage(image, dir, options), qPrintable(image.errorString()));
    const qint64 labelAt = findEntry(image, "BOOT       ");
    QVERIFY(labelAt > 0);
    const QByteArray label = image.read(labelAt, 32);

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    QVERIFY(!writer.readFile(QStringLiteral("BOOT")));
    QCOMPARE(writer.errorString(), QStringLiteral("\"BOOT\" not found"));
    QVERIFY2(writer.writeFile(QStringLiteral("BOOT"), pattern(10, 1)), qPrintable(writer.errorString()));
    QCOMPARE(image.read(labelAt, 32), label);
    QCOMPARE(*writer.readFile(QStringLiteral("BOOT")), pattern(10, 1));
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("BOOT")), pattern(10, 1));
}

QTEST_GUILESS_MAIN(TestFatWriter)
#include "tst_fatwriter.moc"
