#include "fattyperows.h"
#include "write/fatwriter.h"

#include "disks/fileblockdevice.h"
#include "support/cardimage.h"
#include "support/scriptedcard.h"
#include "support/testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// One change to a card image: at an offset of the MBR (from byte 0) or of the
// partition's boot sector.
struct Patch {
    bool inBootSector = false;
    qint64 offset = 0;
    QByteArray bytes;
};
using Patches = QList<Patch>;

Patch mbr(qint64 offset, const char *hex)
{
    return {false, offset, QByteArray::fromHex(hex)};
}

Patch boot(qint64 offset, const char *hex)
{
    return {true, offset, QByteArray::fromHex(hex)};
}

CardImage::Options smallVolume(int fatBits)
{
    CardImage::Options options;
    options.fatBits = fatBits;
    options.clusterBytes = 512;
    return options;
}

constexpr qint64 CraftedLba = 2048;

// Writes a FAT volume by hand with exactly `clusters` data clusters: 512-byte
// sectors, one sector per cluster, two FATs. The boot sector takes the FAT16
// shape (fixed root directory, 16-bit FAT size) or the FAT32 one (root
// directory in cluster 2, FSInfo in sector 1, backup boot sector in 6)
// independently of the count, so that a count and a shape can disagree.
bool craftVolume(const QString &path, bool fat32Shape, quint32 clusters, CardImage *image)
{
    const quint32 reserved = fat32Shape ? 32 : 4;
    const quint32 rootEntries = fat32Shape ? 0 : 512;
    const quint32 rootSectors = rootEntries * 32 / 512;
    const quint32 entryBytes = fat32Shape ? 4 : 2;
    const quint32 sectorsPerFat = ((clusters + 2) * entryBytes + 511) / 512;
    const quint32 total = reserved + 2 * sectorsPerFat + rootSectors + clusters;
    const qint64 partition = CraftedLba * 512;

    QByteArray bootSector(512, '\0');
    bootSector.replace(0, 3, fat32Shape ? "\xEB\x58\x90" : "\xEB\x3C\x90");
    bootSector.replace(3, 8, "TESSARO ");
    bootSector.replace(11, 2, le16(512));
    bootSector[13] = 1;
    bootSector.replace(14, 2, le16(quint16(reserved)));
    bootSector[16] = 2;
    bootSector.replace(17, 2, le16(quint16(rootEntries)));
    if (total < 65536 && !fat32Shape)
        bootSector.replace(19, 2, le16(quint16(total)));
    else
        bootSector.replace(32, 4, le32(total));
    bootSector[21] = char(0xF8);
    bootSector.replace(24, 2, le16(32));
    bootSector.replace(26, 2, le16(64));
    bootSector.replace(28, 4, le32(quint32(CraftedLba)));
    if (fat32Shape) {
        bootSector.replace(36, 4, le32(sectorsPerFat));
        bootSector.replace(44, 4, le32(2));
        bootSector.replace(48, 2, le16(1));
        bootSector.replace(50, 2, le16(6));
        bootSector[64] = char(0x80);
        bootSector[66] = 0x29;
        bootSector.replace(67, 4, le32(0x12345678));
        bootSector.replace(71, 11, "NO NAME    ");
        bootSector.replace(82, 8, "FAT32   ");
    } else {
        bootSector.replace(22, 2, le16(quint16(sectorsPerFat)));
        bootSector[36] = char(0x80);
        bootSector[38] = 0x29;
        bootSector.replace(39, 4, le32(0x12345678));
        bootSector.replace(43, 11, "NO NAME    ");
        bootSector.replace(54, 8, "FAT16   ");
    }
    bootSector[510] = char(0x55);
    bootSector[511] = char(0xAA);

    QByteArray fsInfo(512, '\0');
    fsInfo.replace(0, 4, le32(0x41615252));
    fsInfo.replace(484, 4, le32(0x61417272));
    fsInfo.replace(488, 4, le32(clusters - 1));
    fsInfo.replace(492, 4, le32(3));
    fsInfo.replace(508, 4, le32(0xAA550000));

    QByteArray fatStart = fat32Shape ? le32(0x0FFFFFF8) + le32(0x0FFFFFFF) + le32(0x0FFFFFFF)
                                     : le16(0xFFF8) + le16(0xFFFF);

    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return false;
    auto put = [&file](qint64 offset, const QByteArray &bytes) {
        return file.seek(offset) && file.write(bytes) == bytes.size();
    };
    const quint8 type = fat32Shape ? 0x0C : 0x0E;
    bool ok = put(0, CardImage::mbrSector(type, quint32(CraftedLba), total)) && put(partition, bootSector);
    if (fat32Shape)
        ok = ok && put(partition + 512, fsInfo) && put(partition + 6 * 512, bootSector) && put(partition + 7 * 512, fsInfo);
    for (int copy = 0; copy < 2; ++copy)
        ok = ok && put(partition + (reserved + qint64(copy) * sectorsPerFat) * 512, fatStart);
    ok = ok && file.resize(partition + qint64(total) * 512);
    *image = CardImage(path, partition, qint64(total) * 512);
    return ok;
}

} // namespace

