#include "image/zipimagesource.h"
#include "testarchives.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace testarchives;

namespace {

// A field of a record in a seed archive that holds a length, an offset, a
// count or a size: the values a damaged archive gets wrong.
struct Field {
    qint64 at;
    int width;
};

// Finds the records by their signatures and lists their length, offset,
// count and size fields, including those of zip64 extra-field records.
QList<Field> structuralFields(QByteArray bytes)
{
    // data() of a non-const array: GCC's bounds analysis in the sanitizer
    // build mistakes reads through constData() for overruns of Qt's empty byte.
    const char *const data = bytes.data();
    QList<Field> fields;
    const auto add = [&](qint64 record, std::initializer_list<std::pair<int, int>> list) {
        for (const auto &[offset, width] : list) {
            if (record + offset + width <= bytes.size())
                fields.append({record + offset, width});
        }
    };
    for (qint64 at = 0; at + 4 <= bytes.size(); ++at) {
        switch (qFromLittleEndian<quint32>(data + at)) {
        case 0x04034b50:
            add(at, {{6, 2}, {8, 2}, {14, 4}, {18, 4}, {22, 4}, {26, 2}, {28, 2}});
            break;
        case 0x02014b50: {
            add(at, {{8, 2}, {10, 2}, {16, 4}, {20, 4}, {24, 4}, {28, 2}, {30, 2}, {32, 2}, {42, 4}});
            if (at + Central::Size > bytes.size())
                break;
            const qint64 extra = at + Central::Size + qFromLittleEndian<quint16>(data + at + Central::NameLength);
            const qint64 extraEnd = extra + qFromLittleEndian<quint16>(data + at + Central::ExtraLength);
            for (qint64 record = extra; record + 4 <= extraEnd && extraEnd <= bytes.size();) {
                const int size = qFromLittleEndian<quint16>(data + record + 2);
                add(record, {{0, 2}, {2, 2}});
                for (int value = 0; value + 8 <= size; value += 8)
                    add(record + 4 + value, {{0, 8}});
                record += 4 + size;
            }
            break;
        }
        case 0x06054b50:
            add(at, {{4, 2}, {6, 2}, {8, 2}, {10, 2}, {12, 4}, {16, 4}, {20, 2}});
            break;
        case 0x06064b50:
            add(at, {{24, 8}, {32, 8}, {40, 8}, {48, 8}});
            break;
        case 0x07064b50:
            add(at, {{8, 8}});
            break;
        default:
            break;
        }
    }
    return fields;
}

quint64 interestingValue(QRandomGenerator &random, const Field &field, quint64 current, qint64 fileSize)
{
    const quint64 max = field.width == 8 ? ~quint64(0) : (quint64(1) << (8 * field.width)) - 1;
    switch (random.bounded(10)) {
    case 0: return 0;
    case 1: return max;
    case 2: return max - 1;
    case 3: return max >> 1;
    case 4: return (max >> 1) + 1;
    case 5: return quint64(fileSize) + random.bounded(3) - 1;
    case 6: return current + 1;
    case 7: return current - 1;
    case 8: return current + random.bounded(100000) - 50000;
    default: return random.generate64();
    }
}

void writeValue(QByteArray &bytes, const Field &field, quint64 value)
{
    for (int i = 0; i < field.width; ++i)
        bytes[field.at + i] = char((value >> (8 * i)) & 0xff);
}

quint64 readValue(const QByteArray &bytes, const Field &field)
{
    quint64 value = 0;
    for (int i = field.width - 1; i >= 0; --i)
        value = (value << 8) | quint8(bytes[field.at + i]);
    return value;
}

void mutate(QByteArray &bytes, const QList<Field> &fields, QRandomGenerator &random)
{
    const int steps = 1 + int(random.bounded(3));
    for (int step = 0; step < steps; ++step) {
        switch (random.bounded(6)) {
        case 0: // bit flips
            for (int flips = 1 + int(random.bounded(4)); flips > 0 && !bytes.isEmpty(); --flips)
                bytes[random.bounded(qint64(bytes.size()))] ^= char(1 << random.bounded(8));
            break;
        case 1: // cut short
            bytes.truncate(random.bounded(qint64(bytes.size()) + 1));
            break;
        case 2: // a random run of bytes
            if (!bytes.isEmpty()) {
                const qint64 at = random.bounded(qint64(bytes.size()));
                const qint64 length = std::min<qint64>(1 + random.bounded(16), bytes.size() - at);
                for (qint64 i = 0; i < length; ++i)
                    bytes[at + i] = char(random.bounded(256));
            }
            break;
        case 3: // bytes inserted or removed in the middle, shifting every offset
            if (random.bounded(2) == 0)
                bytes.insert(random.bounded(qint64(bytes.size()) + 1), QByteArray(1 + random.bounded(64), 'P'));
            else if (!bytes.isEmpty())
                bytes.remove(random.bounded(qint64(bytes.size())), 1 + random.bounded(64));
            break;
        default: { // a length, offset, count or size field
            if (fields.isEmpty())
                break;
            const Field field = fields[random.bounded(qint64(fields.size()))];
            if (field.at + field.width > bytes.size())
                break;
            writeValue(bytes, field, interestingValue(random, field, readValue(bytes, field), bytes.size()));
            break;
        }
        }
    }
}

} // namespace

