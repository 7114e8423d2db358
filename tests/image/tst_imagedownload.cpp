#include "image/imagedownload.h"

#include "support/nginxserver.h"
#include "support/scriptedhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStorageInfo>
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

namespace {

constexpr qint64 MiB = 1024 * 1024;

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QList<quint32> words((size + 3) / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// The file's bytes, or a null array when there is no such file.
QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray data = file.readAll();
    if (data.isNull())
        data = QByteArray("");
    return data;
}

// Files and folders (with a trailing "/") in the cache, sorted.
QStringList cacheEntries(const QString &dir)
{
    QStringList result;
    const QFileInfoList infos = QDir(dir).entryInfoList(
            QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : infos)
        result.append(info.fileName() + (info.isDir() ? QStringLiteral("/") : QString()));
    return result;
}

Response answer(int status, const QByteArray &body,
                const QList<QPair<QByteArray, QByteArray>> &headers = {})
{
    Response response;
    response.status = status;
    response.body = body;
    response.headers = headers;
    return response;
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
            offMainThread = QThread::currentThread() != qApp->thread();
            ok = m_download.run(
                    [this](qint64 done, qint64 total) {
                        progress.append({ done, total });
                        ++progressCalls;
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
    std::atomic<int> progressCalls { 0 };
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

    // nginx log lines added since the given count.
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
        QCOMPARE(nginxLogSince(logged), QStringList { "GET /image.zip 200 -" });
        QCOMPARE(cacheEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QVERIFY(fileBytes(archivePath(m_imageSha)) == m_image);

        QVERIFY(!thread.progress.isEmpty());
        QCOMPARE(thread.progress.last(), qMakePair(qint64(m_image.size()), qint64(m_image.size())));
        qint64 previous = 0;
        for (const auto &[done, total] : thread.progress) {
            QVERIFY(done > previous);
            QCOMPARE(total, qint64(m_image.size()));
            previous = done;
        }
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
        QCOMPARE(nginxLogSince(logged),
                 QStringList { QStringLiteral("GET /image.zip 206 bytes=%1-").arg(prefix.size()) });
        QCOMPARE(cacheEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QVERIFY(fileBytes(archivePath(m_imageSha)) == m_image);
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
        QTRY_VERIFY_WITH_TIMEOUT(interrupted.progressCalls > 0, 10000);
        interrupted.cancel = true;
        QVERIFY(interrupted.finish());
        QVERIFY(!interrupted.ok);
        QCOMPARE(first.failure(), Failure::Cancelled);

        const QByteArray kept = fileBytes(partialPath(m_imageSha));
        QVERIFY(kept.size() > 0 && kept.size() < m_image.size());
        QCOMPARE(qint64(kept.size()), interrupted.progress.last().first);
        QVERIFY(kept == m_image.left(kept.size()));

        const int logged = m_nginx->accessLog().size();
        ImageDownload second(cache(), { m_nginx->url("/image.zip"), m_image.size(), m_imageSha });
        DownloadThread resumed(second);
        QVERIFY(resumed.runToEnd());
        QVERIFY2(resumed.ok, qPrintable(second.errorString()));
        QVERIFY(nginxLogSince(logged).contains(
                QStringLiteral("GET /image.zip 206 bytes=%1-").arg(kept.size())));
        QCOMPARE(cacheEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QVERIFY(fileBytes(archivePath(m_imageSha)) == m_image);
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
        QCOMPARE(nginxLogSince(logged), requests);
        // No bytes arrived, and nothing is reported after verification.
        QCOMPARE(thread.progress, Progress());
        if (ok) {
            QCOMPARE(cacheEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
            QVERIFY(fileBytes(archivePath(m_imageSha)) == m_image);
        } else {
            QCOMPARE(download.failure(), Failure::BadChecksum);
            QCOMPARE(download.errorString(), QStringLiteral("sha256 mismatch"));
            QCOMPARE(cacheEntries(m_cacheDir), QStringList());
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
        QCOMPARE(cacheEntries(m_cacheDir), QStringList { m_imageSha.toHex() + ".zip" });
        QCOMPARE(fileBytes(archivePath(m_imageSha)), QByteArray("not the image"));
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
        QVERIFY(server.listen());
        server.setHandler([&](const ScriptedHttpServer::Request &) { return response; });
        if (!prefix.isNull())
            givePartial(sha256(file), prefix);
        const QUrl url = server.url("/build.zip");
        ImageDownload download(cache(), { url, size, sha256(file) });
        DownloadThread thread(download);
        QVERIFY(thread.runToEnd());

        QCOMPARE(server.requests().size(), 1);
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
        QCOMPARE(fileBytes(partialPath(sha256(file))), partialAfter);
        QCOMPARE(fileBytes(archivePath(sha256(file))), ok ? file : QByteArray());
        if (total < 0) {
            QCOMPARE(thread.progress, Progress());
        } else {
            QVERIFY(!thread.progress.isEmpty());
            for (const auto &[done, reportedTotal] : thread.progress)
                QCOMPARE(reportedTotal, total);
        }
    }
};

QTEST_GUILESS_MAIN(TestImageDownload)
#include "tst_imagedownload.moc"
