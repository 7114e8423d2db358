#include "writefixture.h"

#include "catalogdocument.h"
#include "support/programrun.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QTest>

const BootFiles ProductFiles{{QStringLiteral("CONFIG.TXT"), "mode=a\r\nlang=it\r\n"},
                             {QStringLiteral("PRODUCT.TXT"), "alpha\n"}};
const BootFiles CustomFiles{{QStringLiteral("ROLE.TXT"), "kiosk\n"}};
const QByteArray ImageText = "written from the image\n";
const QString CardId = QStringLiteral("card");
const qint64 ListedCardSize = 64LL * 1000 * 1000 * 1000;

const QString DownloadCancelled =
        QStringLiteral("Download cancelled: the SD card was not touched. The download will resume where it stopped.");
const QString WritingCancelled = QStringLiteral(
        "Writing was cancelled: the SD card is incomplete and will not boot. Write it again before using it.");
const QString VerifyingCancelled =
        QStringLiteral("Verification was cancelled: the SD card was written but not checked.");
const QString ProductNotSet = QStringLiteral("Cancelled before setting the product: the SD card would not start "
                                             "with the right product. Write it again before using it.");

namespace {

bool makeCard(CardImage &card, const QString &path, int fatBits, QString *error)
{
    CardImage::Options options;
    options.fatBits = fatBits;
    options.label = QStringLiteral("TESSARO");
    if (card.create(path, options) && card.mcopy(QStringLiteral("IMAGE.TXT"), ImageText))
        return true;
    *error = card.errorString();
    return false;
}

bool zip(const QStringList &options, const QString &archive, const QString &file, QString *error)
{
    QDir().mkpath(QFileInfo(archive).path());
    *error = runTool(QStringLiteral("zip"),
                     QStringList{QStringLiteral("-q"), QStringLiteral("-j")} + options + QStringList{archive, file}, {});
    return error->isEmpty();
}

} // namespace

FixtureFile FixtureFile::of(const QString &path)
{
    return FixtureFile{path, QFileInfo(path).size(), fileSha256(path)};
}

void WriteFixture::setUp()
{
    testcache::use();
    QString error;
    QVERIFY2(create(&error), qPrintable(error));
}

bool WriteFixture::create(QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    if (!makeCard(card32, file(QStringLiteral("card32.img")), 32, error)
        || !makeCard(card16, file(QStringLiteral("card16.img")), 16, error))
        return false;
    image32 = FixtureFile::of(card32.path());
    image16 = FixtureFile::of(card16.path());

    if (!zip({}, www(QStringLiteral("cat/builds/card32.zip")), card32.path(), error)
        || !zip({}, www(QStringLiteral("cat/builds/card16.zip")), card16.path(), error))
        return false;
    archive32 = FixtureFile::of(www(QStringLiteral("cat/builds/card32.zip")));
    archive16 = FixtureFile::of(www(QStringLiteral("cat/builds/card16.zip")));

    // Stored, so that one changed bit in the middle reaches the CRC check.
    const QString stored = file(QStringLiteral("stored.zip"));
    if (!zip({QStringLiteral("-0")}, stored, card16.path(), error))
        return false;
    QFile storedFile(stored);
    if (!storedFile.open(QIODevice::ReadOnly)) {
        *error = storedFile.errorString();
        return false;
    }
    QByteArray bytes = storedFile.readAll();
    bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x01);
    if (!writeFile(www(QStringLiteral("cat/builds/damaged.zip")), bytes)) {
        *error = QStringLiteral("cannot write damaged.zip");
        return false;
    }
    damaged = FixtureFile::of(www(QStringLiteral("cat/builds/damaged.zip")));

    if (!zip({QStringLiteral("-P"), QStringLiteral("secret")}, file(QStringLiteral("encrypted.zip")), card16.path(),
             error))
        return false;
    encrypted = FixtureFile::of(file(QStringLiteral("encrypted.zip")));

    const QByteArray random = randomBytes(2 * 1024 * 1024, QRandomGenerator::global()->generate());
    if (!writeFile(file(QStringLiteral("zeros.img")), QByteArray(1024 * 1024, '\0'))
        || !writeFile(www(QStringLiteral("big.bin")), random)) {
        *error = QStringLiteral("cannot write the test files");
        return false;
    }
    zeros = FixtureFile::of(file(QStringLiteral("zeros.img")));
    if (!zip({}, www(QStringLiteral("cat/builds/zeros.zip")), zeros.path, error))
        return false;
    zerosArchive = FixtureFile::of(www(QStringLiteral("cat/builds/zeros.zip")));
    big = FixtureFile::of(www(QStringLiteral("big.bin")));

    m_nginx = std::make_unique<NginxServer>(m_dir.filePath(QStringLiteral("www")));
    if (!m_nginx->start()) {
        *error = m_nginx->errorString();
        return false;
    }
    return true;
}

QString WriteFixture::www(const QString &path) const
{
    return m_dir.filePath(QStringLiteral("www/") + path);
}

QString WriteFixture::file(const QString &name) const
{
    return m_dir.filePath(name);
}