class TestZipImageSourceMutations : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QList<QByteArray> m_seeds;
    QList<QByteArray> m_images;

    void addToolSeed(const QString &program, const QStringList &arguments, const QByteArray &image)
    {
        const QString folder = m_dir.filePath(QStringLiteral("seed%1").arg(m_seeds.size()));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFile(folder + QStringLiteral("/disk.img"), image));
        QVERIFY(writeFile(folder + QStringLiteral("/notes.txt"), "notes"));
        const QString error = runTool(program, arguments, folder);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        m_seeds.append(readFile(folder + QStringLiteral("/out.zip")));
        m_images.append(image);
    }

private slots:
    // Small archives of every shape the source understands; the mutations
    // start from these.
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QByteArray image = mixedPayload(6000, 31);
        const QByteArray small = mixedPayload(1500, 32);

        m_seeds.append(buildZip({storedEntry("disk.img", small)}).bytes);
        m_images.append(small);
        m_seeds.append(buildZip({storedEntry("boot/", {}), storedEntry("notes.txt", "notes"),
                                 deflatedEntry("boot/disk.img", image)}).bytes);
        m_images.append(image);
        Entry wide = deflatedEntry("disk.img", image);
        wide.zip64 = true;
        wide.extraBefore = QByteArray::fromHex("5554050003d171176b");
        m_seeds.append(buildZip({wide}, true).bytes);
        m_images.append(image);
        m_seeds.append(buildZip({storedEntry("disk.img", small)}, true, "a comment").bytes);
        m_images.append(small);
        m_seeds.append(buildZip({storedEntry("one.img", "x")}).bytes);
        m_images.append(QByteArrayLiteral("x"));

        addToolSeed(QStringLiteral("zip"), {"-q", "-fz", "out.zip", "disk.img", "notes.txt"}, image);
        addToolSeed(QStringLiteral("bsdtar"), {"--format", "zip", "-cf", "out.zip", "disk.img"}, image);
        addToolSeed(QStringLiteral("7z"), {"a", "-tzip", "-bd", "out.zip", "notes.txt", "disk.img"}, image);
        addToolSeed(QStringLiteral("python3"),
                    {"-c",
                     "import zipfile\n"
                     "with zipfile.ZipFile('out.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                     "    with z.open('disk.img', 'w', force_zip64=True) as e: e.write(open('disk.img', 'rb').read())\n"},
                    image);

        // Every seed is sound to begin with.
        for (int i = 0; i < m_seeds.size(); ++i) {
            const QString path = m_dir.filePath(QStringLiteral("sound.zip"));
            QVERIFY(writeFile(path, m_seeds[i]));
            ZipImageSource source(path);
            const Outcome outcome = stream(source, 4096);
            QVERIFY2(outcome.opened && !outcome.readFailed, qPrintable(outcome.errorString));
            QVERIFY2(outcome.data == m_images[i], qPrintable(QString::number(i)));
        }
    }

    // Whatever the damage, open() and every read() either succeed or fail
    // with a kind and a text; a stream that ends delivers exactly size()
    // bytes. The sanitizer build turns any out-of-bounds access into a crash.
    void damagedArchivesNeverMisbehave()
    {
        constexpr int Cases = 12000;
        constexpr quint32 Seed = 20240611;
        QRandomGenerator random(Seed);
        QList<QList<Field>> fields;
        for (const QByteArray &seed : m_seeds)
            fields.append(structuralFields(seed));

        const QString path = m_dir.filePath(QStringLiteral("mutated.zip"));
        QByteArray buffer(65536, '\0');
        int opened = 0;
        int completed = 0;
        for (int index = 0; index < Cases; ++index) {
            const int which = index % m_seeds.size();
            QByteArray bytes = m_seeds[which];
            mutate(bytes, fields[which], random);
            QVERIFY(writeFile(path, bytes));
            const QByteArray where = "case " + QByteArray::number(index) + " of seed " + QByteArray::number(Seed);

            ZipImageSource source(path);
            if (!source.open()) {
                QVERIFY2(int(source.failure()) >= 0 && int(source.failure()) <= 2, where.constData());
                QVERIFY2(!source.errorString().isEmpty(), where.constData());
                continue;
            }
            ++opened;
            const qint64 size = source.size();
            QVERIFY2(size >= 0, where.constData());
            const qint64 chunk = 1 + random.bounded(qint64(buffer.size()));
            qint64 delivered = 0;
            for (;;) {
                const qint64 count = source.read(buffer.data(), chunk);
                QVERIFY2(count >= -1 && count <= chunk, where.constData());
                if (count < 0) {
                    QVERIFY2(int(source.failure()) >= 0 && int(source.failure()) <= 2, where.constData());
                    QVERIFY2(!source.errorString().isEmpty(), where.constData());
                    break;
                }
                if (count == 0) {
                    QVERIFY2(delivered == size, where.constData());
                    QCOMPARE(source.read(buffer.data(), chunk), qint64(0));
                    ++completed;
                    break;
                }
                delivered += count;
                QVERIFY2(delivered <= size, where.constData());
            }
        }
        // The mix reaches every stage: some archives fail to open, some fail
        // while streaming, and some still stream to their end.
        QVERIFY(opened > Cases / 20);
        QVERIFY(completed > Cases / 50);
        QVERIFY(opened - completed > Cases / 50);
        qInfo("%d mutated archives: %d opened, %d streamed to the end", Cases, opened, completed);
    }
};

QTEST_GUILESS_MAIN(TestZipImageSourceMutations)
#include "tst_zipimagesource_mutations.moc"
