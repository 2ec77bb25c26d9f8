#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include <QFile>
#include <QTextStream>

#include "VCore/qtcompat_p.h"
#include "VDB/vdbconfigreader.h"
#include "dbtestutil.h"
#include "deep_xml.h"

namespace {

// Each test starts and ends with an empty process-wide table.
class VDbConfigReaderTest : public ::testing::Test
{
protected:
    void SetUp() override { VDbConfigReader::release(); }
    void TearDown() override { VDbConfigReader::release(); }

    static void parse(QString text)
    {
        QTextStream s(&text, QIODevice::ReadOnly);
        VDbConfigReader::instance()->parse(&s);
    }
    static QString get(const char* name) { return VDbConfigReader::instance()->getStatement(QString::fromUtf8(name)); }
};

TEST_F(VDbConfigReaderTest, LaterDefinitionWinsAtAnyDepth)
{
    parse("<root><statement name='a' sql='SELECT 1'/>"
          "<x><y><z><statement name='deep' sql='SELECT 2'/></z></y></x>"
          "<statement name='a' sql='SELECT 3'/></root>");
    EXPECT_EQ(get("a"), "SELECT 3");
    EXPECT_EQ(get("deep"), "SELECT 2");
    EXPECT_EQ(get("A"), "");
}

TEST_F(VDbConfigReaderTest, MissingNamesAndAttributesGiveEmptyText)
{
    parse("<r><statement name='nosql'/><statement sql='SELECT 9'/><other name='o' sql='x'/></r>");
    EXPECT_EQ(get("never"), "");
    EXPECT_TRUE(get("never").isEmpty());
    EXPECT_EQ(get("nosql"), "");
    EXPECT_EQ(get(""), "SELECT 9");
    EXPECT_EQ(get("o"), "");
}

TEST_F(VDbConfigReaderTest, SecondStreamAddsAndExhaustedStreamChangesNothing)
{
    QString text("<r><statement name='a' sql='A1'/><statement name='b' sql='B1'/></r>");
    QTextStream first(&text, QIODevice::ReadOnly);
    VDbConfigReader::instance()->parse(&first);
    parse("<r><statement name='b' sql='B2'/><statement name='c' sql='C2'/></r>");
    EXPECT_EQ(get("a"), "A1");
    EXPECT_EQ(get("b"), "B2");
    EXPECT_EQ(get("c"), "C2");

    vtest::CaptureFd err(2);
    VDbConfigReader::instance()->parse(&first);
    parse("");
    EXPECT_EQ(err.text(), "") << "an exhausted or empty stream is not an error";
    EXPECT_EQ(get("b"), "B2");
    VDbConfigReader::instance()->parse(nullptr);
    EXPECT_EQ(get("a"), "A1");
}

TEST_F(VDbConfigReaderTest, ReleaseStartsAgainEmpty)
{
    parse("<r><statement name='a' sql='A'/></r>");
    EXPECT_EQ(get("a"), "A");
    VDbConfigReader::release();
    VDbConfigReader::release();
    EXPECT_EQ(get("a"), "");
}

TEST_F(VDbConfigReaderTest, MalformedXmlKeepsWhatWasReadAndWarns)
{
    vtest::CaptureFd err(2);
    parse("<root><statement name='q1' sql='SELECT 1'/><statement name='q2' <broken></root>");
    const std::string log = err.text();
    EXPECT_EQ(get("q1"), "SELECT 1");
    EXPECT_NE(log.find("WARNING] Statements XML is not well-formed:"), std::string::npos) << log;
    EXPECT_NE(log.find("at line 1 column"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

// Elements nested far deeper than any real document: the malformed-XML
// warning, and nothing of the text is added. Behind faults a lenient parser
// reads past, what came before the fault is kept, as for other malformed XML.
TEST_F(VDbConfigReaderTest, TooDeepDocumentWarnsAndAddsNothing)
{
    parse("<r><statement name='old' sql='SELECT 0'/></r>");
    const QStringList deep = vtest::tooDeepXml("r", "<statement name='before' sql='SELECT 1'/>",
                                               "<statement name='after' sql='SELECT 2'/>");
    for (const QString& text : deep) {
        vtest::CaptureFd err(2);
        parse(text);
        const std::string log = err.text();
        EXPECT_NE(log.find("WARNING] Statements XML is not well-formed:"), std::string::npos) << log;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_EQ(get("after"), "");
        if (text == deep.first())
            EXPECT_EQ(get("before"), "");
        else
            EXPECT_EQ(get("before"), "SELECT 1");
    }
    EXPECT_EQ(get("old"), "SELECT 0");
}

// Well-formed documents that the DOM parser reads: an XML 1.1 declaration
// (Qt 5's reads it, Qt 6's refuses it), and a reference to an entity that
// the external subset may declare, kept as a reference. What a strict
// reader refuses still is: undeclared without a DTD, or standalone.
TEST_F(VDbConfigReaderTest, WellFormedDocumentsAreRead)
{
    vtest::CaptureFd versionErr(2);
    parse("<?xml version=\"1.1\"?><r><statement name='a' sql='SELECT 1'/></r>");
    const std::string versionLog = versionErr.text();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    EXPECT_EQ(get("a"), "");
    EXPECT_NE(versionLog.find("Unsupported XML version."), std::string::npos) << versionLog;
#else
    EXPECT_EQ(get("a"), "SELECT 1");
    EXPECT_EQ(versionLog, "");
#endif

    vtest::CaptureFd entityErr(2);
    parse("<!DOCTYPE r SYSTEM \"r.dtd\"><r><t>&copy;</t><statement name='b' sql='SELECT 2'/></r>");
    parse("<!DOCTYPE r [<!ENTITY % p SYSTEM 'p.ent'> %p;]><r><t>&copy;</t><statement name='c' sql='SELECT 3'/></r>");
    EXPECT_EQ(entityErr.text(), "");
    EXPECT_EQ(get("b"), "SELECT 2");
    EXPECT_EQ(get("c"), "SELECT 3");

    vtest::CaptureFd strictErr(2);
    parse("<r><t>&copy;</t><statement name='d' sql='SELECT 4'/></r>");
    parse("<?xml version='1.0' standalone='yes'?><!DOCTYPE r SYSTEM 'r.dtd'>"
          "<r><t>&copy;</t><statement name='e' sql='SELECT 5'/></r>");
    const std::string log = strictErr.text();
    EXPECT_EQ(get("d"), "");
    EXPECT_EQ(get("e"), "");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

TEST_F(VDbConfigReaderTest, EntitiesAndUtf8AreDecoded)
{
    parse(QString::fromUtf8("<r><statement name='lt' sql='SELECT a FROM t WHERE a &lt; 3 AND b = &apos;x&apos;'/>"
                            "<statement name='utf' sql=\"SELECT 'Grüße €'\"/></r>"));
    EXPECT_EQ(get("lt"), "SELECT a FROM t WHERE a < 3 AND b = 'x'");
    EXPECT_EQ(get("utf"), QString::fromUtf8("SELECT 'Grüße €'"));

    vtest::TempDir dir;
    vtest::writeFile(dir.file("s.xml"),
                     "<?xml version='1.0' encoding='UTF-8'?><r><statement name='f' sql='SELECT \xc3\xa4'/></r>");
    QFile f(QString::fromStdString(dir.file("s.xml")));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QTextStream s(&f);
    vSetUtf8(s);
    VDbConfigReader::instance()->parse(&s);
    EXPECT_EQ(get("f"), QString::fromUtf8("SELECT ä"));
}

TEST_F(VDbConfigReaderTest, MutatedDocumentsNeverCrash)
{
    const std::string base =
        "<?xml version='1.0'?><r a='1'><statement name='n1' sql='SELECT :a &amp; 1'/>"
        "<g><statement name='n2' sql=\"x\"/><!-- c --><![CDATA[<statement/>]]></g></r>";
    const char alphabet[] = "<>/='\"&;! ?-[]abcnsqltemt\n\0";
    std::mt19937 rng(12345);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    vtest::CaptureFd err(2); // the warnings of broken documents
    int runs = 0;
    while (std::chrono::steady_clock::now() < end && runs < 20000) {
        std::string doc = base;
        const int edits = 1 + int(rng() % 6);
        for (int i = 0; i < edits; ++i) {
            const size_t pos = rng() % (doc.size() + 1);
            const char c = alphabet[rng() % (sizeof(alphabet) - 1)];
            switch (rng() % 3) {
            case 0: doc.insert(pos, 1, c); break;
            case 1: if (pos < doc.size()) doc.erase(pos, 1); break;
            default: if (pos < doc.size()) doc[pos] = c; break;
            }
        }
        if (rng() % 5 == 0)
            doc.resize(rng() % (doc.size() + 1));
        parse(QString::fromLatin1(doc.data(), int(doc.size())));
        get("n1");
        ++runs;
    }
    err.text();
    EXPECT_GT(runs, 100);
}

} // namespace
