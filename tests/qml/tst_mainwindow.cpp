#include "appwindow.h"
#include "backendtestaccess.h"
#include "backendwaits.h"
#include "catalogdocument.h"
#include "scriptedcard.h"
#include "scripteddiskmonitor.h"
#include "testfiles.h"

#include <QAccessible>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QMimeData>
#include <QNetworkProxy>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/QQmlExtensionPlugin>

#include <limits>
#include <memory>

Q_IMPORT_QML_PLUGIN(TessaroPlugin)

namespace {

constexpr qint64 GB = 1000 * 1000 * 1000;

const Disk CardA{QStringLiteral("a"), QStringLiteral("/dev/sdb"), QStringLiteral("Card Reader"), 16 * GB};
const Disk CardB{QStringLiteral("b"), QStringLiteral("/dev/sdc"), QString(), 4 * GB};
const Disk CardC{QStringLiteral("c"), QStringLiteral("/dev/sdd"), QStringLiteral("Stick"), 64 * GB};

// A scripted disk list in place of the system's, connected before the window
// is made as the Backend's own monitor is.
ScriptedDiskMonitor *installScriptedMonitor(Backend &backend)
{
    auto scripted = std::make_unique<ScriptedDiskMonitor>(QList<Disk>{CardA, CardB});
    ScriptedDiskMonitor *monitor = scripted.get();
    backend.diskChoice().setMonitor(std::move(scripted));
    return monitor;
}

// The application window on a real Backend that loads the given catalog, with
// the Fusion style and a scripted disk list.
class Window
{
public:
    explicit Window(const QString &manifest)
        : backend(manifest, QString())
        , monitor(installScriptedMonitor(backend))
        , ui(backend)
        , window(ui.window())
    {
    }

    template<typename T = QQuickItem>
    T *find(const QString &name) const
    {
        return ui.find<T>(name);
    }
    QList<QQuickItem *> delegates(const QString &listName, const QString &delegateName) const
    {
        return ui.delegates(listName, delegateName);
    }
    bool click(QQuickItem *item) const { return ui.click(item); }

    Backend backend;
    ScriptedDiskMonitor *monitor;
    AppWindow ui;
    QQuickWindow *window;
};

// Three products with icons beside the document, one build each.
QByteArray threeProductCatalog(int schemaVersion, const QString &minVersion)
{
    CatalogDocument document(schemaVersion);
    document.device(QStringLiteral("s"), QStringLiteral("Board S")).minTessaroVersion(minVersion);
    for (const QString &name : {QStringLiteral("Alpha"), QStringLiteral("Beta Kiosk"), QStringLiteral("Gamma")}) {
        const QString id = name.section(QLatin1Char(' '), 0, 0).toLower();
        document.product(id, name,
                         {CatalogDocument::build(QStringLiteral("stable"), QStringLiteral("Stable"), QStringLiteral("1.0"),
                                                 QStringLiteral("builds/%1.zip").arg(id), 1000,
                                                 QStringLiteral("ab").repeated(32), {QStringLiteral("s")})},
                         {{QStringLiteral("icon"), QStringLiteral("icons/%1.png").arg(id)}});
    }
    return document.toJson();
}

// A catalog large enough to overflow every list at the minimum window size:
// twelve products, and for the first one twelve devices and twenty builds.
QByteArray crowdedCatalog()
{
    CatalogDocument document;
    const QStringList deviceIds = document.numberedDevices(QStringLiteral("d"), QStringLiteral("Board "), 12);
    QJsonArray builds;
    for (int i = 1; i <= 20; ++i) {
        builds.append(CatalogDocument::build(QStringLiteral("b%1").arg(i), QStringLiteral("Build %1").arg(i),
                                             QStringLiteral("1.%1").arg(i), QStringLiteral("builds/b%1.zip").arg(i), 1000,
                                             QStringLiteral("%1").arg(i, 64, 10, QLatin1Char('0')), deviceIds));
    }
    for (int i = 1; i <= 12; ++i)
        document.product(QStringLiteral("p%1").arg(i), QStringLiteral("Product %1").arg(i), builds);
    return document.toJson();
}

// Every text item under item, the dialogs' included.
QList<QQuickItem *> textItems(QQuickItem *item)
{
    QList<QQuickItem *> found;
    if (item->inherits("QQuickText"))
        found.append(item);
    for (QQuickItem *child : item->childItems())
        found += textItems(child);
    return found;
}

// What a screen reader says of an item: its object name and accessible name.
QString spoken(QQuickItem *item)
{
    if (!item)
        return QStringLiteral("nothing");
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(item);
    return item->objectName() + QLatin1Char(' ')
            + (accessible ? accessible->text(QAccessible::Name) : QStringLiteral("<inaccessible>"));
}

// The list that shows a delegate.
QString listOf(const QString &delegate)
{
    static const QMap<QString, QString> lists{{QStringLiteral("productButton"), QStringLiteral("productGrid")},
                                              {QStringLiteral("deviceButton"), QStringLiteral("deviceGrid")},
                                              {QStringLiteral("imageDelegate"), QStringLiteral("imageList")},
                                              {QStringLiteral("diskDelegate"), QStringLiteral("diskList")}};
    return lists.value(delegate);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void pageFollowsStateAndStep_data();
    void pageFollowsStateAndStep();
    void writeButtonFollowsCanWrite_data();
    void writeButtonFollowsCanWrite();
    void diskListShowsWhyADiskCannotBeChosen();
    void confirmationFollowsTheChosenDisk_data();
    void confirmationFollowsTheChosenDisk();
    void percentageNeverRoundsUp_data();
    void percentageNeverRoundsUp();
    void localFileAndVerifyFollowTheBackend();
    void productPageFollowsTheCatalog_data();
    void productPageFollowsTheCatalog();
    void unusableCatalogOffersRetryAndALocalFile();
    void untrustedTextsArePlain();
    void listsScrollAtTheMinimumSize_data();
    void listsScrollAtTheMinimumSize();
    void droppedImageFileIsUsed_data();
    void droppedImageFileIsUsed();
    void tabReachesEachChoiceOnce_data();
    void tabReachesEachChoiceOnce();
    void arrowKeysMoveWithinAListOrGrid_data();
    void arrowKeysMoveWithinAListOrGrid();
    void enterAndSpaceChoose_data();
    void enterAndSpaceChoose();
    void resultButtonsStayOnTheWindow();
    void closeQuestionGoesWhenTheWriteEnds();
    void focusOutlivesTheFocusedCard_data();
    void focusOutlivesTheFocusedCard();

private:
    std::unique_ptr<Window> openWindow();
    // A local file chosen without a catalog, and on to the disk page.
    void toDiskPage(Window &w);
    // Runs one navigation call, a local file choice, or (for "=State") a state.
    // A select call takes the id after a colon ("selectDisk:a"), else "x".
    void apply(Window &w, const QString &call);
    // Presses the keys named in the text ("Tab Return"), one after the other.
    static void pressKeys(QQuickWindow *window, const QString &keys);

    QTemporaryDir m_dir;
    QString m_imagePath;
    // Accepts connections and never answers: a catalog request that hangs.
    QTcpServer m_silentServer;
};

void tst_MainWindow::initTestCase()
{
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QVERIFY(m_dir.isValid());
    // A catalog that loads prunes the download cache: never the user's.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("cache"))));
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QVERIFY(m_silentServer.listen(QHostAddress::LocalHost));

    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("ready.json")), threeProductCatalog(1, QString())));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("newer.json")), threeProductCatalog(1, QStringLiteral("0.2.0"))));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("schema2.json")), threeProductCatalog(2, QString())));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("large.json")), crowdedCatalog()));
    // Valid, but every product is refused for want of a name.
    QByteArray refused = threeProductCatalog(1, QString());
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("refused.json")), refused.replace("\"name\": \"", "\"title\": \"")));
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("icons"))));
    for (const char *id : {"alpha", "beta", "gamma"}) {
        QImage icon(72, 72, QImage::Format_ARGB32);
        icon.fill(Qt::darkCyan);
        QVERIFY(icon.save(m_dir.filePath(QStringLiteral("icons/%1.png").arg(QLatin1String(id)))));
    }
    m_imagePath = m_dir.filePath(QStringLiteral("card image.img"));
    QFile image(m_imagePath);
    QVERIFY(image.open(QIODevice::WriteOnly));
    QCOMPARE(image.write(QByteArray(4096, '\x5a')), 4096);
}

