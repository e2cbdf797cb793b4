// The logging entry point and the shown form of a line.

#include "core/Log.h"

#include <QtTest>

namespace {

struct Line
{
    QString category;
    int level;
    QString text;
    Item* item;
};

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { ClearLogSink(); }

    void withoutSinkLinesAreDropped();
    void sinkReceivesEveryArgument();
    void sinkCanBeReplacedAndRemoved();
    void sinkMayRemoveItselfWhileHandlingALine();
    void formatLine_data();
    void formatLine();
};

void TestLog::withoutSinkLinesAreDropped()
{
    QVERIFY(!HasLogSink());
    Log("server", 1, "nobody listens");
}

void TestLog::sinkReceivesEveryArgument()
{
    QList<Line> lines;
    SetLogSink([&lines](const QString& c, int l, const QString& t, ItemPtr i) { lines.append({c, l, t, i.Get()}); });
    QVERIFY(HasLogSink());

    // Only compared, never dereferenced.
    int anchor = 0;
    Item* marker = reinterpret_cast<Item*>(&anchor);

    Log("Peer Messenger", 3, QString::fromUtf8("caf\xC3\xA9"), ItemPtr(marker));
    Log("server", 1, "plain");
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].category, QString("Peer Messenger"));
    QCOMPARE(lines[0].level, 3);
    QCOMPARE(lines[0].text, QString::fromUtf8("caf\xC3\xA9"));
    QCOMPARE(lines[0].item, marker);
    QCOMPARE(lines[1].item, nullptr);
}

void TestLog::sinkCanBeReplacedAndRemoved()
{
    int first = 0;
    int second = 0;
    SetLogSink([&first](const QString&, int, const QString&, ItemPtr) { ++first; });
    Log("Shared", 1, "a");
    SetLogSink([&second](const QString&, int, const QString&, ItemPtr) { ++second; });
    Log("Shared", 1, "b");
    ClearLogSink();
    Log("Shared", 1, "c");
    QCOMPARE(first, 1);
    QCOMPARE(second, 1);
}

void TestLog::sinkMayRemoveItselfWhileHandlingALine()
{
    // A view that goes away while a line is shown: the function it set must
    // survive until it returns (checked by the sanitizer).
    auto calls = std::make_shared<int>(0);
    SetLogSink([calls](const QString&, int, const QString& t, ItemPtr) {
        ClearLogSink();
        ++*calls;
        QCOMPARE(t, QString("last"));
    });
    Log("Search", 1, "last");
    Log("Search", 1, "dropped");
    QCOMPARE(*calls, 1);
    QVERIFY(!HasLogSink());
}

void TestLog::formatLine_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("indent");
    QTest::newRow("negative") << -2 << "";
    QTest::newRow("zero") << 0 << "";
    QTest::newRow("one") << 1 << "";
    QTest::newRow("two") << 2 << "   ";
    QTest::newRow("three") << 3 << "      ";
}

void TestLog::formatLine()
{
    QFETCH(int, level);
    QFETCH(QString, indent);
    const QDateTime when(QDate(2024, 2, 29), QTime(13, 5, 9));
    const QString line = FormatLogLine(level, "Connected to peer", when);
    QCOMPARE(line, "[" + when.toString(Qt::TextDate) + "] " + indent + "Connected to peer");
    QVERIFY(line.contains("13:05:09"));

    // The default time stamp is now.
    const QString now = FormatLogLine(level, "x");
    QVERIFY(now.startsWith('['));
    QVERIFY(now.endsWith("] " + indent + "x"));
}

QTEST_MAIN(TestLog)
#include "test_log.moc"
