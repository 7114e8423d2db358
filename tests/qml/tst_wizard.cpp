// The whole window used as a user uses it: real mouse clicks on the real pages,
// a real Backend on a catalog served by nginx from 127.0.0.1, a real write
// into a file standing in for the card, and the texts of the user's language.

#include "app/translations.h"
#include "appwindow.h"
#include "cardbuild.h"
#include "cardimage.h"
#include "catalogdocument.h"
#include "image/imagecache.h"
#include "nginxserver.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkProxy>
#include <QQuickStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/QQmlExtensionPlugin>

#include <memory>

Q_IMPORT_QML_PLUGIN(TessaroPlugin)

namespace {

constexpr int WriteTimeout = 30000;

QJsonObject catalogBuild(const QString &id, const QString &name, const QString &version, const QJsonObject &build)
{
    QJsonObject entry = build;
    entry.insert(QStringLiteral("id"), id);
    entry.insert(QStringLiteral("name"), name);
    entry.insert(QStringLiteral("version"), version);
    entry.insert(QStringLiteral("devices"), QJsonArray{QStringLiteral("s")});
    return entry;
}

// Alpha, set up by a boot file, and Beta, each with one build of the card.
QByteArray oneBuildCatalog(const QJsonObject &build)
{
    return CatalogDocument()
            .device(QStringLiteral("s"), QStringLiteral("Board S"))
            .product(QStringLiteral("alpha"), QStringLiteral("Alpha"),
                     {catalogBuild(QStringLiteral("stable"), QStringLiteral("Stable"), QStringLiteral("2.1"), build)},
                     {{QStringLiteral("bootFiles"), QJsonObject{{QStringLiteral("PRODUCT.TXT"), QStringLiteral("alpha\n")}}}})
            .product(QStringLiteral("beta"), QStringLiteral("Beta"),
                     {catalogBuild(QStringLiteral("lab"), QStringLiteral("Lab"), QStringLiteral("0.9"), build)})
            .toJson();
}

} // namespace

// Records every page the window shows, in order.
class PageRecorder : public QObject
{
    Q_OBJECT

public:
    explicit PageRecorder(QQuickItem *stack)
        : m_stack(stack)
    {
        connect(stack, SIGNAL(currentIndexChanged()), this, SLOT(record()));
    }
    QList<int> pages() const { return m_pages; }

private slots:
    void record() { m_pages.append(m_stack->property("currentIndex").toInt()); }

private:
    QQuickItem *m_stack;
    QList<int> m_pages;
};

class tst_Wizard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void writesACatalogBuildPageByPage();
    void writesACatalogBuildWithTheKeyboardOnly();
    void failedWriteInTheUserLanguage_data();
    void failedWriteInTheUserLanguage();
    void closingTheWindowDuringAWriteAsksFirst();
    void retryAfterTheServerWasDown();

private:
    // Installs the translations main() installs on a system in locale.
    bool installTranslation(const QLocale &locale);
    // The texts of the buttons of the file dialog the page opens.
    QStringList fileDialogButtons(const AppWindow &ui);

    QTemporaryDir m_dir;
    QString m_root;
    CardBuild m_build;
    std::unique_ptr<NginxServer> m_nginx;
    QLocale m_systemLocale;
    std::unique_ptr<Translations> m_translations;
};

void tst_Wizard::initTestCase()
{
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QVERIFY(m_dir.isValid());
    // The download cache is this test's own, never the user's.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("cache"))));
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    m_root = m_dir.filePath(QStringLiteral("www"));
    QVERIFY2(m_build.make(m_root, QStringLiteral("alpha-2.1"), 256 * 1024), qPrintable(m_build.errorString()));
    QVERIFY(writeFile(m_root + QStringLiteral("/images.json"), oneBuildCatalog(m_build.catalogFields())));
    m_nginx = std::make_unique<NginxServer>(m_root);
    QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorString()));
}

void tst_Wizard::init()
{
    m_systemLocale = QLocale();
    QVERIFY(QDir(m_dir.filePath(QStringLiteral("cache"))).removeRecursively());
    QFile::remove(m_dir.filePath(QStringLiteral("card.img")));
}

