#include "backend/backend.h"
#include "backendtestaccess.h"
#include "cardimage.h"
#include "disks/fileblockdevice.h"
#include "image/imagecache.h"
#include "nginxserver.h"
#include "scripteddiskmonitor.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QVersionNumber>

#include <functional>
#include <map>
#include <memory>
#include <vector>

using State = Backend::State;
using BootFiles = QMap<QString, QByteArray>;

namespace {

// The calls of a card that a test can make fail or wait.
enum class Call { None, Open, Write, Read, Flush };

// What a test card does besides keeping its bytes in a file.
struct CardScript
{
    QString path;     // empty: card.img in the test's own folder
    qint64 size = -1; // bytes the card holds; -1: no limit
    Call failCall = Call::None;
    int failAt = 1; // the call of that kind that fails, counted from 1
    BlockDevice::Failure failure = BlockDevice::Failure::IoError;
    QString failText;
    bool corruptReadBack = false; // the first read returns one bit changed
    // The call that waits until the test's action has run on the GUI thread:
    // the user's click while the card is busy with it.
    Call pauseCall = Call::None;
    int pauseAt = 1;
    int writeDelay = 0; // ms per write: a slow card
};

CardScript failing(Call call, int at, BlockDevice::Failure failure, const QString &text)
{
    CardScript script;
    script.failCall = call;
    script.failAt = at;
    script.failure = failure;
    script.failText = text;
    return script;
}

CardScript pausing(Call call, int at)
{
    CardScript script;
    script.pauseCall = call;
    script.pauseAt = at;
    return script;
}

// A card as the monitor hands it to the job: a real file behind a
// FileBlockDevice, with the faults that a file cannot produce on demand
// (write protection, removal, denied access, bad read-back) played from a
// script.
class TestCard : public BlockDevice
{
public:
    TestCard(const CardScript &script, std::function<void()> pauseAction)
        : m_file(script.path, script.size, FileBlockDevice::OpenMode::CreateOrTruncate)
        , m_script(script)
        , m_pauseAction(std::move(pauseAction))
    {
    }

    bool open() override { return step(Call::Open) && m_file.open(); }
    void close() override { m_file.close(); }
    qint64 size() const override { return m_file.size(); }
    int sectorSize() const override { return m_file.sectorSize(); }
    bool seek(qint64 offset) override { return m_file.seek(offset); }
    bool write(const char *data, qint64 length) override
    {
        if (m_script.writeDelay > 0)
            QThread::msleep(m_script.writeDelay);
        return step(Call::Write) && m_file.write(data, length);
    }
    qint64 read(char *data, qint64 length) override
    {
        if (!step(Call::Read))
            return -1;
        const qint64 count = m_file.read(data, length);
        if (count > 0 && m_script.corruptReadBack && !m_corrupted) {
            data[count / 2] ^= 0x10;
            m_corrupted = true;
        }
        return count;
    }
    bool flush() override { return step(Call::Flush) && m_file.flush(); }
    bool dropCaches() override { return m_file.dropCaches(); }
    QString errorString() const override { return m_failed ? m_script.failText : m_file.errorString(); }
    Failure failure() const override { return m_failed ? m_script.failure : m_file.failure(); }

private:
    // Counts the call; holds it or fails it where the script says so.
    bool step(Call call)
    {
        const int count = ++m_calls[call];
        if (call == m_script.pauseCall && count == m_script.pauseAt && m_pauseAction)
            QMetaObject::invokeMethod(QCoreApplication::instance(), m_pauseAction, Qt::BlockingQueuedConnection);
        if (call == m_script.failCall && count == m_script.failAt) {
            m_failed = true;
            return false;
        }
        return true;
    }

    FileBlockDevice m_file;
    CardScript m_script;
    std::function<void()> m_pauseAction;
    std::map<Call, int> m_calls;
    bool m_failed = false;
    bool m_corrupted = false;
};

// Counts every signal an object emits.
class SignalLog
{
public:
    explicit SignalLog(QObject *object)
    {
        const QMetaObject *meta = object->metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                m_spies.push_back(std::make_unique<QSignalSpy>(object, meta->method(i)));
        }
    }
    int count() const
    {
        int total = 0;
        for (const auto &spy : m_spies)
            total += spy->count();
        return total;
    }

private:
    std::vector<std::unique_ptr<QSignalSpy>> m_spies;
};

// A file made for the tests, with what the catalog says about it.
struct Fixture
{
    QString path;
    qint64 size = 0;
    QByteArray sha256; // raw

    QString hex() const { return QString::fromLatin1(sha256.toHex()); }
};

