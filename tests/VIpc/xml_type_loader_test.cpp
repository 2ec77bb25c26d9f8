#include <VCore/xml_depth_guard_p.h>
#include <VIpc/xml_type_loader.h>

#include "deep_xml.h"
#include "testutil.h"
#include "exception_text.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>

#include <random>

using vtest::exceptionText;

namespace {

QHash<QString, VTypeInfo> loadText(const QByteArray& xml)
{
    QBuffer buffer;
    buffer.setData(xml);
    buffer.open(QIODevice::ReadOnly);
    VXmlTypeLoader loader(&buffer);
    return loader.loadAllTypes();
}

quint32 fixedSize(const char* sizeAttr)
{
    QByteArray xml = "<types><t name=\"S\"><field name=\"b\" type=\"FT_FIXED_SIZE\"";
    if (sizeAttr)
        xml += QByteArray(" size=\"") + sizeAttr + "\"";
    xml += "/></t></types>";
    return loadText(xml).value("S", VTypeInfo("none")).getFieldInfoByName("b").getSize();
}

const char kDocument[] =
    "<?xml version=\"1.0\"?>\n"
    "<types>\n"
    "  <!-- a comment -->\n"
    "  <type name=\"T\"><field name=\"a\" type=\"FT_32\"/></type>\n"
    "  text between types\n"
    "  <record name=\"All\">\n"
    "    <field name=\"f8\" type=\"FT_8\"/><field name=\"f16\" type=\"FT_16\"/>\n"
    "    <field name=\"f64\" type=\"FT_64\"/><note>skipped</note>\n"
    "    <field name=\"blk\" type=\"FT_FIXED_SIZE\" size=\"12\"/>\n"
    "    <group><field name=\"deep\" type=\"FT_8\"/></group>\n"
    "    <field name=\"var\" type=\"FT_VARIABLE_SIZE\"/>\n"
    "  </record>\n"
    "  <type name=\"Empty\"/>\n"
    "</types>\n";

}

TEST(VXmlTypeLoader, BuildsTypesAsInCode)
{
    const QHash<QString, VTypeInfo> types = loadText(kDocument);
    ASSERT_EQ(types.size(), 3);
    EXPECT_EQ(types.value("T", VTypeInfo("x")).getTypeDigest(), QByteArray("A5A286FCE14F74E478D10FF308ED8CF0"));
    EXPECT_EQ(types.value("Empty", VTypeInfo("x")).getTypeDigest(), [] {
        VTypeInfo t("Empty");
        t.finalize();
        return t.getTypeDigest();
    }());

    VTypeInfo all("All");
    all.addField8("f8");
    all.addField16("f16");
    all.addField64("f64");
    all.addFieldFixedSize("blk", 12);
    all.addFieldVariableSize("var");
    all.finalize();
    const VTypeInfo loaded = types.value("All", VTypeInfo("x"));
    EXPECT_EQ(loaded.getTypeDigest(), all.getTypeDigest());
    EXPECT_TRUE(loaded.isIdenticalTo(all));
    EXPECT_EQ(loaded.getFieldsCount(), 8u); // "deep" one level down is not a field
}

TEST(VXmlTypeLoader, DocumentShapesThatAreNotErrors)
{
    EXPECT_TRUE(loadText("<other><t name=\"T\"/></other>").isEmpty());
    EXPECT_TRUE(loadText("<types/>").isEmpty());
    const auto dup = loadText("<types><a name=\"D\"><field name=\"x\" type=\"FT_8\"/></a>"
                              "<b name=\"D\"><field name=\"y\" type=\"FT_16\"/></b></types>");
    ASSERT_EQ(dup.size(), 1);
    EXPECT_EQ(dup.value("D", VTypeInfo("x")).getFieldsNames().last(), "y");
    const auto unnamed = loadText("<types><t><field type=\"FT_8\"/></t></types>");
    ASSERT_TRUE(unnamed.contains(""));
    EXPECT_NO_THROW(unnamed.value("", VTypeInfo("x")).getFieldInfoByName(""));
}

