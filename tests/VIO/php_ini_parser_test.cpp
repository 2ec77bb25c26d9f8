#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <gtest/gtest.h>

#include <VCore/regular_file_p.h>
#include <VDebug/debug.h>
#include <VIO/php_ini_parser.h>

#include "special_files_dir.h"
#include "testutil.h"

#include "exception_text.h"

using vtest::exceptionText;

namespace {

// Opens the stream entry point to the tests.
class StreamParser : public VPhpIniParser
{
public:
    explicit StreamParser(const QStringList& prefixes = QStringList(QString("")),
                          VPhpIniParserHandler* handler = nullptr)
        : VPhpIniParser(prefixes, handler)
    {
    }
    void readText(const QString& text, const QString& filter = QString())
    {
        QString copy = text;
        QTextStream stream(&copy, QIODevice::ReadOnly);
        read(stream, filter);
    }
    // Bytes decoded by the stream's default codec, as for a file.
    void readBytes(const QByteArray& bytes)
    {
        QTextStream stream(bytes, QIODevice::ReadOnly);
        read(stream, QString());
    }
};

// Parses the bytes through a file, as applications do.
struct FileCase
{
    vtest::TempDir dir;
    VPhpIniParser parser{QStringList(QString("")), nullptr};

    explicit FileCase(const std::string& bytes)
    {
        vtest::writeFile(dir.file("t.ini"), bytes);
        parser.addFile(QString::fromStdString(dir.file("t.ini")));
    }
};

class Veto : public VPhpIniParserHandler
{
public:
    bool newDirectiveHandler(const QString& key, const QString&) override
    {
        ++calls;
        if (key == "boom")
            throw VException("handler says no");
        return key != "a";
    }
    int calls = 0;
};

} // namespace

TEST(VPhpIniParser, KeyValueSpacingAndEquals)
{
    FileCase c("key1=value\nkey2 = value\n   key3   =   value   \na = b = c\nempty =\n");
    EXPECT_EQ(c.parser.value("key1"), "value");
    EXPECT_EQ(c.parser.value("key2"), "value");
    EXPECT_EQ(c.parser.value("key3"), "value");
    EXPECT_EQ(c.parser.value("a"), "b = c");
    EXPECT_TRUE(c.parser.contains("empty"));
    EXPECT_TRUE(c.parser.value("empty").isEmpty());
    EXPECT_FALSE(c.parser.value("empty").isNull());
    EXPECT_TRUE(c.parser.value("missing").isNull());
    EXPECT_TRUE(c.parser.problems().isEmpty());
}

TEST(VPhpIniParser, MalformedLinesAreReportedAndSkipped)
{
    FileCase c("=value\nnovalue\n# note\n[section\nok = 1\n");
    EXPECT_EQ(c.parser.entriesByDeclarationOrder().size(), 1);
    const QString file = QString::fromStdString(c.dir.file("t.ini"));
    EXPECT_EQ(c.parser.problems(),
              QStringList() << file + ":1: couldn't parse '=value'" << file + ":2: couldn't parse 'novalue'"
                            << file + ":3: couldn't parse '# note'" << file + ":4: couldn't parse '[section'");
}

TEST(VPhpIniParser, NoticesGoToStderrAtNoticeLevel)
{
    const VDebug::debug_level_t old = VDebug::getDebugLevel(VDebug::STDERR);
    VDebug::setDebugLevel(VDebug::STDERR, VDebug::VNOTICE);
    StreamParser p;
    vtest::CaptureFd capture(2);
    p.readText("  novalue  \nq = \"abc\n");
    const std::string err = capture.text();
    VDebug::setDebugLevel(VDebug::STDERR, old);
    EXPECT_NE(err.find("NOTICE] VPhpIniParser: couldn't parse ' novalue ' \n"), std::string::npos) << err;
    EXPECT_NE(err.find("VPhpIniParser: couldn't parse ' q = \"abc '. missing closing quote. \n"),
              std::string::npos)
        << err;
}

