// The filter language: every kind of token, the hand-on of words from a
// folder to its files, and the limits read from real result items.

#include "FilterParser.h"

#include "Data.h"
#include "common/TestEnvironment.h"

#include <QtTest>

namespace
{
// A result item as the peer messenger stores one; empty texts leave a link
// out.
ItemPtr Result(const char* ip_size, const char* ip_bitrate = "", const char* ip_mode = "")
{
    ItemPtr result = T("search_result")->NewItem();
    if (*ip_size)
        result += T("file_size")->GetItem(ip_size);
    if (*ip_bitrate)
        result += T("bitrate")->GetItem(ip_bitrate);
    if (*ip_mode)
        result += T("bitrate_mode")->GetItem(ip_mode);
    return result;
}

// The folder step with a rest, then the file step against that rest, as
// a result tree runs them: 2 when the folder is rejected.
int FolderThenFile(const QString& i_filter, const QString& i_folder, const QString& i_file, ItemPtr i_result)
{
    FilterParser filter;
    filter.Parse(i_filter);
    FilterParser rest;
    if (filter.IsMatching(i_folder, &rest, nullptr) == 2)
        return 2;
    return rest.IsMatching(i_file, nullptr, rest.HasAttributes() ? i_result : ItemPtr());
}
}

class TestFilterParser : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        ResetSettingsTypes();
        for (const char* name : {"file_size", "bitrate_mode", "bitrate"})
            MakeType(name, false, false, true);
        Type* result = MakeType("search_result", false, true, false);
        for (const char* name : {"file_size", "bitrate_mode", "bitrate"})
            Relate(result, T(name), Many, One, false);
    }

    void tokens_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("attributes");
        QTest::addColumn<int>("minFiles");

        QTest::newRow("empty") << "" << "anything" << 0 << false << 0;
        QTest::newRow("spaces only") << "   " << "anything" << 0 << false << 0;
        QTest::newRow("words are substrings, case ignored") << "mp3" << "xMP3y" << 0 << false << 0;
        QTest::newRow("a missing word") << "mp3 ogg" << "song.mp3" << 1 << false << 0;
        QTest::newRow("a tab belongs to its token") << "a\tb" << "a b" << 1 << false << 0;
        QTest::newRow("lone dash dropped") << "- rock" << "rock" << 0 << false << 0;
        QTest::newRow("exclude") << "rock -live" << "Live Rock" << 2 << false << 0;
        QTest::newRow("exclude beats include") << "-live missing" << "live" << 2 << false << 0;
        QTest::newRow("double dash excludes -x") << "--x" << "a-x" << 2 << false << 0;
        QTest::newRow("double dash keeps x") << "--x" << "x" << 0 << false << 0;
        QTest::newRow("-isvbr is a word") << "-isvbr" << "ISVBR.txt" << 2 << false << 0;
        QTest::newRow("isvbr") << "isvbr" << "" << 0 << true << 0;
        QTest::newRow("ISVBR is a word") << "ISVBR" << "song" << 1 << false << 0;
        QTest::newRow("MBR:128 is a word") << "MBR:128" << "x mbr:128 y" << 0 << false << 0;
        QTest::newRow("mbr:") << "mbr:" << "" << 0 << true << 0;
        QTest::newRow("mbr:320k") << "mbr:320k" << "" << 0 << true << 0;
        QTest::newRow("mfif is no attribute") << "mfif:3" << "" << 0 << false << 3;
        QTest::newRow("later token overwrites") << "minfilesinfolder:3 mfif:5" << "" << 0 << false << 5;
        QTest::newRow("mfif too large") << "mfif:99999999999" << "" << 0 << false << 0;
        QTest::newRow("mfs overflowing") << "mfs:9223372036855" << "" << 0 << true << 0;
    }

    void tokens()
    {
        QFETCH(QString, filter);
        QFETCH(QString, text);
        QFETCH(int, expected);
        QFETCH(bool, attributes);
        QFETCH(int, minFiles);
        FilterParser parser;
        parser.Parse(filter);
        QCOMPARE(parser.IsMatching(text, nullptr, nullptr), expected);
        QCOMPARE(parser.HasAttributes(), attributes);
        QCOMPARE(parser.MinFilesInFolder(), minFiles);
    }

    void limitsAgainstResultItems_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QByteArray>("size");
        QTest::addColumn<QByteArray>("bitrate");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<int>("expected");

        QTest::newRow("mfs:1 at 1,000,000") << "mfs:1" << QByteArray("1000000") << QByteArray() << QByteArray() << 0;
        QTest::newRow("mfs:1 at 999,999") << "mfs:1" << QByteArray("999999") << QByteArray() << QByteArray() << 2;
        QTest::newRow("minfilesize:1 at 999,999")
            << "minfilesize:1" << QByteArray("999999") << QByteArray() << QByteArray() << 2;
        QTest::newRow("mfs: keeps all") << "mfs:" << QByteArray("1") << QByteArray() << QByteArray() << 0;
        QTest::newRow("overflowing mfs keeps all")
            << "mfs:99999999999999" << QByteArray("5") << QByteArray() << QByteArray() << 0;
        QTest::newRow("size beyond 32 bits")
            << "mfs:5000" << QByteArray("5000000000") << QByteArray() << QByteArray() << 0;
        QTest::newRow("isvbr on vbr") << "isvbr" << QByteArray("1") << QByteArray("245") << QByteArray("vbr") << 0;
        QTest::newRow("isvbr on cbr") << "isvbr" << QByteArray("1") << QByteArray("320") << QByteArray("cbr") << 2;
        QTest::newRow("isvbr without mode") << "isvbr" << QByteArray("1") << QByteArray() << QByteArray() << 2;
        QTest::newRow("iscbr on cbr") << "iscbr" << QByteArray("1") << QByteArray("320") << QByteArray("cbr") << 0;
        QTest::newRow("isvbr iscbr passes nothing")
            << "isvbr iscbr" << QByteArray("1") << QByteArray("320") << QByteArray("vbr") << 2;
        QTest::newRow("mbr:192 at 192") << "mbr:192" << QByteArray("1") << QByteArray("192") << QByteArray() << 0;
        QTest::newRow("minbitrate:192 at 191")
            << "minbitrate:192" << QByteArray("1") << QByteArray("191") << QByteArray() << 2;
        QTest::newRow("mbr:192 without bitrate") << "mbr:192" << QByteArray("1") << QByteArray() << QByteArray() << 2;
        QTest::newRow("MBR:128 limits nothing") << "MBR:128" << QByteArray("1") << QByteArray("1") << QByteArray()
                                                << 1;
    }

    void limitsAgainstResultItems()
    {
        QFETCH(QString, filter);
        QFETCH(QByteArray, size);
        QFETCH(QByteArray, bitrate);
        QFETCH(QByteArray, mode);
        QFETCH(int, expected);
        ItemPtr result = Result(size.constData(), bitrate.constData(), mode.constData());
        FilterParser parser;
        parser.Parse(filter);
        QCOMPARE(parser.IsMatching(QStringLiteral("Song.mp3"), nullptr, result), expected);
        // Through a folder's rest the limits reach the file alike.
        QCOMPARE(FolderThenFile(filter, QStringLiteral("Music"), QStringLiteral("Song.mp3"), result), expected);
    }

    // Words match as QString::contains ignoring case does, whether the
    // texts are plain ASCII or hold letters that fold to ASCII ones.
    void caseIsFoldedAsQtFoldsIt_data()
    {
        QTest::addColumn<QString>("word");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");

        QTest::newRow("ascii, other case") << "BeA" << "the beatles" << true;
        QTest::newRow("ascii, at the end") << "les" << "The BeatLES" << true;
        QTest::newRow("ascii, one letter") << "Z" << "jazz" << true;
        QTest::newRow("ascii, absent") << "bea" << "be a b" << false;
        QTest::newRow("ascii, longer than the text") << "beatles" << "beat" << false;
        QTest::newRow("ascii, no letters") << "(1990)" << "Album (1990)" << true;
        QTest::newRow("ascii neighbours of letters") << "[" << "{" << false;
        QTest::newRow("kelvin sign folds to k") << "kelvin" << QString::fromUtf8("\u212Aelvin") << true;
        QTest::newRow("long s folds to s") << "sun" << QString::fromUtf8("\u017Fun") << true;
        QTest::newRow("after a non-ascii letter") << "ub" << QString::fromUtf8("D\u00FCbel Dub") << true;
        QTest::newRow("non-ascii word") << QString::fromUtf8("\u00DCBER") << QString::fromUtf8("\u00FCber") << true;
        QTest::newRow("sharp s stays one letter") << "SS" << QString::fromUtf8("Stra\u00DFe") << false;
    }

    void caseIsFoldedAsQtFoldsIt()
    {
        QFETCH(QString, word);
        QFETCH(QString, text);
        QFETCH(bool, expected);
        QCOMPARE(text.contains(word, Qt::CaseInsensitive), expected);
        FilterParser include;
        include.Parse(word);
        QCOMPARE(include.IsMatching(text, nullptr, nullptr), expected ? 0 : 1);
        FilterParser exclude;
        exclude.Parse(QLatin1Char('-') + word);
        QCOMPARE(exclude.IsMatching(text, nullptr, nullptr), expected ? 2 : 0);
    }

    void wordsHandedOnFromFolderToFiles()
    {
        ItemPtr none;
        const QString beatles = QStringLiteral("beatles help");
        QCOMPARE(FolderThenFile(beatles, QStringLiteral("The Beatles"), QStringLiteral("Help.mp3"), none), 0);
        QCOMPARE(FolderThenFile(beatles, QStringLiteral("Misc"), QStringLiteral("Help.mp3"), none), 1);
        // An exclude word is handed on too, and rejects the file.
        QCOMPARE(FolderThenFile(QStringLiteral("beatles -demo"), QStringLiteral("The Beatles"),
                                QStringLiteral("Help (demo).mp3"), none),
                 2);
        QCOMPARE(FolderThenFile(QStringLiteral("rock -live"), QStringLiteral("Live Rock"), QStringLiteral("a"), none),
                 2);

        // The rest: the words still missing, and 1 while any are.
        FilterParser filter;
        filter.Parse(QStringLiteral("a b mfif:2"));
        FilterParser rest;
        rest.Parse(QStringLiteral("stale"));
        QCOMPARE(filter.IsMatching(QStringLiteral("xax"), &rest, nullptr), 1);
        QCOMPARE(rest.MinFilesInFolder(), 2);
        QCOMPARE(rest.IsMatching(QStringLiteral("b"), nullptr, nullptr), 0);
        QCOMPARE(rest.IsMatching(QStringLiteral("stale"), nullptr, nullptr), 1);
        QCOMPARE(filter.IsMatching(QStringLiteral("ab"), &rest, nullptr), 0);
        QCOMPARE(rest.IsMatching(QString(), nullptr, nullptr), 0);
    }
};

QTEST_GUILESS_MAIN(TestFilterParser)
#include "test_filter_parser.moc"