void tst_Wizard::cleanup()
{
    m_translations.reset();
    QLocale::setDefault(m_systemLocale);
}

bool tst_Wizard::installTranslation(const QLocale &locale)
{
    // main() asks for the system locale; here the default locale stands in.
    QLocale::setDefault(locale);
    m_translations = std::make_unique<Translations>();
    return !m_translations->install(QLocale()).isEmpty();
}

QStringList tst_Wizard::fileDialogButtons(const AppWindow &ui)
{
    QObject *dialog = ui.find<QObject>(QStringLiteral("fileDialog"));
    if (!dialog || !ui.click(QStringLiteral("localFileButton")))
        return {};
    if (!QTest::qWaitFor([dialog] { return dialog->property("visible").toBool(); }))
        return {};
    QStringList texts;
    for (QObject *impl : ui.window()->findChildren<QObject *>()) {
        if (!impl->inherits("QQuickFileDialogImpl"))
            continue;
        for (QObject *button : impl->findChildren<QObject *>()) {
            if (button->inherits("QQuickAbstractButton") && button->parent()->inherits("QQuickDialogButtonBox"))
                texts.append(button->property("text").toString());
        }
    }
    QMetaObject::invokeMethod(dialog, "reject");
    if (!QTest::qWaitFor([dialog] { return !dialog->property("visible").toBool(); }))
        return {};
    texts.sort();
    return texts;
}

void tst_Wizard::writesACatalogBuildPageByPage()
{
    const QString target = m_dir.filePath(QStringLiteral("card.img"));
    Backend backend(m_nginx->url(QStringLiteral("/images.json")).toString(), target);
    AppWindow ui(backend);
    QVERIFY(ui.window());
    QQuickItem *stack = ui.find(QStringLiteral("pageStack"));
    QVERIFY(stack);
    PageRecorder recorder(stack);

    QTRY_VERIFY(ui.find(QStringLiteral("productGrid"))->isVisible());
    QCOMPARE(ui.delegates(QStringLiteral("productGrid"), QStringLiteral("productButton")).size(), 2);
    QVERIFY(ui.click(ui.delegate(QStringLiteral("productGrid"), QStringLiteral("productButton"), QStringLiteral("Alpha"))));
    QVERIFY(ui.click(ui.delegate(QStringLiteral("deviceGrid"), QStringLiteral("deviceButton"), QStringLiteral("Board S"))));

    const QList<QQuickItem *> images = ui.delegates(QStringLiteral("imageList"), QStringLiteral("imageDelegate"));
    QCOMPARE(images.size(), 1);
    QVERIFY(!ui.find(QStringLiteral("nextButton"))->isEnabled());
    QVERIFY(ui.click(images.constFirst()));
    QCOMPARE(backend.imageId(), QStringLiteral("stable"));
    QVERIFY(ui.click(QStringLiteral("nextButton")));

    // The file standing in for the card is the one disk.
    const QList<QQuickItem *> disks = ui.delegates(QStringLiteral("diskList"), QStringLiteral("diskDelegate"));
    QCOMPARE(disks.size(), 1);
    QVERIFY(!ui.find(QStringLiteral("writeButton"))->isEnabled());
    QVERIFY(ui.click(disks.constFirst()));
    QCOMPARE(backend.diskId(), target);
    QCOMPARE(ui.text(QStringLiteral("setupNotice")), QStringLiteral("The SD card will be set up as Alpha."));
    QVERIFY(ui.find(QStringLiteral("verifyCheckBox"))->property("checked").toBool());

    QVERIFY(ui.click(QStringLiteral("writeButton")));
    QObject *dialog = ui.find<QObject>(QStringLiteral("confirmDialog"));
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->property("opened").toBool());
    QCOMPARE(ui.text(QStringLiteral("confirmText")),
             QStringLiteral("All data on %1 (%2) will be erased.").arg(backend.diskName(), backend.diskSize()));
    QVERIFY(ui.click(QStringLiteral("confirmEraseButton")));

    QTRY_VERIFY_WITH_TIMEOUT(backend.state() != Backend::State::Writing, WriteTimeout);
    QVERIFY2(backend.state() == Backend::State::Done, qPrintable(backend.errorMessage()));
    QVERIFY(ui.find(QStringLiteral("resultPage"))->isVisible());
    QCOMPARE(ui.text(QStringLiteral("resultTitle")), QStringLiteral("Done"));
    QCOMPARE(ui.text(QStringLiteral("resultText")), QStringLiteral("The SD card is ready, you can remove it."));
    QCOMPARE(recorder.pages(), (QList<int>{1, 2, 3, 4, 5}));

    // The build came from the server, and the card holds it with the product set.
    QVERIFY(m_nginx->accessLog().contains(QStringLiteral("GET /builds/alpha-2.1.zip 200 -")));
    CardImage card(target, m_build.image().partitionOffset(), m_build.image().partitionBytes());
    QVERIFY2(card.fsck(), qPrintable(card.errorString()));
    QCOMPARE(card.mtype(QStringLiteral("PRODUCT.TXT")), std::optional<QByteArray>("alpha\n"));
    QCOMPARE(card.mtype(QStringLiteral("README.TXT")), std::optional<QByteArray>("Card image alpha-2.1\r\n"));

    // Another card: back on the disk page, with no disk chosen.
    QCOMPARE(ui.text(QStringLiteral("resultButton")), QStringLiteral("Write another SD card"));
    QVERIFY(ui.click(QStringLiteral("resultButton")));
    QVERIFY(ui.find(QStringLiteral("diskPage"))->isVisible());
    QCOMPARE(recorder.pages().constLast(), 3);
    QVERIFY(backend.diskId().isEmpty());
    QVERIFY(!ui.delegates(QStringLiteral("diskList"), QStringLiteral("diskDelegate")).constFirst()->property("highlighted").toBool());
    QVERIFY(!ui.find(QStringLiteral("writeButton"))->isEnabled());
}

