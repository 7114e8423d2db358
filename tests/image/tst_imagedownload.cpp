#include "image/imagedownload.h"

#include "support/freespace.h"
#include "support/nginxserver.h"
#include "support/programrun.h"
#include "support/scriptedhttpserver.h"
#include "support/testfiles.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLockFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <memory>

using Response = ScriptedHttpServer::Response;
using Failure = ImageDownload::Failure;
using Progress = QList<QPair<qint64, qint64>>;
Q_DECLARE_METATYPE(Response)

Q_DECLARE_METATYPE(Failure)

namespace {

constexpr qint64 MiB = 1024 * 1024;

Response answer(int status, const QByteArray &body,
                const QList<QPair<QByteArray, QByteArray>> &headers = {})
{
    Response response;
    response.status = status;
    response.body = body;
    response.headers = headers;
    return response;
}

// The first `sent` bytes of `file` under a Content-Length of the whole, and
// then nothing more on an open connection.
Response stalledAfter(const QByteArray &file, qint64 sent)
{
    Response response = answer(200, file.left(sent));
    response.contentLength = file.size();
    response.stall = true;
    return response;
}

// Every request gets `response`.
bool listenAnswering(ScriptedHttpServer &server, const Response &response)
{
    server.setHandler([response](const ScriptedHttpServer::Request &) { return response; });
    return server.listen();
}

QPair<QByteArray, QByteArray> contentRange(qint64 first, qint64 last, qint64 size)
{
    return { "Content-Range",
             "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/'
                     + QByteArray::number(size) };
}

// Runs one download on a thread of its own, as the write job does, while the
// test's thread keeps serving the scripted server's connections.
class DownloadThread
{
public:
    explicit DownloadThread(ImageDownload &download)
        : m_download(download)
    {
    }

    ~DownloadThread()
    {
        if (m_thread) {
            cancel = true;
            m_thread->wait();
        }
    }

    void start()
    {
        m_thread.reset(QThread::create([this] {
            offMainThread = QThread::currentThread() != QCoreApplication::instance()->thread();
            ok = m_download.run(
                    [this](qint64 done, qint64 total) {
                        progress.append({ done, total });
                        lastDone = done;
                        if (onReport)
                            onReport(done);
                        if (slowDisk)
                            QThread::msleep(50);
                    },
                    cancel);
            returnedAt = std::chrono::steady_clock::now();
        }));
        m_thread->start();
    }

    // Serves this thread's events until the download has returned.
    bool finish(int timeout = 30000)
    {
        QEventLoop loop;
        QObject::connect(m_thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
        if (!m_thread->isFinished())
            loop.exec();
        const bool finished = m_thread->isFinished();
        if (!finished)
            cancel = true;
        m_thread->wait();
        m_thread.reset();
        return finished;
    }

    bool runToEnd()
    {
        start();
        return finish();
    }

    std::atomic<bool> cancel { false };
    // Every chunk takes 50 ms more, as on a cache disk slower than the network.
    bool slowDisk = false;
    // Called on the download's thread with the bytes done of each report.
    std::function<void(qint64)> onReport;
    std::atomic<qint64> lastDone { 0 }; // of the latest progress report
    // Read these only after finish().
    Progress progress;
    bool ok = false;
    bool offMainThread = false;
    std::chrono::steady_clock::time_point returnedAt;

private:
    ImageDownload &m_download;
    std::unique_ptr<QThread> m_thread;
};

} // namespace

class TestImageDownload : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_served;
    std::unique_ptr<NginxServer> m_nginx;
    QByteArray m_image; // served by nginx as /image.zip
    QByteArray m_imageSha;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_cacheDir;

    ImageCache cache() const { return ImageCache(m_cacheDir); }

    QString archivePath(const QByteArray &digest) const { return cache().pathFor(digest); }
    QString partialPath(const QByteArray &digest) const { return cache().partialPathFor(digest); }

    void givePartial(const QByteArray &digest, const QByteArray &prefix)
    {
        QVERIFY(QDir().mkpath(m_cacheDir));
        QVERIFY(writeFile(partialPath(digest), prefix));
    }

