#include "core/catalogloader.h"
#include "disks/fileblockdevice.h"
#include "image/imagecache.h"
#include "image/imagesources.h"
#include "testfiles.h"
#include "write/writejob.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

// What only the Windows build can show: how it reads paths given the Windows
// way; and its image sources and write job on card images
// and archives that Linux tools made beforehand (mkfs.fat, zip, xz, zstd):
// TESSARO_FIXTURES names their folder, with SHA256SUMS of the raw cards.
// The cards written here go to TESSARO_FIXTURES_OUT, where fsck.fat and
// mtools check them afterwards (scripts/check-windows-tests). Paths are given
// the Windows way: drive letter and backslashes; the written cards lie in a
// folder named beyond ASCII and deeper than MAX_PATH.
class TestWindowsBuild : public QObject
{
    Q_OBJECT

private:
    QString m_fixtures;
    QString m_out;
    QHash<QString, QByteArray> m_digests;

    QString fixture(const QString &name) const { return QDir::toNativeSeparators(m_fixtures + u'/' + name); }

    static constexpr const char *NoFixtures =
            "TESSARO_FIXTURES and TESSARO_FIXTURES_OUT are not set: scripts/check-windows-tests sets them";

    static QByteArray readAll(ImageSource &source)
    {
        QByteArray bytes;
        QByteArray chunk(1 << 20, Qt::Uninitialized);
        for (;;) {
            const qint64 count = source.read(chunk.data(), chunk.size());
            if (count <= 0)
                return count == 0 ? bytes : QByteArray();
            bytes.append(chunk.constData(), count);
        }
    }

private slots:
    // A catalog named on the command line or in the window, as Windows users
    // write paths.
    void catalogLocations_data()
    {
        QTest::addColumn<QString>("manifest");
        QTest::addColumn<QString>("file"); // empty: not a local file
        const QString here = QDir::currentPath();
        QTest::newRow("drive letter, backslashes") << "C:\\Tessaro\\images.json" << "C:/Tessaro/images.json";
        QTest::newRow("drive letter, slashes") << "C:/Tessaro/images.json" << "C:/Tessaro/images.json";
        QTest::newRow("beyond ASCII") << "D:\\Kataloge Ü 写真\\images.json" << "D:/Kataloge Ü 写真/images.json";
        QTest::newRow("network share") << "\\\\server\\share\\images.json" << "//server/share/images.json";
        QTest::newRow("relative, backslashes") << "catalog\\images.json" << here + "/catalog/images.json";
        QTest::newRow("http") << "http://127.0.0.1/images.json" << QString();
    }
    void catalogLocations()
    {
        QFETCH(QString, manifest);
        QFETCH(QString, file);
        const QUrl url = CatalogLoader::locationFor(manifest);
        QCOMPARE(url.isLocalFile(), !file.isEmpty());
        if (!file.isEmpty())
            QCOMPARE(url.toLocalFile(), file);
    }

    void initTestCase()
    {
        m_fixtures = qEnvironmentVariable("TESSARO_FIXTURES");
        m_out = qEnvironmentVariable("TESSARO_FIXTURES_OUT");
        if (m_fixtures.isEmpty() || m_out.isEmpty())
            return;
        const QByteArray sums = readFile(m_fixtures + QStringLiteral("/SHA256SUMS"));
        QVERIFY2(!sums.isEmpty(), qPrintable(m_fixtures));
        for (const QByteArray &line : sums.split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() == 2)
                m_digests.insert(QString::fromLatin1(fields[1]), QByteArray::fromHex(fields[0]));
        }
        QVERIFY(m_digests.contains(QStringLiteral("card16.img")) && m_digests.contains(QStringLiteral("card32.img")));
    }

    void readsArchivesAndCompressedImages_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("card");
        QTest::newRow("zip, deflated") << "card32.zip" << "card32.img";
        QTest::newRow("zip, stored") << "card16-stored.zip" << "card16.img";
        QTest::newRow("xz, several blocks") << "card16.img.xz" << "card16.img";
        QTest::newRow("zstd") << "card32.img.zst" << "card32.img";
    }
    void readsArchivesAndCompressedImages()
    {
        if (m_fixtures.isEmpty() || m_out.isEmpty())
            QSKIP(NoFixtures);
        QFETCH(QString, file);
        QFETCH(QString, card);
        const std::unique_ptr<ImageSource> source = createLocalImageSource(fixture(file));
        QVERIFY(source);
        QVERIFY2(source->open(), qPrintable(source->errorString()));
        const QByteArray bytes = readAll(*source);
        QCOMPARE(bytes.size(), source->size());
        QCOMPARE(sha256(bytes).toHex(), m_digests.value(card).toHex());
    }

    // The whole write path onto a file: the image written, read back and
    // checked, and the product's boot files written into its FAT partition.
    void writesACardFile_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("card");
        QTest::newRow("FAT16 from xz") << "card16.img.xz" << "card16.img";
        QTest::newRow("FAT32 from zip") << "card32.zip" << "card32.img";
    }
    void writesACardFile()
    {
        if (m_fixtures.isEmpty() || m_out.isEmpty())
            QSKIP(NoFixtures);
        QFETCH(QString, file);
        QFETCH(QString, card);
        QString folder = m_out + QStringLiteral("/Karten Ünïcödé 写真");
        while (folder.size() < 300)
            folder += QLatin1Char('/') + QString(50, QLatin1Char('d'));
        QVERIFY(QDir().mkpath(folder));
        const QString target = QDir::toNativeSeparators(folder + u'/' + card);
        QVERIFY(target.size() > 260 && target.at(1) == u':' && target.contains(u'\\'));

        WriteJob job(createLocalImageSource(fixture(file)),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
        job.setVerify(true);
        job.setBootFiles({{QStringLiteral("PRODUCT.TXT"), "alpha\n"}, {QStringLiteral("CONFIG.TXT"), "mode=standard\n"}});
        job.run();
        QVERIFY2(job.error() == WriteJob::Error::None, qPrintable(job.errorDetail()));
        QCOMPARE(job.writtenSha256().toHex(), m_digests.value(card).toHex());
        QVERIFY(QFile::exists(target));
    }

    // The cache lies in the user's %LOCALAPPDATA%, in a profile folder that
    // may be named beyond ASCII, and takes files there.
    void cacheUnderLocalAppData()
    {
        const QString local = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
        QVERIFY(!local.isEmpty());
        const QString dir = ImageCache::defaultDir();
        QVERIFY2(dir.startsWith(local + u'/', Qt::CaseInsensitive), qPrintable(dir + QStringLiteral(" ") + local));
        const ImageCache cache(dir);
        const QByteArray digest = sha256("tessaro");
        QVERIFY(writeFile(cache.partialPathFor(digest), "partial"));
        QVERIFY(QFile::rename(cache.partialPathFor(digest), cache.pathFor(digest)));
        QCOMPARE(readFile(cache.pathFor(digest)), QByteArray("partial"));
        cache.prune({});
        QVERIFY(!QFile::exists(cache.pathFor(digest)));
    }
};

QTEST_GUILESS_MAIN(TestWindowsBuild)
#include "tst_windowsbuild.moc"
