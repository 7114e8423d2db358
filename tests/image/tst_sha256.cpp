#include "image/sha256.h"
#include "testarchives.h"

#include <QCryptographicHash>
#include <QTest>

using namespace testarchives;

// The helper against Qt's own SHA-256 on machine code and disk-image-like
// bytes, fed in pieces that cross the 64-byte blocks every way.
class TestSha256 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInfo("SHA-256 through %s", Sha256::implementation()); }

    void agreesWithQt_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<qint64>("piece");
        const QByteArray library = readFile(QStringLiteral("/usr/lib/x86_64-linux-gnu/libQt6Core.so.6"));
        QVERIFY(library.size() > 1000000);
        const QByteArray mixed = mixedPayload(3000000, 5);
        QTest::newRow("empty") << QByteArray() << qint64(1);
        QTest::newRow("machine code, bytes one by one") << library.left(200000) << qint64(1);
        QTest::newRow("machine code, 63-byte pieces") << library << qint64(63);
        QTest::newRow("machine code, 4 MiB pieces") << library << qint64(4 << 20);
        QTest::newRow("disk-image-like bytes, 4097-byte pieces") << mixed << qint64(4097);
    }
    void agreesWithQt()
    {
        QFETCH(QByteArray, data);
        QFETCH(qint64, piece);
        Sha256 hash;
        hash.addData("left over", 9);
        hash.reset();
        for (qint64 at = 0; at < data.size(); at += piece) {
            hash.addData(data.constData() + at, std::min(piece, data.size() - at));
            // A digest on the way must not disturb the rest.
            if (at == 0)
                QCOMPARE(hash.result(), QCryptographicHash::hash(data.left(piece), QCryptographicHash::Sha256));
        }
        QCOMPARE(hash.result(), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
    }
};

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
