#include "image/zipimagesource.h"
#include "testarchives.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testarchives;

namespace {

// Streams `size` bytes of zeros ending in "TESSARO!" into one entry with
// Python's zipfile. Fast deflate of zeros keeps the archive near 20 MB, and
// sizes over 4 GiB make zipfile record them in the zip64 extra field.
const char *const PythonLargeZip = R"(
import sys, zipfile
archive, size = sys.argv[1], int(sys.argv[2])
block = bytes(1 << 22)
with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED, compresslevel=1) as z:
    with z.open('card.img', 'w', force_zip64=True) as entry:
        left = size - 8
        while left > 0:
            n = min(left, len(block))
            entry.write(block if n == len(block) else block[:n])
            left -= n
        entry.write(b'TESSARO!')
)";

} // namespace

class TestZipImageSourceLarge : public QObject
{
    Q_OBJECT

private slots:
    void entryOver4GiBStreamsToItsEnd()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const qint64 size = (qint64(4) << 30) + 12345;
        const QString error = runTool(QStringLiteral("python3"),
                                  {QStringLiteral("-c"), QString::fromLatin1(PythonLargeZip), QStringLiteral("big.zip"), QString::number(size)},
                                  dir.path());
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const QString path = dir.filePath(QStringLiteral("big.zip"));
        QVERIFY(QFileInfo(path).size() < (qint64(64) << 20));

        ZipImageSource source(path);
        QVERIFY2(source.open(), qPrintable(source.errorString()));
        QCOMPARE(source.size(), size);

        // One call hands out at most 1 GiB, whatever is asked; this also keeps
        // every length within zlib's 32-bit counters.
        {
            const qint64 asked = qint64(3) << 29;
            std::unique_ptr<char[]> huge(new char[size_t(asked)]);
            QCOMPARE(source.read(huge.get(), asked), qint64(1) << 30);
        }

        qint64 delivered = qint64(1) << 30;
        const qint64 chunk = qint64(4) << 20;
        std::unique_ptr<char[]> buffer(new char[chunk]);
        QByteArray last;
        for (;;) {
            const qint64 count = source.read(buffer.get(), chunk);
            QVERIFY2(count >= 0, qPrintable(source.errorString()));
            if (count == 0)
                break;
            delivered += count;
            const qint64 kept = std::min<qint64>(count, 8);
            last = (last + QByteArray(buffer.get() + count - kept, int(kept))).right(8);
        }
        // The CRC is checked when the last byte goes out; a mismatch fails the
        // loop above.
        QCOMPARE(delivered, size);
        QCOMPARE(last, QByteArray("TESSARO!"));
    }
};

QTEST_GUILESS_MAIN(TestZipImageSourceLarge)
#include "tst_zipimagesource_large.moc"