std::unique_ptr<Window> tst_MainWindow::openWindow()
{
    // A catalog file that does not exist: the window starts without network.
    return std::make_unique<Window>(m_dir.filePath(QStringLiteral("missing.json")));
}

void tst_MainWindow::toDiskPage(Window &w)
{
    for (const char *call : {"useLocalFileOnly", "localFile", "chooseDisk"})
        apply(w, QString::fromLatin1(call));
    QCOMPARE(w.backend.step(), Backend::Step::DiskStep);
}

void tst_MainWindow::apply(Window &w, const QString &call)
{
    static const QMap<QString, Backend::State> states{
            {QStringLiteral("=Idle"), Backend::State::Idle},
            {QStringLiteral("=Writing"), Backend::State::Writing},
            {QStringLiteral("=Done"), Backend::State::Done},
            {QStringLiteral("=Failed"), Backend::State::Failed},
            {QStringLiteral("=Cancelled"), Backend::State::Cancelled},
    };
    if (states.contains(call))
        BackendTestAccess::setState(w.backend, states.value(call));
    else if (call == QLatin1String("=Removed"))
        BackendTestAccess::endWrite(w.backend, CardA, WriteJob::Error::TargetRemoved);
    else if (call == QLatin1String("=Ejectable")) {
        w.monitor->setPowerOff(true);
        BackendTestAccess::endWrite(w.backend, CardA, WriteJob::Error::None);
    }
    else if (call == QLatin1String("close"))
        QVERIFY(!w.window->close());
    else if (call == QLatin1String("localFile")) {
        // As the user would: the file's check has ended before anything else.
        w.backend.setImageUrl(QUrl::fromLocalFile(m_imagePath));
        QVERIFY(waitChecked(w.backend));
    }
    else if (call.startsWith(QLatin1String("select")))
        QVERIFY(QMetaObject::invokeMethod(&w.backend, call.section(QLatin1Char(':'), 0, 0).toLatin1().constData(),
                                          Q_ARG(QString, call.contains(QLatin1Char(':'))
                                                                 ? call.section(QLatin1Char(':'), 1)
                                                                 : QStringLiteral("x"))));
    else
        QVERIFY2(QMetaObject::invokeMethod(&w.backend, call.toLatin1().constData()), qPrintable(call));
}

void tst_MainWindow::pressKeys(QQuickWindow *window, const QString &keys)
{
    for (const QString &key : keys.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QKeyCombination combination = QKeySequence::fromString(key)[0];
        QTest::keyClick(window, combination.key(), combination.keyboardModifiers());
        // Pages and dialogs move the focus once they show.
        QTest::qWait(50);
    }
}

void tst_MainWindow::pageFollowsStateAndStep_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("page");

    const QStringList toDisk{"useLocalFileOnly", "localFile", "chooseDisk"};
    QTest::newRow("product step at start") << QStringList() << "productPage";
    QTest::newRow("device step after a product") << QStringList{"selectProduct"} << "devicePage";
    QTest::newRow("image step after a device") << QStringList{"selectProduct", "selectDevice"} << "imagePage";
    QTest::newRow("image step with a local file only") << QStringList{"useLocalFileOnly"} << "imagePage";
    QTest::newRow("Next without an image stays") << QStringList{"useLocalFileOnly", "chooseDisk"} << "imagePage";
    QTest::newRow("disk step") << toDisk << "diskPage";
    QTest::newRow("back from the disk step") << toDisk + QStringList{"back"} << "imagePage";
    QTest::newRow("back to the products without a product") << toDisk + QStringList{"back", "back"}
                                                             << "productPage";
    QTest::newRow("writing covers the disk step") << toDisk + QStringList{"=Writing"} << "writingPage";
    QTest::newRow("writing covers any step") << QStringList{"=Writing"} << "writingPage";
    QTest::newRow("done") << toDisk + QStringList{"=Done"} << "resultPage";
    QTest::newRow("failed") << toDisk + QStringList{"=Failed"} << "resultPage";
    QTest::newRow("cancelled") << toDisk + QStringList{"=Cancelled"} << "resultPage";
    QTest::newRow("result covers the product step") << QStringList{"=Failed"} << "resultPage";
    QTest::newRow("reset returns to the disk page") << toDisk + QStringList{"=Done", "reset"} << "diskPage";
}

void tst_MainWindow::pageFollowsStateAndStep()
{
    QFETCH(QStringList, calls);
    QFETCH(QString, page);

    const std::unique_ptr<Window> w = openWindow();
    QVERIFY(w->window);
    for (const QString &call : calls)
        apply(*w, call);

    static const QStringList pages{"productPage", "devicePage", "imagePage",
                                   "diskPage", "writingPage", "resultPage"};
    QQuickItem *stack = w->find(QStringLiteral("pageStack"));
    QVERIFY(stack);
    QCOMPARE(stack->property("currentIndex").toInt(), pages.indexOf(page));
    for (const QString &name : pages) {
        QQuickItem *item = w->find(name);
        QVERIFY2(item, qPrintable(name));
        QCOMPARE(item->isVisible(), name == page);
    }
}

