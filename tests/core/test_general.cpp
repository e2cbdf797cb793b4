// Path, number and text helpers, the text conversions and the focus helpers.

#include "core/GeneralFunctions.h"
#include "core/LiveAddresses.h"
#include "core/TextConversion.h"

#include <QApplication>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <climits>
#include <functional>
#include <map>
#include <vector>

namespace {

using PathFunction = std::function<std::string(const std::string&)>;

const std::map<QString, PathFunction>& PathFunctions()
{
    static const std::map<QString, PathFunction> functions = {
        {"GetFolder", GetFolder},
        {"GetFileName", GetFileName},
        {"GetParentFolder", GetParentFolder},
        {"GetAbsoluteFileName", GetAbsoluteFileName},
        {"GetFileExtension", GetFileExtension},
        {"ReversePathname", ReversePathname},
    };
    return functions;
}

std::string S(const QByteArray& i_bytes)
{
    return std::string(i_bytes.constData(), size_t(i_bytes.size()));
}

// What is left of rich text once the anchors that ConvertLinks makes are
// taken out must hold no markup; inside an anchor the address must hold no
// quote or angle bracket and be the same in the target and the text.
void CheckNoInjection(const QString& i_html)
{
    static const QRegularExpression anchor(QStringLiteral("<a href=\"([^\"<>]*)\">([^\"<>]*)</a>"));
    QString rest = i_html;
    QRegularExpressionMatchIterator it = anchor.globalMatch(i_html);
    while (it.hasNext())
    {
        const QRegularExpressionMatch m = it.next();
        QCOMPARE(m.captured(1), m.captured(2));
        QVERIFY2(m.captured(1).startsWith("http://", Qt::CaseInsensitive)
                     || m.captured(1).startsWith("https://", Qt::CaseInsensitive),
                 qPrintable(m.captured(1)));
    }
    rest.remove(anchor);
    QVERIFY2(!rest.contains('<') && !rest.contains('>') && !rest.contains('"'), qPrintable(i_html));
}

} // namespace

class TestGeneral : public QObject
{
    Q_OBJECT

private slots:
    void paths_data();
    void paths();
    void formatSeconds_data();
    void formatSeconds();
    void commafyNumber_data();
    void commafyNumber();
    void getBit_data();
    void getBit();
    void escapeHTML_data();
    void escapeHTML();
    void convertLinks_data();
    void convertLinks();
    void escapeThenLink_data();
    void escapeThenLink();

    void latin1RoundTripsAllBytes();
    void utf8();

    void focusSelectsNestedPagesInnerFirst_data();
    void focusSelectsNestedPagesInnerFirst();
    void focusOrderDecidesWhoKeepsFocus();
    void focusNullAndUntabbed();

    void liveAddressesFollowListing();
};

