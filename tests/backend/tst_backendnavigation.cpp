#include "backend/backend.h"
#include "backendwaits.h"
#include "backendtestaccess.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Step = Backend::Step;
using State = Backend::State;

class TestBackendNavigation : public QObject
{
    Q_OBJECT

private:
    // Drives a fresh Backend to the step named by the row.
    static void goTo(Backend &backend, const QString &how)
    {
        const QStringList calls = how.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString &call : calls) {
            if (call == QLatin1String("local"))
                backend.useLocalFileOnly();
            else if (call == QLatin1String("product"))
                backend.selectProduct(QStringLiteral("p"));
            else if (call == QLatin1String("device"))
                backend.selectDevice(QStringLiteral("d"));
            else if (call == QLatin1String("file"))
                backend.setImageUrl(QUrl::fromLocalFile(QStringLiteral("/tmp/card.img")));
            else if (call == QLatin1String("disk"))
                backend.chooseDisk();
            else if (call == QLatin1String("back"))
                backend.back();
            else
                QFAIL(qPrintable(QStringLiteral("unknown call ") + call));
        }
    }

private slots:
    void initialValues()
    {
        Backend backend(NoCatalog, QString());
        QCOMPARE(backend.appVersion(), QStringLiteral("0.1.0"));
        QCOMPARE(backend.step(), Step::ProductStep);
        QCOMPARE(backend.state(), State::Idle);
        QVERIFY(backend.verify());
        QVERIFY(!backend.cancelling());
        QVERIFY(!backend.imageReady());
        QCOMPARE(backend.progress(), 0.0);
        QVERIFY(backend.errorMessage().isEmpty());
        QVERIFY(backend.writeName().isEmpty());
    }

    void navigation_data()
    {
        QTest::addColumn<QString>("calls");
        QTest::addColumn<Step>("expected");
        QTest::addColumn<int>("stepSignals");

        QTest::newRow("product moves to the device step") << "product" << Step::DeviceStep << 1;
        QTest::newRow("device moves to the image step") << "device" << Step::ImageStep << 1;
        QTest::newRow("device from the product step too") << "product device" << Step::ImageStep << 2;
        QTest::newRow("local file only skips to the image step") << "local" << Step::ImageStep << 1;
        QTest::newRow("choose disk without an image does nothing") << "local disk" << Step::ImageStep << 1;
        QTest::newRow("choose disk with a local file") << "local file disk" << Step::DiskStep << 2;
        QTest::newRow("back from disk to image") << "local file disk back" << Step::ImageStep << 3;
        QTest::newRow("back from image without product to product") << "local back" << Step::ProductStep << 2;
        QTest::newRow("back from device to product") << "product back" << Step::ProductStep << 2;
        QTest::newRow("back from the product step emits nothing") << "back" << Step::ProductStep << 0;
        QTest::newRow("selecting the product again stays") << "product product" << Step::DeviceStep << 1;
    }
    void navigation()
    {
        QFETCH(QString, calls);
        QFETCH(Step, expected);
        QFETCH(int, stepSignals);
        Backend backend(NoCatalog, QString());
        QSignalSpy steps(&backend, &Backend::stepChanged);
        goTo(backend, calls);
        QCOMPARE(backend.step(), expected);
        QCOMPARE(steps.count(), stepSignals);
    }

    void backFromImageWithProductGoesToDevice()
    {
        // A product id only survives a selection when the catalog lists it; without
        // a catalog the image step leads back to the product page.
        Backend backend(NoCatalog, QString());
        backend.selectProduct(QStringLiteral("p"));
        backend.selectDevice(QStringLiteral("d"));
        QVERIFY(backend.productId().isEmpty());
        backend.back();
        QCOMPARE(backend.step(), Step::ProductStep);
    }

    void imageUrl_data()
    {
        QTest::addColumn<QUrl>("first");
        QTest::addColumn<QUrl>("second");
        QTest::addColumn<int>("emitted");
        QTest::addColumn<QString>("name"); // empty when no image is ready

        const QUrl file = QUrl::fromLocalFile(QStringLiteral("/media/builds/alpha-2.1.img"));
        QTest::newRow("local file") << file << QUrl() << 2 << QString();
        QTest::newRow("same url twice emits once") << file << file << 1 << "alpha-2.1.img";
        QTest::newRow("network url is not a local image")
                << QUrl(QStringLiteral("http://127.0.0.1/a.img")) << QUrl(QStringLiteral("http://127.0.0.1/a.img"))
                << 1 << QString();
        QTest::newRow("empty url on an empty backend emits nothing") << QUrl() << QUrl() << 0 << QString();
    }
    void imageUrl()
    {
        QFETCH(QUrl, first);
        QFETCH(QUrl, second);
        QFETCH(int, emitted);
        QFETCH(QString, name);
        Backend backend(NoCatalog, QString());
        QSignalSpy images(&backend, &Backend::imageChanged);
        QSignalSpy bootFiles(&backend, &Backend::bootFilesChanged);
        backend.setImageUrl(first);
        backend.setImageUrl(second);
        QCOMPARE(images.count(), emitted);
        QCOMPARE(bootFiles.count(), emitted);
        QCOMPARE(backend.imageName(), name);
        QCOMPARE(backend.imageReady(), !name.isEmpty());
        QCOMPARE(backend.step(), Step::ProductStep);
    }

    // Only one image file of a name Tessaro reads, dropped on the product or
    // image page while nothing is written, becomes the local file.
    void dropImageFile_data()
    {
        QTest::addColumn<QString>("name"); // made in a temporary folder; "/" ends a folder
        QTest::addColumn<QString>("calls");
        QTest::addColumn<bool>("writing");
        QTest::addColumn<bool>("taken");

        QTest::newRow("raw image on the product page") << "card.img" << "" << false << true;
        QTest::newRow("zip") << "card.zip" << "" << false << true;
        QTest::newRow("xz, in capitals") << "CARD.IMG.XZ" << "" << false << true;
        QTest::newRow("zstd") << "card.img.zst" << "" << false << true;
        QTest::newRow("bin") << "flash.bin" << "" << false << true;
        QTest::newRow("on the image page") << "card.img" << "local" << false << true;
        QTest::newRow("another kind of file") << "notes.txt" << "" << false << false;
        QTest::newRow("xz without .img") << "card.xz" << "" << false << false;
        QTest::newRow("folder named like an image") << "card.img/" << "" << false << false;
        QTest::newRow("file that does not exist") << "" << "" << false << false;
        QTest::newRow("web address") << "http://127.0.0.1/card.img" << "" << false << false;
        QTest::newRow("on the device page") << "card.img" << "product" << false << false;
        QTest::newRow("on the disk page") << "card.img" << "local file disk" << false << false;
        QTest::newRow("while a card is written") << "card.img" << "" << true << false;
    }
    void dropImageFile()
    {
        QFETCH(QString, name);
        QFETCH(QString, calls);
        QFETCH(bool, writing);
        QFETCH(bool, taken);

        QTemporaryDir dir;
        QUrl url = QUrl::fromLocalFile(dir.filePath(QStringLiteral("missing.img")));
        if (name.contains(QLatin1String("://"))) {
            url = QUrl(name);
        } else if (name.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir(dir.path()).mkdir(name));
            url = QUrl::fromLocalFile(dir.filePath(name.chopped(1)));
        } else if (!name.isEmpty()) {
            url = QUrl::fromLocalFile(dir.filePath(name));
            QVERIFY(writeFile(url.toLocalFile(), QByteArray(4096, '\0')));
        }
        Backend backend(NoCatalog, QString());
        goTo(backend, calls);
        if (writing)
            BackendTestAccess::setState(backend, State::Writing);
        const QUrl before = backend.imageUrl();
        const Step stepBefore = backend.step();

        // On the product page, what a drag may bring is what a drop takes.
        if (calls.isEmpty() && !writing)
            QCOMPARE(backend.isImageFile(url), taken);
        QCOMPARE(backend.dropImageFile(url), taken);
        QCOMPARE(backend.imageUrl(), taken ? url : before);
        QCOMPARE(backend.step(), taken ? Step::ImageStep : stepBefore);
    }

    // The file dialog opens in the folder of the file chosen last, else in
    // the Downloads folder, else at home.
    void imageFolder_data()
    {
        QTest::addColumn<bool>("downloads");
        QTest::addColumn<QString>("chosen"); // a file under home, or empty
        QTest::addColumn<bool>("forgotten"); // a build was chosen after it
        QTest::addColumn<QString>("folder"); // under home

        QTest::newRow("nothing chosen: Downloads") << true << "" << false << "Downloads";
        QTest::newRow("nothing chosen, no Downloads folder: home") << false << "" << false << "";
        QTest::newRow("the chosen file's folder") << true << "images/card.img" << false << "images";
        QTest::newRow("still after a build replaced it") << true << "images/card.img" << true << "images";
        QTest::newRow("its folder gone: Downloads") << true << "gone/card.img" << false << "Downloads";
    }
    void imageFolder()
    {
        QFETCH(bool, downloads);
        QFETCH(QString, chosen);
        QFETCH(bool, forgotten);
        QFETCH(QString, folder);
#ifdef Q_OS_WIN
        if (folder.isEmpty() || folder == QLatin1String("Downloads"))
            QSKIP("Windows' profile and Downloads folders are known folders, which a test cannot move");
#endif

        QTemporaryDir home;
        const QByteArray savedHome = qgetenv("HOME");
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        qunsetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", savedHome);
            if (!savedConfig.isNull())
                qputenv("XDG_CONFIG_HOME", savedConfig);
        });
        if (downloads)
            QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Downloads")));
        if (chosen.startsWith(QLatin1String("images/")))
            QVERIFY(writeFile(home.filePath(chosen), QByteArray(4096, '\0')));

        Backend backend(NoCatalog, QString());
        if (!chosen.isEmpty())
            backend.setImageUrl(QUrl::fromLocalFile(home.filePath(chosen)));
        if (forgotten)
            backend.setImageUrl(QUrl());
        QCOMPARE(backend.imageFolder(), QUrl::fromLocalFile(folder.isEmpty() ? home.path() : home.filePath(folder)));
    }

    void verifyEmitsOnlyOnChange()
    {
        Backend backend(NoCatalog, QString());
        QSignalSpy spy(&backend, &Backend::verifyChanged);
        backend.setVerify(true);
        QCOMPARE(spy.count(), 0);
        backend.setVerify(false);
        backend.setVerify(false);
        QCOMPARE(spy.count(), 1);
        QVERIFY(!backend.verify());
    }

    void reset_data()
    {
        QTest::addColumn<State>("state");
        QTest::addColumn<State>("after");
        QTest::addColumn<bool>("diskKept");

        QTest::newRow("idle does nothing") << State::Idle << State::Idle << true;
        QTest::newRow("writing does nothing") << State::Writing << State::Writing << true;
        QTest::newRow("done clears the disk") << State::Done << State::Idle << false;
        QTest::newRow("failed keeps the disk") << State::Failed << State::Idle << true;
        QTest::newRow("cancelled keeps the disk") << State::Cancelled << State::Idle << true;
    }
    void reset()
    {
        QFETCH(State, state);
        QFETCH(State, after);
        QFETCH(bool, diskKept);

        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("card.img"));
        Backend backend(NoCatalog, target);
        backend.useLocalFileOnly();
        backend.setImageUrl(QUrl::fromLocalFile(dir.filePath(QStringLiteral("image.img"))));
        backend.chooseDisk();
        backend.selectDisk(target);
        QCOMPARE(backend.diskId(), target);
        BackendTestAccess::setState(backend, state);

        QSignalSpy states(&backend, &Backend::stateChanged);
        QSignalSpy disks(&backend, &Backend::diskChanged);
        QSignalSpy steps(&backend, &Backend::stepChanged);
        backend.reset();
        QCOMPARE(backend.state(), after);
        QCOMPARE(backend.diskId(), diskKept ? target : QString());
        // One signal for each property that changed, none for the others.
        QCOMPARE(states.count(), state == after ? 0 : 1);
        QCOMPARE(disks.count(), diskKept ? 0 : 1);
        QCOMPARE(steps.count(), 0);
        QCOMPARE(backend.step(), Step::DiskStep);
    }
};

QTEST_GUILESS_MAIN(TestBackendNavigation)
#include "tst_backendnavigation.moc"