void tst_MainWindow::writeButtonFollowsCanWrite_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QList<Disk>>("disksAfter");
    QTest::addColumn<qint64>("imageSize");
    QTest::addColumn<bool>("enabled");

    const QList<Disk> both{CardA, CardB};
    QTest::newRow("no disk chosen") << QStringList() << both << qint64(0) << false;
    QTest::newRow("disk chosen") << QStringList{"a"} << both << qint64(0) << true;
    QTest::newRow("disk without a model chosen") << QStringList{"b"} << both << qint64(0) << true;
    QTest::newRow("chosen disk removed") << QStringList{"a"} << QList<Disk>{CardB} << qint64(0) << false;
    QTest::newRow("other disk removed") << QStringList{"a"} << QList<Disk>{CardA} << qint64(0) << true;
    QTest::newRow("chosen disk removed and inserted again")
            << QStringList{"a", "-", "+"} << both << qint64(0) << false;
    QTest::newRow("chosen disk too small for a larger image") << QStringList{"b"} << both << 8 * GB << false;
    QTest::newRow("chosen disk large enough") << QStringList{"a"} << both << 8 * GB << true;
    QTest::newRow("local file forgotten") << QStringList{"a", "forget"} << both << qint64(0) << false;
}

void tst_MainWindow::writeButtonFollowsCanWrite()
{
    QFETCH(QStringList, calls);
    QFETCH(QList<Disk>, disksAfter);
    QFETCH(qint64, imageSize);
    QFETCH(bool, enabled);

    const std::unique_ptr<Window> w = openWindow();
    QVERIFY(w->window);
    toDiskPage(*w);
    QQuickItem *button = w->find(QStringLiteral("writeButton"));
    QVERIFY(button);
    QVERIFY(button->isVisible());
    QVERIFY(!button->isEnabled());

    for (const QString &call : calls) {
        if (call == QLatin1String("-"))
            w->monitor->setDisks({});
        else if (call == QLatin1String("+"))
            w->monitor->setDisks({CardA, CardB});
        else if (call == QLatin1String("forget"))
            w->backend.setImageUrl(QUrl());
        else
            QVERIFY(w->click(w->delegates(QStringLiteral("diskList"), QStringLiteral("diskDelegate"))
                                     .value(call == QLatin1String("a") ? 0 : 1)));
    }
    w->monitor->setDisks(disksAfter);
    if (imageSize > 0)
        w->backend.diskChoice().setImageSize(imageSize);

    QCOMPARE(w->backend.canWrite(), enabled);
    QCOMPARE(button->isEnabled(), enabled);
}

void tst_MainWindow::diskListShowsWhyADiskCannotBeChosen()
{
    const std::unique_ptr<Window> w = openWindow();
    QVERIFY(w->window);
    toDiskPage(*w);
    w->backend.diskChoice().setImageSize(8 * GB);

    const QVariantList entries = w->backend.disks();
    QList<QQuickItem *> rows = w->delegates(QStringLiteral("diskList"), QStringLiteral("diskDelegate"));
    QCOMPARE(rows.size(), 2);
    // The rows stack one under the other across the whole list.
    QQuickItem *list = w->find(QStringLiteral("diskList"));
    QVERIFY(list);
    QCOMPARE(rows[0]->width(), list->width());
    QCOMPARE(rows[1]->width(), list->width());
    QTRY_COMPARE(rows[1]->y(), rows[0]->y() + rows[0]->height());

    QQuickItem *hint = w->find(QStringLiteral("noDiskHint"));
    QVERIFY(hint);
    QVERIFY(!hint->isVisible());

    const QVariantMap a = entries.at(0).toMap();
    QVERIFY(rows[0]->isEnabled());
    QCOMPARE(AppWindow::text(rows[0]->findChild<QQuickItem *>(QStringLiteral("diskTitle"))),
             QStringLiteral("Card Reader — %1").arg(a.value("size").toString()));
    QCOMPARE(AppWindow::text(rows[0]->findChild<QQuickItem *>(QStringLiteral("diskDetails"))), QStringLiteral("/dev/sdb"));

    // A disk without a model shows its size alone; a disk too small says why.
    const QVariantMap b = entries.at(1).toMap();
    QVERIFY(!b.value("reason").toString().isEmpty());
    QVERIFY(!rows[1]->isEnabled());
    QCOMPARE(AppWindow::text(rows[1]->findChild<QQuickItem *>(QStringLiteral("diskTitle"))), b.value("size").toString());
    QCOMPARE(AppWindow::text(rows[1]->findChild<QQuickItem *>(QStringLiteral("diskDetails"))),
             QStringLiteral("/dev/sdc · %1").arg(b.value("reason").toString()));

    QVERIFY(w->click(rows[0]));
    QCOMPARE(w->backend.diskId(), QStringLiteral("a"));
    QVERIFY(rows[0]->property("highlighted").toBool());
    QVERIFY(!rows[1]->property("highlighted").toBool());

    w->monitor->setDisks({});
    QVERIFY(hint->isVisible());
    QVERIFY(w->delegates(QStringLiteral("diskList"), QStringLiteral("diskDelegate")).isEmpty());
}

void tst_MainWindow::confirmationFollowsTheChosenDisk_data()
{
    QTest::addColumn<QList<Disk>>("disks");
    QTest::addColumn<qint64>("imageSize");
    QTest::addColumn<bool>("stays");

    Disk larger = CardA;
    larger.size = 32 * GB;
    Disk renamed = CardA;
    renamed.model = QStringLiteral("Other Reader");
    QTest::newRow("chosen card removed") << QList<Disk>{CardB} << qint64(0) << false;
    QTest::newRow("all cards removed") << QList<Disk>() << qint64(0) << false;
    QTest::newRow("card replaced by a larger one under the same id") << QList<Disk>{larger, CardB} << qint64(0)
                                                                     << false;
    QTest::newRow("card replaced by another model under the same id") << QList<Disk>{renamed, CardB} << qint64(0)
                                                                      << false;
    QTest::newRow("choice cleared by a larger image") << QList<Disk>{CardA, CardB} << 20 * GB << false;
    QTest::newRow("another card inserted") << QList<Disk>{CardA, CardB, CardC} << qint64(0) << true;
    QTest::newRow("other card removed") << QList<Disk>{CardA} << qint64(0) << true;
    QTest::newRow("same list announced again") << QList<Disk>{CardA, CardB} << qint64(0) << true;
}

void tst_MainWindow::confirmationFollowsTheChosenDisk()
{
    QFETCH(QList<Disk>, disks);
    QFETCH(qint64, imageSize);
    QFETCH(bool, stays);

    const std::unique_ptr<Window> w = openWindow();
    QVERIFY(w->window);
    toDiskPage(*w);
    w->backend.selectDisk(CardA.id);

    QObject *dialog = w->find<QObject>(QStringLiteral("confirmDialog"));
    QVERIFY(dialog);
    QVERIFY(!dialog->property("visible").toBool());
    QVERIFY(w->click(w->find(QStringLiteral("writeButton"))));
    QTRY_VERIFY(dialog->property("opened").toBool());

    const QString question = QStringLiteral("All data on %1 (%2) will be erased.")
                                     .arg(w->backend.diskName(), w->backend.diskSize());
    QQuickItem *textItem = w->find(QStringLiteral("confirmText"));
    QCOMPARE(AppWindow::text(textItem), question);
    QVERIFY(question.contains(QLatin1String("Card Reader (/dev/sdb)")));

    QSignalSpy rejected(dialog, SIGNAL(rejected()));
    QSignalSpy accepted(dialog, SIGNAL(accepted()));
    w->monitor->setDisks(disks);
    if (imageSize > 0)
        w->backend.diskChoice().setImageSize(imageSize);

    QCOMPARE(accepted.count(), 0);
    if (stays) {
        QCOMPARE(rejected.count(), 0);
        QTest::qWait(50);
        QVERIFY(dialog->property("visible").toBool());
        QCOMPARE(w->backend.diskId(), CardA.id);
    } else {
        QCOMPARE(rejected.count(), 1);
        QTRY_VERIFY(!dialog->property("visible").toBool());
    }
    // The question keeps naming the disk as it was when the dialog opened.
    QCOMPARE(AppWindow::text(textItem), question);
    QCOMPARE(w->backend.state(), Backend::State::Idle);
}

