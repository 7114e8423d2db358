#include "image/imagesources.h"
#include "image/localimagesource.h"
#include "image/xzimagesource.h"
#include "image/zipimagesource.h"
#include "image/zstdimagesource.h"
#include "testarchives.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <functional>

using namespace testarchives;

namespace {

constexpr int Unreadable = int(ImageSource::Failure::Unreadable);
constexpr int Unsupported = int(ImageSource::Failure::Unsupported);
constexpr int Corrupt = int(ImageSource::Failure::Corrupt);

QString invalid(const char *reason)
{
    return QStringLiteral("invalid zip file: %1").arg(QLatin1String(reason));
}

// Writes zipfile archives: a small notes file, then the named file streamed
// into an entry with zip64 forced even though it is small.
const char *const PythonZip = R"(
import sys, zipfile
archive, name, method = sys.argv[1], sys.argv[2], sys.argv[3]
compression = zipfile.ZIP_DEFLATED if method == 'deflated' else zipfile.ZIP_STORED
with zipfile.ZipFile(archive, 'w', compression) as z, open(name, 'rb') as source:
    z.writestr('notes.txt', 'notes')
    with z.open(name, 'w', force_zip64=True) as entry:
        while True:
            block = source.read(1 << 20)
            if not block:
                break
            entry.write(block)
)";

const char *const PythonEmptyZip = "import sys, zipfile\nzipfile.ZipFile(sys.argv[1], 'w').close()\n";

} // namespace

