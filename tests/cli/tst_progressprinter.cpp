#include "cli/progressprinter.h"

#include <QTest>

using Phase = WriteJob::Phase;

namespace {

constexpr qint64 MB = 1000 * 1000;

// A printer whose terminal, clock and streams the test holds.
struct Printed
{
    QString text;
    QList<QJsonObject> records;
    int width = 40;
    qint64 now = 0;

    ProgressPrinter::Output output()
    {
        return {[this](const QString &t) { text += t; }, [this](const QJsonObject &r) { records << r; },
                [this] { return width; }, [this] { return now; }};
    }
    QString take() { return std::exchange(text, QString()); }
};

} // namespace

// What a card's progress looks like on a terminal of a given width, and
// without a terminal, where the lines must be few but show a slow card alive.
class TestProgressPrinter : public QObject
{
    Q_OBJECT

private slots:
    // Every running card's line fits the terminal, one column to spare, so
    // that rewriting the lines in place never scrolls.
    void linesFitTheTerminal_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("line");
        QTest::newRow("wide") << 80 << "/tmp/card-a.img: Writing 25%";
        QTest::newRow("one column to spare") << 29 << "/tmp/card-a.img: Writing 25%";
        QTest::newRow("narrow") << 20 << "/tmp/card-a.img: W…";
        QTest::newRow("width unknown") << 0 << "/tmp/card-a.img: Writing 25%";
    }
    void linesFitTheTerminal()
    {
        QFETCH(int, width);
        QFETCH(QString, line);
        Printed printed;
        printed.width = width;
        ProgressPrinter printer(ProgressPrinter::Mode::Terminal, ProgressPrinter::Work::Write, true, {},
                                printed.output());
        printer.addCard(QStringLiteral("/tmp/card-a.img"));
        printed.take();
        printer.progress(0, Phase::Writing, 25 * MB, 100 * MB);
        QCOMPARE(printed.take(), QStringLiteral("\x1b[1A\r\x1b[K%1\n\r\x1b[J").arg(line));
    }

    // After a resize the lines drawn at the old width may have been folded
    // by the terminal: the cursor goes back over every row they now take.
    void resizeRedraws()
    {
        Printed printed;
        printed.width = 60;
        ProgressPrinter printer(ProgressPrinter::Mode::Terminal, ProgressPrinter::Work::Write, true, {},
                                printed.output());
        printer.addCard(QStringLiteral("/tmp/card-a.img"));
        printer.addCard(QStringLiteral("/tmp/card-b.img"));
        printer.progress(0, Phase::Writing, 25 * MB, 100 * MB);
        printer.progress(1, Phase::Writing, 50 * MB, 100 * MB);
        printed.take();

        printed.width = 14;
        printer.resized();
        QCOMPARE(printed.take(), QStringLiteral("\x1b[4A\r\x1b[K/tmp/card-a.…\n\r\x1b[K/tmp/card-b.…\n\r\x1b[J"));
    }

    // A card that ends gets a line of its own above the running ones, whole.
    void endedCardsStay()
    {
        Printed printed;
        printed.width = 30;
        ProgressPrinter printer(ProgressPrinter::Mode::Terminal, ProgressPrinter::Work::Write, true, {},
                                printed.output());
        printer.addCard(QStringLiteral("a.img"));
        printer.addCard(QStringLiteral("b.img"));
        printer.progress(1, Phase::Writing, 50 * MB, 100 * MB);
        printed.take();
        printer.finished(0, WriteJob::Error::TargetRemoved, QStringLiteral("The SD card was removed."), {});
        QCOMPARE(printed.take(),
                 QStringLiteral("\x1b[2A\r\x1b[Ka.img: failed: The SD card was removed.\n\r\x1b[Kb.img: Writing 50%\n"
                                "\r\x1b[J"));
    }

    // Without a terminal a card says so at each tenth of its phase, or when
    // 30 s passed since its last line, and at no other report.
    void linesWithoutTerminal()
    {
        Printed printed;
        ProgressPrinter printer(ProgressPrinter::Mode::Lines, ProgressPrinter::Work::Write, false, {},
                                printed.output());
        printer.addCard(QStringLiteral("a.img"));
        printer.progress(0, Phase::Writing, 0, 100 * MB);
        QCOMPARE(printed.take(), QStringLiteral("a.img: Writing\n"));
        // Reports every 2 % and 2 s: a line at 10 %, 20 % ...
        QStringList lines;
        for (int percent = 2; percent <= 30; percent += 2) {
            printed.now += 2000;
            printer.progress(0, Phase::Writing, percent * MB, 100 * MB);
            if (!printed.text.isEmpty())
                lines << printed.take();
        }
        QCOMPARE(lines, (QStringList{QStringLiteral("a.img: Writing 10% 1.0 MB/s about 2 min left\n"),
                                     QStringLiteral("a.img: Writing 20% 1.0 MB/s about 2 min left\n"),
                                     QStringLiteral("a.img: Writing 30% 1.0 MB/s about 2 min left\n")}));
        // A card that crawls: nothing for 29 s, then a line at 30 s.
        printed.now += 29000;
        printer.progress(0, Phase::Writing, 31 * MB, 100 * MB);
        QCOMPARE(printed.take(), QString());
        printed.now += 1000;
        printer.progress(0, Phase::Writing, 32 * MB, 100 * MB);
        const QString alive = printed.take();
        QVERIFY2(alive.startsWith(QStringLiteral("a.img: Writing 32% ")), qPrintable(alive));
        // A new phase starts its tenths anew.
        printer.progress(0, Phase::Verifying, 0, 100 * MB);
        QCOMPARE(printed.take(), QStringLiteral("a.img: Verifying\n"));
        printer.progress(0, Phase::Verifying, 5 * MB, 100 * MB);
        QCOMPARE(printed.take(), QString());
    }
};

QTEST_GUILESS_MAIN(TestProgressPrinter)
#include "tst_progressprinter.moc"