void tst_MainWindow::percentageNeverRoundsUp_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QString>("shown");

    const qint64 fourGiB = qint64(4) << 30;
    QTest::newRow("no report yet") << qint64(0) << qint64(0) << "0%";
    QTest::newRow("start") << qint64(0) << qint64(100) << "0%";
    QTest::newRow("29 of 100, just below 29 in floating point") << qint64(29) << qint64(100) << "29%";
    QTest::newRow("57 of 100, just below 57 in floating point") << qint64(57) << qint64(100) << "57%";
    QTest::newRow("half") << fourGiB / 2 << fourGiB << "50%";
    QTest::newRow("99.9 percent") << qint64(999) << qint64(1000) << "99%";
    QTest::newRow("one byte short of 4 GiB") << fourGiB - 1 << fourGiB << "99%";
    QTest::newRow("complete") << fourGiB << fourGiB << "100%";
}

void tst_MainWindow::percentageNeverRoundsUp()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(QString, shown);

    const std::unique_ptr<Window> w = openWindow();
    QVERIFY(w->window);
    BackendTestAccess::setState(w->backend, Backend::State::Writing);
    // Reported on a clock that stands before the phase began, so that no
    // speed is sampled.
    WriteRun &run = w->backend.writeRun();
    run.setClock([] { return std::numeric_limits<qint64>::min() / 2; });
    run.report(run.meter().phase(), done, total);

    QQuickItem *details = w->find(QStringLiteral("progressDetails"));
    QVERIFY(details && details->isVisible());
    // No speed sample has been taken, so the percentage stands alone.
    QCOMPARE(AppWindow::text(details), shown);
    QQuickItem *bar = w->find(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QCOMPARE(bar->property("value").toDouble(), w->backend.progress());
}

void tst_MainWindow::localFileAndVerifyFollowTheBackend()
{
    const std::unique_ptr<Window> w = openWindow();
    QVERIFY(w->window);
    QCOMPARE(AppWindow::text(w->find(QStringLiteral("versionLabel"))), QStringLiteral("Version 0.1.0"));

    w->backend.useLocalFileOnly();
    QQuickItem *label = w->find(QStringLiteral("localFileLabel"));
    QQuickItem *fileButton = w->find(QStringLiteral("localFileButton"));
    QQuickItem *next = w->find(QStringLiteral("nextButton"));
    QVERIFY(label && fileButton && next);
    QCOMPARE(AppWindow::text(label), QStringLiteral("No file selected"));
    QVERIFY(!fileButton->property("highlighted").toBool());
    QVERIFY(!next->isEnabled());

    // The file dialog's choice becomes the Backend's image. Offscreen there is
    // no native dialog: the user picks the file in Qt's own dialog window.
    QObject *dialog = w->find<QObject>(QStringLiteral("fileDialog"));
    QVERIFY(dialog);
    QCOMPARE(dialog->property("nameFilters").toStringList(),
             QStringList({"All supported images (*.img *.zip *.img.xz *.img.zst *.bin)", "Disk images (*.img *.zip)",
                          "Compressed disk images (*.img.xz *.img.zst)", "All files (*)"}));
    QVERIFY(w->click(fileButton));
    QTRY_VERIFY(dialog->property("visible").toBool());
    QCOMPARE(dialog->property("currentFolder").toUrl(), w->backend.imageFolder());
    QObject *shown = nullptr;
    for (QObject *object : w->window->findChildren<QObject *>()) {
        if (object->inherits("QQuickFileDialogImpl"))
            shown = object;
    }
    QVERIFY(shown);
    QVERIFY(shown->setProperty("currentFolder", QUrl::fromLocalFile(m_dir.path())));
    QVERIFY(shown->setProperty("selectedFile", QUrl::fromLocalFile(m_imagePath)));
    QVERIFY(QMetaObject::invokeMethod(shown, "accept"));
    QTRY_VERIFY(!dialog->property("visible").toBool());
    QCOMPARE(w->backend.imageUrl(), QUrl::fromLocalFile(m_imagePath));
    QCOMPARE(AppWindow::text(label), QStringLiteral("card image.img"));
    QVERIFY(fileButton->property("highlighted").toBool());
    // Next waits for the check of the file.
    QTRY_VERIFY(next->isEnabled());
    QVERIFY(w->click(next));
    QCOMPARE(w->backend.step(), Backend::Step::DiskStep);
    QCOMPARE(AppWindow::text(w->find(QStringLiteral("imageLabel"))), QStringLiteral("card image.img"));

    // The box writes the Backend's value and keeps following it afterwards.
    QQuickItem *verify = w->find(QStringLiteral("verifyCheckBox"));
    QVERIFY(verify);
    QVERIFY(verify->property("checked").toBool());
    QVERIFY(w->click(verify));
    QVERIFY(!w->backend.verify());
    w->backend.setVerify(true);
    QVERIFY(verify->property("checked").toBool());
}

void tst_MainWindow::productPageFollowsTheCatalog_data()
{
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("products");

    QTest::newRow("loading while the server does not answer")
            << "silent" << "loadingRow" << QString() << QStringList();
    QTest::newRow("ready catalog, one button per product")
            << "ready.json" << "productGrid" << QString() << QStringList{"Alpha", "Beta Kiosk", "Gamma"};
    // The detail is the system's own text for a missing file.
    QFile missing(m_dir.filePath(QStringLiteral("missing.json")));
    QVERIFY(!missing.open(QIODevice::ReadOnly));
    QTest::newRow("unreachable catalog file")
            << "missing.json" << "unusableCatalog"
            << "The image catalog is not reachable: " + missing.errorString() << QStringList();
    QTest::newRow("invalid catalog")
            << "schema2.json" << "unusableCatalog" << "The image catalog is not valid: Unsupported schemaVersion 2"
            << QStringList();
    QTest::newRow("catalog for a newer Tessaro names both versions")
            << "newer.json" << "unusableCatalog"
            << "Update Tessaro: the image catalog requires version 0.2.0 or newer, this is version 0.1.0."
            << QStringList();
    QTest::newRow("valid catalog whose every product is refused")
            << "refused.json" << "unusableCatalog" << "The image catalog lists no products." << QStringList();
}

