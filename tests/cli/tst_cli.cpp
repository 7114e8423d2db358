#include "writefixture.h"

#include "programrun.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The real tessaro-cli: catalog builds served by nginx written to several
// target files at once, checked with fsck.fat and mtools; failures,
// cancellation, JSON output and the refusals of its command line.
class TestCli : public QObject
{
    Q_OBJECT

private:
    WriteFixture m_fixture;
    std::unique_ptr<QTemporaryDir> m_home; // the program's cache lives below it

    QProcess *start(const QStringList &arguments)
    {
        auto *process = new QProcess(this);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home->path());
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(m_home->path());
        // Standard input is not a terminal here.
        process->setStandardInputFile(QProcess::nullDevice());
        process->start(QStringLiteral(TESSARO_CLI), arguments);
        return process;
    }

    ProgramRun run(const QStringList &arguments)
    {
        ProgramOptions options;
        options.environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home->path());
        options.folder = m_home->path();
        options.timeoutMs = 120000;
        return runProgram(QStringLiteral(TESSARO_CLI), arguments, options);
    }

    QStringList cacheFiles() const
    {
        QStringList names;
        QDirIterator files(m_home->path(), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QFileInfo file(files.next());
            if (file.path().endsWith(QLatin1String("/images")))
                names << file.fileName();
        }
        names.sort();
        return names;
    }

    QStringList buildArguments(const QString &image, const QStringList &targets, bool json) const
    {
        QStringList arguments{QStringLiteral("write"), QStringLiteral("--manifest"), m_fixture.catalogUrl(),
                              QStringLiteral("--product"), QStringLiteral("alpha"), QStringLiteral("--device"),
                              QStringLiteral("s"), QStringLiteral("--image"), image, QStringLiteral("--yes")};
        for (const QString &target : targets)
            arguments << QStringLiteral("--target-file") << target;
        if (json)
            arguments << QStringLiteral("--json");
        return arguments;
    }

    static QList<QJsonObject> jsonLines(const QByteArray &out)
    {
        QList<QJsonObject> events;
        for (const QByteArray &line : out.split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (!document.isObject()) {
                qWarning("not a JSON object: %s", line.constData());
                return {};
            }
            events << document.object();
        }
        return events;
    }

    static QList<QJsonObject> eventsOf(const QList<QJsonObject> &events, const QString &name)
    {
        QList<QJsonObject> found;
        for (const QJsonObject &event : events) {
            if (event.value(QStringLiteral("event")).toString() == name)
                found << event;
        }
        return found;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_fixture.create(&error), qPrintable(error));
    }

    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_fixture.writeCatalog({m_fixture.slowBuild()}));
    }

    void threeCardsAtOnce()
    {
        const QStringList targets{m_home->filePath(QStringLiteral("a.img")), m_home->filePath(QStringLiteral("b.img")),
                                  m_home->filePath(QStringLiteral("c.img"))};
        const int requestsBefore = m_fixture.nginx().accessLog().size();
        const ProgramRun result = run(buildArguments(QStringLiteral("custom"), targets, true));
        QVERIFY2(result.exitCode == 0, result.errors.constData());

        for (const QString &target : targets) {
            checkCard(target, m_fixture.card32, CustomFiles);
            if (QTest::currentTestFailed())
                return;
        }
        const QStringList requests = m_fixture.nginx().accessLog().mid(requestsBefore);
        QCOMPARE(requests, (QStringList{QStringLiteral("GET /cat/images.json 200 -"),
                                        QStringLiteral("GET /cat/builds/card32.zip 200 -")}));
        QCOMPARE(cacheFiles(), QStringList{m_fixture.archive32.hex() + QStringLiteral(".zip")});

        // Every line is an object; every card went through its phases to the end.
        const QList<QJsonObject> events = jsonLines(result.output);
        QVERIFY(!events.isEmpty());
        QVERIFY(!eventsOf(events, QStringLiteral("download")).isEmpty());
        QCOMPARE(eventsOf(events, QStringLiteral("done")).size(), 3);
        for (const QString &target : targets) {
            QStringList phases;
            for (const QJsonObject &event : eventsOf(events, QStringLiteral("phase"))) {
                if (event.value(QStringLiteral("card")).toString() == target)
                    phases << event.value(QStringLiteral("phase")).toString();
            }
            QCOMPARE(phases, (QStringList{QStringLiteral("Downloading"), QStringLiteral("Writing"),
                                          QStringLiteral("Verifying"), QStringLiteral("Finalizing")}));
        }
        const QJsonObject summary = events.last();
        QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
        QCOMPARE(summary.value(QStringLiteral("written")).toArray().size(), 3);
        QCOMPARE(summary.value(QStringLiteral("exitStatus")).toInt(), 0);
    }

    void oneOfThreeCardsFails()
    {
        const QStringList targets{m_home->filePath(QStringLiteral("a.img")), QStringLiteral("/dev/full"),
                                  m_home->filePath(QStringLiteral("c.img"))};
        const ProgramRun result = run(buildArguments(QStringLiteral("stable"), targets, false));
        QCOMPARE(result.exitCode, 1);
        checkCard(targets[0], m_fixture.card32, ProductFiles);
        checkCard(targets[2], m_fixture.card32, ProductFiles);
        // Without a terminal: one line per phase change, then the failed card with the window's message.
        const QString errors = QString::fromUtf8(result.errors);
        QVERIFY2(errors.contains(targets[0] + QStringLiteral(": Finalizing: setting up Alpha\n")), qPrintable(errors));
        QVERIFY2(errors.endsWith(QStringLiteral("2 of 3 cards written.\nNot written:\n"
                                                "  /dev/full: Error reading or writing the SD card, it may be "
                                                "faulty: No space left on device\n")),
                 qPrintable(errors));
    }

    void interruptedDownload()
    {
        const QString target = m_home->filePath(QStringLiteral("a.img"));
        QProcess *process = start(buildArguments(QStringLiteral("slow"), {target}, true));
        QVERIFY(process->waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return process->canReadLine(); }, 30000));
        QVERIFY(process->readLine().contains("\"download\""));
        ::kill(pid_t(process->processId()), SIGINT);
        QVERIFY(process->waitForFinished(30000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 130);

        const QList<QJsonObject> events = jsonLines(process->readAllStandardOutput());
        const QList<QJsonObject> failed = eventsOf(events, QStringLiteral("failed"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0].value(QStringLiteral("error")).toString(), QStringLiteral("Cancelled"));
        QCOMPARE(failed[0].value(QStringLiteral("message")).toString(), DownloadCancelled);
        // The card was not touched, and the next run resumes the download.
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(cacheFiles(), QStringList{m_fixture.big.hex() + QStringLiteral(".part")});
        delete process;
    }

    // Two runs of one build on one cache, as two shells would start them:
    // the first downloads while the second waits, then uses the archive the
    // first completed, or is cancelled while it waits.
    void twoRunsOfOneBuild_data()
    {
        QTest::addColumn<bool>("cancelSecond");
        QTest::newRow("the second waits, then writes from the first's archive") << false;
        QTest::newRow("the second cancelled while it waits") << true;
    }
    void twoRunsOfOneBuild()
    {
        QFETCH(bool, cancelSecond);
        // The image among enough incompressible bytes that its archive takes
        // seconds from /slow/: the second run starts well inside them.
        const QString padding = m_home->filePath(QStringLiteral("padding.bin"));
        QVERIFY(writeFile(padding, randomBytes(5 * NginxServer::SlowRate, 3)));
        const QString archivePath = m_fixture.www(QStringLiteral("cat/builds/padded.zip"));
        QFile::remove(archivePath);
        const QString zipped = runTool(QStringLiteral("zip"), {"-q", "-j", archivePath, m_fixture.card16.path(), padding}, {});
        QVERIFY2(zipped.isEmpty(), qPrintable(zipped));
        const FixtureFile archive = FixtureFile::of(archivePath);
        QVERIFY(m_fixture.writeCatalog({m_fixture.buildEntry(QStringLiteral("padded"), QStringLiteral("Padded"),
                                                             QStringLiteral("1"), QStringLiteral("/slow/cat/builds/padded.zip"),
                                                             archive, m_fixture.image16)}));
        const int requestsBefore = m_fixture.nginx().accessLog().size();

        const QString first = m_home->filePath(QStringLiteral("a.img"));
        const QString second = m_home->filePath(QStringLiteral("b.img"));
        std::unique_ptr<QProcess> downloading(start(buildArguments(QStringLiteral("padded"), {first}, true)));
        QByteArray firstOut;
        QVERIFY(QTest::qWaitFor([&] { return (firstOut += downloading->readAllStandardOutput()).contains("\"download\""); },
                                30000));
        std::unique_ptr<QProcess> waiting(start(buildArguments(QStringLiteral("padded"), {second}, true)));
        QByteArray secondOut;
        QVERIFY(QTest::qWaitFor([&] { return (secondOut += waiting->readAllStandardOutput()).contains("\"waiting\""); },
                                30000));
        QVERIFY2(downloading->state() == QProcess::Running, "the first run ended before the second waited");
        if (cancelSecond)
            ::kill(pid_t(waiting->processId()), SIGINT);

        QVERIFY(waiting->waitForFinished(60000));
        QVERIFY(downloading->waitForFinished(60000));
        secondOut += waiting->readAllStandardOutput();
        QCOMPARE(downloading->exitCode(), 0);
        checkCard(first, m_fixture.card16, ProductFiles);
        if (cancelSecond) {
            QCOMPARE(waiting->exitCode(), 130);
            const QList<QJsonObject> failed = eventsOf(jsonLines(secondOut), QStringLiteral("failed"));
            QCOMPARE(failed.size(), 1);
            QCOMPARE(failed[0].value(QStringLiteral("message")).toString(), DownloadCancelled);
            QVERIFY(!QFileInfo::exists(second));
        } else {
            QCOMPARE(waiting->exitCode(), 0);
            checkCard(second, m_fixture.card16, ProductFiles);
        }
        // One download, whole, by the first run; the second never asked.
        const auto downloads = [&] {
            return m_fixture.nginx().accessLog().mid(requestsBefore).filter(QStringLiteral("padded.zip"));
        };
        QTRY_COMPARE(downloads(), QStringList{QStringLiteral("GET /slow/cat/builds/padded.zip 200 -")});
        QCOMPARE(cacheFiles(), QStringList{archive.hex() + QStringLiteral(".zip")});
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %TARGET% is a file beside the cache
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // the end of standard error

        const QString usage = QStringLiteral("\nRun 'tessaro-cli --help' for the commands and options.\n");
        const QString image = QStringLiteral("card16.img");
        QTest::newRow("no --yes without a terminal")
                << QStringList{"write", image, "--target-file", "%TARGET%"} << 2
                << "Writing erases the cards: give --yes when standard input is not a terminal.\n";
        QTest::newRow("unknown option") << QStringList{"write", "--fast"} << 2
                                        << "tessaro-cli: Unknown option 'fast'." + usage;
        QTest::newRow("no card") << QStringList{"write", image, "--yes"} << 2
                                 << "tessaro-cli: Give at least one --disk or --target-file." + usage;
        QTest::newRow("image file and build")
                << QStringList{"write", image, "--device", "s", "--image", "stable", "--target-file", "%TARGET%"} << 2
                << "tessaro-cli: Give either an image file or --device and --image, not both." + usage;
        QTest::newRow("build half named") << QStringList{"write", "--product", "alpha", "--target-file", "%TARGET%"}
                                          << 2 << "tessaro-cli: Give an image file, or --product, --device and --image."
                        + usage;
        QTest::newRow("same card twice")
                << QStringList{"write", image, "--target-file", "%TARGET%", "--target-file", "./t.img"} << 2
                << "tessaro-cli: The same card is named twice." + usage;
        QTest::newRow("same card through a link")
                << QStringList{"write", image, "--target-file", "link.img", "--target-file", "%TARGET%"} << 2
                << "tessaro-cli: The same card is named twice." + usage;
        // Windows opens such a name as the disk itself.
        QTest::newRow("a Windows disk name")
                << QStringList{"write", image, "--target-file", "\\\\.\\PhysicalDrive0", "--yes"} << 1
                << "Cannot write to \\\\.\\PhysicalDrive0: it is a disk, not a file. Choose disks with --disk in "
                   "tessaro-cli, or in the window's list of disks without --target-file.\n";
        QTest::newRow("option of another command") << QStringList{"disks", "--yes"} << 2
                                                   << "tessaro-cli: The option --yes does not go with 'disks'." + usage;
        QTest::newRow("unknown command") << QStringList{"flash"} << 2 << "tessaro-cli: Unknown command 'flash'." + usage;
        QTest::newRow("catalog not reachable")
                << QStringList{"catalog", "--manifest", "missing.json"} << 1
                << "The image catalog is not reachable: No such file or directory\n";
        QTest::newRow("build not in the catalog")
                << QStringList{"write", "--manifest", "%CATALOG%", "--product", "alpha", "--device", "s", "--image",
                               "beta", "--target-file", "%TARGET%", "--yes"}
                << 1 << "The catalog has no image beta of product alpha for device s.\n";
    }
    void refusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        const QString target = m_home->filePath(QStringLiteral("t.img"));
        arguments.replaceInStrings(QStringLiteral("%TARGET%"), target);
        arguments.replaceInStrings(QStringLiteral("%CATALOG%"), m_fixture.catalogPath());
        QVERIFY(QFile::copy(m_fixture.image16.path, m_home->filePath(QStringLiteral("card16.img"))));
        QVERIFY(QFile::link(target, m_home->filePath(QStringLiteral("link.img"))));

        const ProgramRun result = run(arguments);
        QCOMPARE(result.exitCode, status);
        QVERIFY2(QString::fromUtf8(result.errors).endsWith(message), result.errors.constData());
        QVERIFY(!QFileInfo::exists(target));
    }

    void catalogListing()
    {
        const ProgramRun result =
                run({QStringLiteral("catalog"), QStringLiteral("--manifest"), m_fixture.catalogUrl()});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.output.startsWith("Product alpha: Alpha\n  Device s: Board S\n    Image stable: Stable, "
                                          "version 2.1, "),
                 result.output.constData());
        QVERIFY(result.output.contains("    Image slow: Slow, version 1, "));

        QJsonObject newer = QJsonDocument::fromJson(m_fixture.catalogDocument({})).object();
        newer.insert(QStringLiteral("minTessaroVersion"), QStringLiteral("9.0"));
        QVERIFY(writeFile(m_home->filePath(QStringLiteral("newer.json")), QJsonDocument(newer).toJson()));
        const ProgramRun update =
                run({QStringLiteral("catalog"), QStringLiteral("--manifest"), QStringLiteral("newer.json")});
        QCOMPARE(update.exitCode, 1);
        QCOMPARE(QString::fromUtf8(update.errors),
                 QStringLiteral("This catalog needs Tessaro 9.0 or newer; this is Tessaro 0.1.0.\n"));
    }

    void helpNamesEveryOption()
    {
        const ProgramRun result = run({QStringLiteral("--help")});
        QCOMPARE(result.exitCode, 0);
        for (const char *word : {"disks", "catalog", "write [IMAGE_FILE]", "--manifest", "--product", "--device",
                                 "--image", "--disk", "--target-file", "--no-verify", "--yes", "--json", "--help",
                                 "--version", "130"})
            QVERIFY2(result.output.contains(word), word);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