// The same write with the keyboard alone: Tab, the arrow keys, Space, Enter
// and Escape pressed on the window, from the product page to Done.
void tst_Wizard::writesACatalogBuildWithTheKeyboardOnly()
{
    const QString target = m_dir.filePath(QStringLiteral("card.img"));
    Backend backend(m_nginx->url(QStringLiteral("/images.json")).toString(), target);
    AppWindow ui(backend);
    QQuickWindow *window = ui.window();
    QVERIFY(window);
    const auto press = [window](Qt::Key key) { QTest::keyClick(window, key); };
    const auto focused = [window] {
        QQuickItem *item = window->activeFocusItem();
        return item ? item->objectName() + QLatin1Char(' ') + AppWindow::text(item) : QStringLiteral("nothing");
    };

    // The first product takes the focus when the catalog arrives; Tab shows
    // where it is, and the arrow keys move along the grid.
    QTRY_COMPARE(focused(), QStringLiteral("productButton Alpha"));
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("productButton Alpha"));
    QVERIFY(window->activeFocusItem()->property("visualFocus").toBool());
    press(Qt::Key_Right);
    QCOMPARE(focused(), QStringLiteral("productButton Beta"));
    press(Qt::Key_Left);
    press(Qt::Key_Return);
    QCOMPARE(backend.productId(), QStringLiteral("alpha"));

    // Each page puts the focus on its first choice, and the frame shows it.
    QTRY_COMPARE(focused(), QStringLiteral("deviceButton Board S"));
    QQuickItem *frame = ui.find(QStringLiteral("focusFrame"));
    QVERIFY(frame);
    QTRY_VERIFY(frame->isVisible());
    QCOMPARE(frame->parentItem(), window->activeFocusItem());
    press(Qt::Key_Space);
    QCOMPARE(backend.step(), Backend::Step::ImageStep);

    // Enter on the build chooses it and goes on.
    QTRY_COMPARE(focused(), QStringLiteral("imageDelegate "));
    press(Qt::Key_Return);
    QCOMPARE(backend.imageId(), QStringLiteral("stable"));
    QCOMPARE(backend.step(), Backend::Step::DiskStep);

    // Space chooses the card; Enter on the check box asks to erase it, with
    // Cancel focused; Escape withdraws the question.
    QTRY_COMPARE(focused(), QStringLiteral("diskDelegate "));
    press(Qt::Key_Space);
    QCOMPARE(backend.diskId(), target);
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("verifyCheckBox Verify after writing"));
    press(Qt::Key_Return);
    QObject *dialog = ui.find<QObject>(QStringLiteral("confirmDialog"));
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->property("opened").toBool());
    QTRY_COMPARE(focused(), QStringLiteral("confirmCancelButton Cancel"));
    press(Qt::Key_Escape);
    QTRY_VERIFY(!dialog->property("visible").toBool());
    QCOMPARE(backend.state(), Backend::State::Idle);

    // Asked again from the Write button, and confirmed on "Erase and write".
    QTRY_COMPARE(focused(), QStringLiteral("writeButton Write"));
    press(Qt::Key_Return);
    QTRY_VERIFY(dialog->property("opened").toBool());
    QTRY_COMPARE(focused(), QStringLiteral("confirmCancelButton Cancel"));
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("confirmEraseButton Erase and write"));
    press(Qt::Key_Return);
    QCOMPARE(backend.state(), Backend::State::Writing);

    QTRY_VERIFY_WITH_TIMEOUT(backend.state() != Backend::State::Writing, WriteTimeout);
    QVERIFY2(backend.state() == Backend::State::Done, qPrintable(backend.errorMessage()));
    QTRY_COMPARE(focused(), QStringLiteral("resultButton Write another SD card"));
    CardImage card(target, m_build.image().partitionOffset(), m_build.image().partitionBytes());
    QVERIFY2(card.fsck(), qPrintable(card.errorString()));
    QCOMPARE(card.mtype(QStringLiteral("PRODUCT.TXT")), std::optional<QByteArray>("alpha\n"));

    press(Qt::Key_Return);
    QCOMPARE(backend.state(), Backend::State::Idle);
    QVERIFY(backend.diskId().isEmpty());
    QTRY_COMPARE(focused(), QStringLiteral("diskDelegate "));
}