void tst_MainWindow::productPageFollowsTheCatalog()
{
    QFETCH(QString, manifest);
    QFETCH(QString, shown);
    QFETCH(QString, message);
    QFETCH(QStringList, products);

    const QString location = manifest == QLatin1String("silent")
            ? QStringLiteral("http://127.0.0.1:%1/images.json").arg(m_silentServer.serverPort())
            : m_dir.filePath(manifest);
    Window w(location);
    QVERIFY(w.window);
    if (manifest == QLatin1String("silent")) {
        // Still waiting a while later: the request really hangs.
        QTest::qWait(100);
        QCOMPARE(w.backend.catalogState(), Backend::CatalogState::Loading);
    }

    for (const QString &block : {QStringLiteral("loadingRow"), QStringLiteral("productGrid"),
                                 QStringLiteral("unusableCatalog")}) {
        QQuickItem *item = w.find(block);
        QVERIFY2(item, qPrintable(block));
        QVERIFY2(item->isVisible() == (block == shown), qPrintable(block));
    }

    QStringList names;
    for (QQuickItem *button : w.delegates(QStringLiteral("productGrid"), QStringLiteral("productButton"))) {
        names.append(AppWindow::text(button));
        QVERIFY(!button->property("highlighted").toBool());
        // The icon is the file named in the catalog, beside the catalog document.
        const QString id = AppWindow::text(button).section(QLatin1Char(' '), 0, 0).toLower();
        QCOMPARE(QQmlProperty::read(button, QStringLiteral("icon.source")).toUrl(),
                 QUrl::fromLocalFile(m_dir.filePath(QStringLiteral("icons/%1.png").arg(id))));
    }
    QCOMPARE(names, products);

    if (shown == QLatin1String("unusableCatalog")) {
        QCOMPARE(AppWindow::text(w.find(QStringLiteral("catalogMessage"))), message);
        QCOMPARE(AppWindow::text(w.find(QStringLiteral("retryButton"))), QStringLiteral("Retry"));
        QCOMPARE(AppWindow::text(w.find(QStringLiteral("localFileOnlyButton"))), QStringLiteral("Local file…"));
        QVERIFY(w.click(w.find(QStringLiteral("localFileOnlyButton"))));
        QCOMPARE(w.backend.step(), Backend::Step::ImageStep);
    }
}

void tst_MainWindow::unusableCatalogOffersRetryAndALocalFile()
{
    const QString path = m_dir.filePath(QStringLiteral("appears-later.json"));
    QFile::remove(path);
    Window w(path);
    QVERIFY(w.window);
    for (const char *name : {"unusableCatalog", "productGrid", "retryButton", "localFileOnlyButton"})
        QVERIFY2(w.find(QLatin1String(name)), name);
    QVERIFY(w.find(QStringLiteral("unusableCatalog"))->isVisible());
    QVERIFY(!w.find(QStringLiteral("failedAgainLabel"))->isVisible());

    // Retry shows that it is trying, even when it fails at once, then says
    // that it failed again.
    QVERIFY(w.click(w.find(QStringLiteral("retryButton"))));
    QVERIFY(w.find(QStringLiteral("loadingRow"))->isVisible());
    QVERIFY(!w.find(QStringLiteral("unusableCatalog"))->isVisible());
    QTRY_VERIFY(w.find(QStringLiteral("unusableCatalog"))->isVisible());
    QCOMPARE(w.ui.text(QStringLiteral("failedAgainLabel")), QStringLiteral("Tried again: it failed again (attempt 2)."));
    QVERIFY(w.find(QStringLiteral("failedAgainLabel"))->isVisible());

    // The catalog is published meanwhile; Retry loads it.
    QVERIFY(writeFile(path, threeProductCatalog(1, QString())));
    QVERIFY(w.click(w.find(QStringLiteral("retryButton"))));
    QCOMPARE(w.backend.catalogState(), Backend::CatalogState::Ready);
    QVERIFY(w.find(QStringLiteral("productGrid"))->isVisible());
    QVERIFY(!w.find(QStringLiteral("unusableCatalog"))->isVisible());
    QCOMPARE(w.delegates(QStringLiteral("productGrid"), QStringLiteral("productButton")).size(), 3);

    // Gone again: the message is back, and a local file is still an option.
    QVERIFY(QFile::remove(path));
    w.backend.reloadCatalog();
    QTRY_VERIFY(w.find(QStringLiteral("unusableCatalog"))->isVisible());
    QVERIFY(w.delegates(QStringLiteral("productGrid"), QStringLiteral("productButton")).isEmpty());
    QVERIFY(w.click(w.find(QStringLiteral("localFileOnlyButton"))));
    QCOMPARE(w.backend.step(), Backend::Step::ImageStep);
    QVERIFY(w.find(QStringLiteral("imagePage"))->isVisible());
}

// Names, descriptions, file names, disk models and error details are shown as
// they stand: markup in them is neither rendered nor followed to an address.
void tst_MainWindow::untrustedTextsArePlain()
{
    QTcpServer pictures;
    QVERIFY(pictures.listen(QHostAddress::LocalHost));
    const QString markup = QStringLiteral("<img src=\"http://127.0.0.1:%1/x.png\"><b>X</b>").arg(pictures.serverPort());

    QByteArray document = threeProductCatalog(1, QString());
    document.replace("Alpha", markup.toUtf8().replace('"', "\\\""));
    document.replace("Board S", markup.toUtf8().replace('"', "\\\""));
    document.replace("\"Stable\"", "\"" + markup.toUtf8().replace('"', "\\\"") + "\", \"description\": \"<i>d</i>\"");
    const QString path = m_dir.filePath(QStringLiteral("markup.json"));
    QVERIFY(writeFile(path, document));
    // A file name cannot hold an address, but may hold markup; on Windows,
    // whose names take no "<" or ">", only an entity.
#ifdef Q_OS_WIN
    const QString image = m_dir.filePath(QStringLiteral("&lt;img src=x.png&gt;X.img"));
    constexpr bool nameHoldsMarkup = false;
#else
    const QString image = m_dir.filePath(QStringLiteral("<img src=x.png><b>X.img"));
    constexpr bool nameHoldsMarkup = true;
#endif
    QVERIFY(writeFile(image, QByteArray(4096, '\0')));
    QVERIFY(writeFile(m_dir.filePath(QStringLiteral("schema-markup.json")),
                      "{\"schemaVersion\": \"" + markup.toUtf8().replace('"', "\\\"") + "\"}"));

    Window w(path);
    QVERIFY(w.window);
    Disk reader = CardA;
    reader.model = markup;
    w.monitor->setDisks({reader});
    const auto checkTexts = [&](const char *step, bool markupShown = true) {
        QTest::qWait(100);
        int shown = 0;
        for (QQuickItem *item : textItems(w.window->contentItem())) {
            if (!item->isVisible() || !item->property("text").toString().contains(QLatin1String("<img")))
                continue;
            ++shown;
            QVERIFY2(item->property("textFormat").toInt() == 0, step); // Text.PlainText
        }
        QVERIFY2(shown > 0 || !markupShown, step);
        QVERIFY2(!pictures.hasPendingConnections(), step);
    };

    checkTexts("product page");
    w.backend.selectProduct(QStringLiteral("alpha"));
    checkTexts("device page");
    w.backend.selectDevice(QStringLiteral("s"));
    checkTexts("image page");
    w.backend.selectImage(QStringLiteral("stable"));
    w.backend.chooseDisk();
    w.backend.selectDisk(CardA.id);
    QVERIFY(w.click(w.find(QStringLiteral("writeButton"))));
    checkTexts("disk page and confirmation");
    QVERIFY(w.click(w.find(QStringLiteral("confirmCancelButton"))));
    w.backend.back();
    w.backend.setImageUrl(QUrl::fromLocalFile(image));
    checkTexts("local file");

    // A card that fails its first write, with markup in the system's words.
    ScriptedCard::Script card = ScriptedCard::Script::failing(ScriptedCard::Call::Write, 1,
                                                              BlockDevice::Failure::IoError, markup);
    card.path = m_dir.filePath(QStringLiteral("markup-card.img"));
    card.writeDelay = 500;
    w.monitor->setDeviceFactory([card](const Disk &) { return std::make_unique<ScriptedCard>(card); });
    w.backend.chooseDisk();
    w.backend.selectDisk(CardA.id);
    w.backend.startWrite();
    QCOMPARE(w.backend.state(), Backend::State::Writing);
    checkTexts("writing page", nameHoldsMarkup);
    QTRY_COMPARE(w.backend.state(), Backend::State::Failed);
    checkTexts("result page");

    Window invalid(m_dir.filePath(QStringLiteral("schema-markup.json")));
    QVERIFY(invalid.window);
    QVERIFY(AppWindow::text(invalid.find(QStringLiteral("catalogMessage"))).contains(QLatin1String("<img src=")));
    QCOMPARE(invalid.find(QStringLiteral("catalogMessage"))->property("textFormat").toInt(), 0);
    QTest::qWait(100);
    QVERIFY(!pictures.hasPendingConnections());
}

