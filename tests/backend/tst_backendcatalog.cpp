#include "backend/backend.h"
#include "backendtestaccess.h"
#include "backendwaits.h"
#include "catalogdocument.h"
#include "image/imagecache.h"
#include "nginxserver.h"
#include "scripteddiskmonitor.h"
#include "scriptedhttpserver.h"
#include "testcache.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using CatalogState = Backend::CatalogState;

namespace {

const QString Digest1 = QStringLiteral("11").repeated(32);
const QString Digest2 = QStringLiteral("22").repeated(32);

QJsonObject imageEntry(const QString &id, const QStringList &devices, const QString &digest, qint64 extractSize = 0)
{
    QJsonObject object = CatalogDocument::build(id, id.toUpper(), QStringLiteral("1.0"),
                                                QStringLiteral("builds/%1.zip").arg(id), 1000, digest, devices);
    if (extractSize > 0)
        object.insert(QStringLiteral("extractSize"), extractSize);
    return object;
}

// Two products on two devices: alpha has "stable" for s and m and "lab" for m
// only (without boot files); beta has "stable" for s.
QJsonObject standardCatalog()
{
    QJsonObject lab = imageEntry(QStringLiteral("lab"), {QStringLiteral("m")}, Digest2);
    lab.insert(QStringLiteral("bootFiles"), QJsonObject());
    return CatalogDocument()
            .device(QStringLiteral("s"), QStringLiteral("Board S"))
            .device(QStringLiteral("m"), QStringLiteral("Board M"))
            .product(QStringLiteral("alpha"), QStringLiteral("Alpha"),
                     {imageEntry(QStringLiteral("stable"), {QStringLiteral("s"), QStringLiteral("m")}, Digest1, 3000000000),
                      lab},
                     {{QStringLiteral("icon"), QStringLiteral("icons/alpha.png")},
                      {QStringLiteral("bootFiles"), QJsonObject{{QStringLiteral("PRODUCT.TXT"), QStringLiteral("alpha")}}}})
            .product(QStringLiteral("beta"), QStringLiteral("Beta"),
                     {imageEntry(QStringLiteral("stable"), {QStringLiteral("s")}, Digest1)})
            .object();
}

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson();
}

} // namespace

class TestBackendCatalog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString catalogPath() const { return m_dir.filePath(QStringLiteral("images.json")); }

    // Files named like cached downloads, to see what a load prunes.
    static void fillCache()
    {
        QDir().mkpath(ImageCache::defaultDir());
        for (const QString &name : {Digest1 + QStringLiteral(".zip"), QStringLiteral("stale.zip"),
                                    QStringLiteral("stale.part")})
            QVERIFY(writeFile(ImageCache::defaultDir() + QLatin1Char('/') + name, "x"));
    }

