#include "writefixture.h"

#include "image/imagecache.h"
#include "loopdevice.h"
#include "programrun.h"
#include "udisksstandin.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

// The real tessaro-cli: catalog builds served by nginx written to several
// target files at once, checked with fsck.fat and mtools, and read back by
// verify; failures, signals, JSON records, the cache, the refusals of its
// command line, and a production line of disks arriving on a scripted UDisks2
// service.
class TestCli : public QObject
{
    Q_OBJECT

private:
    const QString Usage = QStringLiteral("\nRun 'tessaro-cli --help' for the commands and options.");
    WriteFixture m_fixture;
    std::unique_ptr<QTemporaryDir> m_home; // the program's cache lives below it

    QString home(const QString &name) const { return m_home->filePath(name); }
    QString cacheDir() const { return home(QStringLiteral("Tessaro/images")); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home->path());
        return environment;
    }

    QProcess *start(const QStringList &arguments, const QProcessEnvironment &environment = {})
    {
        auto *process = new QProcess(this);
        process->setProcessEnvironment(environment.isEmpty() ? this->environment() : environment);
        process->setWorkingDirectory(m_home->path());
        // Standard input is not a terminal here.
        process->setStandardInputFile(QProcess::nullDevice());
        process->start(QStringLiteral(TESSARO_CLI), arguments);
        return process;
    }

    ProgramRun run(const QStringList &arguments, const QProcessEnvironment &environment = {})
    {
        ProgramOptions options;
        options.environment = environment.isEmpty() ? this->environment() : environment;
        options.folder = m_home->path();
        options.timeoutMs = 120000;
        return runProgram(QStringLiteral(TESSARO_CLI), arguments, options);
    }

    QStringList cacheFiles() const
    {
        QStringList names =
                QDir(cacheDir()).entryList({QStringLiteral("*.zip"), QStringLiteral("*.part")}, QDir::Files);
        names.sort();
        return names;
    }

    QStringList buildArguments(const QString &image, const QStringList &targets, bool json,
                               const QString &command = QStringLiteral("write")) const
    {
        QStringList arguments{command,  QStringLiteral("--manifest"), m_fixture.catalogUrl(),
                              QStringLiteral("--product"), QStringLiteral("alpha"), QStringLiteral("--device"),
                              QStringLiteral("s"), QStringLiteral("--image"), image};
        if (command == QLatin1String("write"))
            arguments << QStringLiteral("--yes");
        for (const QString &target : targets)
            arguments << QStringLiteral("--target-file") << target;
        if (json)
            arguments << QStringLiteral("--json");
        return arguments;
    }

    // Every line of out as a JSON object, each with the time it was printed.
    static QList<QJsonObject> jsonLines(const QByteArray &out)
    {
        QList<QJsonObject> events;
        for (const QByteArray &line : out.split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (!QDateTime::fromString(event.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs).isValid()) {
                qWarning("not a JSON record with its time: %s", line.constData());
                return {};
            }
            events << event;
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

    // The first JSON record the process prints, within the time given.
    static QJsonObject firstRecord(QProcess *process, int timeoutMs = 30000)
    {
        if (!QTest::qWaitFor([&] { return process->canReadLine(); }, timeoutMs))
            return {};
        return QJsonDocument::fromJson(process->readLine()).object();
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
        const QStringList targets{home(QStringLiteral("a.img")), home(QStringLiteral("b.img")),
                                  home(QStringLiteral("c.img"))};
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

        // Every line is a record with its time; it starts by naming the image
        // and the cards, every card goes through its phases to the end with
        // the digest of what was written.
        const QList<QJsonObject> events = jsonLines(result.output);
        QVERIFY(!events.isEmpty());
        const QJsonObject start = events.first();
        QCOMPARE(start.value(QStringLiteral("event")).toString(), QStringLiteral("start"));
        QCOMPARE(start.value(QStringLiteral("image")).toObject(),
                 (QJsonObject{{"product", "alpha"}, {"device", "s"}, {"build", "custom"}, {"name", "Alpha Custom (3.0)"},
                              {"version", "3.0"}, {"archiveSha256", m_fixture.archive32.hex()}}));
        QCOMPARE(start.value(QStringLiteral("size")).toInteger(), m_fixture.image32.size);
        QCOMPARE(start.value(QStringLiteral("sha256")).toString(), m_fixture.image32.hex());
        QCOMPARE(start.value(QStringLiteral("targets")).toArray(), QJsonArray::fromStringList(targets));
        QCOMPARE(start.value(QStringLiteral("download")).toString(), QStringLiteral("fresh"));
        QVERIFY(!eventsOf(events, QStringLiteral("download")).isEmpty());
        const QList<QJsonObject> done = eventsOf(events, QStringLiteral("done"));
        QCOMPARE(done.size(), 3);
        for (const QJsonObject &event : done)
            QCOMPARE(event.value(QStringLiteral("sha256")).toString(), m_fixture.image32.hex());
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
        QCOMPARE(summary.value(QStringLiteral("sha256")).toString(), m_fixture.image32.hex());
        QCOMPARE(summary.value(QStringLiteral("exitStatus")).toInt(), 0);

        // The next card finds the build in the cache.
        const ProgramRun again = run(buildArguments(QStringLiteral("custom"), {targets[0]}, true));
        QCOMPARE(again.exitCode, 0);
        QCOMPARE(jsonLines(again.output).value(0).value(QStringLiteral("download")).toString(), QStringLiteral("cache"));
    }

    void oneOfThreeCardsFails()
    {
        const QStringList targets{home(QStringLiteral("a.img")), QStringLiteral("/dev/full"),
                                  home(QStringLiteral("c.img"))};
        const ProgramRun result = run(buildArguments(QStringLiteral("stable"), targets, false));
        QCOMPARE(result.exitCode, 1);
        checkCard(targets[0], m_fixture.card32, ProductFiles);
        checkCard(targets[2], m_fixture.card32, ProductFiles);
        // Without a terminal: one line per phase change, then the failed card
        // with the window's message, and the digest of what was written.
        const QString errors = QString::fromUtf8(result.errors);
        QVERIFY2(errors.contains(targets[0] + QStringLiteral(": Finalizing: setting up Alpha\n")), qPrintable(errors));
        QVERIFY2(errors.endsWith(QStringLiteral("2 of 3 cards written.\nSHA-256 of the image written: %1\n"
                                                "Not written:\n"
                                                "  /dev/full: Error reading or writing the SD card, it may be "
                                                "faulty: No space left on device\n")
                                         .arg(m_fixture.image32.hex())),
                 qPrintable(errors));
    }

    // A local archive whose structure is damaged fails before the card is opened.
    void damagedLocalArchive()
    {
        QByteArray archive = readFile(m_fixture.archive16.path);
        archive.chop(30);
        QVERIFY(writeFile(home(QStringLiteral("cut.zip")), archive));
        const QString target = home(QStringLiteral("t.img"));
        const ProgramRun result = run({QStringLiteral("write"), QStringLiteral("cut.zip"), QStringLiteral("--target-file"),
                                       target, QStringLiteral("--yes")});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.errors.contains("  " + target.toUtf8()
                                        + ": The image file is damaged: invalid zip file: end of central directory not "
                                          "found. The SD card was not touched.\n"),
                 result.errors.constData());
        QVERIFY(!QFileInfo::exists(target));
    }

    void interrupted_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("status");
        QTest::newRow("Ctrl-C") << SIGINT << 130;
        QTest::newRow("SIGTERM") << SIGTERM << 143;
        QTest::newRow("SIGHUP, the terminal closed") << SIGHUP << 129;
    }
    void interrupted()
    {
        QFETCH(int, signal);
        QFETCH(int, status);
        const QString target = home(QStringLiteral("a.img"));
        QProcess *process = start(buildArguments(QStringLiteral("slow"), {target}, true));
        QVERIFY(firstRecord(process).value(QStringLiteral("event")) == QStringLiteral("start"));
        QVERIFY(firstRecord(process).value(QStringLiteral("event")) == QStringLiteral("download"));
        ::kill(pid_t(process->processId()), signal);
        QVERIFY(process->waitForFinished(30000));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), status);

        const QList<QJsonObject> events = jsonLines(process->readAllStandardOutput());
        const QList<QJsonObject> failed = eventsOf(events, QStringLiteral("failed"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0].value(QStringLiteral("error")).toString(), QStringLiteral("Cancelled"));
        QCOMPARE(failed[0].value(QStringLiteral("message")).toString(), DownloadCancelled);
        QCOMPARE(events.last().value(QStringLiteral("exitStatus")).toInt(), status);
        // The card was not touched, and the next run resumes the download.
        QVERIFY(!QFileInfo::exists(target));
        const QString partial = m_fixture.big.hex() + QStringLiteral(".part");
        QCOMPARE(cacheFiles(), QStringList{partial});
        const qint64 kept = QFileInfo(cacheDir() + QLatin1Char('/') + partial).size();
        QVERIFY(kept > 0);
        delete process;

        process = start(buildArguments(QStringLiteral("slow"), {target}, true));
        const QJsonObject start = firstRecord(process);
        ::kill(pid_t(process->processId()), SIGINT);
        QVERIFY(process->waitForFinished(30000));
        QCOMPARE(start.value(QStringLiteral("download")).toString(), QStringLiteral("resumed"));
        QCOMPARE(start.value(QStringLiteral("resumeFrom")).toInteger(), kept);
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
        FixtureFile archive;
        const QString published = m_fixture.writePaddedCatalog(5, 3, &archive);
        QVERIFY2(published.isEmpty(), qPrintable(published));
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

    // Declining the typed confirmation on a terminal writes nothing.
    void declinedConfirmation()
    {
        int master = -1;
        int slave = -1;
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        const QString target = home(QStringLiteral("t.img"));
        QProcess process;
        process.setProcessEnvironment(environment());
        process.setChildProcessModifier([slave] { ::dup2(slave, STDIN_FILENO); });
        process.start(QStringLiteral(TESSARO_CLI),
                      {QStringLiteral("write"), m_fixture.image16.path, QStringLiteral("--target-file"), target});
        QVERIFY(process.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return process.readAllStandardError().contains("to go on: "); }, 30000));
        QVERIFY(::write(master, "no\n", 3) == 3);
        QVERIFY(process.waitForFinished(30000));
        ::close(master);
        ::close(slave);
        QCOMPARE(process.exitCode(), 1);
        QCOMPARE(process.readAllStandardError(), QByteArray("The names do not match: nothing was written.\n"));
        QVERIFY(!QFileInfo::exists(target));
    }

    // A card that write made matches its build; a card with one byte
    // changed does not, nor does one compared with another build's boot
    // files or with the image alone. Several cards are read at once.
    void verifyGoodAndCorrupted()
    {
        const QString good = home(QStringLiteral("good.img"));
        const QString bad = home(QStringLiteral("bad.img"));
        const ProgramRun written = run(buildArguments(QStringLiteral("stable"), {good, bad}, false));
        QVERIFY2(written.exitCode == 0, written.errors.constData());
        const qint64 changed = m_fixture.image32.size / 2 + 3;
        QFile card(bad);
        QVERIFY(card.open(QIODevice::ReadWrite) && card.seek(changed));
        const char byte = card.read(1).at(0);
        QVERIFY(card.seek(changed) && card.write(QByteArray(1, char(byte ^ 0x5a))) == 1);
        card.close();
        const QString differs = QStringLiteral("the card differs from the image, first at byte %1");

        const ProgramRun both = run(buildArguments(QStringLiteral("stable"), {good, bad}, true, QStringLiteral("verify")));
        QCOMPARE(both.exitCode, 1);
        const QList<QJsonObject> records = jsonLines(both.output);
        const QList<QJsonObject> done = eventsOf(records, QStringLiteral("done"));
        QCOMPARE(done.size(), 1);
        QCOMPARE(done[0].value(QStringLiteral("card")).toString(), good);
        QCOMPARE(done[0].value(QStringLiteral("sha256")).toString(),
                 QString::fromLatin1(sha256(readFile(good).left(m_fixture.image32.size)).toHex()));
        const QList<QJsonObject> failed = eventsOf(records, QStringLiteral("failed"));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0].value(QStringLiteral("error")).toString(), QStringLiteral("VerifyMismatch"));
        QCOMPARE(failed[0].value(QStringLiteral("message")).toString(), differs.arg(changed));
        QCOMPARE(records.last().value(QStringLiteral("matching")).toArray(), QJsonArray{good});

        const ProgramRun matches = run(buildArguments(QStringLiteral("stable"), {good}, false, QStringLiteral("verify")));
        QCOMPARE(matches.exitCode, 0);
        QVERIFY2(matches.errors.endsWith(good.toUtf8() + ": matches the image\n1 of 1 cards match the image.\n"),
                 matches.errors.constData());
        // The build "custom" has boot files of its own.
        const ProgramRun otherFiles = run(buildArguments(QStringLiteral("custom"), {good}, false, QStringLiteral("verify")));
        QCOMPARE(otherFiles.exitCode, 1);
        QVERIFY2(otherFiles.errors.contains(": failed: the card differs from the image, first at byte "),
                 otherFiles.errors.constData());
        const ProgramRun imageAlone = run({QStringLiteral("verify"), m_fixture.image32.path, QStringLiteral("--target-file"), good});
        QCOMPARE(imageAlone.exitCode, 1);

        // Without boot files, the digests of the image and the card alone.
        const QString plain = home(QStringLiteral("plain.img"));
        QCOMPARE(run({QStringLiteral("write"), m_fixture.image16.path, QStringLiteral("--target-file"), plain,
                      QStringLiteral("--yes")})
                         .exitCode,
                 0);
        const ProgramRun plainCheck = run({QStringLiteral("verify"), m_fixture.image16.path, QStringLiteral("--target-file"),
                                           plain, QStringLiteral("--json")});
        QCOMPARE(plainCheck.exitCode, 0);
        QCOMPARE(eventsOf(jsonLines(plainCheck.output), QStringLiteral("done")).value(0).value(QStringLiteral("sha256")),
                 QJsonValue(m_fixture.image16.hex()));
        QCOMPARE(readFile(plain).left(m_fixture.image16.size), readFile(m_fixture.image16.path));
    }

    // The cache lists each download with the builds it serves; clean
    // removes what it is asked to, and never the files of a running download.
    void cacheListAndClean()
    {
        QCOMPARE(run(buildArguments(QStringLiteral("stable"), {home(QStringLiteral("a.img"))}, false)).exitCode, 0);
        const QString archive = m_fixture.archive32.hex() + QStringLiteral(".zip");
        const QString partial = m_fixture.big.hex() + QStringLiteral(".part");
        const QString unlisted = QString(64, QLatin1Char('e')) + QStringLiteral(".zip");
        const QString held = QString(64, QLatin1Char('d')) + QStringLiteral(".part");
        QVERIFY(writeFile(cacheDir() + QLatin1Char('/') + partial, readFile(m_fixture.big.path).left(1000)));
        QVERIFY(writeFile(cacheDir() + QLatin1Char('/') + unlisted, "old"));
        QVERIFY(writeFile(cacheDir() + QLatin1Char('/') + held, "running"));
        QLockFile download(cacheDir() + QLatin1Char('/') + QString(64, QLatin1Char('d')) + QStringLiteral(".lock"));
        ImageCache::prepareLock(download);
        QVERIFY(download.lock());

        const QStringList manifest{QStringLiteral("--manifest"), m_fixture.catalogUrl(), QStringLiteral("--json")};
        const ProgramRun list = run(QStringList{QStringLiteral("cache"), QStringLiteral("list")} + manifest);
        QCOMPARE(list.exitCode, 0);
        QStringList entries;
        for (const QJsonObject &entry : eventsOf(jsonLines(list.output), QStringLiteral("entry"))) {
            entries << QStringLiteral("%1 %2 %3 %4")
                               .arg(entry.value(QStringLiteral("file")).toString(),
                                    entry.value(QStringLiteral("name")).toString(),
                                    entry.value(QStringLiteral("complete")).toBool() ? QStringLiteral("complete")
                                                                                     : QStringLiteral("partial"))
                               .arg(entry.value(QStringLiteral("size")).toInteger());
        }
        QStringList expected{held + QStringLiteral("  partial 7"), unlisted + QStringLiteral("  complete 3"),
                             archive + QStringLiteral(" Alpha Stable (2.1) for Board S, Alpha Custom (3.0) for Board S "
                                                      "complete %1")
                                               .arg(m_fixture.archive32.size),
                             partial + QStringLiteral(" Alpha Slow (1) for Board S partial 1000")};
        expected.sort(Qt::CaseInsensitive);
        QCOMPARE(entries, expected);

        const auto clean = [&](const QStringList &options) {
            const ProgramRun result = run(QStringList{QStringLiteral("cache"), QStringLiteral("clean")} + options + manifest);
            return result.exitCode == 0 ? cacheFiles() : QStringList{QString::fromUtf8(result.errors)};
        };
        const auto sorted = [](QStringList names) {
            names.sort();
            return names;
        };
        QCOMPARE(clean({QStringLiteral("--partial")}), sorted({archive, held, unlisted}));
        QCOMPARE(clean({}), sorted({archive, held}));
        QCOMPARE(clean({QStringLiteral("--all")}), QStringList{held});
        download.unlock();
        QCOMPARE(clean({QStringLiteral("--all")}), QStringList());
    }

    // write --watch on a scripted UDisks2 service, with loop devices for
    // disks: the build is downloaded first; the disk there from the start is
    // never touched; of three that arrive, one too small is skipped, one is
    // written and one pulled out while it is written fails as removed.
    void watchOnUdisks()
    {
        const qint64 diskSize = m_fixture.image32.size + 1024 * 1024;
        QStringList files;
        std::vector<std::unique_ptr<LoopDevice>> loops;
        for (const QString &name : {QStringLiteral("present"), QStringLiteral("written"), QStringLiteral("pulled")}) {
            files << home(name + QStringLiteral(".disk"));
            QVERIFY(writeFile(files.last(), QByteArray(4096, 'p')) && QFile::resize(files.last(), diskSize));
            loops.push_back(LoopDevice::attach(files.last()));
            if (!loops.back())
                QSKIP("needs root and free loop devices for the disks");
        }
        UdisksStandin standin;
        QVERIFY2(standin.startBus() && standin.startService(), qPrintable(standin.errorString()));
        const auto addDisk = [&](const QString &name, const QString &device, qint64 size) {
            return standin.addDisk(name, device, size,
                                   UdisksStandin::drive(QStringLiteral("Generic"), QStringLiteral("Card Reader"),
                                                        QStringLiteral("usb"), true, name));
        };
        QVERIFY(!addDisk(QStringLiteral("present"), loops[0]->device(), diskSize).isEmpty());

        QProcessEnvironment environment = this->environment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), standin.address());
        QStringList arguments = buildArguments(QStringLiteral("stable"), {}, true);
        arguments << QStringLiteral("--watch") << QStringLiteral("--model") << QStringLiteral("*card reader*");
        std::unique_ptr<QProcess> process(start(arguments, environment));
        const auto stop = qScopeGuard([&] {
            ::kill(pid_t(process->processId()), SIGCONT);
            stopProgram(*process);
        });
        QList<QJsonObject> records;
        const auto waitFor = [&](const QString &event, const QString &card, const QString &phase = QString()) {
            return QTest::qWaitFor(
                    [&] {
                        while (process->canReadLine())
                            records << QJsonDocument::fromJson(process->readLine()).object();
                        return std::any_of(records.cbegin(), records.cend(), [&](const QJsonObject &record) {
                            return record.value(QStringLiteral("event")).toString() == event
                                    && (card.isEmpty() || record.value(QStringLiteral("card")).toString() == card)
                                    && (phase.isEmpty() || record.value(QStringLiteral("phase")).toString() == phase);
                        });
                    },
                    60000);
        };
        QVERIFY(waitFor(QStringLiteral("watching"), QString()));
        QVERIFY(!eventsOf(records, QStringLiteral("download")).isEmpty());

        QVERIFY(!addDisk(QStringLiteral("small"), QStringLiteral("/dev/sdsmall"), 1024 * 1024).isEmpty());
        QVERIFY(waitFor(QStringLiteral("skipped"), QStringLiteral("/dev/sdsmall")));
        QVERIFY(!addDisk(QStringLiteral("written"), loops[1]->device(), diskSize).isEmpty());
        QVERIFY(waitFor(QStringLiteral("done"), loops[1]->device()));

        // Stopped as it starts writing, the card goes: its medium and its
        // objects, as when a reader loses its card.
        const QString pulled = addDisk(QStringLiteral("pulled"), loops[2]->device(), diskSize);
        QVERIFY(!pulled.isEmpty());
        QVERIFY(waitFor(QStringLiteral("phase"), loops[2]->device(), QStringLiteral("Writing")));
        ::kill(pid_t(process->processId()), SIGSTOP);
        QVERIFY(QFile::resize(files[2], 0));
        QCOMPARE(runTool(QStringLiteral("losetup"), {QStringLiteral("--set-capacity"), loops[2]->device()}, {}), QString());
        QVERIFY(standin.remove(pulled) && standin.remove(UdisksStandin::drivePath(QStringLiteral("pulled"))));
        ::kill(pid_t(process->processId()), SIGCONT);
        QVERIFY(waitFor(QStringLiteral("failed"), loops[2]->device()));

        ::kill(pid_t(process->processId()), SIGINT);
        QVERIFY(process->waitForFinished(30000));
        records += jsonLines(process->readAllStandardOutput());
        QCOMPARE(process->exitCode(), 1);
        const QJsonObject failed = eventsOf(records, QStringLiteral("failed")).value(0);
        QCOMPARE(failed.value(QStringLiteral("message")).toString(),
                 QStringLiteral("The SD card was removed during the operation: insert it again and retry."));
        const QJsonObject summary = records.last();
        QCOMPARE(summary.value(QStringLiteral("written")).toArray(), QJsonArray{loops[1]->device()});
        QCOMPARE(summary.value(QStringLiteral("failed")).toArray(), QJsonArray{loops[2]->device()});
        checkCard(files[1], m_fixture.card32, ProductFiles);
        QCOMPARE(readFile(files[0]).left(4096), QByteArray(4096, 'p'));
        for (const QJsonObject &record : records)
            QVERIFY(record.value(QStringLiteral("card")).toString() != loops[0]->device());
    }

    // Each refusal ends at once, told on standard error and as the last
    // JSON record; nothing is downloaded and no target is made.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %TARGET% is a file beside the cache
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message"); // the end of standard error, and the record's

        const QString usage = Usage;
        const QString image = QStringLiteral("card16.img");
        const QStringList build{"write", "--manifest", "%CATALOG%", "--product", "alpha", "--device", "s",
                                "--image", "slow", "--yes", "--target-file"};
        QTest::newRow("no --yes without a terminal")
                << QStringList{"write", image, "--target-file", "%TARGET%"} << 2
                << "Writing erases the cards: give --yes when standard input is not a terminal.";
        QTest::newRow("unknown option, as typed") << QStringList{"write", "--fast"} << 2
                                                  << "tessaro-cli: Unknown option '--fast'." + usage;
        QTest::newRow("unknown option, one dash") << QStringList{"write", "-fast=1"} << 2
                                                  << "tessaro-cli: Unknown option '-fast'." + usage;
        QTest::newRow("missing value") << QStringList{"catalog", "--manifest"} << 2
                                       << "tessaro-cli: Missing value after '--manifest'." + usage;
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
                   "tessaro-cli, or in the window's list of disks without --target-file.";
        QTest::newRow("option of another command") << QStringList{"disks", "--yes"} << 2
                                                   << "tessaro-cli: The option --yes does not go with 'disks'." + usage;
        QTest::newRow("unknown command") << QStringList{"flash"} << 2 << "tessaro-cli: Unknown command 'flash'." + usage;
        QTest::newRow("watch without a model")
                << QStringList{"write", image, "--watch", "--yes"} << 2
                << "tessaro-cli: --watch needs at least one --model." + usage;
        QTest::newRow("catalog not reachable")
                << QStringList{"catalog", "--manifest", "missing.json"} << 1
                << "The image catalog is not reachable: No such file or directory";
        QTest::newRow("build not in the catalog")
                << QStringList{"write", "--manifest", "%CATALOG%", "--product", "alpha", "--device", "s", "--image",
                               "beta", "--target-file", "%TARGET%", "--yes"}
                << 1 << "The catalog has no image beta of product alpha for device s.";
        QTest::newRow("the image as its own target")
                << QStringList{"write", image, "--target-file", image, "--yes"} << 1
                << "Cannot write to card16.img: it is the image being written.";
        QTest::newRow("a product whose boot files the image has no partition for")
                << QStringList{"write", "blank.img", "--manifest", "%CATALOG%", "--product", "alpha", "--target-file",
                               "%TARGET%", "--yes"}
                << 1
                << "The SD card cannot be set up as Alpha with this image: no MBR partition table. Leave out "
                   "--product to write the image as it is.";
        QTest::newRow("target in a missing folder")
                << build + QStringList{"%HOME%/no/t.img"} << 1
                << "Cannot write to %HOME%/no/t.img: the folder %HOME%/no does not exist.";
        QTest::newRow("target a folder") << build + QStringList{"%HOME%"} << 1
                                         << "Cannot write to %HOME%: it is a folder.";
        QTest::newRow("target not writable") << build + QStringList{"/proc/t.img"} << 1
                                             << "Cannot write to /proc/t.img: No such file or directory";
        QTest::newRow("target file system too small")
                << QStringList{"write", "--manifest", "%CATALOG%", "--product", "alpha", "--device", "s", "--image",
                               "huge", "--yes", "--target-file", "%TARGET%"}
                << 1 << "Cannot write to %TARGET%: the image needs 1.0 PB, but only %FREE% are free there.";
    }
    void refusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        QJsonObject huge = m_fixture.buildEntry(QStringLiteral("huge"), QStringLiteral("Huge"), QStringLiteral("1"),
                                                QStringLiteral("builds/card16.zip"), m_fixture.archive16,
                                                m_fixture.image16);
        huge.insert(QStringLiteral("extractSize"), qint64(1'000'000'000'000'000));
        QVERIFY(m_fixture.writeCatalog({m_fixture.slowBuild(), huge}));
        const QString target = home(QStringLiteral("t.img"));
        const auto fill = [&](QString text) {
            return text.replace(QStringLiteral("%TARGET%"), target)
                    .replace(QStringLiteral("%CATALOG%"), m_fixture.catalogPath())
                    .replace(QStringLiteral("%HOME%"), m_home->path());
        };
        for (QString &argument : arguments)
            argument = fill(argument);
        message = fill(message);
        QVERIFY(QFile::copy(m_fixture.image16.path, home(QStringLiteral("card16.img"))));
        QVERIFY(writeFile(home(QStringLiteral("blank.img")), QByteArray(1024 * 1024, '\0')));
        QVERIFY(QFile::link(target, home(QStringLiteral("link.img"))));
        const int requestsBefore = m_fixture.nginx().accessLog().size();

        const ProgramRun result = run(QStringList{QStringLiteral("--json")} + arguments);
        QCOMPARE(result.exitCode, status);
        // The free space changes while other programs run.
        const auto pattern = [](QString text, const QString &start = QString()) {
            text.replace(QStringLiteral("%FREE%"), QStringLiteral("FREESPACE"));
            return QRegularExpression(start + QRegularExpression::escape(text).replace(
                                                      QStringLiteral("FREESPACE"), QStringLiteral("[0-9.,]+ [kMGTP]?B"))
                                      + QLatin1Char('$'));
        };
        QVERIFY2(QString::fromUtf8(result.errors).contains(pattern(message + QLatin1Char('\n'))),
                 result.errors.constData());
        const QList<QJsonObject> records = jsonLines(result.output);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].value(QStringLiteral("event")).toString(), QStringLiteral("error"));
        // The record says what went wrong, without the pointer to --help.
        QString recordMessage = message;
        recordMessage.remove(Usage).remove(QRegularExpression(QStringLiteral("^tessaro-cli: ")));
        QVERIFY2(records[0].value(QStringLiteral("message")).toString().contains(pattern(recordMessage, QStringLiteral("^"))),
                 result.output.constData());
        QCOMPARE(records[0].value(QStringLiteral("exitStatus")).toInt(), status);
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(m_fixture.nginx().accessLog().size() == requestsBefore);
        QCOMPARE(cacheFiles(), QStringList());
    }

    // Without a system bus, or without UDisks2 on it, the disks cannot be
    // listed: that is a failure, not an empty list.
    void disksWithoutService_data()
    {
        QTest::addColumn<bool>("bus");
        QTest::addColumn<QString>("message");
        QTest::newRow("no system bus") << false << "Cannot list the disks: no system bus: ";
        QTest::newRow("no UDisks2 on the bus") << true << "Cannot list the disks: UDisks2 does not answer: ";
    }
    void disksWithoutService()
    {
        QFETCH(bool, bus);
        QFETCH(QString, message);
        UdisksStandin standin;
        QProcessEnvironment environment = this->environment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=") + home("none"));
        if (bus) {
            QVERIFY2(standin.startBus(), qPrintable(standin.errorString()));
            environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), standin.address());
        }
        const ProgramRun result = run({QStringLiteral("disks"), QStringLiteral("--json")}, environment);
        QCOMPARE(result.exitCode, 1);
        const QList<QJsonObject> records = jsonLines(result.output);
        QCOMPARE(records.size(), 1);
        QCOMPARE(records[0].value(QStringLiteral("event")).toString(), QStringLiteral("error"));
        QVERIFY2(records[0].value(QStringLiteral("message")).toString().startsWith(message), result.output.constData());
        // Said once: the monitor's own diagnostic stays in the log.
        QCOMPARE(QString::fromUtf8(result.errors), records[0].value(QStringLiteral("message")).toString() + '\n');
    }

    void catalogListing()
    {
        // Entries that write refuses are listed, marked with the reason.
        QJsonObject noDigest = m_fixture.buildEntry(QStringLiteral("nodigest"), QStringLiteral("No digest"),
                                                    QStringLiteral("1"), QStringLiteral("builds/card16.zip"),
                                                    m_fixture.archive16, m_fixture.image16);
        noDigest.insert(QStringLiteral("sha256"), QStringLiteral("not a digest"));
        QJsonObject ftp = m_fixture.buildEntry(QStringLiteral("ftp"), QStringLiteral("Ftp"), QStringLiteral("1"),
                                               QStringLiteral("ftp://host/card16.zip"), m_fixture.archive16,
                                               m_fixture.image16);
        QVERIFY(m_fixture.writeCatalog({noDigest, ftp}));

        const ProgramRun result =
                run({QStringLiteral("catalog"), QStringLiteral("--manifest"), m_fixture.catalogUrl()});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.output.startsWith("Product alpha: Alpha\n  Device s: Board S\n    Image stable: Stable, "
                                          "version 2.1, "),
                 result.output.constData());
        const QString output = QString::fromUtf8(result.output);
        QVERIFY2(output.contains(QRegularExpression(QStringLiteral(
                         "\n    Image nodigest: No digest, version 1, [^\n]*; refused: The catalog entry of this image "
                         "is faulty: its sha256 is not a SHA-256 digest\\.\n"))),
                 qPrintable(output));
        QVERIFY(output.contains(QRegularExpression(QStringLiteral(
                "\n    Image ftp: Ftp, version 1, [^\n]*; refused: The catalog entry of this image is faulty: its "
                "address ftp://host/card16.zip is not allowed\\.\n"))));

        const ProgramRun json = run({QStringLiteral("catalog"), QStringLiteral("--manifest"), m_fixture.catalogUrl(),
                                     QStringLiteral("--json")});
        QCOMPARE(json.exitCode, 0);
        QStringList refused;
        for (const QJsonObject &image : eventsOf(jsonLines(json.output), QStringLiteral("image"))) {
            if (!image.value(QStringLiteral("refused")).isNull())
                refused << image.value(QStringLiteral("image")).toString();
        }
        QCOMPARE(refused, (QStringList{QStringLiteral("nodigest"), QStringLiteral("ftp")}));
        QCOMPARE(jsonLines(json.output).last().value(QStringLiteral("refused")).toInt(), 2);

        QJsonObject newer = QJsonDocument::fromJson(m_fixture.catalogDocument({})).object();
        newer.insert(QStringLiteral("minTessaroVersion"), QStringLiteral("9.0"));
        QVERIFY(writeFile(home(QStringLiteral("newer.json")), QJsonDocument(newer).toJson()));
        const ProgramRun update =
                run({QStringLiteral("catalog"), QStringLiteral("--manifest"), QStringLiteral("newer.json")});
        QCOMPARE(update.exitCode, 1);
        QCOMPARE(QString::fromUtf8(update.errors),
                 QStringLiteral("This catalog needs Tessaro 9.0 or newer; this is Tessaro 0.1.0.\n"));
    }

    // The program's help names every command and option; each command's
    // its own options and no others.
    void help_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QStringList>("absent");
        QTest::newRow("program")
                << QStringList{"--help"}
                << QStringList{"disks", "catalog", "write [IMAGE_FILE]", "verify [IMAGE_FILE]", "cache list|clean",
                               "--manifest", "--product", "--device", "--image", "--disk", "--target-file",
                               "--no-verify", "--watch", "--model", "--yes", "--partial", "--all", "--json", "--help",
                               "--version", "130", "143"}
                << QStringList{};
        QTest::newRow("write") << QStringList{"write", "--help"}
                               << QStringList{"Usage: tessaro-cli write [IMAGE_FILE] [OPTIONS]", "--watch", "--model",
                                              "--no-verify", "--yes"}
                               << QStringList{"--partial", "--version"};
        QTest::newRow("cache") << QStringList{"cache", "--help"}
                               << QStringList{"Usage: tessaro-cli cache list|clean [OPTIONS]", "--partial", "--all"}
                               << QStringList{"--disk", "--yes"};
    }
    void help()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, present);
        QFETCH(QStringList, absent);
        const ProgramRun result = run(arguments);
        QCOMPARE(result.exitCode, 0);
        for (const QString &word : present)
            QVERIFY2(result.output.contains(word.toUtf8()), qPrintable(word));
        for (const QString &word : absent)
            QVERIFY2(!result.output.contains(word.toUtf8()), qPrintable(word));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