class TestZipImageSource : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QByteArray m_payload;

    // The payload as disk.img and a small notes.txt in a fresh folder.
    QString prepareFolder(const QString &name)
    {
        const QString folder = m_dir.filePath(name);
        QDir().mkpath(folder + QStringLiteral("/boot/overlays"));
        writeFile(folder + QStringLiteral("/disk.img"), m_payload);
        writeFile(folder + QStringLiteral("/notes.txt"), QByteArrayLiteral("release notes\n"));
        return folder;
    }

    QString writeArchive(const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("crafted.zip"));
        writeFile(path, bytes);
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Over 1 MiB of it does not compress, so deflated entries refill the
        // input buffer several times.
        m_payload = mixedPayload(3 * 1024 * 1024 + 4321, 1);
    }

    void toolArchivesStreamBackTheImage_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("fromPipe");
        QTest::addColumn<qint64>("chunk");
        const qint64 fourMiB = 4 * 1024 * 1024;
        const QStringList files{QStringLiteral("disk.img"), QStringLiteral("notes.txt")};
        QTest::newRow("info-zip stored") << "zip" << QStringList{"-q", "-0", "out.zip"} + files << false << fourMiB;
        QTest::newRow("info-zip deflated") << "zip" << QStringList{"-q", "-9", "out.zip"} + files << false
                                           << qint64(1000003);
        QTest::newRow("info-zip zip64 forced") << "zip" << QStringList{"-q", "-fz", "out.zip"} + files << false
                                               << fourMiB;
        QTest::newRow("info-zip from a pipe") << "zip" << QStringList{"-q", "out.zip", "-"} << true << qint64(65536);
        QTest::newRow("7z deflate") << "7z" << QStringList{"a", "-tzip", "-bd", "-mx=5", "out.zip"} + files << false
                                    << fourMiB;
        QTest::newRow("7z stored") << "7z" << QStringList{"a", "-tzip", "-bd", "-mm=Copy", "out.zip"} + files << false
                                   << qint64(4093);
        QTest::newRow("bsdtar deflate") << "bsdtar" << QStringList{"--format", "zip", "-cf", "out.zip"} + files
                                        << false << fourMiB;
        QTest::newRow("bsdtar stored")
                << "bsdtar" << QStringList{"--format", "zip", "--options", "zip:compression=store", "-cf", "out.zip"} + files
                << false << qint64(1000003);
        QTest::newRow("python zipfile deflated, zip64 forced")
                << "python3" << QStringList{"-c", PythonZip, "out.zip", "disk.img", "deflated"} << false << fourMiB;
        QTest::newRow("python zipfile stored, zip64 forced")
                << "python3" << QStringList{"-c", PythonZip, "out.zip", "disk.img", "stored"} << false << qint64(65536);
    }
    void toolArchivesStreamBackTheImage()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(bool, fromPipe);
        QFETCH(qint64, chunk);
        const QString folder = prepareFolder(QString::fromLatin1(QTest::currentDataTag()));
        const QString error = runTool(program, arguments, folder, fromPipe ? m_payload : QByteArray());
        QVERIFY2(error.isEmpty(), qPrintable(error));

        ZipImageSource source(folder + QStringLiteral("/out.zip"));
        const Outcome outcome = stream(source, chunk);
        QVERIFY2(outcome.opened, qPrintable(outcome.errorString));
        QVERIFY2(!outcome.readFailed, qPrintable(outcome.errorString));
        QCOMPARE(outcome.size, qint64(m_payload.size()));
        QCOMPARE(outcome.data.size(), m_payload.size());
        QVERIFY(outcome.data == m_payload);
    }

    void choosesTheImageEntry_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QList<int>>("sizes");
        QTest::addColumn<int>("chosen");
        QTest::newRow(".IMG beats a larger text file")
                << QStringList{"big.txt", "small.IMG"} << QList<int>{200000, 1000} << 1;
        QTest::newRow("larger of two .bin files") << QStringList{"a.bin", "b.bin"} << QList<int>{1000, 2000} << 1;
        QTest::newRow("first of two .img files of equal size")
                << QStringList{"first.img", "second.img"} << QList<int>{5000, 5000} << 0;
        QTest::newRow("largest of the .img files only")
                << QStringList{"rootfs.ext4", "boot.img", "system.img"} << QList<int>{90000, 3000, 7000} << 2;
    }
    void choosesTheImageEntry()
    {
        QFETCH(QStringList, names);
        QFETCH(QList<int>, sizes);
        QFETCH(int, chosen);
        const QString folder = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folder));
        QList<QByteArray> contents;
        for (int i = 0; i < names.size(); ++i) {
            contents.append(mixedPayload(sizes[i], quint32(100 + i)));
            QVERIFY(writeFile(folder + QLatin1Char('/') + names[i], contents.last()));
        }
        // zip keeps the order of its arguments in the directory.
        const QString error = runTool(QStringLiteral("zip"), QStringList{"-q", "out.zip"} + names, folder);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        ZipImageSource source(folder + QStringLiteral("/out.zip"));
        const Outcome outcome = stream(source, 65536);
        QVERIFY2(outcome.opened && !outcome.readFailed, qPrintable(outcome.errorString));
        QCOMPARE(outcome.size, qint64(sizes[chosen]));
        QVERIFY(outcome.data == contents[chosen]);
    }

    void toolArchivesThatCannotBeWritten_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");
        const QString encrypted = QStringLiteral("encrypted zip entries are not supported");
        QTest::newRow("info-zip split archive") << "zip" << QStringList{"-q", "-s", "64k", "out.zip", "disk.img"}
                                                << Unsupported << "split zip archives are not supported";
        QTest::newRow("info-zip encrypted, stored") << "zip" << QStringList{"-q", "-0", "-P", "secret", "out.zip", "disk.img"}
                                                    << Unsupported << encrypted;
        QTest::newRow("info-zip encrypted, deflated") << "zip" << QStringList{"-q", "-P", "secret", "out.zip", "disk.img"}
                                                      << Unsupported << encrypted;
        QTest::newRow("info-zip bzip2") << "zip" << QStringList{"-q", "-Z", "bzip2", "out.zip", "disk.img"}
                                        << Unsupported << "zip compression method 12 is not supported";
        QTest::newRow("7z deflate64") << "7z" << QStringList{"a", "-tzip", "-bd", "-mm=Deflate64", "out.zip", "disk.img"}
                                      << Unsupported << "zip compression method 9 is not supported";
        QTest::newRow("info-zip folders only") << "zip" << QStringList{"-q", "-r", "out.zip", "boot"}
                                               << Corrupt << invalid("the archive is empty");
        QTest::newRow("python zipfile without entries") << "python3" << QStringList{"-c", PythonEmptyZip, "out.zip"}
                                                        << Corrupt << invalid("the archive is empty");
    }
    void toolArchivesThatCannotBeWritten()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, failure);
        QFETCH(QString, message);
        const QString folder = prepareFolder(QStringLiteral("bad ") + QString::fromLatin1(QTest::currentDataTag()));
        const QString error = runTool(program, arguments, folder);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        ZipImageSource source(folder + QStringLiteral("/out.zip"));
        QVERIFY(!source.open());
        QCOMPARE(int(source.failure()), failure);
        QCOMPARE(source.errorString(), message);
    }

    void craftedArchivesOpen_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("image");
        const QByteArray image = mixedPayload(150000, 3);
        const QByteArray timestamps = QByteArray::fromHex("5554050003d171176b");

        Entry zip64 = deflatedEntry("disk.img", image);
        zip64.zip64 = true;
        zip64.extraBefore = timestamps;
        QTest::newRow("zip64 extra field after other extra records") << buildZip({zip64}).bytes << image;
        QTest::newRow("zip64 end record, locator and extra field") << buildZip({zip64}, true).bytes << image;
        QTest::newRow("zip64 end record with plain entries")
                << buildZip({storedEntry("disk.img", image)}, true).bytes << image;

        Entry padded = storedEntry("disk.img", image);
        padded.extraBefore = timestamps + QByteArray(3, '\0');
        QTest::newRow("fewer than 4 bytes after the last extra record") << buildZip({padded}).bytes << image;

        // Look-alike end records inside the longest comment: each one's own
        // comment would run one byte past the end of the file.
        QByteArray comment(65535, 'c');
        for (const qint64 at : {qint64(0), qint64(30000), qint64(65535 - 22)}) {
            QByteArray decoy = buildZip({}).bytes;
            putLittleEndian32(decoy, End::DirectoryOffset, 0x7fffffff);
            putLittleEndian16(decoy, End::CommentLength, quint16(65535 - at - 22 + 1));
            comment.replace(at, decoy.size(), decoy);
        }
        QTest::newRow("comment of 65535 bytes with look-alike end records")
                << buildZip({deflatedEntry("disk.img", image)}, false, comment).bytes << image;
        QTest::newRow("small archive with a comment")
                << buildZip({storedEntry("disk.img", "tiny")}, false, "made by hand").bytes << QByteArray("tiny");

        Entry trailing = deflatedEntry("disk.img", image);
        trailing.data += QByteArray(5000, 'x');
        QTest::newRow("entry bytes after the deflate stream") << buildZip({trailing}).bytes << image;

        QTest::newRow("folders are skipped")
                << buildZip({storedEntry("boot/", {}), storedEntry("boot/disk.bin", image), storedEntry("b/", {})}).bytes
                << image;
    }
    void craftedArchivesOpen()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, image);
        ZipImageSource source(writeArchive(bytes));
        const Outcome outcome = stream(source, 7000);
        QVERIFY2(outcome.opened && !outcome.readFailed, qPrintable(outcome.errorString));
        QCOMPARE(outcome.size, qint64(image.size()));
        QVERIFY(outcome.data == image);
        QCOMPARE(outcome.reads, int((image.size() + 6999) / 7000));
    }

    void damagedArchivesFail_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("whileReading");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");

        const QByteArray image = mixedPayload(200000, 5);
        const Archive stored = buildZip({storedEntry("disk.img", image)});
        const Archive deflated = buildZip({deflatedEntry("disk.img", image)});
        Entry wide = storedEntry("disk.img", image);
        wide.zip64 = true;
        const Archive zip64 = buildZip({wide}, true);
        const qint64 size = stored.bytes.size();
        const qint64 zip64Values = zip64.centralHeaders[0] + Central::Size + 8 + 4; // after "disk.img", record header
        const auto patched = [](const Archive &archive, const std::function<void(QByteArray &)> &change) {
            QByteArray bytes = archive.bytes;
            change(bytes);
            return bytes;
        };
        const auto failsOnOpen = [](const char *name, const QByteArray &bytes, int failure, const QString &message) {
            QTest::newRow(name) << bytes << false << failure << message;
        };
        const auto failsOnRead = [](const char *name, const QByteArray &bytes, const QString &message) {
            QTest::newRow(name) << bytes << true << Corrupt << message;
        };

        failsOnOpen("empty file", {}, Corrupt, invalid("end of central directory not found"));
        failsOnOpen("not an archive", mixedPayload(100000, 9), Corrupt, invalid("end of central directory not found"));
        failsOnOpen("end record cut by one byte", stored.bytes.chopped(1), Corrupt, invalid("end of central directory not found"));
        failsOnOpen("archive cut inside the entry data", stored.bytes.left(stored.localHeaders[0] + 5000), Corrupt,
                    invalid("end of central directory not found"));
        failsOnOpen("end record whose comment runs past the file",
                    patched(stored, [](QByteArray &b) { putLittleEndian16(b, b.size() - 2, 1); }), Corrupt,
                    invalid("end of central directory not found"));

        failsOnOpen("another disk", patched(stored, [&](QByteArray &b) { putLittleEndian16(b, stored.endRecord + End::DiskNumber, 1); }),
                    Unsupported, "split zip archives are not supported");
        failsOnOpen("directory on another disk",
                    patched(stored, [&](QByteArray &b) { putLittleEndian16(b, stored.endRecord + End::DirectoryDisk, 2); }), Unsupported,
                    "split zip archives are not supported");

        failsOnOpen("zip64 locator missing", patched(zip64, [&](QByteArray &b) { b.remove(zip64.zip64Locator, Zip64Locator::Size); }),
                    Corrupt, invalid("zip64 locator not found"));
        failsOnOpen("zip64 values without any zip64 record",
                    patched(stored, [&](QByteArray &b) { putLittleEndian16(b, stored.endRecord + End::EntryCount, 0xFFFF); }), Corrupt,
                    invalid("zip64 locator not found"));
        {
            QByteArray alone = buildZip({}).bytes;
            putLittleEndian32(alone, End::DirectoryOffset, 0xFFFFFFFF);
            failsOnOpen("zip64 end record at the very start of the file", alone, Corrupt, invalid("zip64 locator not found"));
        }
        failsOnOpen("zip64 end record past the end of the file",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64.zip64Locator + Zip64Locator::EndRecordOffset, quint64(b.size()) + 1); }),
                    Corrupt, invalid("zip64 end of central directory out of range"));
        failsOnOpen("zip64 end record offset above 2^63",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64.zip64Locator + Zip64Locator::EndRecordOffset, quint64(1) << 63); }),
                    Corrupt, invalid("zip64 end of central directory out of range"));
        failsOnOpen("zip64 end record cut by the end of the file",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64.zip64Locator + Zip64Locator::EndRecordOffset, quint64(b.size()) - 30); }),
                    Corrupt, invalid("zip64 end of central directory not found"));
        failsOnOpen("zip64 end record signature damaged", patched(zip64, [&](QByteArray &b) { b[zip64.zip64EndRecord] = 'Q'; }),
                    Corrupt, invalid("zip64 end of central directory not found"));

        failsOnOpen("central directory past the end of the file",
                    patched(stored, [&](QByteArray &b) { putLittleEndian32(b, stored.endRecord + End::DirectoryOffset, quint32(size) + 1); }),
                    Corrupt, invalid("central directory out of range"));
        failsOnOpen("central directory size past the end of the file",
                    patched(stored, [&](QByteArray &b) { putLittleEndian32(b, stored.endRecord + End::DirectorySize, 1000); }), Corrupt,
                    invalid("central directory out of range"));
        failsOnOpen("zip64 central directory size of 2^63",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64.zip64EndRecord + Zip64End::DirectorySize, quint64(1) << 63); }),
                    Corrupt, invalid("central directory out of range"));
        failsOnOpen("zip64 central directory offset of 2^64 - 1",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64.zip64EndRecord + Zip64End::DirectoryOffset, ~quint64(0)); }),
                    Corrupt, invalid("central directory out of range"));

        failsOnOpen("central header signature damaged", patched(stored, [&](QByteArray &b) { b[stored.centralHeaders[0] + 3] = 3; }),
                    Corrupt, invalid("bad central directory entry"));
        failsOnOpen("more entries counted than recorded",
                    patched(stored, [&](QByteArray &b) { putLittleEndian16(b, stored.endRecord + End::EntryCount, 2); }), Corrupt,
                    invalid("bad central directory entry"));
        failsOnOpen("zip64 entry count of 2^64 - 1",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64.zip64EndRecord + Zip64End::EntryCount, ~quint64(0)); }),
                    Corrupt, invalid("bad central directory entry"));
        failsOnOpen("name running past the directory",
                    patched(stored, [&](QByteArray &b) { putLittleEndian16(b, stored.centralHeaders[0] + Central::NameLength, 200); }),
                    Corrupt, invalid("bad central directory entry"));
        failsOnOpen("comment running past the directory",
                    patched(stored, [&](QByteArray &b) { putLittleEndian16(b, stored.centralHeaders[0] + Central::CommentLength, 1); }),
                    Corrupt, invalid("bad central directory entry"));

        {
            Entry entry = storedEntry("disk.img", image);
            entry.extraBefore = QByteArray::fromHex("55540f0003d171176b"); // declares 15 bytes, holds 5
            failsOnOpen("extra record running past the extra field", buildZip({entry}).bytes, Corrupt,
                        invalid("bad zip64 extra field"));
        }
        failsOnOpen("zip64 extra field without the local header offset",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian16(b, zip64Values - 2, 16); }), Corrupt, invalid("bad zip64 extra field"));

        failsOnOpen("no entries", buildZip({}).bytes, Corrupt, invalid("the archive is empty"));
        failsOnOpen("folders only", buildZip({storedEntry("boot/", {}), storedEntry("boot/overlays/", {})}).bytes, Corrupt,
                    invalid("the archive is empty"));
        // An empty image is refused even where its bytes would be damaged.
        Entry wrongCrc = storedEntry("empty.img", {});
        wrongCrc.crc = 0x12345678;
        failsOnOpen("zero-byte entry with a wrong CRC", buildZip({wrongCrc}).bytes, Unsupported, "the image is empty");

        Entry locked = storedEntry("disk.img", image);
        locked.flags = 0x0001;
        failsOnOpen("encrypted stored entry", buildZip({locked}).bytes, Unsupported, "encrypted zip entries are not supported");
        Entry bzip2 = storedEntry("disk.img", image);
        bzip2.method = 12;
        failsOnOpen("bzip2 entry", buildZip({bzip2}).bytes, Unsupported, "zip compression method 12 is not supported");
        locked.method = 12;
        failsOnOpen("encryption is reported before the method", buildZip({locked}).bytes, Unsupported,
                    "encrypted zip entries are not supported");
        bzip2.zip64 = true;
        bzip2.uncompressedSize = quint64(1) << 63;
        failsOnOpen("the method is reported before the sizes", buildZip({bzip2}).bytes, Unsupported,
                    "zip compression method 12 is not supported");

        failsOnOpen("stored entry whose sizes differ",
                    patched(stored, [&](QByteArray &b) { putLittleEndian32(b, stored.centralHeaders[0] + Central::UncompressedSize, quint32(image.size()) + 1); }),
                    Corrupt, invalid("bad entry sizes"));
        failsOnOpen("zip64 uncompressed size above 2^63",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64Values, quint64(1) << 63); }), Corrupt,
                    invalid("bad entry sizes"));
        failsOnOpen("local header past the end of the file",
                    patched(stored, [&](QByteArray &b) { putLittleEndian32(b, stored.centralHeaders[0] + Central::LocalHeaderOffset, quint32(size) + 1); }),
                    Corrupt, invalid("local header out of range"));
        failsOnOpen("zip64 local header offset above 2^63",
                    patched(zip64, [&](QByteArray &b) { putLittleEndian64(b, zip64Values + 16, quint64(1) << 63); }), Corrupt,
                    invalid("local header out of range"));
        failsOnOpen("local header cut by the end of the file",
                    patched(stored, [&](QByteArray &b) { putLittleEndian32(b, stored.centralHeaders[0] + Central::LocalHeaderOffset, quint32(size) - 10); }),
                    Corrupt, invalid("local header not found"));
        failsOnOpen("local header signature damaged", patched(stored, [&](QByteArray &b) { b[1] = 'Q'; }), Corrupt,
                    invalid("local header not found"));
        {
            Archive small = buildZip({storedEntry("disk.img", "tiny image")});
            putLittleEndian16(small.bytes, small.localHeaders[0] + Local::ExtraLength, 0xFFFF);
            failsOnOpen("local extra field past the end of the file", small.bytes, Corrupt, invalid("entry data out of range"));
        }
        failsOnOpen("compressed size past the end of the file",
                    patched(deflated, [&](QByteArray &b) { putLittleEndian32(b, deflated.centralHeaders[0] + Central::CompressedSize, quint32(b.size())); }),
                    Corrupt, invalid("entry data out of range"));
        {
            // Cut 20000 bytes out of the entry data and move the directory
            // back with them, as a careless repair would.
            QByteArray cut = stored.bytes;
            cut.remove(stored.localHeaders[0] + 1000, 20000);
            putLittleEndian32(cut, stored.endRecord - 20000 + End::DirectoryOffset, quint32(stored.directory - 20000));
            failsOnOpen("archive cut inside the entry data, directory intact", cut, Corrupt, invalid("entry data out of range"));
        }

        failsOnRead("deflate stream ending before the declared size",
                    patched(deflated, [&](QByteArray &b) { putLittleEndian32(b, deflated.centralHeaders[0] + Central::UncompressedSize, quint32(image.size()) + 1000); }),
                    "compressed data shorter than declared");
        failsOnRead("compressed size cutting the deflate stream",
                    patched(deflated, [&](QByteArray &b) {
                        const qint64 at = deflated.centralHeaders[0] + Central::CompressedSize;
                        putLittleEndian32(b, at, qFromLittleEndian<quint32>(b.constData() + at) - 100);
                    }),
                    "truncated zip entry");
        {
            Entry entry = deflatedEntry("disk.img", image);
            entry.data[0] = 0x07; // final block of the reserved type 3
            // The reason is the decoder's own: ISA-L tells block faults apart less finely.
            const char *reason = qstrcmp(RawInflate::implementation(), "zlib") == 0 ? "invalid block type" : "invalid block";
            failsOnRead("invalid deflate block type", buildZip({entry}).bytes,
                        QStringLiteral("corrupt compressed data (%1)").arg(QLatin1String(reason)));
        }
        {
            Entry entry = deflatedEntry("disk.img", image);
            entry.crc ^= 1;
            failsOnRead("wrong CRC in the central directory", buildZip({entry}).bytes, "CRC32 mismatch");
        }
    }
    void damagedArchivesFail()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, whileReading);
        QFETCH(int, failure);
        QFETCH(QString, message);
        ZipImageSource source(writeArchive(bytes));
        const Outcome outcome = stream(source, 65536);
        QCOMPARE(outcome.opened, whileReading);
        QCOMPARE(outcome.readFailed, whileReading);
        QCOMPARE(outcome.failure, failure);
        QCOMPARE(outcome.errorString, message);
    }

    // A flipped byte in the middle of a stored entry passes every read but the
    // last, which fails and whose bytes must not be used.
    void crcMismatchShowsOnlyAtTheEnd()
    {
        const QByteArray image = mixedPayload(300000, 11);
        Archive archive = buildZip({storedEntry("disk.img", image)});
        archive.bytes[archive.localHeaders[0] + Local::Size + 8 + 150000] ^= 0x10;
        ZipImageSource source(writeArchive(archive.bytes));
        const Outcome outcome = stream(source, 65536);
        QVERIFY(outcome.opened);
        QCOMPARE(outcome.reads, 4);
        QCOMPARE(outcome.data.size(), 4 * 65536);
        QVERIFY(outcome.readFailed);
        QCOMPARE(outcome.failure, Corrupt);
        QCOMPARE(outcome.errorString, QStringLiteral("CRC32 mismatch"));
    }

    // zlib takes the bits of a match from the last input byte before it has
    // written the match out. A read that ends there leaves output pending with
    // all entry data consumed, and that is not a cut entry. With the short
    // fixed codes this happens for many lengths of the closing run of zeros.
    void outputPendingAfterTheLastInputByte_data()
    {
        QTest::addColumn<qint64>("chunk");
        for (const qint64 chunk : {1, 100})
            QTest::addRow("reads of %lld bytes", chunk) << chunk;
    }
    void outputPendingAfterTheLastInputByte()
    {
        QFETCH(qint64, chunk);
        const QByteArray head = randomBytes(3000, 21);
        for (int zeros = 1; zeros < 800; zeros += 7) {
            const QByteArray image = head + QByteArray(zeros, '\0');
            ZipImageSource source(writeArchive(buildZip({deflatedEntry("disk.img", image, true)}).bytes));
            const Outcome outcome = stream(source, chunk);
            QVERIFY2(outcome.opened && !outcome.readFailed,
                     qPrintable(QStringLiteral("%1 zeros: %2").arg(zeros).arg(outcome.errorString)));
            QVERIFY(outcome.data == image);
        }
    }

    // A directory of up to 64 MiB is read whole; a larger one is refused
    // before anything is read. The file is sparse: zeros, then the end record.
    void directoryOver64MiBIsRefused_data()
    {
        QTest::addColumn<qint64>("directorySize");
        QTest::addColumn<QString>("message");
        QTest::newRow("64 MiB is read") << (qint64(64) << 20) << invalid("bad central directory entry");
        QTest::newRow("a byte more is refused") << (qint64(64) << 20) + 1 << invalid("central directory out of range");
    }
    void directoryOver64MiBIsRefused()
    {
        QFETCH(qint64, directorySize);
        QFETCH(QString, message);
        const qint64 fileSize = qint64(70) << 20;
        QByteArray end = buildZip({}).bytes;
        putLittleEndian16(end, End::DiskEntries, 1);
        putLittleEndian16(end, End::EntryCount, 1);
        putLittleEndian32(end, End::DirectorySize, quint32(directorySize));
        const QString path = m_dir.filePath(QStringLiteral("sparse.zip"));
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(file.resize(fileSize - end.size()));
            QVERIFY(file.seek(fileSize - end.size()));
            QCOMPARE(file.write(end), qint64(end.size()));
        }
        ZipImageSource source(path);
        QVERIFY(!source.open());
        QCOMPARE(int(source.failure()), Corrupt);
        QCOMPARE(source.errorString(), message);
        QFile::remove(path);
    }

    void archiveShrinkingWhileReadIsTruncated()
    {
        const QByteArray image = mixedPayload(300000, 13);
        const QString path = writeArchive(buildZip({storedEntry("disk.img", image)}).bytes);
        ZipImageSource source(path);
        QVERIFY(source.open());
        QVERIFY(QFile::resize(path, 100000));
        QByteArray buffer(65536, '\0');
        QCOMPARE(source.read(buffer.data(), buffer.size()), qint64(65536));
        QCOMPARE(source.read(buffer.data(), buffer.size()), qint64(100000 - 65536 - 38));
        QCOMPARE(source.read(buffer.data(), buffer.size()), qint64(-1));
        QCOMPARE(int(source.failure()), Corrupt);
        QCOMPARE(source.errorString(), QStringLiteral("truncated zip entry"));
    }

    void missingArchiveIsUnreadable()
    {
        const QString path = m_dir.filePath(QStringLiteral("no such archive.zip"));
        QFile probe(path);
        QVERIFY(!probe.open(QIODevice::ReadOnly));
        ZipImageSource source(path);
        QVERIFY(!source.open());
        QCOMPARE(int(source.failure()), Unreadable);
        QCOMPARE(source.errorString(), probe.errorString());
    }

    // The files do not exist: only the name decides.
    void createLocalImageSourceChoosesByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        const QList<QPair<QString, QStringList>> namesByKind = {
            {"zip", {"card.zip", "CARD.ZIP", "card.Zip"}},
            {"xz", {"card.img.xz", "CARD.XZ"}},
            {"zstd", {"card.img.zst", "card.ZST"}},
            {"plain", {"card.img", "card.zip.img", "card.xz.img", "card", "cardzip"}},
        };
        for (const auto &[kind, names] : namesByKind) {
            for (const QString &name : names)
                QTest::newRow(qPrintable(name)) << name << kind;
        }
    }
    void createLocalImageSourceChoosesByName()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        const std::unique_ptr<ImageSource> source = createLocalImageSource(m_dir.filePath(name));
        QVERIFY(source);
        QString actual = QStringLiteral("plain");
        if (dynamic_cast<ZipImageSource *>(source.get()))
            actual = QStringLiteral("zip");
        else if (dynamic_cast<XzImageSource *>(source.get()))
            actual = QStringLiteral("xz");
        else if (dynamic_cast<ZstdImageSource *>(source.get()))
            actual = QStringLiteral("zstd");
        else
            QVERIFY(dynamic_cast<LocalImageSource *>(source.get()));
        QCOMPARE(actual, kind);
    }

    // The size shown for a chosen archive is that of the image inside it,
    // under any name: the content tells an archive.
    void localArchiveIsReadUnderAnyName()
    {
        const QString folder = prepareFolder(QStringLiteral("local"));
        const QString error = runTool(QStringLiteral("zip"), {"-q", "Image.ZIP", "disk.img"}, folder);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY(QFile::copy(folder + QStringLiteral("/Image.ZIP"), folder + QStringLiteral("/image.zip.img")));

        const std::unique_ptr<ImageSource> archive = createLocalImageSource(folder + QStringLiteral("/Image.ZIP"));
        QVERIFY(archive->open());
        QCOMPARE(archive->size(), qint64(m_payload.size()));

        const std::unique_ptr<ImageSource> named = createLocalImageSource(folder + QStringLiteral("/image.zip.img"));
        const Outcome outcome = stream(*named, 1 << 20);
        QVERIFY(outcome.opened && !outcome.readFailed);
        QCOMPARE(outcome.size, qint64(m_payload.size()));
        QVERIFY(outcome.data == m_payload);
    }
};

QTEST_GUILESS_MAIN(TestZipImageSource)
#include "tst_zipimagesource.moc"