Fixture fixture(const QString &path)
{
    QFile file(path);
    Fixture result{path, 0, {}};
    if (!file.open(QIODevice::ReadOnly))
        return result;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    result.size = file.size();
    result.sha256 = hash.result();
    return result;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QJsonObject jsonFiles(const BootFiles &files)
{
    QJsonObject object;
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        object.insert(file.key(), QString::fromUtf8(file.value()));
    return object;
}

const BootFiles ProductFiles{{QStringLiteral("CONFIG.TXT"), "mode=a\r\nlang=it\r\n"},
                             {QStringLiteral("PRODUCT.TXT"), "alpha\n"}};
const BootFiles CustomFiles{{QStringLiteral("ROLE.TXT"), "kiosk\n"}};
// A file that the images bring along; the boot files must leave it alone.
const QByteArray ImageText = "written from the image\n";

const QString CardId = QStringLiteral("card");
constexpr qint64 ListedCardSize = 64LL * 1000 * 1000 * 1000;

const QString DownloadCancelled =
        QStringLiteral("Download cancelled: the SD card was not touched. The download will resume where it stopped.");
const QString WritingCancelled = QStringLiteral(
        "Writing was cancelled: the SD card is incomplete and will not boot. Write it again before using it.");
const QString VerifyingCancelled =
        QStringLiteral("Verification was cancelled: the SD card was written but not checked.");
const QString ProductNotSet = QStringLiteral("Cancelled before setting the product: the SD card would not start "
                                             "with the right product. Write it again before using it.");

bool waitLoaded(Backend &backend)
{
    return QTest::qWaitFor([&] { return backend.catalogState() != Backend::CatalogState::Loading; }, 30000);
}

bool waitForEnd(Backend &backend)
{
    return QTest::qWaitFor([&] { return backend.state() != State::Writing; }, 120000);
}

void chooseBuild(Backend &backend, const QString &image)
{
    backend.selectProduct(QStringLiteral("alpha"));
    backend.selectDevice(QStringLiteral("s"));
    backend.selectImage(image);
    backend.chooseDisk();
}

// Gives the Backend one card, made as a TestCard from script.
ScriptedDiskMonitor *attachCard(Backend &backend, const CardScript &script, qint64 listedSize = ListedCardSize,
                                std::function<void()> pauseAction = {})
{
    auto monitor = std::make_unique<ScriptedDiskMonitor>(
            QList<Disk>{Disk{CardId, script.path, QStringLiteral("Test card"), listedSize}});
    monitor->setDeviceFactory([script, pauseAction](const Disk &) -> std::unique_ptr<BlockDevice> {
        return std::make_unique<TestCard>(script, pauseAction);
    });
    ScriptedDiskMonitor *raw = monitor.get();
    BackendTestAccess::setMonitor(backend, std::move(monitor));
    return raw;
}

QStringList cacheFiles()
{
    return QDir(ImageCache::defaultDir()).entryList(QDir::Files, QDir::Name);
}

// A port on which nothing listens (it did a moment ago).
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

Q_DECLARE_METATYPE(CardScript)

// A write through the Backend, from startWrite to the result: real builds
// served by nginx or read from files, real FAT card images checked with
// fsck.fat and mtools afterwards, and test cards for the faults of hardware.
class TestBackendWrite : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<NginxServer> m_nginx;
    CardImage m_card32; // FAT32, written from a deflated archive
    CardImage m_card16; // FAT16, more than one write chunk
    Fixture m_image32;
    Fixture m_image16;
    Fixture m_archive32;
    Fixture m_archive16;
    Fixture m_damaged;   // stored, one bit changed in the image data
    Fixture m_encrypted; // local only
    Fixture m_zeros;     // an image without a partition table
    Fixture m_big;       // random bytes, downloaded slowly

    QString www(const QString &path) const { return m_dir.filePath(QStringLiteral("www/") + path); }
    QString catalogPath() const { return www(QStringLiteral("cat/images.json")); }
    QString catalogUrl() const { return m_nginx->url(QStringLiteral("/cat/images.json")).toString(); }

    QJsonObject buildEntry(const QString &id, const QString &name, const QString &version, const QString &url,
                           const Fixture &archive, const Fixture &image) const
    {
        return QJsonObject{
                {QStringLiteral("id"), id},
                {QStringLiteral("name"), name},
                {QStringLiteral("version"), version},
                {QStringLiteral("url"), url},
                {QStringLiteral("size"), archive.size},
                {QStringLiteral("sha256"), archive.hex()},
                {QStringLiteral("extractSize"), image.size},
                {QStringLiteral("extractSha256"), image.hex()},
                {QStringLiteral("devices"), QJsonArray{QStringLiteral("s")}},
        };
    }

    // One product with boot files of its own, a build that uses them and a
    // build that brings its own, both from the FAT32 archive; then extra builds.
    QByteArray catalogDocument(const QList<QJsonObject> &extra, bool withStable = true) const
    {
        QJsonArray images;
        if (withStable) {
            images.append(buildEntry(QStringLiteral("stable"), QStringLiteral("Stable"), QStringLiteral("2.1"),
                                     QStringLiteral("builds/card32.zip"), m_archive32, m_image32));
        }
        QJsonObject custom = buildEntry(QStringLiteral("custom"), QStringLiteral("Custom"), QStringLiteral("3.0"),
                                        QStringLiteral("builds/card32.zip"), m_archive32, m_image32);
        custom.insert(QStringLiteral("bootFiles"), jsonFiles(CustomFiles));
        images.append(custom);
        for (const QJsonObject &entry : extra)
            images.append(entry);
        const QJsonObject document{
                {QStringLiteral("schemaVersion"), 1},
                {QStringLiteral("devices"),
                 QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("s")},
                                        {QStringLiteral("name"), QStringLiteral("Board S")}}}},
                {QStringLiteral("products"),
                 QJsonArray{QJsonObject{
                         {QStringLiteral("id"), QStringLiteral("alpha")},
                         {QStringLiteral("name"), QStringLiteral("Alpha")},
                         {QStringLiteral("bootFiles"), jsonFiles(ProductFiles)},
                         {QStringLiteral("images"), images},
                 }}},
        };
        return QJsonDocument(document).toJson();
    }

    bool writeCatalog(const QList<QJsonObject> &extra = {})
    {
        return writeFile(catalogPath(), catalogDocument(extra));
    }

    // A build of the FAT16 archive, slow to download when served from /slow/.
    QJsonObject slowBuild() const
    {
        return buildEntry(QStringLiteral("slow"), QStringLiteral("Slow"), QStringLiteral("1"),
                          QStringLiteral("/slow/big.bin"), m_big, m_image16);
    }

    bool makeCard(CardImage &card, const QString &path, int fatBits)
    {
        CardImage::Options options;
        options.fatBits = fatBits;
        options.label = QStringLiteral("TESSARO");
        return card.create(path, options) && card.mcopy(QStringLiteral("IMAGE.TXT"), ImageText);
    }

    static bool zip(const QStringList &options, const QString &archive, const QString &file)
    {
        QDir().mkpath(QFileInfo(archive).path());
        QByteArray output;
        const bool ok = CardImage::run(QStringLiteral("zip"),
                                       QStringList{QStringLiteral("-q"), QStringLiteral("-j")} + options
                                               + QStringList{archive, file},
                                       &output);
        if (!ok)
            qWarning("zip failed: %s", output.constData());
        return ok;
    }

    // The card holds the image's file system, untouched by the write apart
    // from the boot files, which are there with exactly their bytes.
    static void checkCard(const QString &path, const CardImage &layout, const BootFiles &files)
    {
        CardImage card(path, layout.partitionOffset(), layout.partitionBytes());
        QVERIFY2(card.fsck(), qPrintable(card.errorString()));
        const std::optional<QStringList> names = card.mdir();
        QVERIFY2(names, qPrintable(card.errorString()));
        QStringList expected = files.keys() + QStringList{QStringLiteral("IMAGE.TXT")};
        QStringList found = *names;
        expected.sort();
        found.sort();
        QCOMPARE(found, expected);
        const QByteArray failed = "<mtype failed>";
        QCOMPARE(card.mtype(QStringLiteral("IMAGE.TXT")).value_or(failed), ImageText);
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            QCOMPARE(card.mtype(file.key()).value_or(failed), file.value());
    }