TEST(VPhpIniParser, CommentRules)
{
    StreamParser p;
    p.readText("; k = v\n#k = v\nk = v # x\nk1 = value ; note\nk2 = value;note\nk3 = ;note\nk4 = ;a;b\n");
    EXPECT_EQ(p.value("#k"), "v");
    EXPECT_EQ(p.value("k"), "v # x");
    EXPECT_EQ(p.value("k1"), "value");
    EXPECT_EQ(p.value("k2"), "value");
    EXPECT_EQ(p.value("k3"), ";note");
    EXPECT_EQ(p.value("k4"), ";a;b");
    EXPECT_EQ(p.entriesByDeclarationOrder().size(), 6);
    EXPECT_TRUE(p.problems().isEmpty());
}

TEST(VPhpIniParser, QuoteRules)
{
    StreamParser p;
    p.readText("q1 = \"a;b\" ; c\nq2 = \"a\"b\"\nq3 = \"\"\nq4 = \"abc\nq5 = \"a\" b\n"
               "q6 = \"abc ; def\nq7 = abc\" ; x\nq8 = \"\";x\n");
    EXPECT_EQ(p.value("q1"), "a;b");
    EXPECT_EQ(p.value("q2"), "a\"b");
    EXPECT_TRUE(p.contains("q3"));
    EXPECT_TRUE(p.value("q3").isEmpty());
    EXPECT_FALSE(p.contains("q4"));
    EXPECT_FALSE(p.contains("q5"));
    EXPECT_FALSE(p.contains("q6"));
    EXPECT_EQ(p.value("q7"), "abc\"");
    EXPECT_TRUE(p.contains("q8"));
    EXPECT_TRUE(p.value("q8").isEmpty());
    EXPECT_EQ(p.problems(), QStringList() << "<stream>:4: couldn't parse 'q4 = \"abc'. missing closing quote."
                                          << "<stream>:5: couldn't parse 'q5 = \"a\" b'. missing closing quote."
                                          << "<stream>:6: couldn't parse 'q6 = \"abc ; def'. missing closing quote.");
}

TEST(VPhpIniParser, SectionLines)
{
    StreamParser p;
    p.readText("[section]\n[]\n[a]=b\n[db = x\n[a=b]\n");
    EXPECT_EQ(p.value("[a]"), "b");
    EXPECT_EQ(p.value("[db"), "x");
    EXPECT_EQ(p.entriesByDeclarationOrder().size(), 2);
    EXPECT_TRUE(p.problems().isEmpty());
}

TEST(VPhpIniParser, LineEndsBomAndNul)
{
    FileCase crlf("a=1\r\nb=2\r\n");
    FileCase lf("a=1\nb=2\n");
    EXPECT_EQ(crlf.parser.entriesByDeclarationOrder(), lf.parser.entriesByDeclarationOrder());

    // The file is opened in text mode, which drops every CR; a stream keeps it.
    FileCase loneCr("k=v\rw\n");
    EXPECT_EQ(loneCr.parser.value("k"), "vw");
    StreamParser s;
    s.readText("k=v\rw");
    EXPECT_EQ(s.value("k"), QString("v\rw"));

    FileCase bom("\xEF\xBB\xBFkey=value\n");
    EXPECT_EQ(bom.parser.value("key"), "value");

    FileCase nul(std::string("k=a\0b\n", 6));
    EXPECT_EQ(nul.parser.value("k").size(), 3);
    EXPECT_EQ(nul.parser.value("k").at(1), QChar(0));
}

