#include <functional>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include <VCore/vexception.h>
#include <VCore/xml_depth_guard_p.h>
#include <VIO/parameters_registry.h>

#include "deep_xml.h"
#include "exception_text.h"

using vtest::exceptionText;

namespace {

QString descriptor(const QString& parameters)
{
    return "<deploymentDescriptor><parameters>" + parameters + "</parameters></deploymentDescriptor>";
}

QString dv(const QString& inner)
{
    return "<defaultValues><defaultValue>" + inner + "</defaultValue></defaultValues>";
}

// Answers every name with its own text; counts nothing else.
class EchoValues : public VParameterValuesManager
{
public:
    const QString getValue(const QString& name) const override { return name; }
    void setValue(const QString&, const QString&) override {}
    bool containsValue(const QString& name) const override { return name == "known"; }
    const INI_VALUES_LIST_t getValuesList() const override
    {
        return INI_VALUES_LIST_t() << qMakePair(QByteArray("known"), QByteArray("1"));
    }
};

} // namespace

TEST(VParameterDescriptor, ValuesAndText)
{
    const VParameterDescriptor invalid;
    EXPECT_FALSE(invalid.isValid());
    EXPECT_EQ(invalid.toString(), "instance of VParameterDescriptor: type=, name=, defaultValue=[not specified]");

    VParameterDescriptor port(QVariant::Int, "port", "8080");
    EXPECT_TRUE(port.isValid());
    EXPECT_EQ(port.getTypeAsString(), "int");
    EXPECT_EQ(port.toString(), "instance of VParameterDescriptor: type=int, name=port, defaultValue=8080");

    const VParameterDescriptor empty(QVariant::String, "e", QString(""));
    EXPECT_EQ(empty.toString(), "instance of VParameterDescriptor: type=QString, name=e, defaultValue=");
    EXPECT_TRUE(VParameterDescriptor(QVariant::Bool, "b").getDefaultValue().isNull());
    EXPECT_EQ(VParameterDescriptor("boolean", "b").getType(), QVariant::Bool);
    EXPECT_FALSE(VParameterDescriptor("String", "b").isValid());

    // A value type: assignment replaces every field.
    port = empty;
    EXPECT_EQ(port.getType(), QVariant::String);
    EXPECT_EQ(port.getName(), "e");
    EXPECT_FALSE(port.getDefaultValue().isNull());
}

TEST(VParametersRegistry, RegistersTypedParameters)
{
    VParametersRegistry r(descriptor("<p name=\"port\" type=\"int\">" + dv("<fixed>8080</fixed>") + "</p>"
                                     "<!-- a comment -->text"
                                     "<p name=\"s\" type=\"string\">" + dv("<fixed>x</fixed>") + "</p>"
                                     "<p name=\"b\" type=\"boolean\">" + dv("<fixed>true</fixed>") + "</p>"
                                     "<p name=\"d\" type=\"double\">" + dv("<fixed>1.5</fixed>") + "</p>"
                                     "<p type=\"QString\">" + dv("<fixed/>") + "</p>"));
    const QHash<QString, VParameterDescriptor>& table = r.getParametersHash();
    ASSERT_EQ(table.size(), 5);
    EXPECT_EQ(table.value("port").toString(), "instance of VParameterDescriptor: type=int, name=port, defaultValue=8080");
    EXPECT_EQ(r.getType("port"), QVariant::Int);
    EXPECT_EQ(table.value("s").getTypeAsString(), "QString");
    EXPECT_EQ(table.value("b").getTypeAsString(), "bool");
    EXPECT_EQ(r.getType("d"), QVariant::Double);
    // A missing name registers "name"; an empty <fixed/> is an empty default.
    ASSERT_TRUE(r.isParameterRegistered("name"));
    EXPECT_TRUE(table.value("name").getDefaultValue().isEmpty());
    EXPECT_FALSE(table.value("name").getDefaultValue().isNull());
    EXPECT_EQ(table.value("name").toString(), "instance of VParameterDescriptor: type=QString, name=name, defaultValue=");
}

TEST(VParametersRegistry, UnsupportedTypes)
{
    EXPECT_EQ(exceptionText([] { VParametersRegistry r(descriptor("<p name=\"x\" type=\"String\">" + dv("<fixed>1</fixed>") + "</p>")); }),
              "VIO/parameters_registry:170 Unsupported parameter type: String");
    EXPECT_EQ(exceptionText([] { VParametersRegistry r(descriptor("<p name=\"x\">" + dv("<fixed>1</fixed>") + "</p>")); }),
              "VIO/parameters_registry:170 Unsupported parameter type: type");
}