// What the DOM parser of the running Qt reads is read, in either encoding:
// an XML 1.1 declaration (Qt 5 only) and a reference to an entity the
// external subset may declare.
TEST(VXmlTypeLoader, WellFormedDocumentsAreRead)
{
    const QString type = "<types><t name=\"T\"><field name=\"a\" type=\"FT_8\"/></t></types>";
    const QString entity = "<!DOCTYPE types SYSTEM \"t.dtd\"><types><x>&copy;</x>" + type.mid(7);
    for (const QString& text : {"<?xml version='1.1'?>\n" + type, entity}) {
        for (const QByteArray& bytes : {text.toUtf8(), vtest::utf16WithBom(text)}) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
            if (text != entity) {
                EXPECT_ANY_THROW(loadText(bytes));
                continue;
            }
#endif
            QHash<QString, VTypeInfo> types;
            EXPECT_EQ(exceptionText([&] { types = loadText(bytes); }), "<no exception>") << text.toStdString();
            EXPECT_EQ(types.value("T", VTypeInfo("none")).getFieldsCount(), 4u) << text.toStdString();
        }
    }
}

TEST(VXmlTypeLoader, FixedSizeAttribute)
{
    EXPECT_EQ(fixedSize(nullptr), 0u);
    EXPECT_EQ(fixedSize("abc"), 0u);
    EXPECT_EQ(fixedSize("-1"), 0u);
    EXPECT_EQ(fixedSize("12x"), 0u);
    EXPECT_EQ(fixedSize(" 12"), 12u);
    EXPECT_EQ(fixedSize("4&#160;"), 4u); // read as on Qt 5, on every peer
    EXPECT_EQ(fixedSize("4294967297"), 1u);
    EXPECT_EQ(fixedSize("0"), 0u);
}

TEST(VXmlTypeLoader, ErrorTexts)
{
    EXPECT_EQ(exceptionText([] { loadText("<types><t name=\"T\"><field name=\"a\" type=\"ft_8\"/></t></types>"); }),
              "Illegal field type ft_8");
    EXPECT_EQ(exceptionText([] { loadText("<types><t name=\"T\"><field name=\"a\"/></t></types>"); }),
              "Illegal field type ");
    EXPECT_EQ(exceptionText([] {
                  loadText("<types><t name=\"T\"><field name=\"a\" type=\"FT_8\"/>"
                           "<field name=\"a\" type=\"FT_16\"/></t></types>");
              }),
              "VIpc/type_info:337 [T] field already defined: a.");
    EXPECT_NE(exceptionText([] { loadText("<types><t name=\"T\"><field name=\"Offsets\" type=\"FT_8\"/></t></types>"); })
                  .find("VIpc/field_info:"),
              std::string::npos);

    const std::string parse = exceptionText([] { loadText("<types><t name=\"T\">"); });
    EXPECT_EQ(parse.rfind("Can't parse XML document (error: ", 0), 0u) << parse;
    EXPECT_NE(parse.find(", line: "), std::string::npos);
    EXPECT_NE(parse.find(", columd: "), std::string::npos);

    VXmlTypeLoader nullLoader(nullptr);
    EXPECT_EQ(exceptionText([&] { nullLoader.loadAllTypes(); }), "Can't reset an IODevice");
    QTcpSocket socket;
    VXmlTypeLoader socketLoader(&socket);
    EXPECT_EQ(socketLoader.getDevice(), &socket);
    {
        vtest::CaptureFd err(2); // Qt warns about the seek on stderr
        EXPECT_EQ(exceptionText([&] { socketLoader.loadAllTypes(); }), "Can't reset an IODevice");
    }

    QBuffer buffer;
    buffer.setData(kDocument);
    buffer.open(QIODevice::ReadOnly);
    socketLoader.setDevice(&buffer);
    EXPECT_EQ(exceptionText([&] { socketLoader.loadTypeByName("Missing"); }), "Type Missing was not found on a given device");
}