TEST(VPhpIniParser, EachFileStartsWithTheDefaultCodec)
{
    // A UTF-16 file with its BOM must not make the next file decode as UTF-16.
    vtest::TempDir dir;
    vtest::writeFile(dir.file("u16.ini"), std::string("\xFF\xFEk\0=\0x\0\n\0", 10));
    vtest::writeFile(dir.file("u8.ini"), "j=caf\xC3\xA9\n");
    VPhpIniParser p(QStringList(QString("")), nullptr);
    p.addFile(QString::fromStdString(dir.file("u16.ini")));
    p.addFile(QString::fromStdString(dir.file("u8.ini")));
    EXPECT_EQ(p.value("k"), "x");
    EXPECT_EQ(p.value("j"), QString::fromUtf8("caf\xC3\xA9"));
}

TEST(VPhpIniParser, DeclarationOrderSetAndAdd)
{
    StreamParser p;
    p.readText("k=1\nk=2\nk=3\nj=0");
    EXPECT_EQ(p.values("k"), QList<QString>() << "1" << "2" << "3");
    EXPECT_EQ(p.stringValues("k"), p.values("k"));
    EXPECT_EQ(p.value("k"), "3");
    EXPECT_EQ(p.stringValue("k"), "3");
    typedef QList<QPair<QString, QString>> Pairs;
    EXPECT_EQ(p.entriesByDeclarationOrder(), Pairs() << qMakePair(QString("k"), QString("1"))
                                                     << qMakePair(QString("k"), QString("2"))
                                                     << qMakePair(QString("k"), QString("3"))
                                                     << qMakePair(QString("j"), QString("0")));
    p.setString("k", "9");
    EXPECT_EQ(p.entriesByDeclarationOrder(), Pairs() << qMakePair(QString("k"), QString("9"))
                                                     << qMakePair(QString("j"), QString("0")));
    p.addString("k", "10");
    EXPECT_EQ(p.entriesByDeclarationOrder(), Pairs() << qMakePair(QString("k"), QString("9"))
                                                     << qMakePair(QString("j"), QString("0"))
                                                     << qMakePair(QString("k"), QString("10")));
    p.setString("new", "x");
    EXPECT_EQ(p.entriesByDeclarationOrder().last(), qMakePair(QString("new"), QString("x")));
    const QHash<QString, QList<QString>> table = p.entriesOrderedByKey();
    EXPECT_EQ(table.size(), 3);
    EXPECT_EQ(table.value("k"), QList<QString>() << "9" << "10");
}

// Setting again a key that has a value costs the same whatever the number of
// other keys: per key, 32 times the keys cost about the same (work that grows
// with the number of keys would cost a hundred times as much), and the order
// and values come out as before. Best of several rounds, so a busy machine
// does not decide.
TEST(VPhpIniParser, SettingStoredKeysIsLinear)
{
    const auto secondsPerKey = [](int keys) {
        double best = 1e9;
        for (int round = 0; round < 5; ++round) {
            StreamParser p;
            for (int i = 0; i < keys; ++i)
                p.setString(QString::number(i), "old");
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < keys; ++i)
                p.setString(QString::number(i), "new");
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        return best / keys;
    };
    const double small = secondsPerKey(1000);
    const double large = secondsPerKey(32000);
    EXPECT_LT(large, 8 * small) << small * 1e9 << " ns per key of 1,000, " << large * 1e9 << " ns per key of 32,000";

    // Interleaved keys with several values: a call drops exactly the later
    // entries of its key.
    StreamParser p;
    p.readText("a=1\nb=1\na=2\nc=1\nb=2\na=3\n");
    p.setString("a", "x");
    typedef QPair<QString, QString> Pair;
    EXPECT_EQ(p.entriesByDeclarationOrder(),
              QList<Pair>() << Pair("a", "x") << Pair("b", "1") << Pair("c", "1") << Pair("b", "2"));
    p.setString("b", "y");
    p.setString("b", "z");
    EXPECT_EQ(p.entriesByDeclarationOrder(), QList<Pair>() << Pair("a", "x") << Pair("b", "z") << Pair("c", "1"));
}