void tst_Wizard::failedWriteInTheUserLanguage_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<bool>("italian");

    QTest::newRow("Italian") << "it_IT" << true << true;
    QTest::newRow("Italian in Switzerland") << "it_CH" << true << true;
    QTest::newRow("English, whose catalog is empty") << "en_US" << true << false;
    QTest::newRow("German, without a catalog") << "de_DE" << false << false;
    QTest::newRow("French, without a catalog") << "fr_FR" << false << false;
}

// The pages speak the user's language, and so do Qt's own dialogs and Qt's
// words for the file system's errors inside the pages' messages.
void tst_Wizard::failedWriteInTheUserLanguage()
{
    QFETCH(QString, locale);
    QFETCH(bool, loaded);
    QFETCH(bool, italian);
    const auto expect = [italian](const char *english, const char *inItalian) {
        return QString::fromUtf8(italian ? inItalian : english);
    };

    QCOMPARE(installTranslation(QLocale(locale)), loaded);
    Backend backend(m_dir.filePath(QStringLiteral("no-catalog.json")), m_dir.filePath(QStringLiteral("card.img")));
    AppWindow ui(backend);
    QVERIFY(ui.window());

    QCOMPARE(ui.text(QStringLiteral("productTitle")), expect("Choose the product", "Scegli il prodotto"));
    QCOMPARE(ui.text(QStringLiteral("catalogMessage")),
             expect("The image catalog is not reachable: No such file or directory",
                    "Il catalogo immagini non è raggiungibile: File o cartella non trovati"));
    QCOMPARE(ui.text(QStringLiteral("localFileOnlyButton")), expect("Local file…", "File locale…"));
    QVERIFY(ui.click(QStringLiteral("localFileOnlyButton")));
    QCOMPARE(fileDialogButtons(ui), italian ? QStringList({"Annulla", "Apri"}) : QStringList({"Cancel", "Open"}));

    // The file chosen in the file dialog is gone by the time of the write.
    const QString gone = m_dir.filePath(QStringLiteral("gone.img"));
    QVERIFY(writeFile(gone, QByteArray(1024 * 1024, '\0')));
    backend.setImageUrl(QUrl::fromLocalFile(gone));
    QCOMPARE(ui.text(QStringLiteral("nextButton")), expect("Next", "Avanti"));
    QTRY_VERIFY(ui.find(QStringLiteral("nextButton"))->isEnabled());
    QVERIFY(ui.click(QStringLiteral("nextButton")));
    QVERIFY(QFile::remove(gone));
    QVERIFY(ui.click(ui.delegates(QStringLiteral("diskList"), QStringLiteral("diskDelegate")).value(0)));
    QCOMPARE(ui.text(QStringLiteral("writeButton")), expect("Write", "Scrivi"));
    QVERIFY(ui.click(QStringLiteral("writeButton")));

    QObject *dialog = ui.find<QObject>(QStringLiteral("confirmDialog"));
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->property("opened").toBool());
    QCOMPARE(dialog->property("title").toString(), expect("Erase the SD card?", "Cancellare la SD?"));
    QCOMPARE(ui.text(QStringLiteral("confirmCancelButton")), expect("Cancel", "Annulla"));
    QCOMPARE(ui.text(QStringLiteral("confirmEraseButton")), expect("Erase and write", "Cancella e scrivi"));
    QCOMPARE(ui.text(QStringLiteral("cancelWriteButton")), expect("Cancel", "Annulla"));
    QVERIFY(ui.click(QStringLiteral("confirmEraseButton")));

    QTRY_VERIFY_WITH_TIMEOUT(backend.state() != Backend::State::Writing, WriteTimeout);
    QCOMPARE(backend.state(), Backend::State::Failed);
    QVERIFY(ui.find(QStringLiteral("resultPage"))->isVisible());
    QCOMPARE(ui.text(QStringLiteral("resultTitle")), expect("Write failed", "Scrittura non riuscita"));
    QCOMPARE(ui.text(QStringLiteral("resultText")),
             expect("Cannot read the image: No such file or directory",
                    "Impossibile leggere l'immagine: File o cartella non trovati"));
    QCOMPARE(ui.text(QStringLiteral("resultButton")), expect("Back", "Indietro"));
    // The card was never opened.
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("card.img"))));
}