Q_DECLARE_METATYPE(Patches)

class TestFatVolume : public QObject
{
    Q_OBJECT

private slots:
    void clusterCountDecidesTheType_data();
    void clusterCountDecidesTheType();
    void partitionAndBootSector_data();
    void partitionAndBootSector();
    void brokenChains_data();
    void brokenChains();
    void chainEndingInAFreeEntryIsNotReused();
    void fsInfoFreeCount_data();
    void fsInfoFreeCount();
    void deviceFailuresCarryTheDeviceText();
    void clustersPastTheDeviceEnd_data();
    void clustersPastTheDeviceEnd();
    void rootDirectoryLimit_data();
    void rootDirectoryLimit();
    void outOfMemory();
};

void TestFatVolume::clusterCountDecidesTheType_data()
{
    QTest::addColumn<bool>("fat32Shape");
    QTest::addColumn<quint32>("clusters");
    QTest::addColumn<int>("fatBits"); // 0: refused
    QTest::addColumn<QString>("message");

    QTest::newRow("4084 clusters are FAT12") << false << 4084u << 0 << QStringLiteral("FAT12 is not supported");
    QTest::newRow("4085 clusters are FAT16") << false << 4085u << 16 << QString();
    QTest::newRow("65524 clusters are FAT16") << false << 65524u << 16 << QString();
    QTest::newRow("65525 clusters are FAT32") << true << 65525u << 32 << QString();
    QTest::newRow("65525 clusters in a FAT16 boot sector") << false << 65525u << 0 << QStringLiteral("inconsistent FAT boot sector");
    QTest::newRow("65524 clusters in a FAT32 boot sector") << true << 65524u << 0 << QStringLiteral("inconsistent FAT boot sector");
}

void TestFatVolume::clusterCountDecidesTheType()
{
    QFETCH(bool, fat32Shape);
    QFETCH(quint32, clusters);
    QFETCH(int, fatBits);
    QFETCH(QString, message);

    QTemporaryDir dir;
    CardImage image;
    QVERIFY(craftVolume(dir.filePath(QStringLiteral("card.img")), fat32Shape, clusters, &image));
    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    const QByteArray data(1000, 'd');
    if (fatBits == 0) {
        QVERIFY(!writer.writeFile(QStringLiteral("BOOT.TXT"), data));
        QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
        QCOMPARE(writer.errorString(), message);
        return;
    }
    QVERIFY2(writer.writeFile(QStringLiteral("BOOT.TXT"), data), qPrintable(writer.errorString()));
    // fsck.fat judges the type by the count as well; entries of the wrong
    // width would show as a damaged FAT.
    QVERIFY2(image.readLayout(), qPrintable(image.errorString()));
    QCOMPARE(image.layout().fatBits, fatBits);
    QCOMPARE(image.layout().clusters, clusters);
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("BOOT.TXT")), data);
}