void tst_MainWindow::listsScrollAtTheMinimumSize_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("scroll");
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("delegate");
    QTest::addColumn<QStringList>("buttons"); // stay on the window, under the list

    QTest::newRow("12 products") << QStringList() << "productScroll" << "productGrid" << "productButton"
                                 << QStringList();
    QTest::newRow("12 devices") << QStringList{"p1"} << "deviceScroll" << "deviceGrid" << "deviceButton"
                                << QStringList{"deviceBackButton"};
    QTest::newRow("20 builds") << QStringList{"p1", "d1"} << "imageScroll" << "imageList" << "imageDelegate"
                               << QStringList{"localFileButton", "imageBackButton", "nextButton"};
    QTest::newRow("card reader with 8 slots") << QStringList{"p1", "d1", "b1", "disks"} << "diskScroll"
                                              << "diskList" << "diskDelegate"
                                              << QStringList{"verifyCheckBox", "diskBackButton", "writeButton"};
}

void tst_MainWindow::listsScrollAtTheMinimumSize()
{
    QFETCH(QStringList, calls);
    QFETCH(QString, scroll);
    QFETCH(QString, list);
    QFETCH(QString, delegate);
    QFETCH(QStringList, buttons);

    Window w(m_dir.filePath(QStringLiteral("large.json")));
    QVERIFY(w.window);
    QCOMPARE(w.backend.catalogState(), Backend::CatalogState::Ready);
    w.window->resize(w.window->minimumSize());
    QCOMPARE(w.window->size(), QSize(480, 360));
    for (const QString &call : calls) {
        if (call == QLatin1String("disks")) {
            QList<Disk> readerSlots;
            for (int i = 1; i <= 8; ++i)
                readerSlots.append({QStringLiteral("slot%1").arg(i), QStringLiteral("/dev/sd%1").arg(QLatin1Char(char('b' + i))),
                              QStringLiteral("Reader Slot %1").arg(i), 16 * GB});
            w.monitor->setDisks(readerSlots);
            w.backend.chooseDisk();
        } else if (call.startsWith(QLatin1Char('p'))) {
            w.backend.selectProduct(call);
        } else if (call.startsWith(QLatin1Char('d'))) {
            w.backend.selectDevice(call);
        } else {
            w.backend.selectImage(call);
        }
    }

    auto *flick = w.find(scroll);
    QVERIFY(flick && flick->isVisible());
    const QList<QQuickItem *> rows = w.delegates(list, delegate);
    QVERIFY(rows.size() >= 8);
    QTRY_VERIFY(flick->property("contentHeight").toReal() > flick->height());
    QQuickItem *bar = nullptr;
    for (QQuickItem *child : flick->childItems()) {
        if (child->inherits("QQuickScrollBar"))
            bar = child;
    }
    QVERIFY(bar && bar->isVisible());

    // The list ends above the buttons, which all stay on the window.
    const qreal listBottom = flick->mapToScene(QPointF(0, flick->height())).y();
    QVERIFY(listBottom <= w.window->contentItem()->height());
    for (const QString &name : buttons) {
        QQuickItem *button = w.find(name);
        QVERIFY2(button && button->isVisible(), qPrintable(name));
        const QRectF place = button->mapRectToScene(QRectF(0, 0, button->width(), button->height()));
        QVERIFY2(place.top() >= listBottom && place.bottom() <= w.window->contentItem()->height(), qPrintable(name));
    }

    // The wheel scrolls the list.
    const QPointF centre = flick->mapToScene(QPointF(flick->width() / 2, flick->height() / 2));
    QWheelEvent wheel(centre, w.window->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(w.window, &wheel);
    QTRY_VERIFY(flick->property("contentY").toReal() > 0);
    QTest::qWait(500);

    // End moves the keyboard focus to the last row, which comes into view
    // and can be chosen there.
    flick->setProperty("contentY", 0);
    rows.constFirst()->forceActiveFocus(Qt::TabFocusReason);
    QTest::keyClick(w.window, Qt::Key_End);
    QQuickItem *last = rows.constLast();
    QVERIFY(last->hasActiveFocus());
    QTRY_VERIFY(last->mapRectToScene(QRectF(0, 0, last->width(), last->height())).bottom() <= listBottom + 1);
    QVERIFY(flick->property("contentY").toReal() > 0);
    QVERIFY(w.click(last));
    QVERIFY(last->property("highlighted").toBool());
}

void tst_MainWindow::tabReachesEachChoiceOnce_data()
{
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("stops"); // the first is where the page puts the focus

    const QStringList toDisk{"useLocalFileOnly", "localFile", "chooseDisk"};
    QTest::newRow("products: the grid is one stop")
            << "ready.json" << QStringList() << QStringList{"productButton Alpha"};
    QTest::newRow("products: the chosen product is the grid's stop")
            << "ready.json" << QStringList{"selectProduct:beta", "back"} << QStringList{"productButton Beta Kiosk"};
    QTest::newRow("unusable catalog")
            << "missing.json" << QStringList()
            << QStringList{"retryButton Retry", "localFileOnlyButton Local file…"};
    QTest::newRow("devices")
            << "ready.json" << QStringList{"selectProduct:alpha"}
            << QStringList{"deviceButton Board S", "deviceBackButton Back"};
    QTest::newRow("builds, Next disabled")
            << "ready.json" << QStringList{"selectProduct:alpha", "selectDevice:s"}
            << QStringList{"imageDelegate Build 1.0, Stable, 1.0 kB download", "localFileButton Local file…",
                           "imageBackButton Back"};
    QTest::newRow("local file only: no build")
            << "missing.json" << QStringList{"useLocalFileOnly", "localFile"}
            << QStringList{"localFileButton Local file…", "imageBackButton Back", "nextButton Next"};
    QTest::newRow("cards: the chosen card is the list's stop")
            << "missing.json" << toDisk + QStringList{"selectDisk:b"}
            << QStringList{"diskDelegate 4.0 GB, /dev/sdc", "verifyCheckBox Verify after writing",
                           "diskBackButton Back", "writeButton Write"};
    QTest::newRow("writing") << "missing.json" << toDisk + QStringList{"=Writing"}
                             << QStringList{"cancelWriteButton Cancel"};
    QTest::newRow("result") << "missing.json" << toDisk + QStringList{"=Failed"} << QStringList{"resultButton Back"};
    QTest::newRow("result: Retry first where it can help")
            << "missing.json" << toDisk + QStringList{"=Removed"}
            << QStringList{"retryButton Retry", "resultButton Back"};
    QTest::newRow("done: the card can be ejected")
            << "missing.json" << toDisk + QStringList{"=Ejectable"}
            << QStringList{"resultButton Write another SD card", "ejectButton Eject"};
    QTest::newRow("closing during a write: Keep writing first")
            << "missing.json" << toDisk + QStringList{"=Writing", "close"}
            << QStringList{"keepWritingButton Keep writing", "stopAndCloseButton Stop and close"};
}

// Each page puts the focus on its first choice, with no frame until the
// keyboard is used; Tab goes round every choice once, each named for a screen
// reader, with the focus frame on it; Shift+Tab goes back. On a page with one
// stop, Tab shows the frame where the focus is.
void tst_MainWindow::tabReachesEachChoiceOnce()
{
    QFETCH(QString, manifest);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, stops);

    Window w(m_dir.filePath(manifest));
    QVERIFY(w.window);
    // As when a screen reader starts: the controls describe themselves.
    QAccessible::setActive(true);
    for (const QString &call : calls)
        apply(w, call);
    QTRY_COMPARE(spoken(w.window->activeFocusItem()), stops.constFirst());
    QQuickItem *frame = w.find(QStringLiteral("focusFrame"));
    QVERIFY(frame);
    QVERIFY(!frame->isVisible()); // nothing told of the keyboard yet

    QStringList reached;
    for (int i = 0; i < stops.size(); ++i) {
        pressKeys(w.window, QStringLiteral("Tab"));
        QQuickItem *item = w.window->activeFocusItem();
        QVERIFY2(frame->isVisible() && frame->parentItem() == item, qPrintable(spoken(item)));
        reached.append(spoken(item));
    }
    QCOMPARE(reached, stops.mid(1) + stops.mid(0, 1));
    pressKeys(w.window, QStringLiteral("Shift+Tab"));
    QCOMPARE(spoken(w.window->activeFocusItem()), stops.constLast());
}