TEST(VParametersRegistry, PlatformRestriction)
{
    // A foreign platform drops the parameter before its type is looked at.
    VParametersRegistry foreign(descriptor("<p name=\"w\"><restriction os=\"win32\"/></p>"
                                           "<p name=\"e\"><restriction os=\"\"/></p>"));
    EXPECT_TRUE(foreign.getParametersHash().isEmpty());

    VParametersRegistry local(descriptor("<p name=\"a\" type=\"int\"><restriction/>" + dv("<fixed>1</fixed>") + "</p>"
                                         "<p name=\"b\" type=\"int\"><restriction os=\"linux-x86_64\"/>" + dv("<fixed>2</fixed>") + "</p>"
                                         "<p name=\"c\" type=\"int\"><restriction os=\"UnixAll\"/>" + dv("<fixed>3</fixed>") + "</p>"));
    EXPECT_EQ(local.getParametersHash().size(), 3);
}

TEST(VParametersRegistry, DefaultValueRules)
{
    VParametersRegistry r(descriptor(
        "<p name=\"restricted\" type=\"QString\"><defaultValues>"
        "<defaultValue><restriction os=\"win32\"/><fixed>a</fixed></defaultValue>"
        "<defaultValue><fixed>b</fixed></defaultValue></defaultValues></p>"
        "<p name=\"fromParam\" type=\"QString\"><defaultValues><defaultValue/>"
        "<defaultValue><fromParam>ignored</fromParam></defaultValue></defaultValues></p>"
        "<p name=\"both\" type=\"QString\">" + dv("<fromParam/><fixed>f</fixed>") + "</p>"
        "<p name=\"deep\" type=\"QString\"><meta><defaultValues><group><defaultValue><fixed>x<![CDATA[<y>]]></fixed>"
        "</defaultValue></group></defaultValues></meta></p>"));
    const QHash<QString, VParameterDescriptor>& table = r.getParametersHash();
    EXPECT_EQ(table.value("restricted").getDefaultValue(), "b");
    EXPECT_TRUE(table.value("fromParam").getDefaultValue().isNull());
    EXPECT_EQ(table.value("fromParam").toString(),
              "instance of VParameterDescriptor: type=QString, name=fromParam, defaultValue=[not specified]");
    EXPECT_EQ(table.value("both").getDefaultValue(), "f");
    EXPECT_EQ(table.value("deep").getDefaultValue(), "x<y>");

    EXPECT_EQ(exceptionText([] { VParametersRegistry bad(descriptor("<p name=\"p\" type=\"int\"/>")); }),
              "VIO/parameters_registry:209 neither <fixed>, no <fromParam> were not found to specify a defaultValue of p");
    EXPECT_EQ(exceptionText([] { VParametersRegistry bad(descriptor("<p name=\"p\" type=\"int\">" + dv("") + "</p>")); }),
              "VIO/parameters_registry:209 neither <fixed>, no <fromParam> were not found to specify a defaultValue of p");
}

TEST(VParametersRegistry, DocumentShapes)
{
    EXPECT_TRUE(VParametersRegistry("<config/>").getParametersHash().isEmpty());
    EXPECT_TRUE(VParametersRegistry(descriptor("")).getParametersHash().isEmpty());
    VParametersRegistry twice(descriptor("<p name=\"p\" type=\"int\">" + dv("<fixed>1</fixed>") + "</p>"
                                         "<p name=\"p\" type=\"double\">" + dv("<fixed>2</fixed>") + "</p>"));
    ASSERT_EQ(twice.getParametersHash().size(), 1);
    EXPECT_EQ(twice.getParametersHash().value("p").getDefaultValue(), "2");
    EXPECT_EQ(twice.getType("p"), QVariant::Double);

    // Qt words the error itself: match only the frame, and no location.
    const std::regex frame("^Can't parse XML document \\(error: .+, line: [0-9]+, columd: [0-9]+\\)$");
    for (const char* text : {"<deploymentDescriptor><parameters>", "<a>", "",
                             "<!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                             "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
                             "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]><d>&e;</d>"}) {
        const std::string what = exceptionText([&] { VParametersRegistry r(QString::fromLatin1(text)); });
        EXPECT_TRUE(std::regex_match(what, frame)) << text << " -> " << what;
    }
}