void TestFatVolume::partitionAndBootSector_data()
{
    QTest::addColumn<int>("fatBits");
    QTest::addColumn<Patches>("patches");
    QTest::addColumn<QString>("message"); // empty: mounts and works

    const QString noFat = QStringLiteral("the first partition has no FAT file system");
    const QString inconsistent = QStringLiteral("inconsistent FAT boot sector");
    const QString fatSize = QStringLiteral("unsupported FAT size");

    QTest::newRow("no MBR signature") << 16 << Patches{mbr(510, "0000")} << QStringLiteral("no MBR partition table");
    QTest::newRow("Linux partition 0x83") << 16 << Patches{mbr(450, "83")} << QStringLiteral("the first partition is not FAT (type 0x83)");
    QTest::newRow("NTFS partition 0x07") << 16 << Patches{mbr(450, "07")} << QStringLiteral("the first partition is not FAT (type 0x07)");
    QTest::newRow("empty partition entry") << 16 << Patches{mbr(450, "00")} << QStringLiteral("the first partition is not FAT (type 0x00)");
    QTest::newRow("EFI partition 0xef") << 32 << Patches{mbr(450, "ef")} << QStringLiteral("the first partition is not FAT (type 0xef)");
    QTest::newRow("type 0x04") << 16 << Patches{mbr(450, "04")} << QString();
    QTest::newRow("type 0x06") << 16 << Patches{mbr(450, "06")} << QString();
    QTest::newRow("type 0x0b") << 32 << Patches{mbr(450, "0b")} << QString();
    QTest::newRow("type 0x0c") << 32 << Patches{mbr(450, "0c")} << QString();
    QTest::newRow("type 0x0e") << 16 << Patches{mbr(450, "0e")} << QString();
    QTest::newRow("partition start past the device end") << 16 << Patches{mbr(454, "00000100")}
                                                       << QStringLiteral("the file system extends past the end of the device");
    QTest::newRow("partition start one sector off") << 16 << Patches{mbr(454, "01080000")} << noFat;

    QTest::newRow("no boot signature") << 16 << Patches{boot(510, "55ab")} << noFat;
    QTest::newRow("256-byte sectors") << 16 << Patches{boot(11, "0001")} << noFat;
    QTest::newRow("8192-byte sectors") << 16 << Patches{boot(11, "0020")} << noFat;
    QTest::newRow("1000-byte sectors") << 16 << Patches{boot(11, "e803")} << noFat;
    QTest::newRow("zero sectors per cluster") << 16 << Patches{boot(13, "00")} << noFat;
    QTest::newRow("three sectors per cluster") << 16 << Patches{boot(13, "03")} << noFat;
    QTest::newRow("no reserved sector") << 16 << Patches{boot(14, "0000")} << noFat;
    QTest::newRow("no FAT") << 16 << Patches{boot(16, "00")} << noFat;
    QTest::newRow("zero total sectors") << 16 << Patches{boot(19, "0000"), boot(32, "00000000")} << noFat;
    QTest::newRow("zero FAT32 FAT size") << 32 << Patches{boot(36, "00000000")} << noFat;
    QTest::newRow("no data sectors") << 16 << Patches{boot(19, "2800")} << inconsistent;
    QTest::newRow("FAT12 cluster count") << 16 << Patches{boot(19, "d007")} << QStringLiteral("FAT12 is not supported");
    QTest::newRow("FAT16 without root entries") << 16 << Patches{boot(17, "0000")} << inconsistent;
    QTest::newRow("FAT32 with root entries") << 32 << Patches{boot(17, "1000")} << inconsistent;
    QTest::newRow("FAT32 with a 16-bit FAT size") << 32 << Patches{boot(22, "0100")} << inconsistent;
    QTest::newRow("FAT32 with a 16-bit total") << 32 << Patches{boot(19, "ffff")} << inconsistent;
    QTest::newRow("FAT smaller than the clusters") << 16 << Patches{boot(22, "0100")} << fatSize;
    QTest::newRow("FAT over 64 MiB") << 32 << Patches{boot(32, "00000001"), boot(36, "01000200")} << fatSize;
    QTest::newRow("FAT of 64 MiB past the device end") << 32 << Patches{boot(32, "00000001"), boot(36, "00000200")}
                                                    << QStringLiteral("the file system extends past the end of the device");
    QTest::newRow("FAT32 root cluster 0") << 32 << Patches{boot(44, "00000000")} << inconsistent;
    QTest::newRow("FAT32 root cluster 1") << 32 << Patches{boot(44, "01000000")} << inconsistent;
    QTest::newRow("FAT32 root cluster past the end") << 32 << Patches{boot(44, "ffffff0f")} << inconsistent;
    QTest::newRow("FAT32 root cluster with reserved high bits") << 32 << Patches{boot(44, "020000f0")} << QString();
}