void tst_MainWindow::arrowKeysMoveWithinAListOrGrid_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("delegate");
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<int>("to");

    // Three products to a line at the window's first size.
    const QStringList builds{"selectProduct:p1", "selectDevice:d1"};
    QTest::newRow("grid: Right to the next product") << QStringList() << "productButton" << 0 << "Right" << 1;
    QTest::newRow("grid: Right stops at the end of a line") << QStringList() << "productButton" << 2 << "Right" << 2;
    QTest::newRow("grid: Down to the same column") << QStringList() << "productButton" << 1 << "Down Down" << 7;
    QTest::newRow("grid: Up on the first line stays") << QStringList() << "productButton" << 1 << "Up" << 1;
    QTest::newRow("grid: End to the last product") << QStringList() << "productButton" << 4 << "End" << 11;
    QTest::newRow("list: Down to the next build") << builds << "imageDelegate" << 0 << "Down" << 1;
    QTest::newRow("list: Right and Left do nothing") << builds << "imageDelegate" << 3 << "Right Left" << 3;
    QTest::newRow("list: Down passes over a card too small") << QStringList{"disks"} << "diskDelegate" << 0 << "Down"
                                                             << 2;
}

void tst_MainWindow::arrowKeysMoveWithinAListOrGrid()
{
    QFETCH(QStringList, calls);
    QFETCH(QString, delegate);
    QFETCH(int, from);
    QFETCH(QString, keys);
    QFETCH(int, to);

    Window w(m_dir.filePath(QStringLiteral("large.json")));
    QVERIFY(w.window);
    for (const QString &call : calls) {
        if (call == QLatin1String("disks")) {
            w.monitor->setDisks({CardA, CardB, CardC});
            w.backend.selectProduct(QStringLiteral("p1"));
            w.backend.selectDevice(QStringLiteral("d1"));
            w.backend.selectImage(QStringLiteral("b1"));
            w.backend.chooseDisk();
            w.backend.diskChoice().setImageSize(8 * GB);
        } else {
            apply(w, call);
        }
    }
    QTest::qWait(50);
    const QList<QQuickItem *> rows = w.delegates(listOf(delegate), delegate);
    QVERIFY(rows.size() > std::max(from, to));
    rows.at(from)->forceActiveFocus(Qt::TabFocusReason);
    pressKeys(w.window, keys);
    QCOMPARE(rows.indexOf(w.window->activeFocusItem()), to);
}

void tst_MainWindow::enterAndSpaceChoose_data()
{
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("focus"); // an object name, or a delegate's
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("outcome");

    const QStringList toDisk{"useLocalFileOnly", "localFile", "chooseDisk"};
    const QStringList withCard = toDisk + QStringList{"selectDisk:a"};
    const QStringList builds{"selectProduct:alpha", "selectDevice:s"};
    QTest::newRow("Space on a build chooses it")
            << "ready.json" << builds << "imageDelegate" << "Space" << "imagePage product=alpha image=stable";
    QTest::newRow("Enter on Back goes back, not on")
            << "ready.json" << builds + QStringList{"selectImage:stable"} << "imageBackButton" << "Return"
            << "devicePage product=alpha image=stable";
    QTest::newRow("Enter on a card chooses it and asks") << "missing.json" << toDisk << "diskDelegate" << "Return"
                                                         << "diskPage disk=a asked";
    QTest::newRow("Space on the check box ticks it off") << "missing.json" << withCard << "verifyCheckBox" << "Space"
                                                         << "diskPage disk=a unverified";
    QTest::newRow("Enter without a card asks nothing") << "missing.json" << toDisk << "verifyCheckBox" << "Return"
                                                       << "diskPage";
    QTest::newRow("question: Enter on Cancel, the focused button") << "missing.json" << withCard << "writeButton"
                                                                   << "Return Return" << "diskPage disk=a";
}