TEST(VPhpIniParser, PrefixesFilterAndHandler)
{
    StreamParser db(QStringList() << "db.");
    db.readText("db.host = x\nDB.host = y\nDB.bad");
    EXPECT_EQ(db.entriesByDeclarationOrder().size(), 1);
    EXPECT_EQ(db.value("db.host"), "x");
    EXPECT_EQ(db.problems().size(), 1); // the syntax is checked before the prefix

    StreamParser none{QStringList()};
    none.readText("a=1\nb=2");
    EXPECT_TRUE(none.entriesOrderedByKey().isEmpty());

    StreamParser filtered;
    filtered.readText("a=1\nb=2\nb=3", " b ");
    EXPECT_FALSE(filtered.contains("a"));
    EXPECT_EQ(filtered.values("b"), QList<QString>() << "2" << "3");

    Veto veto;
    StreamParser handled(QStringList(QString("")), &veto);
    handled.readText("a=1\nb=2\n");
    EXPECT_FALSE(handled.contains("a"));
    EXPECT_TRUE(handled.contains("b"));
    EXPECT_EQ(veto.calls, 2);
    EXPECT_TRUE(handled.problems().isEmpty());

    // A handler's exception passes through unchanged; what came before stays.
    EXPECT_EQ(exceptionText([&] { handled.readText("c=3\nboom=1\nd=4\n"); }), "handler says no");
    EXPECT_TRUE(handled.contains("c"));
    EXPECT_FALSE(handled.contains("d"));
}

TEST(VPhpIniParser, LongConversions)
{
    StreamParser p;
    p.setLong("k", -5);
    EXPECT_EQ(p.value("k"), "-5");
    p.addLong("k", 7);
    EXPECT_EQ(p.longValues("k"), QList<long>() << -5 << 7);
    EXPECT_EQ(p.longValue("k"), 7);
    p.readText("big = 9223372036854775807\nplus = +5\nhex = 0x10\nover = 9223372036854775808\nmix=1\nmix=x\n");
    EXPECT_EQ(p.longValue("big"), 9223372036854775807L);
    EXPECT_EQ(p.longValue("plus"), 5);
    EXPECT_EQ(exceptionText([&] { p.longValue("hex"); }), "can't convert value 0x10 to long (the key is hex)");
    EXPECT_EQ(exceptionText([&] { p.longValue("over"); }),
              "can't convert value 9223372036854775808 to long (the key is over)");
    EXPECT_EQ(exceptionText([&] { p.longValues("mix"); }), "can't convert value x to long (the key is mix)");
    EXPECT_EQ(exceptionText([&] { p.longValue("q"); }), "can't convert value  to long (the key is q)");
    EXPECT_TRUE(p.longValues("q").isEmpty());
    p.setString("pct", "%2");
    EXPECT_EQ(exceptionText([&] { p.longValue("pct"); }), "can't convert value %2 to long (the key is pct)");
}

// Stored files were read with Qt 5's rule, which holds on Qt 6 too: any
// blank beside the digits is skipped, a NUL anywhere fails.
TEST(VPhpIniParser, LongsReadAsOnQt5)
{
    StreamParser p;
    p.readText(QString("vorn.y = 8") + QChar(0) + "junk\n");
    EXPECT_EQ(exceptionText([&] { p.longValue("vorn.y"); }).rfind("can't convert value 8", 0), 0u);
    p.setString("nbsp", QString::fromUtf8("12\u00A0"));
    p.addString("nbsp", QString::fromUtf8("\u300012\u2009"));
    p.setString("minus", QString::fromUtf8("\u22125"));
    EXPECT_EQ(p.longValue("nbsp"), 12);
    EXPECT_EQ(p.longValues("nbsp"), QList<long>() << 12 << 12);
    EXPECT_EQ(p.longValue("minus"), -5);
}

