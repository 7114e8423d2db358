#include "fattyperows.h"
#include "write/fatwriter.h"

#include "support/cardimage.h"
#include "support/overlaydevice.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

struct Field {
    qint64 offset;
    int width;
};

QByteArray littleEndian(quint32 value, int width)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes.left(width);
}

// A value a damaged or hostile volume is likely to hold in a field.
quint32 suspiciousValue(QRandomGenerator &random, quint32 original, quint32 clusters)
{
    static const quint32 edges[] = {0, 1, 2, 3, 0x7F, 0x80, 0xFF, 0x100, 0x200, 0x1000, 0xFFFF, 0x10000,
                                    0x0FFFFFF6, 0x0FFFFFF7, 0x0FFFFFF8, 0x0FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF};
    switch (random.bounded(7)) {
    case 0:
    case 1:
        return edges[random.bounded(int(std::size(edges)))];
    case 2:
        return original + random.bounded(5) - 2;
    case 3:
        return random.bounded(2) ? original * 2 : original / 2;
    case 4:
        return clusters + random.bounded(4);
    case 5:
        return 2 + random.bounded(40);
    default:
        return random.generate();
    }
}

} // namespace

class TestFatMutation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void damagedVolumesFailCleanly_data();
    void damagedVolumesFailCleanly();

private:
    struct Card {
        QByteArray bytes;
        CardImage::Layout layout;
        qint64 partitionOffset = 0;
    };
    bool makeCard(int fatBits, Card *card);

    QTemporaryDir m_dir;
    QMap<int, Card> m_cards;
};

bool TestFatMutation::makeCard(int fatBits, Card *card)
{
    CardImage image;
    CardImage::Options options;
    options.fatBits = fatBits;
    options.clusterBytes = 512;
    options.partitionLba = 63;
    options.label = QStringLiteral("CARD");
    const QString path = m_dir.filePath(QStringLiteral("fat%1.img").arg(fatBits));
    bool ok = image.create(path, options)
            && image.mcopy(QStringLiteral("A.TXT"), QByteArray(100, 'a'))
            && image.mcopy(QStringLiteral("DEL.TXT"), QByteArray(700, 'x'))
            && image.mcopy(QStringLiteral("BIG.BIN"), QByteArray(5 * 512, 'b'))
            && image.mcopy(QStringLiteral("Long Name.txt"), QByteArray(600, 'l'))
            && image.mmd(QStringLiteral("SUB"))
            && image.mdel(QStringLiteral("DEL.TXT"))
            && image.readLayout();
    if (!ok) {
        qWarning("%s", qPrintable(image.errorString()));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    card->bytes = file.readAll();
    card->layout = image.layout();
    card->partitionOffset = image.partitionOffset();
    return true;
}

void TestFatMutation::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const int fatBits : {16, 32}) {
        Card card;
        QVERIFY(makeCard(fatBits, &card));
        m_cards.insert(fatBits, card);
    }
}

void TestFatMutation::damagedVolumesFailCleanly_data()
{
    addFatTypeRows();
}