void tst_MainWindow::enterAndSpaceChoose()
{
    QFETCH(QString, manifest);
    QFETCH(QStringList, calls);
    QFETCH(QString, focus);
    QFETCH(QString, keys);
    QFETCH(QString, outcome);

    Window w(m_dir.filePath(manifest));
    QVERIFY(w.window);
    for (const QString &call : calls)
        apply(w, call);
    QTest::qWait(50);
    QQuickItem *item = listOf(focus).isEmpty() ? w.find(focus) : w.delegates(listOf(focus), focus).value(0);
    QVERIFY(item && item->isVisible());
    item->forceActiveFocus(Qt::TabFocusReason);
    QObject *dialog = w.find<QObject>(QStringLiteral("confirmDialog"));
    QVERIFY(dialog);
    QSignalSpy asked(dialog, SIGNAL(opened()));
    QSignalSpy accepted(dialog, SIGNAL(accepted()));
    pressKeys(w.window, keys);

    static const QStringList pages{"productPage", "devicePage", "imagePage", "diskPage", "writingPage", "resultPage"};
    QStringList shown{pages.value(w.find(QStringLiteral("pageStack"))->property("currentIndex").toInt())};
    if (!w.backend.productId().isEmpty())
        shown.append(QStringLiteral("product=") + w.backend.productId());
    if (!w.backend.imageId().isEmpty())
        shown.append(QStringLiteral("image=") + w.backend.imageId());
    if (!w.backend.diskId().isEmpty())
        shown.append(QStringLiteral("disk=") + w.backend.diskId());
    if (!w.backend.verify())
        shown.append(QStringLiteral("unverified"));
    if (dialog->property("visible").toBool() && !asked.isEmpty())
        shown.append(QStringLiteral("asked"));
    if (!accepted.isEmpty())
        shown.append(QStringLiteral("erasing"));
    QCOMPARE(shown.join(QLatin1Char(' ')), outcome);
}

// The result page's buttons change with the outcome while the page is
// hidden behind the writing page ("Write another SD card", Eject); they are
// laid out anew when it shows.
void tst_MainWindow::resultButtonsStayOnTheWindow()
{
    auto w = openWindow();
    QVERIFY(w->window);
    toDiskPage(*w);
    apply(*w, QStringLiteral("=Writing"));
    QTest::qWait(50);
    apply(*w, QStringLiteral("=Ejectable"));
    QQuickItem *button = w->find(QStringLiteral("resultButton"));
    QVERIFY(button);
    QTRY_VERIFY(button->isVisible());
    QTRY_COMPARE(button->mapToScene(QPointF(button->width(), 0)).x(), qreal(w->window->width() - 24));
}

// Nothing is left to stop: the question goes, the window stays and shows
// the result.
void tst_MainWindow::closeQuestionGoesWhenTheWriteEnds()
{
    auto w = openWindow();
    QVERIFY(w->window);
    toDiskPage(*w);
    apply(*w, QStringLiteral("=Writing"));
    apply(*w, QStringLiteral("close"));
    QObject *question = w->find<QObject>(QStringLiteral("closeQuestion"));
    QVERIFY(question);
    QTRY_VERIFY(question->property("opened").toBool());

    apply(*w, QStringLiteral("=Done"));
    QTRY_VERIFY(!question->property("visible").toBool());
    QVERIFY(w->window->isVisible());
    QTRY_COMPARE(w->window->activeFocusItem()->objectName(), QStringLiteral("resultButton"));
}

void tst_MainWindow::focusOutlivesTheFocusedCard_data()
{
    QTest::addColumn<QString>("cards"); // listed after the change, by id
    QTest::addColumn<QString>("focus");

    QTest::newRow("a card inserted: the focused card keeps it") << "abc" << "diskDelegate 4.0 GB, /dev/sdc";
    QTest::newRow("the focused card removed: the first card takes it")
            << "a" << "diskDelegate Card Reader, 16.0 GB, /dev/sdb";
    QTest::newRow("every card removed: the check box takes it") << "" << "verifyCheckBox Verify after writing";
}

// The list of cards is made anew at every change; a keyboard user whose card
// row goes keeps a focus, with its frame, on the page.
void tst_MainWindow::focusOutlivesTheFocusedCard()
{
    QFETCH(QString, cards);
    QFETCH(QString, focus);

    auto w = openWindow();
    QVERIFY(w->window);
    QAccessible::setActive(true);
    toDiskPage(*w);
    QTest::qWait(50);
    QQuickItem *row = w->delegates(QStringLiteral("diskList"), QStringLiteral("diskDelegate")).value(1);
    QVERIFY(row);
    row->forceActiveFocus(Qt::TabFocusReason);

    QList<Disk> listed;
    for (const QChar id : cards)
        listed.append(id == QLatin1Char('a') ? CardA : id == QLatin1Char('b') ? CardB : CardC);
    w->monitor->setDisks(listed);
    QTRY_COMPARE(spoken(w->window->activeFocusItem()), focus);
    QVERIFY(w->window->activeFocusItem()->property("visualFocus").toBool());
}

void tst_MainWindow::droppedImageFileIsUsed_data()
{
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("page"); // shown after the drop; empty: the drop is refused

    QTest::newRow("on the product page") << QStringList() << "card image.img" << "imagePage";
    QTest::newRow("on the image page") << QStringList{"useLocalFileOnly"} << "card image.img" << "imagePage";
    QTest::newRow("a file of another kind") << QStringList() << "ready.json" << "";
    QTest::newRow("on the disk page") << QStringList{"useLocalFileOnly", "localFile", "chooseDisk"}
                                      << "other.img" << "";
}

// A file dragged from a file manager over the window and dropped there.
void tst_MainWindow::droppedImageFileIsUsed()
{
    QFETCH(QStringList, calls);
    QFETCH(QString, file);
    QFETCH(QString, page);

    const std::unique_ptr<Window> w = openWindow();
    QVERIFY(w->window);
    for (const QString &call : calls)
        apply(*w, call);
    const QUrl before = w->backend.imageUrl();

    QMimeData data;
    const QUrl url = QUrl::fromLocalFile(m_dir.filePath(file));
    if (!QFile::exists(url.toLocalFile()))
        QVERIFY(writeFile(url.toLocalFile(), QByteArray(4096, '\0')));
    data.setUrls({url});
    const QPoint centre(w->window->width() / 2, w->window->height() / 2);
    QDragEnterEvent enter(centre, Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w->window, &enter);
    QCOMPARE(enter.isAccepted(), !page.isEmpty());
    QDropEvent drop(QPointF(centre), Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w->window, &drop);

    QCOMPARE(w->backend.imageUrl(), page.isEmpty() ? before : url);
    if (!page.isEmpty()) {
        QTRY_VERIFY(w->find(page)->isVisible());
        QCOMPARE(AppWindow::text(w->find(QStringLiteral("localFileLabel"))), file);
    }
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