void TestFatVolume::partitionAndBootSector()
{
    QFETCH(int, fatBits);
    QFETCH(Patches, patches);
    QFETCH(QString, message);

    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(fatBits)), qPrintable(image.errorString()));
    QVERIFY(image.mcopy(QStringLiteral("OLD.TXT"), QByteArray("old")));
    for (const Patch &patch : std::as_const(patches))
        QVERIFY(image.patch((patch.inBootSector ? image.partitionOffset() : 0) + patch.offset, patch.bytes));

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    if (message.isEmpty()) {
        FatWriter writer(device);
        QVERIFY2(writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot")), qPrintable(writer.errorString()));
        FatWriter reader(device);
        QCOMPARE(*reader.readFile(QStringLiteral("OLD.TXT")), QByteArray("old"));
        QCOMPARE(*reader.readFile(QStringLiteral("BOOT.TXT")), QByteArray("boot"));
        return;
    }
    FatWriter writer(device);
    QVERIFY(!writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot")));
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), message);
    FatWriter reader(device);
    QVERIFY(!reader.readFile(QStringLiteral("OLD.TXT")));
    QCOMPARE(reader.errorString(), message);
}

void TestFatVolume::brokenChains_data()
{
    QTest::addColumn<int>("fatBits");
    QTest::addColumn<int>("link");     // what the file's last cluster points to
    QTest::addColumn<bool>("rootLoop"); // FAT32: the root directory's chain loops

    // link: 0 first cluster, 1 itself, 2 cluster 1, 3 past the last cluster
    QTest::newRow("FAT16 chain back to its start") << 16 << 0 << false;
    QTest::newRow("FAT16 cluster pointing at itself") << 16 << 1 << false;
    QTest::newRow("FAT16 chain into cluster 1") << 16 << 2 << false;
    QTest::newRow("FAT16 chain past the last cluster") << 16 << 3 << false;
    QTest::newRow("FAT32 chain back to its start") << 32 << 0 << false;
    QTest::newRow("FAT32 chain past the last cluster") << 32 << 3 << false;
    QTest::newRow("FAT32 root directory chain loops") << 32 << 0 << true;
}

void TestFatVolume::brokenChains()
{
    QFETCH(int, fatBits);
    QFETCH(int, link);
    QFETCH(bool, rootLoop);

    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(fatBits)), qPrintable(image.errorString()));
    QVERIFY(image.mcopy(QStringLiteral("LOOP.BIN"), QByteArray(3 * 512, 'l')));
    QVERIFY2(image.readLayout(), qPrintable(image.errorString()));
    const CardImage::Layout &layout = image.layout();

    // The file is the first entry of the root directory.
    const QByteArray entry = image.read(fatBits == 32 ? image.clusterOffset(layout.rootCluster) : layout.rootOffset, 32);
    QCOMPARE(entry.left(11), QByteArray("LOOP    BIN"));
    const quint32 first = le16At(entry, 26) | quint32(le16At(entry, 20)) << 16;
    const quint32 second = image.fatEntry(first);
    const quint32 last = image.fatEntry(second);
    QVERIFY(first >= 2 && second >= 2 && last >= 2 && last < layout.clusters + 2);
    quint32 from = last;
    quint32 to = first;
    if (rootLoop)
        from = to = layout.rootCluster;
    else if (link == 1)
        to = last;
    else if (link == 2)
        to = 1;
    else if (link == 3)
        to = layout.clusters + 2;
    const int width = fatBits / 8;
    QVERIFY(image.patch(layout.fatOffset + qint64(from) * width, width == 4 ? le32(to) : le16(quint16(to))));

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    QVERIFY(!writer.readFile(QStringLiteral("LOOP.BIN")));
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), QStringLiteral("broken cluster chain"));
    QVERIFY(!writer.writeFile(QStringLiteral("LOOP.BIN"), QByteArray(10, 'n')));
    QCOMPARE(writer.errorString(), QStringLiteral("broken cluster chain"));
}