private slots:
    void initTestCase()
    {
        // Keep the user's real download cache out of the tests.
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());

        QVERIFY2(makeCard(m_card32, m_dir.filePath(QStringLiteral("card32.img")), 32),
                 qPrintable(m_card32.errorString()));
        QVERIFY2(makeCard(m_card16, m_dir.filePath(QStringLiteral("card16.img")), 16),
                 qPrintable(m_card16.errorString()));
        m_image32 = fixture(m_card32.path());
        m_image16 = fixture(m_card16.path());
        // Cancelling inside the write and the verification needs a second chunk.
        QVERIFY(m_image16.size > WriteJob::ChunkSize);

        QVERIFY(zip({}, www(QStringLiteral("cat/builds/card32.zip")), m_card32.path()));
        QVERIFY(zip({}, www(QStringLiteral("cat/builds/card16.zip")), m_card16.path()));
        m_archive32 = fixture(www(QStringLiteral("cat/builds/card32.zip")));
        m_archive16 = fixture(www(QStringLiteral("cat/builds/card16.zip")));

        // Stored, so that one changed bit in the middle reaches the CRC check.
        const QString stored = m_dir.filePath(QStringLiteral("stored.zip"));
        QVERIFY(zip({QStringLiteral("-0")}, stored, m_card16.path()));
        QFile storedFile(stored);
        QVERIFY(storedFile.open(QIODevice::ReadOnly));
        QByteArray damaged = storedFile.readAll();
        damaged[damaged.size() / 2] = char(damaged.at(damaged.size() / 2) ^ 0x01);
        QVERIFY(writeFile(www(QStringLiteral("cat/builds/damaged.zip")), damaged));
        m_damaged = fixture(www(QStringLiteral("cat/builds/damaged.zip")));

        QVERIFY(zip({QStringLiteral("-P"), QStringLiteral("secret")}, m_dir.filePath(QStringLiteral("encrypted.zip")),
                    m_card16.path()));
        m_encrypted = fixture(m_dir.filePath(QStringLiteral("encrypted.zip")));

        QVERIFY(writeFile(m_dir.filePath(QStringLiteral("zeros.img")), QByteArray(1024 * 1024, '\0')));
        m_zeros = fixture(m_dir.filePath(QStringLiteral("zeros.img")));

        QByteArray random(2 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        QVERIFY(writeFile(www(QStringLiteral("big.bin")), random));
        m_big = fixture(www(QStringLiteral("big.bin")));

        m_nginx = std::make_unique<NginxServer>(m_dir.filePath(QStringLiteral("www")));
        QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorString()));
    }

    void init()
    {
        QFile::remove(ImageCache::defaultDir());
        QDir(ImageCache::defaultDir()).removeRecursively();
    }

    void catalogBuildEndToEnd_data()
    {
        QTest::addColumn<bool>("overHttp");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("writeName");
        QTest::addColumn<BootFiles>("bootFiles");
        QTest::addColumn<bool>("resume"); // half of the archive is in the cache already

        QTest::newRow("build with the product's boot files over HTTP")
                << true << "stable" << "Alpha Stable (2.1)" << ProductFiles << false;
        QTest::newRow("build with boot files of its own over HTTP")
                << true << "custom" << "Alpha Custom (3.0)" << CustomFiles << false;
        QTest::newRow("download resumed over HTTP")
                << true << "stable" << "Alpha Stable (2.1)" << ProductFiles << true;
        QTest::newRow("catalog file naming an archive beside it")
                << false << "stable" << "Alpha Stable (2.1)" << ProductFiles << false;
        QTest::newRow("catalog file with the archive half copied")
                << false << "custom" << "Alpha Custom (3.0)" << CustomFiles << true;
    }
    void catalogBuildEndToEnd()
    {
        QFETCH(bool, overHttp);
        QFETCH(QString, image);
        QFETCH(QString, writeName);
        QFETCH(BootFiles, bootFiles);
        QFETCH(bool, resume);
        QVERIFY(writeCatalog());
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));
        const qint64 prefix = resume ? m_archive32.size / 2 : 0;
        if (resume) {
            QFile archive(m_archive32.path);
            QVERIFY(archive.open(QIODevice::ReadOnly));
            QVERIFY(writeFile(ImageCache(ImageCache::defaultDir()).partialPathFor(m_archive32.sha256),
                              archive.read(prefix)));
        }

        Backend backend(overHttp ? catalogUrl() : catalogPath(), target);
        QVERIFY(waitLoaded(backend));
        QCOMPARE(backend.catalogState(), Backend::CatalogState::Ready);
        chooseBuild(backend, image);
        backend.selectDisk(target);
        QVERIFY(backend.canWrite());
        QCOMPARE(backend.setupProductName(), QStringLiteral("Alpha"));
        const int served = m_nginx->accessLog().size();

        QString nameWhenShown;
        QStringList phases;
        connect(&backend, &Backend::stateChanged, &backend, [&] {
            if (backend.state() == State::Writing)
                nameWhenShown = backend.writeName();
        });
        connect(&backend, &Backend::progressChanged, &backend, [&] {
            if (phases.isEmpty() || phases.last() != backend.phaseLabel())
                phases << backend.phaseLabel();
        });
        backend.startWrite();
        QCOMPARE(backend.state(), State::Writing);
        QCOMPARE(nameWhenShown, writeName);
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Downloading"));
        QCOMPARE(backend.progress(), 0.0);
        QPointer<QThread> thread = BackendTestAccess::thread(backend);
        QVERIFY(thread);

        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.errorMessage(), QString());
        QCOMPARE(backend.state(), State::Done);
        QVERIFY(!backend.cancelling());
        QCOMPARE(backend.writeName(), writeName);
        QCOMPARE(phases, (QStringList{QStringLiteral("Downloading"), QStringLiteral("Writing"),
                                      QStringLiteral("Verifying"), QStringLiteral("Finalizing: setting up Alpha")}));
        QCOMPARE(backend.progress(), 1.0);
        QTRY_VERIFY(thread.isNull());
        QVERIFY(!BackendTestAccess::job(backend));

        checkCard(target, m_card32, bootFiles);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(cacheFiles(), QStringList{m_archive32.hex() + QStringLiteral(".zip")});
        // The archive's relative url is taken from beside the catalog.
        const QString request = resume ? QStringLiteral("GET /cat/builds/card32.zip 206 bytes=%1-").arg(prefix)
                                       : QStringLiteral("GET /cat/builds/card32.zip 200 -");
        if (overHttp)
            QTRY_VERIFY(m_nginx->accessLog().mid(served).contains(request));
        else
            QCOMPARE(m_nginx->accessLog().size(), served);
    }

    void localImageEndToEnd_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("asProduct");
        QTest::addColumn<BootFiles>("bootFiles");

        QTest::newRow("plain image alone") << "card16.img" << false << BootFiles();
        QTest::newRow("plain image set up as the product") << "card16.img" << true << ProductFiles;
        QTest::newRow("zip archive set up as the product") << "www/cat/builds/card32.zip" << true << ProductFiles;
    }
    void localImageEndToEnd()
    {
        QFETCH(QString, file);
        QFETCH(bool, asProduct);
        QFETCH(BootFiles, bootFiles);
        QVERIFY(writeCatalog());
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));

        Backend backend(catalogPath(), target);
        if (asProduct)
            backend.selectProduct(QStringLiteral("alpha"));
        else
            backend.useLocalFileOnly();
        backend.setImageUrl(QUrl::fromLocalFile(m_dir.filePath(file)));
        backend.chooseDisk();
        backend.selectDisk(target);
        QVERIFY(backend.canWrite());

        QStringList phases;
        connect(&backend, &Backend::progressChanged, &backend, [&] {
            if (phases.isEmpty() || phases.last() != backend.phaseLabel())
                phases << backend.phaseLabel();
        });
        backend.startWrite();
        QCOMPARE(backend.writeName(), QFileInfo(file).fileName());
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Writing"));
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.errorMessage(), QString());
        QCOMPARE(backend.state(), State::Done);

        QStringList expectedPhases{QStringLiteral("Writing"), QStringLiteral("Verifying")};
        if (asProduct)
            expectedPhases << QStringLiteral("Finalizing: setting up Alpha");
        QCOMPARE(phases, expectedPhases);
        const bool fat32 = file.endsWith(QLatin1String("card32.zip"));
        checkCard(target, fat32 ? m_card32 : m_card16, bootFiles);
        if (QTest::currentTestFailed())
            return;
        if (!asProduct)
            QCOMPARE(fixture(target).sha256, m_image16.sha256);
        // No download: the cache stays as it was.
        QCOMPARE(cacheFiles(), QStringList());
    }

    void catalogBuildFailures_data()
    {
        QTest::addColumn<QJsonObject>("changes"); // to a working build; null removes the key
        QTest::addColumn<bool>("blockCache");
        QTest::addColumn<qint64>("cardSize");
        // %CACHE% is the cache folder; a message that starts with ^ is a pattern.
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("cacheAfter"); // %ARCHIVE% is the build's digest
        QTest::addColumn<bool>("cardTouched");

        const QString part = QStringLiteral("%ARCHIVE%.part");
        const QString downloadDamaged = QStringLiteral(
                "The downloaded image is damaged (checksum mismatch) and was discarded; the SD card was not "
                "touched. Retry to download it again.");
        const QString imageMismatch = QStringLiteral(
                "The image does not match the catalog (checksum mismatch): the SD card is not usable. "
                "Download the image again.");

        QTest::newRow("archive not on the server")
                << QJsonObject{{"url", "builds/missing.zip"}} << false << qint64(-1)
                << "Download failed: HTTP 404. Check the network connection and retry." << QStringList{part} << false;
        QTest::newRow("server not listening")
                << QJsonObject{{"url", "http://127.0.0.1:%CLOSED%/cat/builds/card16.zip"}} << false << qint64(-1)
                << "Download failed: Connection refused. Check the network connection and retry." << QStringList{part}
                << false;
        QTest::newRow("archive digest differs")
                << QJsonObject{{"sha256", QStringLiteral("ab").repeated(32)}} << false << qint64(-1) << downloadDamaged
                << QStringList() << false;
        // The download can never be accepted; it is found out after the transfer.
        QTest::newRow("archive digest not hexadecimal")
                << QJsonObject{{"sha256", "n/a"}} << false << qint64(-1) << downloadDamaged << QStringList() << false;
        QTest::newRow("image digest differs")
                << QJsonObject{{"extractSha256", QStringLiteral("cd").repeated(32)}} << false << qint64(-1)
                << imageMismatch << QStringList() << true;
        QTest::newRow("image digest decoding to nothing")
                << QJsonObject{{"extractSha256", "unknown"}} << false << qint64(-1) << imageMismatch << QStringList()
                << true;
        QTest::newRow("image digest decoding to one byte")
                << QJsonObject{{"extractSha256", "n/a"}} << false << qint64(-1) << imageMismatch << QStringList()
                << true;
        QTest::newRow("damaged archive")
                << QJsonObject{{"url", "builds/damaged.zip"}, {"size", m_damaged.size}, {"sha256", m_damaged.hex()}}
                << false << qint64(-1) << "The image file is damaged and the SD card is not usable: CRC32 mismatch"
                << QStringList() << true;
        QTest::newRow("archive larger than the free space")
                << QJsonObject{{"size", qint64(1000000000000000)}} << false << qint64(-1)
                << "^Not enough free disk space to download the image: 1000000000000000 bytes needed, \\d+ available$"
                << QStringList{part} << false;
        QTest::newRow("cache folder cannot be made")
                << QJsonObject() << true << qint64(-1) << "Cannot save the image in the cache folder: cannot create %CACHE%"
                << QStringList() << false;
        // Without an extracted size every card is offered; the job finds out.
        QTest::newRow("card smaller than the image")
                << QJsonObject{{"extractSize", QJsonValue()}} << false << qint64(1024 * 1024)
                << "The SD card is smaller than the image." << QStringList{QStringLiteral("%ARCHIVE%.zip")} << true;
    }
    void catalogBuildFailures()
    {
        QFETCH(QJsonObject, changes);
        QFETCH(bool, blockCache);
        QFETCH(qint64, cardSize);
        QFETCH(QString, message);
        QFETCH(QStringList, cacheAfter);
        QFETCH(bool, cardTouched);

        QJsonObject build = buildEntry(QStringLiteral("x"), QStringLiteral("X"), QStringLiteral("1"),
                                       QStringLiteral("builds/card16.zip"), m_archive16, m_image16);
        for (auto change = changes.begin(); change != changes.end(); ++change) {
            if (change->isNull())
                build.remove(change.key());
            else if (change->isString())
                build.insert(change.key(), change->toString().replace(QStringLiteral("%CLOSED%"),
                                                                      QString::number(closedPort())));
            else
                build.insert(change.key(), *change);
        }
        QVERIFY(writeCatalog({build}));
        if (blockCache)
            QVERIFY(writeFile(ImageCache::defaultDir(), "a file where the folder should be"));

        QTemporaryDir cards;
        CardScript script;
        script.path = cards.filePath(QStringLiteral("card.img"));
        script.size = cardSize;
        Backend backend(catalogUrl(), QString());
        QVERIFY(waitLoaded(backend));
        attachCard(backend, script, cardSize > 0 ? cardSize : ListedCardSize);
        chooseBuild(backend, QStringLiteral("x"));
        backend.selectDisk(CardId);
        QVERIFY(backend.canWrite());
        backend.startWrite();
        QVERIFY(waitForEnd(backend));

        QCOMPARE(backend.state(), State::Failed);
        QVERIFY(!backend.cancelling());
        message.replace(QStringLiteral("%CACHE%"), ImageCache::defaultDir());
        if (message.startsWith(QLatin1Char('^')))
            QVERIFY2(QRegularExpression(message).match(backend.errorMessage()).hasMatch(),
                     qPrintable(backend.errorMessage()));
        else
            QCOMPARE(backend.errorMessage(), message);
        cacheAfter.replaceInStrings(QStringLiteral("%ARCHIVE%"), m_archive16.hex());
        QCOMPARE(cacheFiles(), cacheAfter);
        QCOMPARE(QFile::exists(script.path), cardTouched);
    }

    void localImageFailures_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<bool>("asProduct");
        QTest::addColumn<bool>("verify");
        QTest::addColumn<CardScript>("card");
        QTest::addColumn<QString>("message");

        using Failure = BlockDevice::Failure;
        const QString removed =
                QStringLiteral("The SD card was removed during the operation: insert it again and retry.");

        QTest::newRow("image file missing") << "missing.img" << false << true << CardScript()
                                            << "Cannot read the image: No such file or directory";
        QTest::newRow("damaged archive") << "www/cat/builds/damaged.zip" << false << true << CardScript()
                                         << "The image file is damaged and the SD card is not usable: CRC32 mismatch";
        QTest::newRow("encrypted archive") << "encrypted.zip" << false << true << CardScript()
                                           << "Unsupported zip format: encrypted zip entries are not supported";
        CardScript noFolder;
        noFolder.path = QStringLiteral("/nonexistent/tessaro/card.img");
        QTest::newRow("card in a missing folder") << "card16.img" << false << true << noFolder
                                                  << "Cannot open the SD card: No such file or directory";
        CardScript full;
        full.path = QStringLiteral("/dev/full");
        QTest::newRow("card that takes no data")
                << "card16.img" << false << true << full
                << "Error reading or writing the SD card, it may be faulty: No space left on device";
        QTest::newRow("write-protected card")
                << "card16.img" << false << true
                << failing(Call::Open, 1, Failure::WriteProtected, QStringLiteral("The media is write protected."))
                << "The SD card is write-protected: move the lock switch on the card or adapter and retry.";
        QTest::newRow("card removed while writing")
                << "card16.img" << false << true
                << failing(Call::Write, 2, Failure::Removed, QStringLiteral("The device is not ready.")) << removed;
        QTest::newRow("access denied")
                << "card16.img" << false << true
                << failing(Call::Open, 1, Failure::PermissionDenied, QStringLiteral("Access is denied."))
                << "Permission denied to access the SD card: Access is denied.";
        QTest::newRow("flush fails")
                << "card16.img" << false << true
                << failing(Call::Flush, 1, Failure::IoError, QStringLiteral("The semaphore timeout period has expired."))
                << "Error reading or writing the SD card, it may be faulty: The semaphore timeout period has expired.";
        QTest::newRow("read-back fails")
                << "card16.img" << false << true
                << failing(Call::Read, 2, Failure::IoError, QStringLiteral("The request could not be performed."))
                << "Error reading or writing the SD card, it may be faulty: The request could not be performed.";
        CardScript corrupting;
        corrupting.corruptReadBack = true;
        QTest::newRow("read-back differs")
                << "card16.img" << false << true << corrupting
                << "Verification failed: the data read back from the SD card differs from what was written. "
                   "The SD card is probably faulty: try another one.";
        // Without verification the first read is the boot-file writer's.
        QTest::newRow("card removed while setting up the product")
                << "card16.img" << true << false
                << failing(Call::Read, 1, Failure::Removed, QStringLiteral("The device is not ready.")) << removed;
        QTest::newRow("image without a partition table")
                << "zeros.img" << true << true << CardScript()
                << "The image was written but the product could not be set on the SD card: no MBR partition table. "
                   "The device would not start with the right product: write the SD card again.";
    }
    void localImageFailures()
    {
        QFETCH(QString, image);
        QFETCH(bool, asProduct);
        QFETCH(bool, verify);
        QFETCH(CardScript, card);
        QFETCH(QString, message);
        QVERIFY(writeCatalog());
        QTemporaryDir cards;
        if (card.path.isEmpty())
            card.path = cards.filePath(QStringLiteral("card.img"));

        Backend backend(catalogPath(), QString());
        attachCard(backend, card);
        if (asProduct)
            backend.selectProduct(QStringLiteral("alpha"));
        backend.setVerify(verify);
        backend.setImageUrl(QUrl::fromLocalFile(m_dir.filePath(image)));
        backend.chooseDisk();
        backend.selectDisk(CardId);
        QVERIFY(backend.canWrite());
        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.errorMessage(), message);
        QCOMPARE(backend.state(), State::Failed);
        QVERIFY(!backend.cancelling());
    }

    void cancelInEachPhase_data()
    {
        QTest::addColumn<QString>("build");      // a catalog build, or empty
        QTest::addColumn<QString>("localImage"); // when no build
        QTest::addColumn<bool>("asProduct");
        QTest::addColumn<bool>("verify");
        // Where the card waits for the click; without a pause the click comes
        // with the first downloaded bytes.
        QTest::addColumn<CardScript>("card");
        QTest::addColumn<QString>("phaseAtClick");
        QTest::addColumn<QString>("message");

        QTest::newRow("downloading") << "slow" << QString() << true << true << CardScript() << "Downloading"
                                     << DownloadCancelled;
        QTest::newRow("writing a catalog build") << "stable" << QString() << true << true
                                                 << pausing(Call::Write, 1) << "Writing" << WritingCancelled;
        QTest::newRow("writing a local image") << QString() << "card16.img" << true << true
                                               << pausing(Call::Write, 1) << "Writing" << WritingCancelled;
        QTest::newRow("verifying without boot files") << QString() << "card16.img" << false << true
                                                      << pausing(Call::Read, 1) << "Verifying" << VerifyingCancelled;
        // The boot files would have come after the verification: the card is
        // not set up as the product.
        QTest::newRow("verifying a build with boot files") << "stable" << QString() << true << true
                                                           << pausing(Call::Read, 1) << "Verifying" << ProductNotSet;
        QTest::newRow("verifying a local image with the product's boot files")
                << QString() << "card16.img" << true << true << pausing(Call::Read, 1) << "Verifying" << ProductNotSet;
        // The click lands after the last chunk, the job sees it when it turns
        // to the boot files.
        QTest::newRow("finalizing") << QString() << "card16.img" << true << false << pausing(Call::Flush, 1)
                                    << "Writing" << ProductNotSet;
    }
    void cancelInEachPhase()
    {
        QFETCH(QString, build);
        QFETCH(QString, localImage);
        QFETCH(bool, asProduct);
        QFETCH(bool, verify);
        QFETCH(CardScript, card);
        QFETCH(QString, phaseAtClick);
        QFETCH(QString, message);
        QVERIFY(writeCatalog({slowBuild()}));
        QTemporaryDir cards;
        card.path = cards.filePath(QStringLiteral("card.img"));

        Backend backend(catalogUrl(), QString());
        QVERIFY(waitLoaded(backend));
        QString phaseSeen;
        const auto click = [&] {
            phaseSeen = backend.phaseLabel();
            backend.cancel();
        };
        attachCard(backend, card, ListedCardSize, click);
        if (!build.isEmpty()) {
            chooseBuild(backend, build);
        } else {
            if (asProduct)
                backend.selectProduct(QStringLiteral("alpha"));
            backend.setImageUrl(QUrl::fromLocalFile(m_dir.filePath(localImage)));
            backend.chooseDisk();
        }
        backend.setVerify(verify);
        backend.selectDisk(CardId);
        QVERIFY(backend.canWrite());
        if (card.pauseCall == Call::None) {
            connect(&backend, &Backend::progressChanged, &backend, [&] {
                if (phaseSeen.isEmpty() && backend.progress() > 0)
                    click();
            });
        }

        QSignalSpy states(&backend, &Backend::stateChanged);
        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(phaseSeen, phaseAtClick);
        QCOMPARE(backend.errorMessage(), message);
        QCOMPARE(backend.state(), State::Cancelled);
        QVERIFY(!backend.cancelling());
        // Writing, Cancelling, Cancelled.
        QCOMPARE(states.count(), 3);

        if (build == QLatin1String("slow")) {
            QVERIFY(!QFile::exists(card.path));
            // What arrived stays for the next attempt to resume from.
            const QFileInfo partial(ImageCache(ImageCache::defaultDir()).partialPathFor(m_big.sha256));
            QVERIFY(partial.size() > 0);
            QVERIFY(partial.size() < m_big.size);
        } else if (!build.isEmpty()) {
            // A cancelled write keeps the downloaded build.
            QCOMPARE(cacheFiles(), QStringList{m_archive32.hex() + QStringLiteral(".zip")});
        }
    }

    void startWriteRefusals_data()
    {
        QTest::addColumn<QString>("breakage");
        QTest::addColumn<int>("devicesMade");
        QTest::newRow("no image chosen") << "no image" << 0;
        QTest::newRow("no disk chosen") << "no disk" << 0;
        QTest::newRow("disk gone before the list was updated") << "disk gone" << 0;
        QTest::newRow("monitor cannot make a device") << "no device" << 1;
        QTest::newRow("build gone from the catalog") << "build gone" << 1;
    }
    void startWriteRefusals()
    {
        QFETCH(QString, breakage);
        QFETCH(int, devicesMade);
        QVERIFY(writeCatalog());
        QTemporaryDir cards;
        const QString path = cards.filePath(QStringLiteral("card.img"));

        int made = 0;
        Backend backend(catalogPath(), QString());
        auto monitor = std::make_unique<ScriptedDiskMonitor>(
                QList<Disk>{Disk{CardId, path, QString(), ListedCardSize}});
        ScriptedDiskMonitor *rawMonitor = monitor.get();
        monitor->setDeviceFactory([&](const Disk &) -> std::unique_ptr<BlockDevice> {
            ++made;
            if (breakage == QLatin1String("no device"))
                return nullptr;
            return std::make_unique<FileBlockDevice>(path, -1, FileBlockDevice::OpenMode::CreateOrTruncate);
        });
        BackendTestAccess::setMonitor(backend, std::move(monitor));
        chooseBuild(backend, QStringLiteral("stable"));
        if (breakage != QLatin1String("no disk"))
            backend.selectDisk(CardId);
        if (breakage == QLatin1String("no image"))
            backend.selectImage(QString());
        if (breakage == QLatin1String("disk gone")) {
            const QSignalBlocker quiet(rawMonitor);
            rawMonitor->setDisks({});
        }
        if (breakage == QLatin1String("build gone")) {
            BackendTestAccess::setCatalog(backend, Catalog::parse(catalogDocument({}, false),
                                                                  QVersionNumber::fromString(Backend::Version)));
        }

        const SignalLog log(&backend);
        backend.startWrite();
        QTest::qWait(20);
        QCOMPARE(log.count(), 0);
        QCOMPARE(backend.state(), State::Idle);
        QVERIFY(backend.writeName().isEmpty());
        QVERIFY(!BackendTestAccess::thread(backend));
        QCOMPARE(made, devicesMade);
        QVERIFY(!QFile::exists(path));
    }

    void cancelTwiceAndStartWhileWriting()
    {
        QVERIFY(writeCatalog());
        QTemporaryDir cards;
        CardScript card = pausing(Call::Write, 1);
        card.path = cards.filePath(QStringLiteral("card.img"));
        Backend backend(catalogPath(), QString());

        int signalsOfSecondStart = -1;
        int stateSignalsOfCancels = -1;
        bool cancellingAfterClicks = false;
        QString nameWhileWriting;
        attachCard(backend, card, ListedCardSize, [&] {
            const SignalLog log(&backend);
            backend.startWrite();
            signalsOfSecondStart = log.count();
            nameWhileWriting = backend.writeName();
            QSignalSpy states(&backend, &Backend::stateChanged);
            backend.cancel();
            backend.cancel();
            stateSignalsOfCancels = states.count();
            cancellingAfterClicks = backend.cancelling();
        });
        backend.setImageUrl(QUrl::fromLocalFile(m_card16.path()));
        backend.chooseDisk();
        backend.selectDisk(CardId);

        // Nothing to cancel yet.
        const SignalLog idle(&backend);
        backend.cancel();
        QCOMPARE(idle.count(), 0);

        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(signalsOfSecondStart, 0);
        QCOMPARE(nameWhileWriting, QStringLiteral("card16.img"));
        QCOMPARE(stateSignalsOfCancels, 1);
        QVERIFY(cancellingAfterClicks);
        QCOMPARE(backend.state(), State::Cancelled);
        QVERIFY(!backend.cancelling());
        QCOMPARE(backend.errorMessage(), WritingCancelled);

        const SignalLog after(&backend);
        backend.cancel();
        QCOMPARE(after.count(), 0);
    }

    void startResetsTheProgress()
    {
        QVERIFY(writeCatalog());
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));
        Backend backend(catalogPath(), target);
        backend.selectProduct(QStringLiteral("alpha"));
        backend.setImageUrl(QUrl::fromLocalFile(m_card16.path()));
        backend.chooseDisk();
        backend.selectDisk(target);
        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.state(), State::Done);
        QCOMPARE(backend.progress(), 1.0);
        // As if the last phase had shown a speed.
        BackendTestAccess::report(backend, WriteJob::Phase::Verifying, 0, 100000000);
        BackendTestAccess::advanceSpeedClock(backend, 1000);
        BackendTestAccess::report(backend, WriteJob::Phase::Verifying, 50000000, 100000000);
        QVERIFY(!backend.speedText().isEmpty());

        // Done clears the disk: the user chooses it again for the next card.
        backend.reset();
        backend.selectDisk(target);
        backend.setImageUrl(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("missing.img"))));
        backend.startWrite();
        QCOMPARE(backend.writeName(), QStringLiteral("missing.img"));
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Writing"));
        QCOMPARE(backend.progress(), 0.0);
        QVERIFY(backend.speedText().isEmpty());
        QVERIFY(backend.timeLeftText().isEmpty());
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.state(), State::Failed);
        QVERIFY(!backend.errorMessage().isEmpty());

        // A failed write keeps the disk, and the next start clears the message.
        backend.setImageUrl(QUrl::fromLocalFile(m_card16.path()));
        backend.startWrite();
        QCOMPARE(backend.state(), State::Writing);
        QVERIFY(backend.errorMessage().isEmpty());
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.state(), State::Done);
    }

    void closingDuringAWrite_data()
    {
        QTest::addColumn<bool>("download");
        QTest::newRow("during a slow download") << true;
        QTest::newRow("during the write to a slow card") << false;
    }
    void closingDuringAWrite()
    {
        QFETCH(bool, download);
        QVERIFY(writeCatalog({slowBuild()}));
        QTemporaryDir cards;
        CardScript card;
        card.path = cards.filePath(QStringLiteral("card.img"));
        card.writeDelay = 200;

        auto backend = std::make_unique<Backend>(catalogUrl(), QString());
        QVERIFY(waitLoaded(*backend));
        attachCard(*backend, card);
        if (download) {
            chooseBuild(*backend, QStringLiteral("slow"));
        } else {
            backend->setImageUrl(QUrl::fromLocalFile(m_card32.path()));
            backend->chooseDisk();
        }
        backend->selectDisk(CardId);
        backend->startWrite();
        QPointer<QThread> thread = BackendTestAccess::thread(*backend);
        QPointer<WriteJob> job = BackendTestAccess::job(*backend);
        QVERIFY(thread);
        QVERIFY(job);
        QVERIFY(QTest::qWaitFor([&] { return backend->progress() > 0; }, 30000));
        QCOMPARE(backend->phaseLabel(), download ? QStringLiteral("Downloading") : QStringLiteral("Writing"));
        QVERIFY(thread->isRunning());

        QElapsedTimer closing;
        closing.start();
        backend.reset(); // the window closes

        // The job stops at its next chunk or within the download's poll.
        QVERIFY2(closing.elapsed() < 5000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY(thread.isNull());
        QVERIFY(job.isNull());
        // Nothing of the write is left to arrive.
        QTest::qWait(100);
    }
};

QTEST_GUILESS_MAIN(TestBackendWrite)
#include "tst_backendwrite.moc"