private slots:
    void initTestCase()
    {
        testcache::use();
        QVERIFY(m_dir.isValid());
    }

    void init()
    {
        testcache::clear();
    }

    void fileCatalogIsAppliedInsideTheConstructor()
    {
        QVERIFY(writeFile(catalogPath(), json(standardCatalog())));
        fillCache();
        Backend backend(catalogPath(), QString());
        QCOMPARE(backend.catalogState(), CatalogState::Ready);
        QVERIFY(backend.catalogError().isEmpty());

        const QVariantList products = backend.products();
        QCOMPARE(products.size(), 2);
        const QVariantMap alpha = products[0].toMap();
        QCOMPARE(alpha.value(QStringLiteral("id")).toString(), QStringLiteral("alpha"));
        QCOMPARE(alpha.value(QStringLiteral("name")).toString(), QStringLiteral("Alpha"));
        // A relative icon is a file beside the catalog.
        QCOMPARE(alpha.value(QStringLiteral("icon")).toUrl(),
                 QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("icons/alpha.png"))));
        QCOMPARE(products[1].toMap().value(QStringLiteral("icon")).toUrl(), QUrl());

        // Ready prunes what the catalog no longer lists.
        QCOMPARE(testcache::files(), QStringList{Digest1 + QStringLiteral(".zip")});
    }

    void relativeManifestPathIsTakenFromTheWorkingFolder()
    {
        QVERIFY(writeFile(catalogPath(), json(standardCatalog())));
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir.path()));
        Backend backend(QStringLiteral("images.json"), QString());
        QDir::setCurrent(previous);
        QCOMPARE(backend.catalogState(), CatalogState::Ready);
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("error");

        QTest::newRow("invalid JSON") << QByteArray("{\"schemaVersion\": 1,") << int(CatalogState::Unavailable)
                                      << "The image catalog is not valid: Malformed JSON: unterminated object";
        QTest::newRow("not an object") << QByteArray("[1]") << int(CatalogState::Unavailable)
                                       << "The image catalog is not valid: The manifest is not a JSON object";
        QTest::newRow("wrong schema") << QByteArray("{\"schemaVersion\": 2}") << int(CatalogState::Unavailable)
                                      << "The image catalog is not valid: Unsupported schemaVersion 2";
        QJsonObject newer = standardCatalog();
        newer.insert(QStringLiteral("minTessaroVersion"), QStringLiteral("0.2"));
        QTest::newRow("update required") << json(newer) << int(CatalogState::UpdateRequired) << QString();
    }
    void failures()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, state);
        QFETCH(QString, error);
        QVERIFY(writeFile(catalogPath(), document));
        fillCache();
        Backend backend(catalogPath(), QString());
        backend.selectProduct(QStringLiteral("alpha"));
        QCOMPARE(int(backend.catalogState()), state);
        QCOMPARE(backend.catalogError(), error);
        QVERIFY(backend.products().isEmpty());
        QVERIFY(backend.productId().isEmpty());
        QVERIFY(backend.devices().isEmpty());
        // Only a usable catalog prunes.
        QCOMPARE(testcache::files().size(), 3);
        if (state == int(CatalogState::UpdateRequired))
            QCOMPARE(backend.minTessaroVersion(), QStringLiteral("0.2"));
    }

    void missingFile()
    {
        const QString path = m_dir.filePath(QStringLiteral("none.json"));
        QFile probe(path);
        probe.open(QIODevice::ReadOnly);
        Backend backend(path, QString());
        QCOMPARE(backend.catalogState(), CatalogState::Unavailable);
        QCOMPARE(backend.catalogError(), QStringLiteral("The image catalog is not reachable: %1").arg(probe.errorString()));
    }

    void overHttpFromNginx()
    {
        QTemporaryDir www;
        QVERIFY(writeFile(www.filePath(QStringLiteral("images.json")), json(standardCatalog())));
        NginxServer nginx(www.path());
        QVERIFY2(nginx.start(), qPrintable(nginx.errorString()));

        Backend backend(nginx.url(QStringLiteral("/images.json")).toString(), QString());
        QCOMPARE(backend.catalogState(), CatalogState::Loading);
        QVERIFY(waitLoaded(backend));
        QCOMPARE(backend.catalogState(), CatalogState::Ready);
        QCOMPARE(backend.products().first().toMap().value(QStringLiteral("icon")).toUrl(),
                 nginx.url(QStringLiteral("/icons/alpha.png")));

        Backend missing(nginx.url(QStringLiteral("/missing.json")).toString(), QString());
        QVERIFY(waitLoaded(missing));
        QCOMPARE(missing.catalogState(), CatalogState::Unavailable);
        QCOMPARE(missing.catalogError(),
                 QStringLiteral("The image catalog is not reachable: Error transferring %1 - server replied: Not Found")
                         .arg(nginx.url(QStringLiteral("/missing.json")).toString()));
    }

    void notFoundWithoutBody()
    {
        ScriptedHttpServer server;
        QVERIFY(server.listen());
        server.setHandler([](const ScriptedHttpServer::Request &) {
            ScriptedHttpServer::Response response;
            response.status = 404;
            return response;
        });
        Backend backend(server.url(QStringLiteral("/images.json")).toString(), QString());
        QVERIFY(waitLoaded(backend));
        QCOMPARE(backend.catalogState(), CatalogState::Unavailable);
        QVERIFY(backend.catalogError().startsWith(QStringLiteral("The image catalog is not reachable: ")));
        // The catalog request is never served from a cache.
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().header("cache-control"), QByteArray("no-cache"));
    }

    void supersededReplyIsNeverApplied()
    {
        ScriptedHttpServer server;
        QVERIFY(server.listen());
        int served = 0;
        server.setHandler([&](const ScriptedHttpServer::Request &) {
            ScriptedHttpServer::Response response;
            if (served++ == 0) {
                // The first answer is a catalog that names only beta, and then stalls.
                QJsonObject old = standardCatalog();
                old.insert(QStringLiteral("products"), QJsonArray{standardCatalog()[QStringLiteral("products")].toArray()[1]});
                response.body = json(old);
                response.contentLength = response.body.size() + 100;
                response.stall = true;
            } else {
                response.body = json(standardCatalog());
            }
            return response;
        });
        Backend backend(server.url(QStringLiteral("/images.json")).toString(), QString());
        QVERIFY(QTest::qWaitFor([&] { return served == 1; }, 10000));
        QSignalSpy catalogSignals(&backend, &Backend::catalogChanged);
        backend.reloadCatalog();
        QVERIFY(waitLoaded(backend));
        QCOMPARE(backend.catalogState(), CatalogState::Ready);
        QCOMPARE(backend.products().size(), 2);
        QTest::qWait(200);
        // Loading, then Ready: nothing from the aborted request.
        QCOMPARE(catalogSignals.count(), 2);
        QCOMPARE(backend.products().size(), 2);
    }

    void reloadKeepsWhatStillExists_data()
    {
        const QStringList everything{"catalog", "catalog", "product", "device", "image"};
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QStringList>("emitted");

        QTest::newRow("same catalog keeps everything")
                << "none" << "alpha" << "m" << "lab" << QStringList{"catalog", "catalog", "product", "device"};
        QTest::newRow("image gone")
                << "drop image" << "alpha" << "m" << "" << everything;
        QTest::newRow("device gone clears the image too")
                << "drop device" << "alpha" << "" << "" << everything;
        QTest::newRow("product gone clears everything")
                << "drop product" << "" << "" << "" << everything;
        QTest::newRow("catalog unreachable clears everything")
                << "remove file" << "" << "" << "" << everything;
    }
    void reloadKeepsWhatStillExists()
    {
        QFETCH(QString, change);
        QFETCH(QString, product);
        QFETCH(QString, device);
        QFETCH(QString, image);
        QFETCH(QStringList, emitted);

        QVERIFY(writeFile(catalogPath(), json(standardCatalog())));
        Backend backend(catalogPath(), QString());
        backend.selectProduct(QStringLiteral("alpha"));
        backend.selectDevice(QStringLiteral("m"));
        backend.selectImage(QStringLiteral("lab"));
        QCOMPARE(backend.imageId(), QStringLiteral("lab"));

        QJsonObject next = standardCatalog();
        QJsonArray products = next[QStringLiteral("products")].toArray();
        QJsonObject alpha = products[0].toObject();
        if (change == QLatin1String("drop image")) {
            QJsonArray images = alpha[QStringLiteral("images")].toArray();
            images.removeAt(1);
            alpha.insert(QStringLiteral("images"), images);
        } else if (change == QLatin1String("drop device")) {
            alpha.insert(QStringLiteral("images"),
                         QJsonArray{imageEntry(QStringLiteral("stable"), {QStringLiteral("s")}, Digest1)});
        }
        products[0] = alpha;
        if (change == QLatin1String("drop product"))
            products.removeAt(0);
        next.insert(QStringLiteral("products"), products);
        if (change == QLatin1String("remove file"))
            QVERIFY(QFile::remove(catalogPath()));
        else
            QVERIFY(writeFile(catalogPath(), json(next)));

        QStringList order;
        connect(&backend, &Backend::catalogChanged, this, [&] { order << QStringLiteral("catalog"); });
        connect(&backend, &Backend::productChanged, this, [&] { order << QStringLiteral("product"); });
        connect(&backend, &Backend::deviceChanged, this, [&] { order << QStringLiteral("device"); });
        connect(&backend, &Backend::imageChanged, this, [&] { order << QStringLiteral("image"); });
        backend.reloadCatalog();
        QCOMPARE(backend.productId(), product);
        QCOMPARE(backend.deviceId(), device);
        QCOMPARE(backend.imageId(), image);
        QCOMPARE(order, emitted);
    }

    void selections()
    {
        QVERIFY(writeFile(catalogPath(), json(standardCatalog())));
        Backend backend(catalogPath(), QString());
        QSignalSpy products(&backend, &Backend::productChanged);
        QSignalSpy devices(&backend, &Backend::deviceChanged);
        QSignalSpy images(&backend, &Backend::imageChanged);
        QSignalSpy bootFiles(&backend, &Backend::bootFilesChanged);

        backend.selectProduct(QStringLiteral("alpha"));
        QCOMPARE(backend.productName(), QStringLiteral("Alpha"));
        QCOMPARE(backend.devices().size(), 2);
        QCOMPARE(products.count(), 1);
        QCOMPARE(devices.count(), 1);
        backend.selectProduct(QStringLiteral("alpha"));
        QCOMPARE(products.count(), 1);

        backend.selectDevice(QStringLiteral("s"));
        QCOMPARE(backend.deviceName(), QStringLiteral("Board S"));
        const QVariantList list = backend.images();
        QCOMPARE(list.size(), 1);
        const QVariantMap stable = list[0].toMap();
        QCOMPARE(stable.value(QStringLiteral("size")).toString(),
                 QLocale().formattedDataSize(1000, 1, QLocale::DataSizeSIFormat));
        QCOMPARE(stable.value(QStringLiteral("extractSize")).toString(),
                 QLocale().formattedDataSize(3000000000, 1, QLocale::DataSizeSIFormat));

        backend.selectImage(QStringLiteral("stable"));
        QCOMPARE(images.count(), 1);
        QCOMPARE(backend.setupProductName(), QStringLiteral("Alpha"));
        QCOMPARE(backend.catalogSelection().bootFiles().value(QStringLiteral("PRODUCT.TXT")), QByteArray("alpha"));

        // Another product with the same device and image ids keeps both.
        backend.selectProduct(QStringLiteral("beta"));
        QCOMPARE(backend.deviceId(), QStringLiteral("s"));
        QCOMPARE(backend.imageId(), QStringLiteral("stable"));
        QVERIFY(backend.setupProductName().isEmpty());

        // An unknown product leaves no selection but still moves on.
        backend.selectProduct(QStringLiteral("gamma"));
        QVERIFY(backend.productId().isEmpty());
        QVERIFY(backend.imageId().isEmpty());
        QCOMPARE(backend.step(), Backend::Step::DeviceStep);
        QCOMPARE(bootFiles.count(), products.count() + images.count());
    }

    void localFileAndCatalogImageExcludeEachOther()
    {
        QVERIFY(writeFile(catalogPath(), json(standardCatalog())));
        Backend backend(catalogPath(), QString());
        backend.selectProduct(QStringLiteral("alpha"));
        backend.selectDevice(QStringLiteral("m"));
        backend.selectImage(QStringLiteral("lab"));
        QVERIFY(backend.setupProductName().isEmpty()); // the build's empty map hides the product's

        QSignalSpy images(&backend, &Backend::imageChanged);
        backend.setImageUrl(QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("mine.img"))));
        QVERIFY(backend.imageId().isEmpty());
        // A local file is set up with the product's own boot files.
        QCOMPARE(backend.setupProductName(), QStringLiteral("Alpha"));
        backend.selectImage(QStringLiteral("stable"));
        QVERIFY(backend.imageUrl().isEmpty());
        QCOMPARE(backend.imageId(), QStringLiteral("stable"));
        // Once for the build chosen, once for the file forgotten.
        QCOMPARE(images.count(), 3);
    }

    void tooSmallDisks_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<bool>("smallEnabled");
        QTest::newRow("build with extractSize above the card") << "stable" << false;
        QTest::newRow("build without extractSize") << "lab" << true;
    }
    void tooSmallDisks()
    {
        QFETCH(QString, image);
        QFETCH(bool, smallEnabled);
        QVERIFY(writeFile(catalogPath(), json(standardCatalog())));
        Backend backend(catalogPath(), QString());
        const Disk small{QStringLiteral("d1"), QStringLiteral("sdb"), QString(), 2000000000};
        backend.diskChoice().setMonitor(std::make_unique<ScriptedDiskMonitor>(QList<Disk>{small}));
        backend.selectProduct(QStringLiteral("alpha"));
        backend.selectDevice(QStringLiteral("m"));
        backend.selectDisk(small.id);
        QCOMPARE(backend.diskId(), small.id);
        backend.selectImage(image);
        QCOMPARE(backend.disks().first().toMap().value(QStringLiteral("enabled")).toBool(), smallEnabled);
        QCOMPARE(backend.diskId(), smallEnabled ? small.id : QString());
    }

    void localArchiveThatCannotBeOpenedHasNoSize()
    {
        const QString path = m_dir.filePath(QStringLiteral("broken.zip"));
        QVERIFY(writeFile(path, "PK\x03\x04 not really an archive"));
        Backend backend(catalogPath(), QString());
        backend.setImageUrl(QUrl::fromLocalFile(path));
        QVERIFY(waitChecked(backend));
        QCOMPARE(backend.diskChoice().imageSize(), qint64(0));

        // The size comes with the check of the image, off the GUI thread.
        const QString plain = m_dir.filePath(QStringLiteral("plain.img"));
        QVERIFY(writeFile(plain, QByteArray(1536, 'x')));
        backend.setImageUrl(QUrl::fromLocalFile(plain));
        QVERIFY(backend.imageChecking());
        QVERIFY(waitChecked(backend));
        QCOMPARE(backend.diskChoice().imageSize(), qint64(1536));
    }

    void noPruneWhileWriting()
    {
        QVERIFY(writeFile(catalogPath(), json(standardCatalog())));
        Backend backend(catalogPath(), QString());
        fillCache();
        BackendTestAccess::setState(backend, Backend::State::Writing);
        backend.reloadCatalog();
        QCOMPARE(backend.catalogState(), CatalogState::Ready);
        QCOMPARE(testcache::files().size(), 3);
        BackendTestAccess::setState(backend, Backend::State::Failed);
        backend.reloadCatalog();
        QCOMPARE(testcache::files().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestBackendCatalog)
#include "tst_backendcatalog.moc"