TEST(VXmlTypeLoader, FileReadTwiceGivesSameTypes)
{
    vtest::TempDir dir;
    const std::string path = dir.file("types.xml");
    vtest::writeFile(path, kDocument);
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    VXmlTypeLoader loader(&file);
    const auto first = loader.loadAllTypes();
    const auto second = loader.loadAllTypes();
    ASSERT_EQ(first.size(), second.size());
    for (auto it = first.constBegin(); it != first.constEnd(); ++it)
        EXPECT_EQ(second.value(it.key(), VTypeInfo("x")).getTypeDigest(), it.value().getTypeDigest());
    EXPECT_EQ(loader.loadTypeByName("T").getTypeDigest(), QByteArray("A5A286FCE14F74E478D10FF308ED8CF0"));
}

// Mutated documents: every outcome is a table of finalized types or a
// VException, never a crash (run under the sanitizers).
TEST(VXmlTypeLoader, FuzzedDocumentsNeverCrash)
{
    const QByteArray seed(kDocument);
    const char* tokens[] = { "<", ">", "/>", "</", "field", "type=\"FT_8\"", "type=\"FT_FIXED_SIZE\" size=\"9\"",
                             "name=\"a\"", "name=\"Offsets\"", "\"", "&amp;", "<![CDATA[x]]>", "<types>", "=" };
    std::mt19937 rng(107);
    QElapsedTimer timer;
    timer.start();
    int runs = 0, loaded = 0;
    while (runs < 3000 && timer.elapsed() < 4000) {
        QByteArray doc = seed;
        const int edits = 1 + int(rng() % 6);
        for (int e = 0; e < edits; ++e) {
            const int pos = int(rng() % quint32(doc.size() + 1));
            switch (rng() % 4) {
            case 0:
                doc.remove(pos, int(rng() % 8));
                break;
            case 1:
                doc.insert(pos, tokens[rng() % (sizeof tokens / sizeof *tokens)]);
                break;
            case 2:
                if (pos < doc.size())
                    doc[pos] = char(rng());
                break;
            default:
                doc.insert(pos, doc.mid(int(rng() % quint32(doc.size())), int(rng() % 40)));
                break;
            }
        }
        ++runs;
        try {
            const auto types = loadText(doc);
            for (const VTypeInfo& t : types) {
                ASSERT_TRUE(t.isFinalized());
                ASSERT_EQ(t.getOffsetsFieldOffset(), 36u);
            }
            ++loaded;
        } catch (const VException&) {
        }
    }
    EXPECT_GT(runs, 100);
    EXPECT_GT(loaded, 0);
}

// Elements nested far deeper than any real document, also behind faults a
// lenient parser reads past, in UTF-8 and UTF-16: refused as malformed XML.
TEST(VXmlTypeLoader, TooDeepDocumentIsRefused)
{
    const QString type = "<t name=\"T\"><field name=\"a\" type=\"FT_8\"/></t>";
    for (const QString& text : vtest::tooDeepXml("types", type)) {
        for (const QByteArray& bytes : {text.toUtf8(), vtest::utf16WithBom(text)}) {
            const std::string what = exceptionText([&] { loadText(bytes); });
            EXPECT_EQ(what.rfind("Can't parse XML document (error: ", 0), 0u) << what;
        }
    }
    // Exactly as deep as allowed, in either encoding, is read as before.
    const QString nested = "<types>" + type + "<u name=\"U\">" + vtest::nestedXml(VXML_MAX_DEPTH - 2) + "</u></types>";
    EXPECT_EQ(loadText(nested.toUtf8()).size(), 2);
    EXPECT_EQ(loadText(vtest::utf16WithBom(nested)).value("T", VTypeInfo("none")).getFieldsCount(), 4u);
}