void TestFatVolume::chainEndingInAFreeEntryIsNotReused()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(16)), qPrintable(image.errorString()));
    QVERIFY2(image.readLayout(), qPrintable(image.errorString()));
    const CardImage::Layout &layout = image.layout();
    const quint32 last = layout.clusters + 1;
    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    {
        FatWriter writer(device);
        QVERIFY(writer.writeFile(QStringLiteral("FILL.BIN"), QByteArray(qint64(layout.clusters - 1) * 512, 'f')));
        QVERIFY(writer.writeFile(QStringLiteral("LAST.BIN"), QByteArray(512, 'l')));
    }
    // LAST.BIN's only cluster now reads as free, the one free cluster of the volume.
    for (int copy = 0; copy < layout.fatCount; ++copy)
        QVERIFY(image.patch(layout.fatOffset + copy * layout.fatBytes + qint64(last) * 2, le16(0)));

    FatWriter writer(device);
    QVERIFY(!writer.writeFile(QStringLiteral("LAST.BIN"), QByteArray(1024, 'm')));
    QCOMPARE(writer.errorString(), QStringLiteral("the boot partition is full"));
    QVERIFY2(writer.writeFile(QStringLiteral("LAST.BIN"), QByteArray(100, 'n')), qPrintable(writer.errorString()));
    QCOMPARE(image.fatEntry(last), quint32(0xFFFF));
    QVERIFY2(image.fsck(), qPrintable(image.errorString()));
    QCOMPARE(*image.mtype(QStringLiteral("LAST.BIN")), QByteArray(100, 'n'));
}

void TestFatVolume::fsInfoFreeCount_data()
{
    QTest::addColumn<Patches>("patches");
    QTest::addColumn<bool>("marked");

    QTest::newRow("both signatures") << Patches{} << true;
    QTest::newRow("lead signature missing") << Patches{boot(512, "00000000")} << false;
    QTest::newRow("structure signature missing") << Patches{boot(512 + 484, "00000000")} << false;
    QTest::newRow("no FSInfo sector number") << Patches{boot(48, "0000")} << false;
    QTest::newRow("FSInfo sector number 0xffff") << Patches{boot(48, "ffff")} << false;
    // mkfs.fat gives FAT32 32 reserved sectors; sector 32 is the first FAT's.
    QTest::newRow("FSInfo sector number not below the reserved count") << Patches{boot(48, "2000")} << false;
}

void TestFatVolume::fsInfoFreeCount()
{
    QFETCH(Patches, patches);
    QFETCH(bool, marked);

    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(32)), qPrintable(image.errorString()));
    // A known free count to watch; mkfs.fat leaves FSInfo in sector 1.
    const qint64 freeCount = image.partitionOffset() + 512 + 488;
    QVERIFY(image.patch(freeCount, le32(1234)));
    for (const Patch &patch : std::as_const(patches))
        QVERIFY(image.patch(image.partitionOffset() + patch.offset, patch.bytes));

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    const bool written = writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot"));
    QVERIFY2(written, qPrintable(writer.errorString()));
    QCOMPARE(image.read(freeCount, 4), marked ? QByteArray::fromHex("ffffffff") : le32(1234));
    if (patches.isEmpty())
        QVERIFY2(image.fsck(), qPrintable(image.errorString()));
}

void TestFatVolume::deviceFailuresCarryTheDeviceText()
{
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(16)), qPrintable(image.errorString()));
    ScriptedCard::Script script = ScriptedCard::Script::overFile(image.path());
    script.failCall = ScriptedCard::Call::Read;
    ScriptedCard device(script);
    QVERIFY(device.open());
    FatWriter writer(device);
    QVERIFY(!writer.readFile(QStringLiteral("BOOT.TXT")));
    QCOMPARE(writer.failure(), FatWriter::Failure::DeviceError);
    QCOMPARE(writer.errorString(), QStringLiteral("simulated read error"));
    QVERIFY(!writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot")));
    QCOMPARE(writer.failure(), FatWriter::Failure::DeviceError);
    QCOMPARE(writer.errorString(), QStringLiteral("simulated read error"));

    device.stopFailing();
    QVERIFY2(writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot")), qPrintable(writer.errorString()));
    QCOMPARE(*writer.readFile(QStringLiteral("BOOT.TXT")), QByteArray("boot"));
}

void TestFatVolume::clustersPastTheDeviceEnd_data()
{
    addFatTypeRows();
}

// The device ends inside the last cluster, which nothing uses yet: the FATs
// and the root directory are readable, but a write could run past the end.
void TestFatVolume::clustersPastTheDeviceEnd()
{
    QFETCH(int, fatBits);

    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(fatBits)), qPrintable(image.errorString()));
    QVERIFY2(image.readLayout(), qPrintable(image.errorString()));
    const CardImage::Layout &layout = image.layout();
    const qint64 cut = layout.dataOffset + qint64(layout.clusters) * layout.clusterBytes - 512;
    QVERIFY(QFile::resize(image.path(), cut));

    ScriptedCard device(ScriptedCard::Script::overFile(image.path()));
    QVERIFY(device.open());
    FatWriter writer(device);
    QVERIFY(!writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot")));
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), QStringLiteral("the file system extends past the end of the device"));
    QCOMPARE(QFileInfo(image.path()).size(), cut);
}