QString WriteFixture::catalogPath() const
{
    return www(QStringLiteral("cat/images.json"));
}

QString WriteFixture::catalogUrl() const
{
    return m_nginx->url(QStringLiteral("/cat/images.json")).toString();
}

QJsonObject WriteFixture::buildEntry(const QString &id, const QString &name, const QString &version,
                                     const QString &url, const FixtureFile &archive, const FixtureFile &image) const
{
    QJsonObject entry = CatalogDocument::build(id, name, version, url, archive.size, archive.hex(), {QStringLiteral("s")});
    entry.insert(QStringLiteral("extractSize"), image.size);
    entry.insert(QStringLiteral("extractSha256"), image.hex());
    return entry;
}

QByteArray WriteFixture::catalogDocument(const QList<QJsonObject> &extra, bool withStable) const
{
    QJsonArray images;
    if (withStable) {
        images.append(buildEntry(QStringLiteral("stable"), QStringLiteral("Stable"), QStringLiteral("2.1"),
                                 QStringLiteral("builds/card32.zip"), archive32, image32));
    }
    QJsonObject custom = buildEntry(QStringLiteral("custom"), QStringLiteral("Custom"), QStringLiteral("3.0"),
                                    QStringLiteral("builds/card32.zip"), archive32, image32);
    custom.insert(QStringLiteral("bootFiles"), CatalogDocument::bootFiles(CustomFiles));
    images.append(custom);
    for (const QJsonObject &entry : extra)
        images.append(entry);
    return CatalogDocument()
            .device(QStringLiteral("s"), QStringLiteral("Board S"))
            .product(QStringLiteral("alpha"), QStringLiteral("Alpha"), images,
                     {{QStringLiteral("bootFiles"), CatalogDocument::bootFiles(ProductFiles)}})
            .toJson();
}

bool WriteFixture::writeCatalog(const QList<QJsonObject> &extra)
{
    return writeFile(catalogPath(), catalogDocument(extra));
}

QJsonObject WriteFixture::slowBuild() const
{
    return buildEntry(QStringLiteral("slow"), QStringLiteral("Slow"), QStringLiteral("1"),
                      QStringLiteral("/slow/big.bin"), big, image16);
}

QString WriteFixture::writePaddedCatalog(int paddingSeconds, quint32 seed, FixtureFile *archive)
{
    const QString padding = file(QStringLiteral("padding.bin"));
    if (!writeFile(padding, randomBytes(paddingSeconds * NginxServer::SlowRate, seed)))
        return QStringLiteral("cannot write ") + padding;
    const QString archivePath = www(QStringLiteral("cat/builds/padded.zip"));
    QFile::remove(archivePath);
    const QString zipped = runTool(QStringLiteral("zip"), {"-q", "-j", archivePath, card16.path(), padding}, {});
    if (!zipped.isEmpty())
        return zipped;
    *archive = FixtureFile::of(archivePath);
    if (!writeCatalog({buildEntry(QStringLiteral("padded"), QStringLiteral("Padded"), QStringLiteral("1"),
                                  QStringLiteral("/slow/cat/builds/padded.zip"), *archive, image16)}))
        return QStringLiteral("cannot write the catalog");
    return {};
}

SignalLog::SignalLog(QObject *object)
{
    const QMetaObject *meta = object->metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            m_spies.push_back(std::make_unique<QSignalSpy>(object, meta->method(i)));
    }
}

int SignalLog::count() const
{
    int total = 0;
    for (const auto &spy : m_spies)
        total += spy->count();
    return total;
}

bool waitForEnd(Backend &backend)
{
    return QTest::qWaitFor([&] { return backend.state() != Backend::State::Writing; }, 120000);
}

bool writeOnto(Backend &backend, const QString &diskId)
{
    backend.selectDisk(diskId);
    if (!backend.canWrite())
        return false;
    backend.startWrite();
    return waitForEnd(backend);
}

void chooseBuild(Backend &backend, const QString &image)
{
    backend.selectProduct(QStringLiteral("alpha"));
    backend.selectDevice(QStringLiteral("s"));
    backend.selectImage(image);
    backend.chooseDisk();
}

ScriptedDiskMonitor *attachCard(Backend &backend, const ScriptedCard::Script &script, qint64 listedSize,
                                std::function<void()> pauseAction)
{
    auto monitor = std::make_unique<ScriptedDiskMonitor>(
            QList<Disk>{Disk{CardId, script.path, QStringLiteral("Test card"), listedSize}});
    monitor->setDeviceFactory([script, pauseAction](const Disk &) -> std::unique_ptr<BlockDevice> {
        return std::make_unique<ScriptedCard>(script, pauseAction);
    });
    ScriptedDiskMonitor *raw = monitor.get();
    backend.diskChoice().setMonitor(std::move(monitor));
    return raw;
}

void checkCard(const QString &path, const CardImage &layout, const BootFiles &files)
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
    BootFiles all = files;
    all.insert(QStringLiteral("IMAGE.TXT"), ImageText);
    QVERIFY2(card.holds(all), qPrintable(card.errorString()));
}