// Closing the window during a write asks first; stopping cancels the write
// through the job, and the window closes once the job has ended.
void tst_Wizard::closingTheWindowDuringAWriteAsksFirst()
{
    const QString target = m_dir.filePath(QStringLiteral("card.img"));
    // The slow prefix keeps the download going while the window is closed.
    auto backend = std::make_unique<Backend>(m_nginx->url(QStringLiteral("/slow/images.json")).toString(), target);
    auto ui = std::make_unique<AppWindow>(*backend);
    QVERIFY(ui->window());
    QTRY_COMPARE(backend->catalogState(), Backend::CatalogState::Ready);
    backend->selectProduct(QStringLiteral("alpha"));
    backend->selectDevice(QStringLiteral("s"));
    backend->selectImage(QStringLiteral("stable"));
    backend->chooseDisk();
    backend->selectDisk(target);
    backend->startWrite();
    QCOMPARE(backend->state(), Backend::State::Writing);
    QTRY_VERIFY(backend->progress() > 0);

    QObject *question = ui->find<QObject>(QStringLiteral("closeQuestion"));
    QVERIFY(question);
    QVERIFY(!ui->window()->close());
    QTRY_VERIFY(question->property("opened").toBool());
    QCOMPARE(ui->text(QStringLiteral("closeQuestionText")), QStringLiteral("A card is being written. Stop and close?"));
    QVERIFY(ui->click(QStringLiteral("keepWritingButton")));
    QTRY_VERIFY(!question->property("visible").toBool());
    QCOMPARE(backend->state(), Backend::State::Writing);
    QVERIFY(ui->window()->isVisible());

    QVERIFY(!ui->window()->close());
    QTRY_VERIFY(question->property("opened").toBool());
    Backend::State stateWhenClosed = Backend::State::Idle;
    connect(ui->window(), &QWindow::visibleChanged, this, [&] { stateWhenClosed = backend->state(); });
    QVERIFY(ui->click(QStringLiteral("stopAndCloseButton")));
    QTRY_VERIFY(!ui->window()->isVisible());
    QCOMPARE(stateWhenClosed, Backend::State::Cancelled);
    ui.reset();
    backend.reset();

    // The download stopped part-way and stays for the next write to resume;
    // the card was never touched.
    const QByteArray digest = QByteArray::fromHex(m_build.catalogFields().value(QStringLiteral("sha256")).toString().toLatin1());
    const ImageCache cache(ImageCache::defaultDir());
    QVERIFY(QFile::exists(cache.partialPathFor(digest)));
    QVERIFY(!QFile::exists(cache.pathFor(digest)));
    QVERIFY(!QFile::exists(target));
}

