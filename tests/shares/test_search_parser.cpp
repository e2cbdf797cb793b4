// The search text of other users' requests: the three token sets and the
// texts that are refused.

#include "SearchParser.h"

#include <QtTest>

namespace
{

using Tokens = std::set<std::string>;

QString Show(const Tokens& i_tokens)
{
    QStringList parts;
    for (const std::string& t : i_tokens)
        parts << "'" + QString::fromUtf8(t.data(), int(t.size())) + "'";
    return "{" + parts.join(", ") + "}";
}

} // namespace

Q_DECLARE_METATYPE(Tokens)

class TestSearchParser : public QObject
{
    Q_OBJECT

private slots:
    void tokenize_data();
    void tokenize();
    void setsAccumulateAcrossCalls();
};

void TestSearchParser::tokenize_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("result");
    QTest::addColumn<Tokens>("included");
    QTest::addColumn<Tokens>("part");
    QTest::addColumn<Tokens>("excluded");

    QTest::newRow("empty") << QByteArray("") << false << Tokens{} << Tokens{} << Tokens{};
    QTest::newRow("blanks only") << QByteArray(" \t  \t") << false << Tokens{} << Tokens{} << Tokens{};
    QTest::newRow("words") << QByteArray("  foo\tbar  ") << true << Tokens{"bar", "foo"} << Tokens{} << Tokens{};
    QTest::newRow("excluded only") << QByteArray("-foo") << false << Tokens{} << Tokens{} << Tokens{"foo"};
    QTest::newRow("part only") << QByteArray("*foo") << true << Tokens{} << Tokens{"foo"} << Tokens{};
    QTest::newRow("all three") << QByteArray("a *b -c") << true << Tokens{"a"} << Tokens{"b"} << Tokens{"c"};
    QTest::newRow("lone minus at end") << QByteArray("foo -") << false << Tokens{"foo"} << Tokens{} << Tokens{};
    QTest::newRow("lone star at end") << QByteArray("foo *") << false << Tokens{"foo"} << Tokens{} << Tokens{};
    QTest::newRow("prefix then blank") << QByteArray("foo - bar") << false << Tokens{"foo"} << Tokens{} << Tokens{};
    QTest::newRow("one prefix only -*") << QByteArray("x -*ab") << true << Tokens{"x"} << Tokens{} << Tokens{"*ab"};
    QTest::newRow("one prefix only *-") << QByteArray("*-ab") << true << Tokens{} << Tokens{"-ab"} << Tokens{};
    QTest::newRow("minus inside word") << QByteArray("a-b") << true << Tokens{"a-b"} << Tokens{} << Tokens{};
    QTest::newRow("quoted") << QByteArray("\"foo bar\" baz") << true << Tokens{"baz", "foo bar"} << Tokens{}
                            << Tokens{};
    QTest::newRow("quoted with tab") << QByteArray("\"a\tb\"") << true << Tokens{"a\tb"} << Tokens{} << Tokens{};
    QTest::newRow("quoted prefixed") << QByteArray("x -\"a b\" *\"c d\"") << true << Tokens{"x"} << Tokens{"c d"}
                                     << Tokens{"a b"};
    QTest::newRow("unclosed quote") << QByteArray("\"foo bar") << true << Tokens{"foo bar"} << Tokens{} << Tokens{};
    QTest::newRow("unclosed quote keeps blanks") << QByteArray("x \"foo  bar \t") << true
                                                 << Tokens{"foo  bar \t", "x"} << Tokens{} << Tokens{};
    QTest::newRow("quote inside word") << QByteArray("fo\"o") << false << Tokens{} << Tokens{} << Tokens{};
    QTest::newRow("quote inside later word") << QByteArray("ok fo\"o") << false << Tokens{"ok"} << Tokens{}
                                             << Tokens{};
    QTest::newRow("empty quotes") << QByteArray("\"\"") << false << Tokens{} << Tokens{} << Tokens{};
    QTest::newRow("lone quote") << QByteArray("\"") << false << Tokens{} << Tokens{} << Tokens{};
    QTest::newRow("quote at end") << QByteArray("foo \"") << false << Tokens{"foo"} << Tokens{} << Tokens{};
    QTest::newRow("quoted then word") << QByteArray("\"ab\"cd") << true << Tokens{"ab", "cd"} << Tokens{}
                                      << Tokens{};
    QTest::newRow("tab separates") << QByteArray("a\tb") << true << Tokens{"a", "b"} << Tokens{} << Tokens{};
    QTest::newRow("newline does not") << QByteArray("a\nb") << true << Tokens{"a\nb"} << Tokens{} << Tokens{};
    QTest::newRow("carriage return does not") << QByteArray("a\rb c") << true << Tokens{"a\rb", "c"} << Tokens{}
                                              << Tokens{};
    QTest::newRow("case kept") << QByteArray("Foo foo") << true << Tokens{"Foo", "foo"} << Tokens{} << Tokens{};
    QTest::newRow("duplicates collapse") << QByteArray("a a") << true << Tokens{"a"} << Tokens{} << Tokens{};
    QTest::newRow("utf-8 passes") << QByteArray("caf\xc3\xa9 *\xc3\x9c") << true << Tokens{"caf\xc3\xa9"}
                                  << Tokens{"\xc3\x9c"} << Tokens{};
    QTest::newRow("nul byte is a token byte") << QByteArray("a\0b", 3) << true << Tokens{std::string("a\0b", 3)}
                                              << Tokens{} << Tokens{};
}

void TestSearchParser::tokenize()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, result);
    QFETCH(Tokens, included);
    QFETCH(Tokens, part);
    QFETCH(Tokens, excluded);

    SearchParser parser;
    QCOMPARE(parser.SetSearchText(std::string(text.constData(), size_t(text.size()))), result);
    QCOMPARE(Show(parser.GetIncludedTokenSet()), Show(included));
    QCOMPARE(Show(parser.GetIncludedPartTokenSet()), Show(part));
    QCOMPARE(Show(parser.GetExcludedTokenSet()), Show(excluded));
}

void TestSearchParser::setsAccumulateAcrossCalls()
{
    SearchParser parser;
    QVERIFY(parser.Tokenize("one"));
    // A later text of excluded tokens alone is true: the sets already hold one.
    QVERIFY(parser.Tokenize("-two"));
    QVERIFY(!parser.Tokenize("three \"\" four"));
    QCOMPARE(parser.GetIncludedTokenSet(), (Tokens{"one", "three"}));
    QCOMPARE(parser.GetExcludedTokenSet(), Tokens{"two"});
}

QTEST_GUILESS_MAIN(TestSearchParser)
#include "test_search_parser.moc"
