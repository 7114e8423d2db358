#include "writefixture.h"

#include "programrun.h"
#include "wineprefix.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

// tessaro-cli.exe of the Windows build, run under Wine in a prefix whose
// user is named beyond ASCII: a catalog build from nginx goes into the cache
// under that user's %LOCALAPPDATA% and onto target files in folders named
// beyond ASCII and deeper than MAX_PATH, given with drive letters and
// backslashes; the Linux tools then check the cards. Runs when
// TESSARO_WINDOWS_PROGRAMS names the folder of the programs (and
// TESSARO_WINDOWS_DLLS, separated by ":", folders of DLLs they need beside
// it); scripts/check-windows-tests sets them.
class TestWindowsPrograms : public QObject
{
    Q_OBJECT

private:
    WriteFixture m_fixture;
    WinePrefix m_wine;
    QString m_programs;
    QStringList m_dllFolders;
    std::unique_ptr<QTemporaryDir> m_work;

    ProgramOptions options() const
    {
        ProgramOptions options;
        options.environment = m_wine.environment(m_dllFolders);
        options.folder = m_work->path();
        options.timeoutMs = 180000;
        return options;
    }

    ProgramRun cli(const QStringList &arguments) const
    {
        return m_wine.run(m_programs + QStringLiteral("/tessaro-cli.exe"), arguments, options());
    }

    // Two cards in folders whose names Windows programs get wrong easily:
    // letters beyond ASCII, and a path longer than MAX_PATH (260).
    QStringList cards() const
    {
        const QString unicode = m_work->filePath(QStringLiteral("Fotos Ünïcödé 写真"));
        QString deep = m_work->path();
        while (deep.size() < 300)
            deep += QLatin1Char('/') + QString(60, QLatin1Char('d'));
        QDir().mkpath(unicode);
        QDir().mkpath(deep);
        return {unicode + QStringLiteral("/a.img"), deep + QStringLiteral("/b.img")};
    }

    static QStringList targetArguments(const QStringList &cards)
    {
        QStringList arguments;
        for (const QString &card : cards)
            arguments << QStringLiteral("--target-file") << WinePrefix::windowsPath(card);
        return arguments;
    }

    QString cacheFolder() const
    {
        return m_wine.userFolder() + QStringLiteral("/AppData/Local/Tessaro/cache/images");
    }

    // The card holds the image's file system with exactly these boot files,
    // and outside the FAT partition the image's bytes, up to its end rounded
    // to whole sectors.
    static void checkWritten(const QString &card, const CardImage &image, const BootFiles &files)
    {
        checkCard(card, image, files);
        if (QTest::currentTestFailed())
            return;
        const QByteArray written = readFile(card);
        const QByteArray original = readFile(image.path());
        QCOMPARE(written.size(), (original.size() + 511) / 512 * 512);
        const qint64 start = image.partitionOffset();
        const qint64 end = start + image.partitionBytes();
        QVERIFY2(written.left(start) == original.left(start), "the bytes before the partition differ");
        QVERIFY2(written.mid(end) == original.mid(end).leftJustified(written.size() - end, '\0'),
                 "the bytes after the partition differ");
    }

private slots:
    void initTestCase()
    {
        m_programs = qEnvironmentVariable("TESSARO_WINDOWS_PROGRAMS");
        if (m_programs.isEmpty())
            QSKIP("TESSARO_WINDOWS_PROGRAMS is not set: scripts/check-windows-tests runs these tests");
        m_dllFolders = qEnvironmentVariable("TESSARO_WINDOWS_DLLS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
        QVERIFY2(QFileInfo::exists(m_programs + QStringLiteral("/tessaro-cli.exe")), qPrintable(m_programs));
        QVERIFY2(m_wine.start(), qPrintable(m_wine.errorString()));
        const QString user = QFileInfo(m_wine.userFolder()).fileName();
        QVERIFY2(std::any_of(user.cbegin(), user.cend(), [](QChar c) { return c.unicode() > 127; }),
                 qPrintable(QStringLiteral("the Wine prefix's user %1 has an ASCII name").arg(user)));
        QString error;
        QVERIFY2(m_fixture.create(&error), qPrintable(error));
        QVERIFY(m_fixture.writeCatalog());
    }

    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        QVERIFY(m_work->isValid());
    }

    // A catalog build from the slow server, stopped hard while it downloads:
    // the next run asks only for the rest, into the cache under the Windows
    // user's %LOCALAPPDATA%, and writes both cards.
    void resumesAnInterruptedDownload()
    {
        FixtureFile archive;
        const QString published = m_fixture.writePaddedCatalog(4, 7, &archive);
        QVERIFY2(published.isEmpty(), qPrintable(published));
        const QStringList targets = cards();
        const QStringList arguments =
                QStringList{QStringLiteral("write"), QStringLiteral("--manifest"), m_fixture.catalogUrl(),
                            QStringLiteral("--product"), QStringLiteral("alpha"), QStringLiteral("--device"),
                            QStringLiteral("s"), QStringLiteral("--image"), QStringLiteral("padded"),
                            QStringLiteral("--yes"), QStringLiteral("--json")}
                + targetArguments(targets);
        const int requestsBefore = m_fixture.nginx().accessLog().size();

        QProcess stopped;
        stopped.setProcessEnvironment(options().environment);
        stopped.setWorkingDirectory(m_work->path());
        stopped.setStandardInputFile(QProcess::nullDevice());
        stopped.start(m_wine.wine(), QStringList{m_programs + QStringLiteral("/tessaro-cli.exe")} + arguments);
        QVERIFY(stopped.waitForStarted());
        const auto downloaded = [&stopped] {
            while (stopped.canReadLine()) {
                const QJsonObject event = QJsonDocument::fromJson(stopped.readLine()).object();
                if (event.value(QStringLiteral("event")).toString() == QLatin1String("download")
                    && event.value(QStringLiteral("bytesDone")).toInteger() > 0)
                    return true;
            }
            return false;
        };
        QVERIFY2(QTest::qWaitFor(downloaded, 60000), "no download progress");
        stopped.kill();
        QVERIFY(stopped.waitForFinished(30000));
        const QString part = cacheFolder() + QLatin1Char('/') + archive.hex() + QStringLiteral(".part");
        QVERIFY2(QFileInfo(part).size() > 0, qPrintable(part));
        for (const QString &target : targets)
            QVERIFY(!QFileInfo::exists(target));

        const ProgramRun resumed = cli(arguments);
        QVERIFY2(resumed.succeeded(), qPrintable(resumed.problem));
        for (const QString &target : targets) {
            checkWritten(target, m_fixture.card16, ProductFiles);
            if (QTest::currentTestFailed())
                return;
        }
        const QStringList requests =
                m_fixture.nginx().accessLog().mid(requestsBefore).filter(QStringLiteral("padded.zip"));
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0], QStringLiteral("GET /slow/cat/builds/padded.zip 200 -"));
        QVERIFY2(requests[1].startsWith(QStringLiteral("GET /slow/cat/builds/padded.zip 206 bytes=")), qPrintable(requests[1]));
        QVERIFY(QFileInfo::exists(cacheFolder() + QLatin1Char('/') + archive.hex() + QStringLiteral(".zip")));
        QVERIFY(!QFileInfo::exists(part));
    }
};

QTEST_GUILESS_MAIN(TestWindowsPrograms)
#include "tst_windowsprograms.moc"
