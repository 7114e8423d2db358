#include "support/programrun.h"

#include <QTest>

// Runs the real executable, as a user would from a terminal.
class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    struct Result
    {
        int exitCode = -1;
        QString out;
        QString err;
    };

    static Result run(const QStringList &arguments)
    {
        ProgramOptions options;
        options.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        options.environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
        options.timeoutMs = 30000;
        const ProgramRun run = runProgram(QStringLiteral(TESSARO_EXECUTABLE), arguments, options);
        return {run.exitCode, QString::fromUtf8(run.output), QString::fromUtf8(run.errors)};
    }

private slots:
    void version()
    {
        const Result result = run({QStringLiteral("--version")});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out.trimmed(), QStringLiteral("Tessaro 0.1.0"));
    }

    void targetFileIsAccepted()
    {
        const Result result = run({QStringLiteral("--target-file"), QStringLiteral("/tmp/card.img"), QStringLiteral("--version")});
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.out.trimmed(), QStringLiteral("Tessaro 0.1.0"));
    }

    void helpHidesTheTargetFile()
    {
        const Result result = run({QStringLiteral("--help")});
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.out.contains(QStringLiteral("--manifest <url|file>")));
        QVERIFY(result.out.contains(QStringLiteral("Load the image catalog from this URL or file.")));
        QVERIFY(result.out.contains(QStringLiteral("--version")));
        QVERIFY(!result.out.contains(QStringLiteral("target-file")));
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << "Unknown option 'bogus'.";
        QTest::newRow("missing value") << QStringList{QStringLiteral("--manifest")}
                                       << "Missing value after '--manifest'.";
    }
    void refusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Result result = run(arguments);
        QVERIFY(result.exitCode != 0);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
