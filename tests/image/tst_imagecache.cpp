#include "image/imagecache.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString stemOf(const char *text)
{
    return QString::fromLatin1(sha256(text).toHex());
}

} // namespace

class TestImageCache : public QObject
{
    Q_OBJECT

private slots:
    void namesFilesByLowercaseDigest()
    {
        const ImageCache cache(QStringLiteral("/var/cache/x"));
        const QByteArray digest("\x00\xAB\x10", 3);
        QCOMPARE(cache.dir(), QStringLiteral("/var/cache/x"));
        QCOMPARE(cache.pathFor(digest), QStringLiteral("/var/cache/x/00ab10.zip"));
        QCOMPARE(cache.partialPathFor(digest), QStringLiteral("/var/cache/x/00ab10.part"));
        QCOMPARE(cache.lockPathFor(digest), QStringLiteral("/var/cache/x/00ab10.lock"));
    }

    void prune_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("folders");
        QTest::addColumn<QList<QByteArray>>("keep");
        QTest::addColumn<QStringList>("left");

        const QString kept = stemOf("kept");
        const QString other = stemOf("other");
        const QList<QByteArray> keepKept { sha256("kept") };

        QTest::newRow("kept digest keeps both its files")
                << QStringList { kept + ".zip", kept + ".part", other + ".zip", other + ".part" }
                << QStringList() << keepKept
                << QStringList { kept + ".part", kept + ".zip" };
#ifdef Q_OS_WIN
        // Names that differ only in letter case are one file there.
        QTest::newRow("a kept digest's file under an uppercase name stays")
                << QStringList { "OLD.ZIP", "old.Part", kept.toUpper() + ".ZIP", kept + ".zip" }
                << QStringList() << keepKept << QStringList { kept.toUpper() + ".ZIP" };
#else
        QTest::newRow("uppercase names removed, even of a kept digest")
                << QStringList { "OLD.ZIP", "old.Part", kept.toUpper() + ".ZIP", kept + ".zip" }
                << QStringList() << keepKept << QStringList { kept + ".zip" };
#endif
        QTest::newRow("other files and archive-named folders stay")
                << QStringList { "notes.txt", other + ".zip.bak", other + ".zip" }
                << QStringList { "x.zip", other + ".part" } << keepKept
                << QStringList { other + ".part/", other + ".zip.bak", "notes.txt", "x.zip/" };
        QTest::newRow("only the part before the first point is compared")
                << QStringList { kept + ".tmp.zip", other + ".tmp.part" }
                << QStringList() << keepKept << QStringList { kept + ".tmp.zip" };
        // What a build with an empty digest leaves behind.
        QTest::newRow("hidden files of an empty digest removed")
                << QStringList { ".part", ".zip", ".hidden.txt" } << QStringList { ".x.part" } << keepKept
                << QStringList { ".hidden.txt", ".x.part/" };
        QTest::newRow("empty keep list removes every archive")
                << QStringList { kept + ".zip", other + ".part", "readme" }
                << QStringList() << QList<QByteArray>() << QStringList { "readme" };
    }

    void prune()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, folders);
        QFETCH(QList<QByteArray>, keep);
        QFETCH(QStringList, left);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (const QString &name : files) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("bytes");
        }
        for (const QString &name : folders)
            QVERIFY(QDir(dir.path()).mkdir(name));

        ImageCache(dir.path()).prune(keep);
        QCOMPARE(folderEntries(dir.path()), left);
    }

    // Another process's download of a digest that left this catalog must
    // not have its files removed under it; they go once it has ended.
    void pruneLeavesTheFilesOfARunningDownload()
    {
        QTemporaryDir dir;
        const ImageCache cache(dir.path());
        const QByteArray other = sha256("other");
        QVERIFY(writeFile(cache.partialPathFor(other), "bytes"));
        QLockFile running(cache.lockPathFor(other));
        QVERIFY(running.tryLock(0));
        cache.prune({ sha256("kept") });
        QCOMPARE(folderEntries(dir.path()), QStringList({ stemOf("other") + ".lock", stemOf("other") + ".part" }));
        running.unlock();
        cache.prune({ sha256("kept") });
        QCOMPARE(folderEntries(dir.path()), QStringList());
    }

    void pruneOfAMissingFolderCreatesNothing()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("images"));
        ImageCache(missing).prune({ sha256("kept") });
        QVERIFY(!QFileInfo::exists(missing));
    }
};

QTEST_GUILESS_MAIN(TestImageCache)
#include "tst_imagecache.moc"