    // The run failed as `failure` and left only its partial file, holding `kept`.
    void compareFailureKeeping(const ImageDownload &download, const DownloadThread &thread, Failure failure,
                               const QString &error, const QByteArray &digest, const QByteArray &kept)
    {
        QVERIFY(!thread.ok);
        QCOMPARE(download.failure(), failure);
        QCOMPARE(download.errorString(), error);
        QCOMPARE(readFile(partialPath(digest)), kept);
        QCOMPARE(folderEntries(m_cacheDir), QStringList { digest.toHex() + ".part" });
    }

    // nginx log lines added since the given count; a request's line is
    // written once its answer is sent, so tests wait for it with QTRY.
    QStringList nginxLogSince(int count) const { return m_nginx->accessLog().mid(count); }

private slots:
    void initTestCase()
    {
        // Over two 4 MiB pieces, so that a resumed prefix is hashed in several.
        m_image = randomBytes(9 * MiB + 12345, 1);
        m_imageSha = sha256(m_image);
        QVERIFY(writeFile(m_served.filePath(QStringLiteral("image.zip")), m_image));
        m_nginx = std::make_unique<NginxServer>(m_served.path());
        QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorString()));
    }

    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        QVERIFY(m_work->isValid());
        // Not there yet: the download creates it.
        m_cacheDir = m_work->filePath(QStringLiteral("cache/images"));
    }

    void freshDownload_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("catalog gives the size") << qint64(m_image.size());
        QTest::newRow("catalog gives no size, nginx sends Content-Length") << qint64(0);
    }

    void freshDownload()
    {
        QFETCH(qint64, size);
        const int logged = m_nginx->accessLog().size();
        ImageDownload download(cache(), { m_nginx->url("/image.zip"), size, m_imageSha });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY2(thread.ok, qPrintable(download.errorString()));
        QVERIFY(thread.offMainThread);
        QTRY_COMPARE(nginxLogSince(logged), QStringList { "GET /image.zip 200 -" });
        QCOMPARE(folderEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QVERIFY(readFile(archivePath(m_imageSha)) == m_image);

        QVERIFY(!thread.progress.isEmpty());
        QCOMPARE(thread.progress.last(), qMakePair(qint64(m_image.size()), qint64(m_image.size())));
        qint64 previous = 0;
        for (const auto &[done, total] : thread.progress) {
            QVERIFY(done > previous);
            QCOMPARE(total, qint64(m_image.size()));
            previous = done;
        }
    }

    // What the network delivers while the disk is busy waits in the HTTP
    // client, which stops reading at its bound (1 MiB) instead of piling the
    // whole archive up in memory for the next chunk.
    void slowCacheDiskKeepsChunksSmall()
    {
        // Far more than can arrive before the bound reaches the HTTP client's
        // thread: on loopback that backlog may be several MiB.
        const QByteArray large = randomBytes(64 * MiB, 2);
        const QByteArray largeSha = sha256(large);
        QVERIFY(writeFile(m_served.filePath(QStringLiteral("large.zip")), large));
        ImageDownload download(cache(), { m_nginx->url("/large.zip"), large.size(), largeSha });
        DownloadThread thread(download);
        thread.slowDisk = true;
        QVERIFY(thread.runToEnd());
        QFile::remove(m_served.filePath(QStringLiteral("large.zip")));

        QVERIFY2(thread.ok, qPrintable(download.errorString()));
        QVERIFY(readFile(archivePath(largeSha)) == large);
        // One chunk may hold the backlog: whatever the socket had before the
        // bound took effect. Every other chunk is bounded, and at least half
        // the archive comes in them; without the bound the whole archive
        // would be one chunk.
        qint64 previous = 0;
        QList<qint64> oversized;
        for (const auto &[done, total] : thread.progress) {
            if (done - previous > 2 * MiB)
                oversized.append(done - previous);
            previous = done;
        }
        QVERIFY2(oversized.size() <= 1, qPrintable(QString::number(oversized.size())));
        QVERIFY2(oversized.isEmpty() || oversized.first() <= 32 * MiB, qPrintable(QString::number(oversized.value(0))));
    }

    void resumeFromPartialFile()
    {
        const QByteArray prefix = m_image.left(5 * MiB + 7);
        givePartial(m_imageSha, prefix);
        const int logged = m_nginx->accessLog().size();
        ImageDownload download(cache(), { m_nginx->url("/image.zip"), m_image.size(), m_imageSha });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY2(thread.ok, qPrintable(download.errorString()));
        QTRY_COMPARE(nginxLogSince(logged),
                     QStringList { QStringLiteral("GET /image.zip 206 bytes=%1-").arg(prefix.size()) });
        QCOMPARE(folderEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QVERIFY(readFile(archivePath(m_imageSha)) == m_image);
        // Reports count the resumed prefix.
        QVERIFY(!thread.progress.isEmpty());
        QVERIFY(thread.progress.first().first > prefix.size());
        QCOMPARE(thread.progress.last().first, qint64(m_image.size()));
    }

    void resumeAfterCancelledTransfer()
    {
        const RemoteImage slow { m_nginx->url("/slow/image.zip"), m_image.size(), m_imageSha };
        ImageDownload first(cache(), slow);
        DownloadThread interrupted(first);
        interrupted.start();
        QTRY_VERIFY_WITH_TIMEOUT(interrupted.lastDone > 0, 10000);
        interrupted.cancel = true;
        QVERIFY(interrupted.finish());
        QVERIFY(!interrupted.ok);
        QCOMPARE(first.failure(), Failure::Cancelled);

        const QByteArray kept = readFile(partialPath(m_imageSha));
        QVERIFY(kept.size() > 0 && kept.size() < m_image.size());
        QCOMPARE(qint64(kept.size()), interrupted.progress.last().first);
        QVERIFY(kept == m_image.left(kept.size()));

        const int logged = m_nginx->accessLog().size();
        ImageDownload second(cache(), { m_nginx->url("/image.zip"), m_image.size(), m_imageSha });
        DownloadThread resumed(second);
        QVERIFY(resumed.runToEnd());
        QVERIFY2(resumed.ok, qPrintable(second.errorString()));
        QTRY_VERIFY(nginxLogSince(logged).contains(
                QStringLiteral("GET /image.zip 206 bytes=%1-").arg(kept.size())));
        QCOMPARE(folderEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QVERIFY(readFile(archivePath(m_imageSha)) == m_image);
        // nginx logs the abandoned request when it notices the close; wait
        // for it here rather than find it among the next test's requests.
        QTRY_VERIFY(m_nginx->accessLog().contains("GET /slow/image.zip 200 -"));
    }

    void partialFileAlreadyWhole_data()
    {
        QTest::addColumn<QByteArray>("partial");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("requests");

        const qint64 size = m_image.size();
        QByteArray damaged = m_image;
        damaged[4321] = char(damaged[4321] ^ 1);
        QTest::newRow("as long as the catalog size: renamed, no request")
                << m_image << size << true << QStringList();
        QTest::newRow("wrong bytes: removed, no request")
                << damaged << size << false << QStringList();
        QTest::newRow("longer than the catalog size: removed, no request")
                << m_image + "tail" << size << false << QStringList();
        QTest::newRow("no catalog size: nginx answers 416, then renamed")
                << m_image << qint64(0) << true
                << QStringList { QStringLiteral("GET /image.zip 416 bytes=%1-").arg(size) };
    }

    void partialFileAlreadyWhole()
    {
        QFETCH(QByteArray, partial);
        QFETCH(qint64, size);
        QFETCH(bool, ok);
        QFETCH(QStringList, requests);

        givePartial(m_imageSha, partial);
        const int logged = m_nginx->accessLog().size();
        ImageDownload download(cache(), { m_nginx->url("/image.zip"), size, m_imageSha });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QCOMPARE(thread.ok, ok);
        QTRY_COMPARE(nginxLogSince(logged), requests);
        // No bytes arrived, and nothing is reported after verification.
        QCOMPARE(thread.progress, Progress());
        if (ok) {
            QCOMPARE(folderEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
            QVERIFY(readFile(archivePath(m_imageSha)) == m_image);
        } else {
            QCOMPARE(download.failure(), Failure::BadChecksum);
            QCOMPARE(download.errorString(), QStringLiteral("sha256 mismatch"));
            QCOMPARE(folderEntries(m_cacheDir), QStringList());
        }
    }

    void completeArchiveNeedsNoRequest()
    {
        // Trusted as it is: damage shows when the archive is written.
        QVERIFY(QDir().mkpath(m_cacheDir));
        QVERIFY(writeFile(archivePath(m_imageSha), "not the image"));
        const int logged = m_nginx->accessLog().size();
        ImageDownload download(cache(), { m_nginx->url("/image.zip"), m_image.size(), m_imageSha });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY(thread.ok);
        QCOMPARE(thread.progress, (Progress { { m_image.size(), m_image.size() } }));
        QCOMPARE(nginxLogSince(logged), QStringList());
        QCOMPARE(folderEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QCOMPARE(readFile(archivePath(m_imageSha)), QByteArray("not the image"));
    }

    void serverAnswers_data()
    {
        QTest::addColumn<QByteArray>("file");       // what the catalog's digest is of
        QTest::addColumn<QByteArray>("prefix");     // in the partial file before the run; null: none
        QTest::addColumn<qint64>("size");           // from the catalog
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("error");         // "%url" stands for the download's URL
        QTest::addColumn<QByteArray>("partialAfter"); // null: no partial file
        QTest::addColumn<qint64>("total");          // in every progress report; -1: none made

        const QByteArray file = randomBytes(5000, 2);
        const qint64 size = file.size();
        const QByteArray head = file.left(1000);
        const QByteArray rest = file.mid(1000);
        const QByteArray none;
        const QByteArray junk(1000, 'j');

        QTest::newRow("resume answered with 206 appends")
                << file << head << size << answer(206, rest, { contentRange(1000, 4999, 5000) })
                << true << Failure::Network << QString() << none << size;
        QTest::newRow("resume answered with 206 from byte 0 keeps the partial file")
                << file << head << size << answer(206, file, { contentRange(0, 4999, 5000) })
                << false << Failure::Network
                << QStringLiteral("unexpected Content-Range: bytes 0-4999/5000") << head << qint64(-1);
        QTest::newRow("resume answered with 206 without Content-Range")
                << file << head << size << answer(206, rest)
                << false << Failure::Network << QStringLiteral("unexpected Content-Range: ")
                << head << qint64(-1);
        QTest::newRow("416 with a body to a whole partial file")
                << file << file << qint64(0) << answer(416, "<html>416</html>")
                << true << Failure::Network << QString() << none << qint64(-1);
        QTest::newRow("416 without a body to a whole partial file")
                << file << file << qint64(0) << answer(416, QByteArray())
                << true << Failure::Network << QString() << none << qint64(-1);
        QTest::newRow("416 to a partial file with other bytes")
                << file << junk << qint64(0) << answer(416, QByteArray())
                << false << Failure::BadChecksum << QStringLiteral("sha256 mismatch") << none
                << qint64(-1);
        QTest::newRow("416 to a first request")
                << file << none << size << answer(416, "<html>416</html>")
                << false << Failure::Network << QStringLiteral("HTTP 416") << QByteArray("")
                << qint64(-1);
        QTest::newRow("404 with a body writes none of it")
                << file << head << size << answer(404, "<html>not here</html>")
                << false << Failure::Network << QStringLiteral("HTTP 404") << head << qint64(-1);
        QTest::newRow("404 without a body gives the client's text")
                << file << head << size << answer(404, QByteArray())
                << false << Failure::Network
                << QStringLiteral("Error transferring %url - server replied: Not Found") << head
                << qint64(-1);
        QTest::newRow("204 to a resume keeps the partial file")
                << file << head << size << answer(204, QByteArray())
                << false << Failure::Network << QStringLiteral("HTTP 204") << head << qint64(-1);
        Response unsized = answer(200, file);
        unsized.contentLength = ScriptedHttpServer::NoContentLength;
        QTest::newRow("no Content-Length and no catalog size: total stays 0")
                << file << none << qint64(0) << unsized
                << true << Failure::Network << QString() << none << qint64(0);
        QTest::newRow("no catalog size: total is offset plus Content-Length")
                << file << head << qint64(0) << answer(206, rest, { contentRange(1000, 4999, 5000) })
                << true << Failure::Network << QString() << none << size;
        QTest::newRow("body shorter than the catalog size")
                << file << none << size << answer(200, file.left(4000))
                << false << Failure::BadChecksum << QStringLiteral("sha256 mismatch") << none
                << size;
        Response cut = answer(200, file.left(2000));
        cut.contentLength = size;
        QTest::newRow("connection closed before Content-Length keeps the bytes")
                << file << none << size << cut
                << false << Failure::Network << QStringLiteral("Connection closed")
                << file.left(2000) << size;
    }

    void serverAnswers()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, prefix);
        QFETCH(qint64, size);
        QFETCH(Response, response);
        QFETCH(bool, ok);
        QFETCH(Failure, failure);
        QFETCH(QString, error);
        QFETCH(QByteArray, partialAfter);
        QFETCH(qint64, total);

        ScriptedHttpServer server;
        QVERIFY(listenAnswering(server, response));
        if (!prefix.isNull())
            givePartial(sha256(file), prefix);
        const QUrl url = server.url("/build.zip");
        ImageDownload download(cache(), { url, size, sha256(file) });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        // Qt's HTTP client may send a request again when the server closes
        // the connection as the answer arrives; the first one is the run's.
        QVERIFY(!server.requests().isEmpty());
        const ScriptedHttpServer::Request request = server.requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/build.zip"));
        QCOMPARE(request.header("Accept-Encoding"), QByteArray("identity"));
        QCOMPARE(request.header("Range"),
                 prefix.isEmpty() ? QByteArray() : "bytes=" + QByteArray::number(prefix.size()) + '-');

        QCOMPARE(thread.ok, ok);
        if (!ok) {
            QCOMPARE(download.failure(), failure);
            QCOMPARE(download.errorString(), QString(error).replace("%url", url.toString()));
        }
        QCOMPARE(readFile(partialPath(sha256(file))), partialAfter);
        QCOMPARE(readFile(archivePath(sha256(file))), ok ? file : QByteArray());
        if (total < 0) {
            QCOMPARE(thread.progress, Progress());
        } else {
            QVERIFY(!thread.progress.isEmpty());
            for (const auto &[done, reportedTotal] : thread.progress)
                QCOMPARE(reportedTotal, total);
        }
    }
    void resumeAnsweredWith200Restarts()
    {
        const QByteArray file = randomBytes(5000, 3);
        givePartial(sha256(file), QByteArray(1000, 'j'));
        ScriptedHttpServer server;
        QVERIFY(listenAnswering(server, answer(200, file)));
        ImageDownload download(cache(), { server.url("/build.zip"), file.size(), sha256(file) });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QCOMPARE(server.requests().first().header("Range"), QByteArray("bytes=1000-"));
        QVERIFY2(thread.ok, qPrintable(download.errorString()));
        QCOMPARE(folderEntries(m_cacheDir), QStringList { sha256(file).toHex() + ".zip" });
        QCOMPARE(readFile(archivePath(sha256(file))), file);
        // Counting restarts at the first byte of the new answer.
        for (const auto &[done, total] : thread.progress)
            QVERIFY(done <= file.size());
        QCOMPARE(thread.progress.last(), qMakePair(qint64(file.size()), qint64(file.size())));
    }

    void stalledTransferTimesOut()
    {
        const QByteArray file = randomBytes(50000, 4);
        ScriptedHttpServer server;
        QVERIFY(listenAnswering(server, stalledAfter(file, 2000)));
        ImageDownload download(cache(), { server.url("/build.zip"), file.size(), sha256(file) });
        download.setTransferTimeoutForTesting(300);
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        compareFailureKeeping(download, thread, Failure::Network,
                              QStringLiteral("the server stopped sending for 0.3 seconds"),
                              sha256(file), file.left(2000));
    }

    void cancelDuringTransferKeepsTheBytes()
    {
        const QByteArray file = randomBytes(50000, 5);
        ScriptedHttpServer server;
        QVERIFY(listenAnswering(server, stalledAfter(file, 3000)));
        const RemoteImage image { server.url("/build.zip"), file.size(), sha256(file) };

        // Nothing arrives after the first 3000 bytes, so only the cancel poll
        // can end the run before the 30 s transfer time-out.
        ImageDownload download(cache(), image);
        DownloadThread thread(download);
        thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(thread.lastDone.load(), qint64(3000), 10000);
        const auto cancelledAt = std::chrono::steady_clock::now();
        thread.cancel = true;
        QVERIFY(thread.finish());
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                thread.returnedAt - cancelledAt);
        QVERIFY2(took.count() < 1000, qPrintable(QString::number(took.count()) + " ms"));

        compareFailureKeeping(download, thread, Failure::Cancelled, QString(), sha256(file), file.left(3000));
        if (QTest::currentTestFailed())
            return;

        server.setHandler([&](const ScriptedHttpServer::Request &) {
            return answer(206, file.mid(3000), { contentRange(3000, 49999, 50000) });
        });
        ImageDownload again(cache(), image);
        DownloadThread resumed(again);
        QVERIFY(resumed.runToEnd());
        QVERIFY2(resumed.ok, qPrintable(again.errorString()));
        QCOMPARE(server.requests().last().header("Range"), QByteArray("bytes=3000-"));
        QCOMPARE(readFile(archivePath(sha256(file))), file);
    }

    void cancelDuringPrefixHashingSendsNoRequest()
    {
        const QByteArray prefix = randomBytes(5 * MiB, 6);
        const QByteArray digest = sha256("another build");
        givePartial(digest, prefix);
        ScriptedHttpServer server;
        QVERIFY(server.listen());
        ImageDownload download(cache(), { server.url("/build.zip"), 10 * MiB, digest });
        DownloadThread thread(download);
        thread.cancel = true;
        QVERIFY(thread.runToEnd());

        QVERIFY(!thread.ok);
        QCOMPARE(download.failure(), Failure::Cancelled);
        QCOMPARE(download.errorString(), QString());
        QCOMPARE(server.requests().size(), 0);
        QCOMPARE(thread.progress, Progress());
        QVERIFY(readFile(partialPath(digest)) == prefix);
    }

    void noSpaceBeforeAnyRequest()
    {
        // A catalog size a terabyte beyond what the cache volume has free.
        const qint64 available = knownFreeSpace(m_work->path());
        if (available < 0)
            QSKIP("The free space of the cache volume cannot be determined here");
        const qint64 size = available + 1000LL * 1000 * 1000 * 1000;
        const QByteArray digest = sha256("huge build");
        givePartial(digest, QByteArray(1000, 'p'));
        ScriptedHttpServer server;
        QVERIFY(server.listen());
        ImageDownload download(cache(), { server.url("/build.zip"), size, digest });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY(!thread.ok);
        QCOMPARE(download.failure(), Failure::NoSpace);
        const QRegularExpressionMatch numbers =
                QRegularExpression(QStringLiteral("^(\\d+) bytes needed, (\\d+) available$"))
                        .match(download.errorString());
        QVERIFY2(numbers.hasMatch(), qPrintable(download.errorString()));
        QCOMPARE(numbers.captured(1).toLongLong(), size - 1000);
        // Other programs may write meanwhile; the number is the volume's.
        QVERIFY(qAbs(numbers.captured(2).toLongLong() - available) < 1000LL * 1000 * 1000);
        QCOMPARE(server.requests().size(), 0);
        QCOMPARE(readFile(partialPath(digest)), QByteArray(1000, 'p'));
        QCOMPARE(folderEntries(m_cacheDir), QStringList { digest.toHex() + ".part" });
    }

    void noSpaceForTheAnnouncedLength()
    {
        if (knownFreeSpace(m_work->path()) < 0)
            QSKIP("The free space of the cache volume cannot be determined here");
        const QByteArray digest = sha256("build of unknown size");
        const qint64 length = 1000LL * 1000 * 1000 * 1000 * 1000 * 1000; // an exabyte
        ScriptedHttpServer server;
        Response huge = answer(200, QByteArray(100, 'h'));
        huge.contentLength = length;
        huge.stall = true;
        QVERIFY(listenAnswering(server, huge));
        ImageDownload download(cache(), { server.url("/build.zip"), 0, digest });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY(!thread.ok);
        QCOMPARE(download.failure(), Failure::NoSpace);
        QVERIFY2(download.errorString().startsWith(QString::number(length) + " bytes needed, "),
                 qPrintable(download.errorString()));
        QCOMPARE(thread.progress, Progress());
        QCOMPARE(readFile(partialPath(digest)), QByteArray(""));
        QCOMPARE(folderEntries(m_cacheDir), QStringList { digest.toHex() + ".part" });
    }

    void cacheFailures_data()
    {
        QTest::addColumn<QString>("blocker"); // a file (or folder, ending in "/") made first
        QTest::addColumn<QString>("cacheDir");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QStringList>("left"); // in the cache folder; "%stem" is the digest's

        QTest::newRow("cache folder under a plain file")
                << "cache" << "cache/images" << "cannot create %dir" << 0 << QStringList();
        QTest::newRow("partial file name taken by a folder")
                << "cache/images/%stem.part/" << "cache/images" << "Is a directory" << 0
                << QStringList { "%stem.part/" };
        QTest::newRow("archive name taken by a folder")
                << "cache/images/%stem.zip/" << "cache/images" << "Destination file exists" << 1
                << QStringList { "%stem.part", "%stem.zip/" };
    }

    void cacheFailures()
    {
        QFETCH(QString, blocker);
        QFETCH(QString, cacheDir);
        QFETCH(QString, error);
        QFETCH(int, requests);
        QFETCH(QStringList, left);

        const QByteArray file = randomBytes(3000, 7);
        const QString stem = QString::fromLatin1(sha256(file).toHex());
        m_cacheDir = m_work->filePath(cacheDir);
        blocker = m_work->filePath(blocker.replace("%stem", stem));
        if (blocker.endsWith('/'))
            QVERIFY(QDir().mkpath(blocker));
        else
            QVERIFY(writeFile(blocker, "in the way"));

        ScriptedHttpServer server;
        QVERIFY(listenAnswering(server, answer(200, file)));
        ImageDownload download(cache(), { server.url("/build.zip"), file.size(), sha256(file) });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY(!thread.ok);
        QCOMPARE(download.failure(), Failure::IoError);
        QCOMPARE(download.errorString(), error.replace("%dir", m_cacheDir));
        QCOMPARE(server.requests().size(), requests);
        QCOMPARE(folderEntries(m_cacheDir), left.replaceInStrings("%stem", stem));
        if (left.contains(stem + ".part"))
            QCOMPARE(readFile(partialPath(sha256(file))), file);
    }

    void volumeFullDuringTransfer()
    {
        // The file-size limit makes writes past 20000 bytes fail as on a
        // full volume, and SIGXFSZ is ignored so that they fail instead of
        // ending the process.
        struct Limit
        {
            rlimit previous {};
            void (*handler)(int) = SIG_DFL;
            bool set(rlim_t bytes)
            {
                handler = std::signal(SIGXFSZ, SIG_IGN);
                rlimit limited {};
                if (getrlimit(RLIMIT_FSIZE, &previous) != 0)
                    return false;
                limited = previous;
                limited.rlim_cur = bytes;
                return setrlimit(RLIMIT_FSIZE, &limited) == 0;
            }
            ~Limit()
            {
                setrlimit(RLIMIT_FSIZE, &previous);
                std::signal(SIGXFSZ, handler);
            }
        };

        const QByteArray file = randomBytes(100000, 8);
        QVERIFY(QDir().mkpath(m_cacheDir));
        ScriptedHttpServer server;
        QVERIFY(listenAnswering(server, answer(200, file)));
        ImageDownload download(cache(), { server.url("/build.zip"), file.size(), sha256(file) });
        DownloadThread thread(download);
        {
            Limit limit;
            QVERIFY(limit.set(20000));
            QVERIFY(thread.runToEnd());
        }

        // The write failure wins over the network error of the aborted reply.
        compareFailureKeeping(download, thread, Failure::IoError, QStringLiteral("File too large"), sha256(file),
                              file.left(20000));
    }

    void anotherRunCompletedTheArchiveFirst()
    {
        const QByteArray file = randomBytes(3000, 9);
        ScriptedHttpServer server;
        QVERIFY(server.listen());
        server.setHandler([&](const ScriptedHttpServer::Request &) {
            writeFile(archivePath(sha256(file)), file);
            return answer(200, file);
        });
        ImageDownload download(cache(), { server.url("/build.zip"), file.size(), sha256(file) });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY2(thread.ok, qPrintable(download.errorString()));
        QCOMPARE(folderEntries(m_cacheDir), QStringList { sha256(file).toHex() + ".zip" });
        QCOMPARE(readFile(archivePath(sha256(file))), file);
    }

    // Another download (of this process here; of another one in tst_cli)
    // holds the archive's lock and has a first part in the partial file.
    void anotherDownloadOfTheSameArchive_data()
    {
        QTest::addColumn<QString>("other"); // what the other download does once this run waits
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("requests");
        QTest::newRow("it completes the archive: used without a request") << "completes" << true << 0;
        QTest::newRow("it stops early: this run resumes from its bytes") << "stops" << true << 1;
        QTest::newRow("cancelled while waiting: nothing touched") << "cancel" << false << 0;
        QTest::newRow("its process has ended: the lock is taken over at once") << "ended" << true << 1;
    }
    void anotherDownloadOfTheSameArchive()
    {
        QFETCH(QString, other);
        QFETCH(bool, ok);
        QFETCH(int, requests);
        const QByteArray file = randomBytes(30000, 11);
        const QByteArray digest = sha256(file);
        givePartial(digest, file.left(10000));
        QLockFile held(cache().lockPathFor(digest));
        QVERIFY(held.tryLock(0));
        if (other == QLatin1String("ended")) {
            // The same lock file, as a process that has ended left it.
            const ProgramRun shell = runProgram(QStringLiteral("sh"), { QStringLiteral("-c"), QStringLiteral("echo $$") });
            QVERIFY(shell.succeeded());
            QByteArray contents = readFile(cache().lockPathFor(digest));
            contents.replace(0, contents.indexOf('\n'), shell.output.trimmed());
            held.unlock();
            QVERIFY(writeFile(cache().lockPathFor(digest), contents));
        }

        ScriptedHttpServer server;
        QVERIFY(listenAnswering(server, answer(206, file.mid(10000), { contentRange(10000, 29999, 30000) })));
        ImageDownload download(cache(), { server.url("/build.zip"), file.size(), digest });
        DownloadThread thread(download);
        thread.onReport = [&](qint64 done) {
            if (done != ImageDownload::Waiting)
                return;
            if (other == QLatin1String("completes")) {
                QFile::rename(partialPath(digest), archivePath(digest));
                writeFile(archivePath(digest), file);
            }
            if (other == QLatin1String("cancel"))
                thread.cancel = true;
            else
                held.unlock();
        };
        QVERIFY(thread.runToEnd());

        QCOMPARE(thread.ok, ok);
        QCOMPARE(server.requests().size(), requests);
        QVERIFY(!thread.progress.isEmpty());
        QCOMPARE(thread.progress.first().first == ImageDownload::Waiting, other != QLatin1String("ended"));
        if (!ok) {
            QCOMPARE(download.failure(), Failure::Cancelled);
            QCOMPARE(folderEntries(m_cacheDir), QStringList({ digest.toHex() + ".lock", digest.toHex() + ".part" }));
            QCOMPARE(readFile(partialPath(digest)), file.left(10000));
            return;
        }
        QCOMPARE(thread.progress.last(), qMakePair(qint64(30000), qint64(30000)));
        QCOMPARE(folderEntries(m_cacheDir), QStringList { digest.toHex() + ".zip" });
        QCOMPARE(readFile(archivePath(digest)), file);
    }

    void connectionRefused()
    {
        quint16 closedPort = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        const QByteArray digest = sha256("unreachable build");
        ImageDownload download(cache(), { QUrl(QStringLiteral("http://127.0.0.1:%1/build.zip").arg(closedPort)),
                                          1000, digest });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QVERIFY(!thread.ok);
        QCOMPARE(download.failure(), Failure::Network);
        QCOMPARE(download.errorString(), QStringLiteral("Connection refused"));
        QCOMPARE(folderEntries(m_cacheDir), QStringList { digest.toHex() + ".part" });
    }

    void discardRemovesOnlyTheArchive()
    {
        const QByteArray digest = sha256("written build");
        QVERIFY(QDir().mkpath(m_cacheDir));
        QVERIFY(writeFile(archivePath(digest), "archive"));
        QVERIFY(writeFile(partialPath(digest), "partial"));
        ImageDownload download(cache(), { QUrl(QStringLiteral("http://127.0.0.1:1/x.zip")), 7, digest });
        download.discard();
        QCOMPARE(folderEntries(m_cacheDir), QStringList { digest.toHex() + ".part" });
        download.discard(); // nothing left to remove
        QCOMPARE(folderEntries(m_cacheDir), QStringList { digest.toHex() + ".part" });
    }
};

QTEST_GUILESS_MAIN(TestImageDownload)
#include "tst_imagedownload.moc"