void TestGeneral::paths_data()
{
    QTest::addColumn<QString>("function");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    auto row = [](const char* i_fn, const char* i_tag, const QByteArray& i_in, const QByteArray& i_out) {
        QTest::addRow("%s: %s", i_fn, i_tag) << QString(i_fn) << i_in << i_out;
    };

    row("GetFolder", "empty", "", "");
    row("GetFolder", "no separator", "file", "file");
    row("GetFolder", "slash", "a/b", "a");
    row("GetFolder", "backslash", "a\\b\\c", "a\\b");
    row("GetFolder", "mixed", "a\\b/c", "a\\b");
    row("GetFolder", "one trailing dropped", "a\\b\\", "a");
    row("GetFolder", "only one trailing dropped", "a/b//", "a/b");
    row("GetFolder", "trailing, no other separator", "a/", "a");
    row("GetFolder", "leading separator", "/a", "");
    row("GetFolder", "separator only", "/", "");
    row("GetFolder", "dots", "a.d/b.mp3", "a.d");

    row("GetFileName", "empty", "", "");
    row("GetFileName", "no separator", "file.mp3", "file.mp3");
    row("GetFileName", "slash", "a/b/c.mp3", "c.mp3");
    row("GetFileName", "mixed", "a/b\\c", "c");
    row("GetFileName", "trailing dropped", "a\\b\\", "b");
    row("GetFileName", "run of trailing", "a//", "");
    row("GetFileName", "separator only", "\\", "");

    row("GetParentFolder", "empty", "", "");
    row("GetParentFolder", "no separator", "folder", "");
    row("GetParentFolder", "backslash", "a\\b\\c", "a\\b");
    row("GetParentFolder", "mixed", "a/b\\c", "a/b");
    row("GetParentFolder", "drive", "C:\\music", "C:");
    row("GetParentFolder", "run of trailing backslashes", "a\\b\\\\\\", "a");
    row("GetParentFolder", "one trailing slash", "a/b/", "a");
    row("GetParentFolder", "backslashes then one slash", "a\\b/\\\\", "a");
    row("GetParentFolder", "two trailing slashes drop one", "a/b//", "a/b");
    row("GetParentFolder", "only separators", "\\\\\\", "");
    row("GetParentFolder", "leading separator only", "\\a", "");

    row("GetAbsoluteFileName", "empty", "", "");
    row("GetAbsoluteFileName", "lower-cases A-Z", "Music\\ABC.MP3", "music\\abc.mp3");
    row("GetAbsoluteFileName", "runs keep first", "a//b\\\\c/\\/d", "a/b\\c/d");
    row("GetAbsoluteFileName", "trailing run", "Dir\\/", "dir");
    row("GetAbsoluteFileName", "separator only", "/", "");
    row("GetAbsoluteFileName", "non-ASCII bytes untouched", "\xC3\x89T\xC9", "\xC3\x89t\xC9");

    row("GetFileExtension", "empty", "", "");
    row("GetFileExtension", "upper case", "Song.MP3", "mp3");
    row("GetFileExtension", "last dot", "a.tar.GZ", "gz");
    row("GetFileExtension", "no dot", "README", "");
    row("GetFileExtension", "trailing dot", "name.", "");
    row("GetFileExtension", "leading dot", ".hidden", "hidden");
    row("GetFileExtension", "dot in folder only", "dir.d/file", "");
    row("GetFileExtension", "dot in folder and file", "dir.d\\file.Ogg", "ogg");
    row("GetFileExtension", "non-ASCII kept", "x.\xC9T", "\xC9t");

    row("ReversePathname", "empty", "", "");
    row("ReversePathname", "backslashes", "Music\\Artist\\Album", "Album/Artist/Music");
    row("ReversePathname", "trailing", "a\\b\\", "b/a");
    row("ReversePathname", "mixed", "a/b\\c", "c/b/a");
    row("ReversePathname", "runs", "a//b\\\\\\c", "c/b/a");
    row("ReversePathname", "leading", "\\a\\b", "b/a");
    row("ReversePathname", "single", "single", "single");
    row("ReversePathname", "separators only", "\\/\\", "");
}

void TestGeneral::paths()
{
    QFETCH(QString, function);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const std::string result = PathFunctions().at(function)(S(input));
    QCOMPARE(QByteArray::fromStdString(result), expected);
}