// The server goes down during the download: the card is untouched and the
// failure says so. Once the server is back, Retry (from the keyboard) asks
// the erase question again, and the download resumes where it stopped.
void tst_Wizard::retryAfterTheServerWasDown()
{
    NginxServer server(m_root);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QString target = m_dir.filePath(QStringLiteral("card.img"));
    // The slow prefix keeps the download going until the server stops.
    Backend backend(server.url(QStringLiteral("/slow/images.json")).toString(), target);
    AppWindow ui(backend);
    QQuickWindow *window = ui.window();
    QVERIFY(window);
    const auto focused = [window] {
        QQuickItem *item = window->activeFocusItem();
        return item ? item->objectName() + QLatin1Char(' ') + AppWindow::text(item) : QStringLiteral("nothing");
    };
    QTRY_COMPARE(backend.catalogState(), Backend::CatalogState::Ready);
    backend.selectProduct(QStringLiteral("alpha"));
    backend.selectDevice(QStringLiteral("s"));
    backend.selectImage(QStringLiteral("stable"));
    backend.chooseDisk();
    backend.selectDisk(target);
    QVERIFY(ui.click(QStringLiteral("writeButton")));
    QObject *dialog = ui.find<QObject>(QStringLiteral("confirmDialog"));
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->property("opened").toBool());
    QVERIFY(ui.click(QStringLiteral("confirmEraseButton")));
    QTRY_VERIFY(backend.progress() > 0);

    server.stop();
    QTRY_VERIFY_WITH_TIMEOUT(backend.state() != Backend::State::Writing, WriteTimeout);
    QCOMPARE(backend.state(), Backend::State::Failed);
    QCOMPARE(ui.text(QStringLiteral("resultTitle")), QStringLiteral("Download failed"));
    QVERIFY2(backend.errorMessage().startsWith(QStringLiteral("Download failed: ")), qPrintable(backend.errorMessage()));
    QVERIFY(!QFile::exists(target));
    const QByteArray digest = QByteArray::fromHex(m_build.catalogFields().value(QStringLiteral("sha256")).toString().toLatin1());
    const ImageCache cache(ImageCache::defaultDir());
    const qint64 fetched = QFileInfo(cache.partialPathFor(digest)).size();
    QVERIFY(fetched > 0);

    QVERIFY2(server.restart(), qPrintable(server.errorString()));
    QTRY_COMPARE(focused(), QStringLiteral("retryButton Retry"));
    QTest::keyClick(window, Qt::Key_Return);
    QTRY_VERIFY(dialog->property("opened").toBool());
    QCOMPARE(ui.text(QStringLiteral("confirmText")),
             QStringLiteral("All data on %1 (%2) will be erased.").arg(backend.diskName(), backend.diskSize()));
    QTRY_COMPARE(focused(), QStringLiteral("confirmCancelButton Cancel"));
    QTest::keyClick(window, Qt::Key_Tab);
    QTest::keyClick(window, Qt::Key_Return);
    QCOMPARE(backend.state(), Backend::State::Writing);

    QTRY_VERIFY_WITH_TIMEOUT(backend.state() != Backend::State::Writing, WriteTimeout);
    QVERIFY2(backend.state() == Backend::State::Done, qPrintable(backend.errorMessage()));
    QVERIFY2(server.accessLog().contains(QStringLiteral("GET /slow/builds/alpha-2.1.zip 206 bytes=%1-").arg(fetched)),
             qPrintable(server.accessLog().join(QLatin1Char('\n'))));
    CardImage card(target, m_build.image().partitionOffset(), m_build.image().partitionBytes());
    QVERIFY2(card.fsck(), qPrintable(card.errorString()));
    QCOMPARE(card.mtype(QStringLiteral("PRODUCT.TXT")), std::optional<QByteArray>("alpha\n"));
}

QTEST_MAIN(tst_Wizard)
#include "tst_wizard.moc"
