#include "image/localimagesource.h"
#include "support/testfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestLocalImageSource : public QObject
{
    Q_OBJECT

private slots:
    void streamsTheFileUnchanged_data()
    {
        const qint64 MiB = qint64(1) << 20;
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("chunk");
        QTest::newRow("shorter than one read") << qint64(1000) << qint64(4096);
        QTest::newRow("several reads and a short last one") << 3 * MiB + 17 << MiB;
        QTest::newRow("odd reads") << qint64(100000) << qint64(999);
    }
    void streamsTheFileUnchanged()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, chunk);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("card.img"));
        const QByteArray image = randomBytes(size, 7);
        QVERIFY(writeFile(path, image));

        LocalImageSource source(path);
        QVERIFY(source.open());
        QCOMPARE(source.size(), size);
        QCOMPARE(int(source.failure()), int(ImageSource::Failure::Unreadable));
        QByteArray back;
        QByteArray buffer(chunk, '\0');
        qint64 count;
        while ((count = source.read(buffer.data(), chunk)) > 0) {
            QVERIFY(count <= chunk);
            back.append(buffer.constData(), count);
        }
        QCOMPARE(count, qint64(0));
        QVERIFY(back == image);
        // Still the end on a further call.
        QCOMPARE(source.read(buffer.data(), chunk), qint64(0));
    }

    // A file that shrinks while it is written ends early; the caller tells
    // this from size().
    void shrinkingFileEndsEarly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("card.img"));
        QVERIFY(writeFile(path, QByteArray(10000, 'a')));
        LocalImageSource source(path);
        QVERIFY(source.open());
        QCOMPARE(source.size(), qint64(10000));
        QVERIFY(QFile::resize(path, 3000));
        QByteArray buffer(8192, '\0');
        QCOMPARE(source.read(buffer.data(), buffer.size()), qint64(3000));
        QCOMPARE(source.read(buffer.data(), buffer.size()), qint64(0));
    }

    void missingFileIsUnreadable()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("missing.img"));
        QFile probe(path);
        QVERIFY(!probe.open(QIODevice::ReadOnly));
        LocalImageSource source(path);
        QVERIFY(!source.open());
        QCOMPARE(int(source.failure()), int(ImageSource::Failure::Unreadable));
        QCOMPARE(source.errorString(), probe.errorString());
    }
};

QTEST_GUILESS_MAIN(TestLocalImageSource)
#include "tst_localimagesource.moc"