void TestGeneral::formatSeconds_data()
{
    QTest::addColumn<long>("seconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0L << "0m0s";
    QTest::newRow("under a minute") << 59L << "0m59s";
    QTest::newRow("a minute") << 60L << "1m0s";
    QTest::newRow("205") << 205L << "3m25s";
    QTest::newRow("just under an hour") << 3599L << "59m59s";
    QTest::newRow("an hour") << 3600L << "1h0m0s";
    QTest::newRow("just under a day") << 86399L << "23h59m59s";
    QTest::newRow("a day") << 86400L << "1d0h0m0s";
    QTest::newRow("day, hour, minute, second") << 90061L << "1d1h1m1s";
    QTest::newRow("many days") << (1000L * 86400 + 5) << "1000d0h0m5s";
    QTest::newRow("negative") << -5L << "0m0s";
}

void TestGeneral::formatSeconds()
{
    QFETCH(long, seconds);
    QFETCH(QString, expected);
    QCOMPARE(FormatSeconds(seconds), expected);
}

void TestGeneral::commafyNumber_data()
{
    QTest::addColumn<qlonglong>("number");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0LL << "";
    QTest::newRow("negative") << -1234LL << "";
    QTest::newRow("minimum") << qlonglong(LLONG_MIN) << "";
    QTest::newRow("one") << 1LL << "1";
    QTest::newRow("three digits") << 999LL << "999";
    QTest::newRow("four digits") << 1000LL << "1,000";
    QTest::newRow("five digits") << 12345LL << "12,345";
    QTest::newRow("six digits") << 123456LL << "123,456";
    QTest::newRow("seven digits") << 1234567LL << "1,234,567";
    QTest::newRow("over 4 GiB") << 5368709120LL << "5,368,709,120";
    QTest::newRow("maximum") << qlonglong(LLONG_MAX) << "9,223,372,036,854,775,807";
}

void TestGeneral::commafyNumber()
{
    QFETCH(qlonglong, number);
    QFETCH(QString, expected);
    QCOMPARE(CommafyNumber(number), expected);
}

void TestGeneral::getBit_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("expected");
    QTest::newRow("lowest set") << 1u << 1 << true;
    QTest::newRow("second clear") << 1u << 2 << false;
    QTest::newRow("6 bit 1") << 6u << 1 << false;
    QTest::newRow("6 bit 2") << 6u << 2 << true;
    QTest::newRow("6 bit 3") << 6u << 3 << true;
    QTest::newRow("highest") << 0x80000000u << 32 << true;
    QTest::newRow("highest clear") << 0x7FFFFFFFu << 32 << false;
    QTest::newRow("n 0") << 0xFFFFFFFFu << 0 << false;
    QTest::newRow("n negative") << 0xFFFFFFFFu << -1 << false;
    QTest::newRow("n 33") << 0xFFFFFFFFu << 33 << false;
}

void TestGeneral::getBit()
{
    QFETCH(uint, value);
    QFETCH(int, n);
    QFETCH(bool, expected);
    QCOMPARE(GetBit(value, n), expected);
}

void TestGeneral::escapeHTML_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("plain") << "hello there" << "hello there";
    QTest::newRow("ampersand") << "a & b" << "a &amp; b";
    QTest::newRow("tags") << "<b>x</b>" << "&lt;b&gt;x&lt;/b&gt;";
    QTest::newRow("quotes") << "say \"hi\"" << "say &quot;hi&quot;";
    QTest::newRow("entity is escaped again") << "&lt;" << "&amp;lt;";
    QTest::newRow("all four") << "&<>\"" << "&amp;&lt;&gt;&quot;";
    QTest::newRow("non-ASCII kept") << QString::fromUtf8("caf\xC3\xA9 'x'") << QString::fromUtf8("caf\xC3\xA9 'x'");
}

void TestGeneral::escapeHTML()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(EscapeHTML(input), expected);
}

