#include "disks/alignedbuffer.h"

#include <QTest>

#include <cstdint>

class TestAlignedBuffer : public QObject
{
    Q_OBJECT

private slots:
    void sizeIsRoundedToPages_data()
    {
        const qint64 page = 4096;
        QTest::addColumn<qint64>("requested");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("empty") << qint64(0) << qint64(0);
        QTest::newRow("one byte") << qint64(1) << page;
        QTest::newRow("one sector") << qint64(512) << page;
        QTest::newRow("exact page") << page << page;
        QTest::newRow("page and a byte") << page + 1 << 2 * page;
        QTest::newRow("4 MiB chunk") << qint64(4 << 20) << qint64(4 << 20);
    }
    void sizeIsRoundedToPages()
    {
        QFETCH(qint64, requested);
        QFETCH(qint64, expected);
        AlignedBuffer buffer(requested);
        QCOMPARE(buffer.size(), expected);
        QVERIFY(buffer.data() != nullptr);
        QCOMPARE(reinterpret_cast<std::uintptr_t>(buffer.data()) % 4096, std::uintptr_t(0));
        // The whole rounded size is usable memory.
        if (buffer.size() > 0) {
            buffer.data()[0] = 1;
            buffer.data()[buffer.size() - 1] = 2;
        }
    }

    void roundUp_data()
    {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<qint64>("unit");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("zero") << qint64(0) << qint64(512) << qint64(0);
        QTest::newRow("short last block") << qint64(1000) << qint64(512) << qint64(1024);
        QTest::newRow("multiple stays") << qint64(1024) << qint64(512) << qint64(1024);
        QTest::newRow("4K sectors") << qint64(4097) << qint64(4096) << qint64(8192);
        QTest::newRow("beyond 4 GiB") << (qint64(5) << 30) + 1 << qint64(512) << (qint64(5) << 30) + 512;
    }
    void roundUp()
    {
        QFETCH(qint64, value);
        QFETCH(qint64, unit);
        QFETCH(qint64, expected);
        QCOMPARE(AlignedBuffer::roundUp(value, unit), expected);
    }
};

QTEST_APPLESS_MAIN(TestAlignedBuffer)
#include "tst_alignedbuffer.moc"
