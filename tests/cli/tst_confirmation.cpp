#include "cli/confirmation.h"

#include <QTest>

class TestConfirmation : public QObject
{
    Q_OBJECT

private slots:
    void names_data()
    {
        const QStringList two{QStringLiteral("/dev/sdb"), QStringLiteral("/dev/sdc")};
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("confirmed");
        QTest::newRow("both, in order") << "/dev/sdb /dev/sdc" << two << true;
        QTest::newRow("both, the other way round, extra blanks") << "  /dev/sdc   /dev/sdb " << two << true;
        QTest::newRow("one of two") << "/dev/sdb" << two << false;
        QTest::newRow("one twice") << "/dev/sdb /dev/sdb" << two << false;
        QTest::newRow("a name too many") << "/dev/sdb /dev/sdc /dev/sdd" << two << false;
        QTest::newRow("nothing") << "" << two << false;
        QTest::newRow("a Windows drive with its letter")
                << "PhysicalDrive2 (E:)" << QStringList{QStringLiteral("PhysicalDrive2 (E:)")} << true;
        QTest::newRow("a path with a blank, beside a disk")
                << "/dev/sdb /tmp/my cards/a.img" << QStringList{QStringLiteral("/tmp/my cards/a.img"), QStringLiteral("/dev/sdb")}
                << true;
        QTest::newRow("a path with a blank, only in part") << "/tmp/my" << QStringList{QStringLiteral("/tmp/my cards/a.img")}
                                                            << false;
    }

    void names()
    {
        QFETCH(QString, typed);
        QFETCH(QStringList, names);
        QFETCH(bool, confirmed);
        QCOMPARE(namesConfirmed(typed, names), confirmed);
    }
};

QTEST_GUILESS_MAIN(TestConfirmation)
#include "tst_confirmation.moc"