TEST(VPhpIniParser, KeysAccumulateAcrossFiles)
{
    vtest::TempDir dir;
    vtest::writeFile(dir.file("1.ini"), "k = first\nonly1 = a\n");
    vtest::writeFile(dir.file("2.ini"), "k = second\n");
    VPhpIniParser p(QStringList(QString("")), nullptr);
    p.addFile(QString::fromStdString(dir.file("1.ini")));
    p.addFile(QString::fromStdString(dir.file("2.ini")));
    EXPECT_EQ(p.values("k"), QList<QString>() << "first" << "second");
    EXPECT_EQ(p.value("k"), "second");
    EXPECT_EQ(p.value("only1"), "a");
    EXPECT_EQ(p.path(), QStringList() << QString::fromStdString(dir.file("1.ini"))
                                      << QString::fromStdString(dir.file("2.ini")));
}

TEST(VPhpIniParser, DirectoryReadsIniFilesInNameOrder)
{
    vtest::TempDir dir;
    for (const char* name : {"a.ini", "B.ini", "c.INI", "d.conf", ".e.ini", "10.ini", "9.ini"})
        vtest::writeFile(dir.file(name), std::string("k=") + name + "\n");
    QDir(dir.qpath()).mkdir("sub.ini");
    VPhpIniParser p(QStringList(QString("")), nullptr);
    p.addDirectory(dir.qpath());
    EXPECT_EQ(p.values("k"), QList<QString>() << "10.ini" << "9.ini" << "a.ini" << "B.ini" << "c.INI");
    EXPECT_EQ(p.path(), QStringList(dir.qpath()));
}

// Links to a FIFO and to devices, and a FIFO itself, among the "*.ini" files
// of a directory: only regular files (and links to them) are read, and
// nothing blocks. A reader stuck on the FIFO is released by opening its
// other end, so a failure ends the test instead of hanging it.
TEST(VPhpIniParser, DirectorySkipsSpecialFiles)
{
    vtest::TempDir dir;
    const std::string fifo = makeSpecialFilesDir(dir, "k=a\n", "k=d\n", "k=linked\n");

    VPhpIniParser p(QStringList(QString("")), nullptr);
    std::atomic<bool> done(false);
    std::string failure;
    VRegularFileOpen fifoOpen = VRegularFileOpen::Opened;
    VUniqueFd fifoFd;
    std::thread reader([&] {
        failure = exceptionText([&] { p.addDirectory(dir.qpath()); });
        // A FIFO that takes a checked file's place: opened without waiting
        // for a writer, and refused.
        fifoOpen = vOpenRegularFile(QString::fromStdString(fifo), &fifoFd);
        done = true;
    });
    const bool inTime = vtest::waitFor([&] { return done.load(); }, std::chrono::seconds(10));
    if (!inTime) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0)
            close(writer);
    }
    reader.join();
    ASSERT_TRUE(inTime) << "addDirectory blocked on a FIFO";
    EXPECT_EQ(failure, "<no exception>");
    EXPECT_EQ(p.values("k"), QList<QString>() << "a" << "d" << "linked");
    EXPECT_EQ(p.path(), QStringList(dir.qpath()));
    EXPECT_EQ(fifoOpen, VRegularFileOpen::NotRegular);
    EXPECT_FALSE(fifoFd.isValid());

    EXPECT_EQ(exceptionText([&] { p.addFile(dir.qpath() + "/b.ini"); }),
              "VIO/php_ini_parser:35 Error: \"" + dir.file("b.ini") + "\" is not a regular file");
    p.addFile(dir.qpath() + "/g.ini");
    EXPECT_EQ(p.value("k"), "linked");
}

TEST(VPhpIniParser, PathErrorsCarryTheirLocation)
{
    vtest::TempDir dir;
    vtest::writeFile(dir.file("f.ini"), "k=v\n");
    const QString file = QString::fromStdString(dir.file("f.ini"));
    VPhpIniParser p(QStringList(QString("")), nullptr);
    EXPECT_EQ(exceptionText([&] { p.addFile(dir.qpath()); }),
              "VIO/php_ini_parser:35 Error: \"" + dir.path() + "\" is not a regular file");
    EXPECT_EQ(exceptionText([&] { p.addFile(dir.qpath() + "/missing.ini"); }),
              "VIO/php_ini_parser:35 Error: \"" + dir.path() + "/missing.ini\" is not a regular file");
    EXPECT_EQ(exceptionText([&] { p.addDirectory(file); }),
              "VIO/php_ini_parser:97 Error: \"" + dir.file("f.ini") + "\" is not a directory");
    EXPECT_TRUE(p.path().isEmpty());
}