void TestGeneral::convertLinks_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no link") << "just text" << "just text";
    QTest::newRow("http") << "see http://a.com now" << "see <a href=\"http://a.com\">http://a.com</a> now";
    QTest::newRow("https with path and query")
        << "https://a.com/x/y?q=1#top" << "<a href=\"https://a.com/x/y?q=1#top\">https://a.com/x/y?q=1#top</a>";
    QTest::newRow("scheme in capitals") << "HTTP://A.COM" << "<a href=\"HTTP://A.COM\">HTTP://A.COM</a>";
    QTest::newRow("trailing full stop") << "go to http://a.com." << "go to <a href=\"http://a.com\">http://a.com</a>.";
    QTest::newRow("trailing comma and question")
        << "http://a.com/x, ok? http://b.org?" << "<a href=\"http://a.com/x\">http://a.com/x</a>, ok? <a href=\"http://b.org\">http://b.org</a>?";
    QTest::newRow("in parentheses") << "(http://a.com/x)" << "(<a href=\"http://a.com/x\">http://a.com/x</a>)";
    QTest::newRow("ampersand entity kept inside")
        << "http://a.com/?a=1&amp;b=2 x" << "<a href=\"http://a.com/?a=1&amp;b=2\">http://a.com/?a=1&amp;b=2</a> x";
    QTest::newRow("entity at the end left outside")
        << "http://a.com/&amp;" << "<a href=\"http://a.com/\">http://a.com/</a>&amp;";
    QTest::newRow("entity before punctuation left outside")
        << "http://a.com/x&amp;." << "<a href=\"http://a.com/x\">http://a.com/x</a>&amp;.";
    QTest::newRow("other entity ends link")
        << "http://a.com/x&nbsp;y" << "<a href=\"http://a.com/x\">http://a.com/x</a>&nbsp;y";
    QTest::newRow("numeric quote entity ends link")
        << "http://a.com/x&#34;y" << "<a href=\"http://a.com/x\">http://a.com/x</a>&#34;y";
    QTest::newRow("bare ampersand kept")
        << "http://a.com/?a&b=1" << "<a href=\"http://a.com/?a&b=1\">http://a.com/?a&b=1</a>";
    QTest::newRow("ftp not linked") << "ftp://a.com/file" << "ftp://a.com/file";
    QTest::newRow("javascript not linked") << "javascript:alert(1)" << "javascript:alert(1)";
    QTest::newRow("data not linked") << "data:text/html,x" << "data:text/html,x";
    QTest::newRow("inside a word not linked") << "xhttp://a.com" << "xhttp://a.com";
    QTest::newRow("scheme alone not linked") << "http:// and https://" << "http:// and https://";
    QTest::newRow("escaped quote ends link")
        << "http://a.com/&quot;onclick=&quot;x"
        << "<a href=\"http://a.com/\">http://a.com/</a>&quot;onclick=&quot;x";
    QTest::newRow("escaped angle ends link")
        << "http://a.com/&lt;script&gt;" << "<a href=\"http://a.com/\">http://a.com/</a>&lt;script&gt;";
    QTest::newRow("raw quote ends link")
        << "http://a.com/\"x" << "<a href=\"http://a.com/\">http://a.com/</a>\"x";
    QTest::newRow("non-ASCII ends link")
        << QString::fromUtf8("http://a.com/caf\xC3\xA9") << QString::fromUtf8("<a href=\"http://a.com/caf\">http://a.com/caf</a>\xC3\xA9");
    QTest::newRow("inside chat markup")
        << "[<font color=\"blue\">bob</font>] http://a.com"
        << "[<font color=\"blue\">bob</font>] <a href=\"http://a.com\">http://a.com</a>";
}

void TestGeneral::convertLinks()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(ConvertLinks(input), expected);
}

void TestGeneral::escapeThenLink_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("expected");
    QTest::newRow("attribute injection")
        << "http://a.com/\"onmouseover=\"alert(1)"
        << "<a href=\"http://a.com/\">http://a.com/</a>&quot;onmouseover=&quot;alert(1)";
    QTest::newRow("link in a tag")
        << "<a href=\"http://x.com\">"
        << "&lt;a href=&quot;<a href=\"http://x.com\">http://x.com</a>&quot;&gt;";
    QTest::newRow("script after link")
        << "http://x.com/<script>alert(1)</script>"
        << "<a href=\"http://x.com/\">http://x.com/</a>&lt;script&gt;alert(1)&lt;/script&gt;";
    QTest::newRow("query with ampersands")
        << "http://x.com/?a=1&b=2&c" << "<a href=\"http://x.com/?a=1&amp;b=2&amp;c\">http://x.com/?a=1&amp;b=2&amp;c</a>";
    QTest::newRow("quoted link") << "\"https://x.com\"" << "&quot;<a href=\"https://x.com\">https://x.com</a>&quot;";
    QTest::newRow("javascript") << "javascript:alert(\"x\")" << "javascript:alert(&quot;x&quot;)";
    QTest::newRow("nested schemes") << "http://a.com/http://b.com" << "<a href=\"http://a.com/http://b.com\">http://a.com/http://b.com</a>";
    QTest::newRow("angle-bracketed link") << "<http://x.com>" << "&lt;<a href=\"http://x.com\">http://x.com</a>&gt;";
    QTest::newRow("typed entity stays text")
        << "http://x.com/&quot;y" << "<a href=\"http://x.com/&amp;quot;y\">http://x.com/&amp;quot;y</a>";
    QTest::newRow("single quotes stay text") << "'http://x.com'" << "'<a href=\"http://x.com\">http://x.com</a>'";
}

