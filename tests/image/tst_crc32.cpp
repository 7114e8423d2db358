#include "image/crc32.h"
#include "testarchives.h"

#include <QTest>

using namespace testarchives;

// The ZIP CRC-32 against zlib's on real bytes, whole and in uneven pieces.
class TestCrc32 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInfo("CRC-32 through %s", Crc32::implementation()); }

    void agreesWithZlib_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<qint64>("piece");
        const QByteArray library = readFile(QStringLiteral("/usr/lib/x86_64-linux-gnu/libQt6Core.so.6"));
        QVERIFY(library.size() > 1000000);
        QTest::newRow("empty") << QByteArray() << qint64(1);
        QTest::newRow("check value") << QByteArray("123456789") << qint64(9);
        QTest::newRow("machine code, bytes one by one") << library.left(100000) << qint64(1);
        QTest::newRow("machine code, 1000-byte pieces") << library << qint64(1000);
        QTest::newRow("disk-image-like bytes, whole") << mixedPayload(3000000, 9) << qint64(3000000);
    }
    void agreesWithZlib()
    {
        QFETCH(QByteArray, data);
        QFETCH(qint64, piece);
        Crc32 crc;
        for (qint64 at = 0; at < data.size(); at += piece)
            crc.addData(data.constData() + at, std::min(piece, data.size() - at));
        QCOMPARE(crc.value(), crc32Of(data));
        if (data == "123456789")
            QCOMPARE(crc.value(), 0xCBF43926u);
    }
};

QTEST_GUILESS_MAIN(TestCrc32)
#include "tst_crc32.moc"