void TestFatMutation::damagedVolumesFailCleanly()
{
    QFETCH(int, fatBits);
    const Card &card = m_cards[fatBits];
    const CardImage::Layout &layout = card.layout;
    const qint64 boot = card.partitionOffset;
    const qint64 root = fatBits == 16 ? layout.rootOffset : layout.dataOffset + (qint64(layout.rootCluster) - 2) * layout.clusterBytes;
    const int entryBytes = fatBits / 8;
    const QList<Field> bootFields{{11, 2}, {13, 1}, {14, 2}, {16, 1}, {17, 2}, {19, 2}, {22, 2},
                                  {32, 4}, {36, 4}, {44, 4}, {48, 2}, {510, 2}};
    const QList<Field> entryFields{{0, 1}, {11, 1}, {12, 1}, {20, 2}, {26, 2}, {28, 4}};

    const QStringList names{QStringLiteral("A.TXT"), QStringLiteral("BOOT.TXT"), QStringLiteral("BIG.BIN")};
    QSet<QString> fileSystemTexts{
        QStringLiteral("no MBR partition table"),
        QStringLiteral("the first partition has no FAT file system"),
        QStringLiteral("inconsistent FAT boot sector"),
        QStringLiteral("FAT12 is not supported"),
        QStringLiteral("unsupported FAT size"),
        QStringLiteral("broken cluster chain"),
        QStringLiteral("the root directory is full"),
        QStringLiteral("the boot partition is full"),
        QStringLiteral("the file system extends past the end of the device"),
    };
    for (int type = 0; type < 256; ++type)
        fileSystemTexts << QStringLiteral("the first partition is not FAT (type 0x%1)").arg(type, 2, 16, QLatin1Char('0'));
    for (const QString &name : names) {
        for (const char *text : {"\"%1\" not found", "\"%1\" is truncated", "\"%1\" is a directory"})
            fileSystemTexts << QString::fromLatin1(text).arg(name);
    }

    QMap<QString, int> outcomes;
    int writesDone = 0;
    const int images = 1100; // per volume
    for (int seed = 0; seed < images; ++seed) {
        QRandomGenerator random(quint32(seed * 2 + fatBits));
        OverlayDevice device(card.bytes);

        const int mutations = 1 + random.bounded(3);
        for (int m = 0; m < mutations; ++m) {
            switch (random.bounded(6)) {
            case 0: { // the partition entry
                const Field field = QList<Field>{{450, 1}, {454, 4}, {510, 2}}.at(random.bounded(3));
                device.poke(field.offset, littleEndian(suspiciousValue(random, 0, layout.clusters), field.width));
                break;
            }
            case 1:
            case 2: { // a boot-sector field
                const Field field = bootFields.at(random.bounded(bootFields.size()));
                const quint32 original = qFromLittleEndian<quint32>(card.bytes.constData() + boot + field.offset);
                device.poke(boot + field.offset, littleEndian(suspiciousValue(random, original, layout.clusters), field.width));
                break;
            }
            case 3: { // a FAT entry, in the first copy or in all
                const quint32 cluster = random.bounded(4) ? quint32(random.bounded(48)) : random.bounded(layout.clusters + 2);
                const quint32 value = random.bounded(4) ? suspiciousValue(random, cluster, layout.clusters) : cluster;
                const int copies = random.bounded(2) ? 1 : layout.fatCount;
                for (int copy = 0; copy < copies; ++copy)
                    device.poke(layout.fatOffset + copy * layout.fatBytes + qint64(cluster) * entryBytes,
                                littleEndian(value, entryBytes));
                break;
            }
            case 4: { // a root-directory entry
                const qint64 slot = root + 32 * qint64(random.bounded(12));
                const Field field = entryFields.at(random.bounded(entryFields.size()));
                const quint32 original = qFromLittleEndian<quint32>(card.bytes.constData() + slot + field.offset);
                quint32 value = suspiciousValue(random, original, layout.clusters);
                if (field.offset == 0)
                    value = QList<quint32>{0x00, 0xE5, 0x2E, 0x20, value}.at(random.bounded(5));
                if (field.offset == 11)
                    value = QList<quint32>{0x0F, 0x08, 0x10, 0x00, value}.at(random.bounded(5));
                device.poke(slot + field.offset, littleEndian(value, field.width));
                break;
            }
            default: { // any byte of the structures
                const qint64 at = boot + random.bounded(layout.dataOffset + 8 * layout.clusterBytes - boot);
                device.poke(at, QByteArray(1, char(random.generate())));
                break;
            }
            }
        }

        const QByteArray payload(random.bounded(4 * 512), char('p' + seed % 8));
        auto check = [&](bool ok, const FatWriter &writer, const char *step) {
            if (ok) {
                ++outcomes[QStringLiteral("success")];
                return true;
            }
            const bool known = writer.failure() == FatWriter::Failure::FileSystemError
                    ? fileSystemTexts.contains(writer.errorString())
                    : writer.errorString() == QStringLiteral("write past the end of the device");
            if (!known)
                qWarning("image %d, %s: unexpected failure %d \"%s\"", seed, step, int(writer.failure()),
                         qPrintable(writer.errorString()));
            ++outcomes[writer.errorString()];
            return known;
        };

        FatWriter writer(device);
        QVERIFY(check(writer.readFile(QStringLiteral("A.TXT")).has_value(), writer, "readFile A.TXT"));
        const bool wrote = writer.writeFile(QStringLiteral("BOOT.TXT"), payload);
        writesDone += wrote;
        QVERIFY(check(wrote, writer, "writeFile BOOT.TXT"));
        QVERIFY(check(writer.writeFile(QStringLiteral("BIG.BIN"), payload.left(700)), writer, "writeFile BIG.BIN"));
        QVERIFY(check(writer.writeFile(QStringLiteral("A.TXT"), QByteArray()), writer, "writeFile A.TXT"));
        FatWriter reader(device);
        QVERIFY(check(reader.readFile(QStringLiteral("BOOT.TXT")).has_value(), reader, "readFile BOOT.TXT"));
        QVERIFY2(device.misalignedRequests() == 0, qPrintable(QStringLiteral("image %1").arg(seed)));
    }

    // The mutations must reach past the boot sector: many cards stay usable
    // and the failures are of many kinds.
    QVERIFY2(writesDone > images / 5, qPrintable(QString::number(writesDone)));
    QVERIFY2(outcomes.size() >= 8, qPrintable(outcomes.keys().join(QStringLiteral(", "))));
}

QTEST_GUILESS_MAIN(TestFatMutation)
#include "tst_fatmutation.moc"
