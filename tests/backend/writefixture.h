#pragma once

#include "backend/backend.h"
#include "backendwaits.h"
#include "cardimage.h"
#include "nginxserver.h"
#include "scriptedcard.h"
#include "scripteddiskmonitor.h"
#include "testcache.h"
#include "testfiles.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QSignalSpy>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

// What the write tests through the Backend share: FAT card images made with
// mkfs.fat, the archives of them made with zip, a catalog of builds of them
// served by nginx on 127.0.0.1 (and readable as a file), and small helpers
// to drive a Backend through a write.

using BootFiles = QMap<QString, QByteArray>;

// A file made for the tests, with what a catalog says about it.
struct FixtureFile
{
    QString path;
    qint64 size = 0;
    QByteArray sha256; // raw

    QString hex() const { return QString::fromLatin1(sha256.toHex()); }
    static FixtureFile of(const QString &path);
};

extern const BootFiles ProductFiles; // of the product Alpha
extern const BootFiles CustomFiles;  // of its build "custom"
// A file that the images bring along; the boot files must leave it alone.
extern const QByteArray ImageText;
extern const QString CardId; // the one disk of attachCard()
extern const qint64 ListedCardSize;

extern const QString DownloadCancelled;
extern const QString WritingCancelled;
extern const QString VerifyingCancelled;
extern const QString ProductNotSet;

class WriteFixture
{
public:
    // Makes the files and starts nginx; false with *error set on failure.
    bool create(QString *error);
    // For initTestCase: the tests' own download cache, then create(), whose
    // failure fails the test case.
    void setUp();

    QString www(const QString &path) const;
    QString file(const QString &name) const; // outside the served folder
    QString catalogPath() const;
    QString catalogUrl() const;
    NginxServer &nginx() { return *m_nginx; }

    // A build entry of device "s".
    QJsonObject buildEntry(const QString &id, const QString &name, const QString &version, const QString &url,
                           const FixtureFile &archive, const FixtureFile &image) const;
    // Product Alpha with boot files of its own, its build "stable" (Stable,
    // 2.1) that uses them and its build "custom" (Custom, 3.0) that brings
    // its own, both of the FAT32 archive at builds/card32.zip beside the
    // catalog; then the extra builds.
    QByteArray catalogDocument(const QList<QJsonObject> &extra, bool withStable = true) const;
    bool writeCatalog(const QList<QJsonObject> &extra = {});
    // A build "slow" of random bytes from /slow/, 32 s to download whole.
    QJsonObject slowBuild() const;
    // Publishes build "padded" (Padded, 1) from /slow/: a ZIP of card16's
    // image among seconds' worth of incompressible bytes (paddingSeconds at
    // the slow rate), so that a run can be caught while it downloads; the
    // archive in *archive. An empty string on success, else what went wrong.
    QString writePaddedCatalog(int paddingSeconds, quint32 seed, FixtureFile *archive);

    CardImage card32; // FAT32
    CardImage card16; // FAT16, more than one write chunk
    FixtureFile image32;
    FixtureFile image16;
    FixtureFile archive32; // deflated
    FixtureFile archive16; // deflated
    FixtureFile damaged;   // stored, one bit changed in the image data
    FixtureFile encrypted;
    FixtureFile zeros; // an image without a partition table
    FixtureFile zerosArchive; // and zipped, at builds/zeros.zip beside the catalog
    FixtureFile big;   // random bytes

private:
    QTemporaryDir m_dir;
    std::unique_ptr<NginxServer> m_nginx;
};

// What the test cases of writes through the Backend start with: one fixture
// for the whole case, an empty download cache for each test.
class WriteTestCase : public QObject
{
    Q_OBJECT

protected:
    WriteFixture m_fixture;

protected slots:
    void initTestCase() { m_fixture.setUp(); }
    void init() { testcache::clear(); }
};

// Counts every signal an object emits.
class SignalLog
{
public:
    explicit SignalLog(QObject *object);
    int count() const;

private:
    std::vector<std::unique_ptr<QSignalSpy>> m_spies;
};

bool waitForEnd(Backend &backend);
// Selects the disk, starts the write and waits for its end; false when the
// write could not start or did not end.
bool writeOnto(Backend &backend, const QString &diskId);
// Product Alpha, device s, the build, then the disk step.
void chooseBuild(Backend &backend, const QString &image);
// Gives the Backend one disk, CardId, whose devices are ScriptedCards.
ScriptedDiskMonitor *attachCard(Backend &backend, const ScriptedCard::Script &script,
                                qint64 listedSize = ListedCardSize, std::function<void()> pauseAction = {});
// Fails the current test unless the card holds the image's file system,
// checked by fsck.fat, with the image's file and exactly these boot files.
void checkCard(const QString &path, const CardImage &layout, const BootFiles &files);