TEST(VPhpIniParser, UnreadableFileThrowsAndIsNotRecorded)
{
    vtest::TempDir dir;
    vtest::writeFile(dir.file("secret.ini"), "k=v\n");
    vtest::writeFile(dir.file("open.ini"), "k=open\n");
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.file("secret.ini").c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.file("open.ini").c_str(), 0644), 0);
    const QString secret = QString::fromStdString(dir.file("secret.ini"));
    const QString open = QString::fromStdString(dir.file("open.ini"));
    // Root reads anything: check as an unprivileged user in a child.
    const pid_t pid = vtest::forkChild([&]() -> int {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 10;
        VPhpIniParser p(QStringList(QString("")), nullptr);
        p.addFile(open);
        const std::string text = exceptionText([&] { p.addFile(secret); });
        if (text != "VIO/php_ini_parser:299 Error: can't open \"" + secret.toStdString() + "\" for parsing")
            return 11;
        if (p.path() != QStringList(open) || p.value("k") != "open")
            return 12;
        // Listing skips what the process may not read.
        VPhpIniParser d(QStringList(QString("")), nullptr);
        d.addDirectory(QFileInfo(open).absolutePath());
        return d.values("k") == QList<QString>() << "open" ? 0 : 13;
    });
    EXPECT_EQ(vtest::waitChild(pid), 0);
}

TEST(VPhpIniParser, FuzzedInputNeverCrashes)
{
    vtest::TempDir dir;
    const std::string path = dir.file("fuzz.ini");
    static const char letters[] = "ab=;\"[] \t\r\n#\0\xEF\xBB\xBF\xC3\xFF.";
    const std::string alphabet(letters, sizeof letters - 1);
    const std::string seeds[] = {"key = \"a;b\" ; c\n[s]\nx=\r\ny = ;z\n", "q=\"\"\n=\n;\n\"=\"\n",
                                 "\xEF\xBB\xBF" "a=1\r\nb=\"2\"\r\n"};
    std::mt19937 rng(12345);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int rounds = 0;
    while (std::chrono::steady_clock::now() < deadline && rounds < 20000) {
        std::string input = seeds[rng() % 3];
        const int edits = 1 + rng() % 8;
        for (int i = 0; i < edits; ++i) {
            const size_t at = input.empty() ? 0 : rng() % input.size();
            switch (rng() % 4) {
            case 0: input.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
            case 1: if (!input.empty()) input.erase(at, 1); break;
            case 2: if (!input.empty()) input[at] = static_cast<char>(rng()); break;
            default: input.insert(at, input.substr(0, rng() % (input.size() + 1))); break;
            }
        }
        if (rounds % 5 == 0) {
            input.resize(rng() % 64);
            for (char& ch : input)
                ch = static_cast<char>(rng());
        }
        vtest::writeFile(path, input);
        VPhpIniParser p(QStringList(QString("")), nullptr);
        p.addFile(QString::fromStdString(path));
        StreamParser s;
        s.readText(QString::fromLatin1(input.data(), static_cast<int>(input.size())));
        s.readBytes(QByteArray(input.data(), static_cast<int>(input.size())));
        // Every stored pair is reachable by key, the last one effective.
        for (const auto& entry : s.entriesByDeclarationOrder())
            ASSERT_TRUE(s.values(entry.first).contains(entry.second));
        for (const auto& entry : p.entriesByDeclarationOrder())
            ASSERT_TRUE(p.contains(entry.first));
        ++rounds;
    }
    EXPECT_GT(rounds, 100);
}
