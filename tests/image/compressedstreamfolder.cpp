#include "compressedstreamfolder.h"

#include <QTest>

namespace testarchives {

CompressedStreamFolder::CompressedStreamFolder(const char *fileName, OpenSource open)
    : m_fileName(QString::fromLatin1(fileName)), m_open(std::move(open))
{
}

void CompressedStreamFolder::addStreamColumns()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<qint64>("chunk");
}

void CompressedStreamFolder::checkStreamsThePayload()
{
    QFETCH(QString, command);
    QFETCH(qint64, chunk);
    const QString error = shell(QStringLiteral("(%1) > '%2'").arg(command, m_fileName));
    QVERIFY2(error.isEmpty(), qPrintable(error));

    const std::unique_ptr<ImageSource> source = m_open(m_dir.filePath(m_fileName));
    const Outcome outcome = stream(*source, chunk);
    QVERIFY2(outcome.opened && !outcome.readFailed, qPrintable(outcome.errorString));
    QCOMPARE(outcome.size, qint64(m_payload.size()));
    QVERIFY(outcome.data == m_payload);
}

void CompressedStreamFolder::addFailureColumns()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("onOpen");
    QTest::addColumn<int>("failure");
    QTest::addColumn<QString>("message");
}

void CompressedStreamFolder::checkFailure()
{
    QFETCH(QString, command);
    QFETCH(QString, damage);
    QFETCH(bool, onOpen);
    QFETCH(int, failure);
    QFETCH(QString, message);
    qint64 undamagedSize = 0;
    const Outcome outcome = streamDamaged(command, [&](QByteArray &bytes) {
        undamagedSize = bytes.size();
        if (damage == QLatin1String("truncate"))
            bytes.truncate(bytes.size() / 2);
        else if (damage == QLatin1String("flip"))
            bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x10);
        else if (damage == QLatin1String("append"))
            bytes.append("garbage\n");
    });
    if (QTest::currentTestFailed())
        return;
    if (message.contains(QLatin1String("%1")))
        message = message.arg(undamagedSize);
    compareFailure(outcome, onOpen, failure, message);
}

Outcome CompressedStreamFolder::streamDamaged(const QString &command,
                                              const std::function<void(QByteArray &bytes)> &damage)
{
    const QString path = m_dir.filePath(m_fileName);
    const QString error = shell(QStringLiteral("(%1) > '%2'").arg(command, m_fileName));
    if (!error.isEmpty()) {
        QTest::qFail(qPrintable(error), __FILE__, __LINE__);
        return {};
    }
    QByteArray bytes = readFile(path);
    damage(bytes);
    if (!writeFile(path, bytes)) {
        QTest::qFail("cannot write the damaged file", __FILE__, __LINE__);
        return {};
    }
    const std::unique_ptr<ImageSource> source = m_open(path);
    return stream(*source, 4 << 20);
}

void CompressedStreamFolder::compareFailure(const Outcome &outcome, bool onOpen, int failure,
                                            const QString &message)
{
    QCOMPARE(!outcome.opened, onOpen);
    QCOMPARE(outcome.readFailed, !onOpen);
    QCOMPARE(outcome.failure, failure);
    QCOMPARE(outcome.errorString, message);
}

} // namespace testarchives