TEST(VParametersRegistry, LookupsAndValuesManager)
{
    VParametersRegistry r(descriptor("<p name=\"p\" type=\"int\">" + dv("<fixed>1</fixed>") + "</p>"));
    EXPECT_EQ(exceptionText([&] { r.getType("nope"); }), "VIO/parameters_registry:233 The parameter nope is not registered");
    EXPECT_FALSE(r.isParameterRegistered("nope"));

    EXPECT_FALSE(r.contains("known"));
    EXPECT_TRUE(r.getValuesList().isEmpty());
    EchoValues values;
    r.addParameterValuesManager(&values);
    EXPECT_TRUE(r.contains("known"));
    EXPECT_FALSE(r.contains("other"));
    EXPECT_EQ(r.getValuesList().size(), 1);

    r.addDeploymentDescriptor(descriptor("<q name=\"q\" type=\"bool\">" + dv("<fixed>true</fixed>") + "</q>"));
    EXPECT_EQ(r.getType("q"), QVariant::Bool);
    EXPECT_EQ(r.getType("p"), QVariant::Int);
    EXPECT_NE(exceptionText([&] { r.addDeploymentDescriptor(descriptor("<z name=\"z\" type=\"int\"/>")); }), "<no exception>");
    EXPECT_FALSE(r.isParameterRegistered("z"));
}

TEST(VParametersRegistry, InitPublishesOnlyBuiltRegistries)
{
    VParametersRegistry::init(descriptor("<p name=\"first\" type=\"int\">" + dv("<fixed>1</fixed>") + "</p>"));
    VParametersRegistry* first = VParametersRegistry::getInstance();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isParameterRegistered("first"));

    EXPECT_NE(exceptionText([] { VParametersRegistry::init("<deploymentDescriptor>"); }), "<no exception>");
    EXPECT_EQ(VParametersRegistry::getInstance(), first);

    VParametersRegistry::init(descriptor("<p name=\"second\" type=\"int\">" + dv("<fixed>2</fixed>") + "</p>"));
    VParametersRegistry* second = VParametersRegistry::getInstance();
    EXPECT_NE(second, first);
    EXPECT_TRUE(second->isParameterRegistered("second"));
    // The replaced registry stays usable for callers that still hold it.
    EXPECT_TRUE(first->isParameterRegistered("first"));
}

// Elements nested far deeper than any real descriptor, also behind faults a
// lenient parser reads past: refused as malformed XML, nothing registered.
TEST(VParametersRegistry, TooDeepDocumentIsRefused)
{
    const QString kept = "<p name=\"kept\" type=\"int\">" + dv("<fixed>1</fixed>") + "</p>";
    const QStringList deep = vtest::tooDeepXml("deploymentDescriptor", "<parameters>" + kept, "</parameters>");
    const std::regex frame("^Can't parse XML document \\(error: .+, line: [0-9]+, columd: [0-9]+\\)$");
    VParametersRegistry::init(descriptor(kept));
    VParametersRegistry* before = VParametersRegistry::getInstance();
    for (const QString& text : deep) {
        const std::string what = exceptionText([&] { VParametersRegistry::init(text); });
        EXPECT_TRUE(std::regex_match(what, frame)) << what;
        EXPECT_EQ(VParametersRegistry::getInstance(), before);
        VParametersRegistry r(descriptor(kept));
        EXPECT_TRUE(std::regex_match(exceptionText([&] { r.addDeploymentDescriptor(text); }), frame));
        EXPECT_EQ(r.getParametersHash().size(), 1);
    }
    EXPECT_EQ(exceptionText([&] { VParametersRegistry r(deep.first()); }).rfind(
                  "Can't parse XML document (error: elements nested deeper than "
                  + std::to_string(VXML_MAX_DEPTH) + " levels, line: 1, columd: ", 0),
              0u);

    // Exactly as deep as allowed is read as before; one level more is not.
    const auto nestedDefault = [](int levels) {
        return descriptor("<p name=\"n\" type=\"int\"><defaultValues>" + vtest::nestedXml(levels, "<x/>")
                          + "<defaultValue><fixed>7</fixed></defaultValue></defaultValues></p>");
    };
    VParametersRegistry ok(nestedDefault(VXML_MAX_DEPTH - 5));
    EXPECT_EQ(ok.getParametersHash().value("n").getDefaultValue(), "7");
    EXPECT_TRUE(std::regex_match(exceptionText([&] { VParametersRegistry r(nestedDefault(VXML_MAX_DEPTH - 4)); }), frame));
}