void TestGeneral::escapeThenLink()
{
    QFETCH(QString, raw);
    QFETCH(QString, expected);
    const QString html = ConvertLinks(EscapeHTML(raw));
    QCOMPARE(html, expected);
    CheckNoInjection(html);
}

void TestGeneral::latin1RoundTripsAllBytes()
{
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        bytes.push_back(char(b));

    const QString text = FromLatin1(bytes);
    QCOMPARE(text.size(), qsizetype(256));
    for (int b = 0; b < 256; ++b)
        QCOMPARE(text[b].unicode(), ushort(b));
    QVERIFY(ToLatin1(text) == bytes);

    // The UTF-8 reading of the same bytes is lossy; the named helper is not.
    QVERIFY(ToLatin1(QString::fromStdString(bytes)) != bytes);

    QCOMPARE(ToLatin1(QString(QChar(0x20AC))), std::string("?"));
    QVERIFY(ToLatin1(QString()).empty());
    QVERIFY(FromLatin1(std::string()).isEmpty());
}

void TestGeneral::utf8()
{
    const std::string encoded("caf\xC3\xA9 \xF0\x9F\x8E\xB5", 10);
    const QString text = FromUtf8(encoded);
    QCOMPARE(text, QString::fromUtf8("caf\xC3\xA9 \xF0\x9F\x8E\xB5"));
    QCOMPARE(text.size(), qsizetype(7)); // the note is a surrogate pair
    QVERIFY(ToUtf8(text) == encoded);

    const std::string withNul("a\0b", 3);
    QCOMPARE(FromUtf8(withNul).size(), qsizetype(3));
    QVERIFY(ToUtf8(FromUtf8(withNul)) == withNul);
    QCOMPARE(FromLatin1(withNul).size(), qsizetype(3));

    // A Latin-1 name read as UTF-8 would turn into a replacement character.
    QCOMPARE(FromUtf8("\xE9"), QString(QChar(0xFFFD)));
    QCOMPARE(FromLatin1("\xE9"), QString(QChar(0xE9)));
}

namespace {

// outer (pages: outerFirst, outerSecond) > outerSecond holds inner
// (pages: innerFirst, innerSecond) > innerSecond holds the target edit.
struct NestedTabs
{
    QWidget window;
    QTabWidget* outer;
    QTabWidget* inner;
    QLineEdit* other;
    QLineEdit* target;
    QWidget* innerSecond;
    QStringList switches;

    NestedTabs()
    {
        auto* layout = new QVBoxLayout(&window);
        outer = new QTabWidget;
        layout->addWidget(outer);
        auto* outerFirst = new QWidget;
        other = new QLineEdit(outerFirst);
        outer->addTab(outerFirst, "first");
        auto* outerSecond = new QWidget;
        auto* outerLayout = new QVBoxLayout(outerSecond);
        inner = new QTabWidget;
        outerLayout->addWidget(inner);
        outer->addTab(outerSecond, "second");
        inner->addTab(new QWidget, "inner first");
        innerSecond = new QWidget;
        auto* innerLayout = new QVBoxLayout(innerSecond);
        target = new QLineEdit;
        innerLayout->addWidget(target);
        inner->addTab(innerSecond, "inner second");

        QObject::connect(outer, &QTabWidget::currentChanged, [this](int) { switches << "outer"; });
        QObject::connect(inner, &QTabWidget::currentChanged, [this](int) { switches << "inner"; });
    }

    bool Show()
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return false;
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window, 5000))
            return false;
        other->setFocus();
        switches.clear();
        return true;
    }
};

} // namespace

void TestGeneral::focusSelectsNestedPagesInnerFirst_data()
{
    QTest::addColumn<bool>("andParents");
    QTest::newRow("FocusWidget") << false;
    QTest::newRow("FocusWidgetAndParents") << true;
}