void TestFatVolume::rootDirectoryLimit_data()
{
    QTest::addColumn<quint32>("rootClusters"); // 512-byte clusters in the root chain
    QTest::addColumn<bool>("full");             // every slot holds a file
    QTest::addColumn<QString>("message");

    QTest::newRow("root of 2 MiB") << 4096u << false << QString();
    QTest::newRow("root one cluster over 2 MiB") << 4097u << false << QStringLiteral("broken cluster chain");
    QTest::newRow("full root of 2 MiB") << 4096u << true << QStringLiteral("the root directory is full");
}

// A FAT32 root directory holds at most 65,536 entries; a longer chain is
// damage, however many clusters the volume has.
void TestFatVolume::rootDirectoryLimit()
{
    QFETCH(quint32, rootClusters);
    QFETCH(bool, full);
    QFETCH(QString, message);

    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(32)), qPrintable(image.errorString()));
    QVERIFY2(image.readLayout(), qPrintable(image.errorString()));
    const CardImage::Layout &layout = image.layout();
    QCOMPARE(layout.rootCluster, 2u);
    QByteArray links;
    for (quint32 cluster = 3; cluster < 2 + rootClusters; ++cluster)
        links += le32(cluster);
    links += le32(0x0FFFFFFF);
    for (int copy = 0; copy < layout.fatCount; ++copy)
        QVERIFY(image.patch(layout.fatOffset + copy * layout.fatBytes + 2 * 4, links));
    QByteArray region(qint64(rootClusters) * 512, '\0');
    if (full) {
        QByteArray entry("FILE    BIN\x20", 12);
        entry.resize(32, '\0');
        region = entry.repeated(region.size() / 32);
    }
    QVERIFY(image.patch(image.clusterOffset(2), region));

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    FatWriter writer(device);
    const bool written = writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot"));
    if (message.isEmpty()) {
        QVERIFY2(written, qPrintable(writer.errorString()));
        QCOMPARE(*writer.readFile(QStringLiteral("BOOT.TXT")), QByteArray("boot"));
        return;
    }
    QVERIFY(!written);
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), message);
}

// The FAT of 64 MiB is read into memory that the process cannot have.
void TestFatVolume::outOfMemory()
{
#ifdef __SANITIZE_ADDRESS__
    QSKIP("AddressSanitizer's allocator does not honour an address-space limit");
#endif
    QTemporaryDir dir;
    CardImage image;
    QVERIFY2(image.create(dir.filePath(QStringLiteral("card.img")), smallVolume(32)), qPrintable(image.errorString()));
    // 16 Mi sectors with 128 Ki sectors per FAT, on a sparse device that holds them all.
    QVERIFY(image.patch(image.partitionOffset() + 32, le32(0x01000000)));
    QVERIFY(image.patch(image.partitionOffset() + 36, le32(0x00020000)));
    QVERIFY(QFile::resize(image.path(), image.partitionOffset() + 0x01000000LL * 512));

    FileBlockDevice device(image.path(), -1, FileBlockDevice::OpenMode::ExistingOnly);
    QVERIFY(device.open());
    QFile statm(QStringLiteral("/proc/self/statm"));
    QVERIFY(statm.open(QIODevice::ReadOnly));
    const rlim_t used = statm.readAll().split(' ').first().toULongLong() * rlim_t(sysconf(_SC_PAGESIZE));
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_AS, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = used + 32 * 1024 * 1024;
    QCOMPARE(setrlimit(RLIMIT_AS, &tight), 0);
    FatWriter writer(device);
    const bool written = writer.writeFile(QStringLiteral("BOOT.TXT"), QByteArray("boot"));
    const std::optional<QByteArray> read = writer.readFile(QStringLiteral("BOOT.TXT"));
    QCOMPARE(setrlimit(RLIMIT_AS, &saved), 0);

    QVERIFY(!written);
    QVERIFY(!read);
    QCOMPARE(writer.failure(), FatWriter::Failure::FileSystemError);
    QCOMPARE(writer.errorString(), QStringLiteral("out of memory"));
}

QTEST_GUILESS_MAIN(TestFatVolume)
#include "tst_fatvolume.moc"