void TestGeneral::focusSelectsNestedPagesInnerFirst()
{
    QFETCH(bool, andParents);
    NestedTabs tabs;
    QVERIFY(tabs.Show());
    QCOMPARE(tabs.outer->currentIndex(), 0);
    QCOMPARE(tabs.inner->currentIndex(), 0);

    if (andParents)
        FocusWidgetAndParents(tabs.target);
    else
        FocusWidget(tabs.target);

    QCOMPARE(tabs.outer->currentIndex(), 1);
    QCOMPARE(tabs.inner->currentIndex(), 1);
    QCOMPARE(tabs.switches, QStringList({"inner", "outer"}));
    QVERIFY(tabs.target->isVisible());
    QCOMPARE(tabs.window.focusWidget(), tabs.target);
    QVERIFY(tabs.window.isActiveWindow());
    QTRY_VERIFY_WITH_TIMEOUT(tabs.target->hasFocus(), 5000);

    // Already in front: nothing switches again.
    tabs.switches.clear();
    FocusWidget(tabs.target);
    QVERIFY(tabs.switches.isEmpty());
}

void TestGeneral::focusOrderDecidesWhoKeepsFocus()
{
    // A tab widget that hands the focus to a marked child of the page it
    // shows: FocusWidgetAndParents lets it, FocusWidget keeps the focus on
    // the widget asked for.
    for (bool andParents : {true, false})
    {
        NestedTabs tabs;
        auto* marked = new QLineEdit;
        tabs.innerSecond->layout()->addWidget(marked);
        QObject::connect(tabs.inner, &QTabWidget::currentChanged, [&tabs, marked](int i_index) {
            if (tabs.inner->widget(i_index) == tabs.innerSecond)
                marked->setFocus(Qt::OtherFocusReason);
        });
        QVERIFY(tabs.Show());
        QCOMPARE(tabs.window.focusWidget(), tabs.other);

        if (andParents)
            FocusWidgetAndParents(tabs.target);
        else
            FocusWidget(tabs.target);

        QCOMPARE(tabs.window.focusWidget(), andParents ? static_cast<QWidget*>(marked) : tabs.target);
    }
}

void TestGeneral::focusNullAndUntabbed()
{
    FocusWidget(nullptr);
    FocusWidgetAndParents(nullptr);

    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* first = new QLineEdit;
    auto* second = new QLineEdit;
    layout->addWidget(first);
    layout->addWidget(second);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    first->setFocus();
    FocusWidget(second);
    QCOMPARE(window.focusWidget(), second);
}

void TestGeneral::liveAddressesFollowListing()
{
    // Row-sized strides, so that neighbours share probe chains; taking them
    // out in an uneven order moves entries along the chains, and the table
    // shrinks and grows on the way. Each reads as live exactly while listed.
    const size_t count = 100000;
    std::vector<char> block(count * 48);
    auto at = [&](size_t i_k) { return static_cast<const void*>(block.data() + i_k * 48); };
    auto live = [&](size_t i_k) { return IsListedLive(reinterpret_cast<uintptr_t>(at(i_k))); };
    auto agrees = [&](auto i_listed) {
        for (size_t k = 0; k < count; ++k)
            if (live(k) != i_listed(k))
                return false;
        return true;
    };
    for (size_t k = 0; k < count; ++k)
        ListLive(at(k));
    ListLive(at(7));   // twice is once
    QVERIFY(agrees([](size_t) { return true; }));
    for (size_t k = 0; k < count; k += 3)
        UnlistLive(at(k));
    QVERIFY(agrees([](size_t k) { return k % 3 != 0; }));
    for (size_t k = count; k-- > 0;)
        if (k % 7 != 0)
            UnlistLive(at(k));
    QVERIFY(agrees([](size_t k) { return k % 3 != 0 && k % 7 == 0; }));
    for (size_t k = 0; k < count; k += 2)
        ListLive(at(k));
    QVERIFY(agrees([](size_t k) { return k % 2 == 0 || (k % 3 != 0 && k % 7 == 0); }));
    for (size_t k = 0; k < count; ++k)
        UnlistLive(at(k));
    QVERIFY(agrees([](size_t) { return false; }));
    UnlistLive(at(1));   // gone already: nothing
    QVERIFY(!IsListedLive(0));
}

QTEST_MAIN(TestGeneral)
#include "test_general.moc"
