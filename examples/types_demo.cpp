// Record types built in code and from XML, identified by their digests and
// kept in the type registry.
#include <iostream>

#include <QBuffer>

#include <VIpc/type_registry.h>
#include <VIpc/xml_type_loader.h>

int main()
{
    VTypeInfo point("Point");
    point.addField32("x");
    point.addField32("y");
    point.addFieldVariableSize("label");
    point.finalize();
    std::cout << point.toString().toStdString() << std::endl;
    std::cout << "minimal size " << point.getMinimalSize() << ", offsets field at "
              << point.getOffsetsFieldOffset() << std::endl;

    QBuffer xml;
    xml.setData("<types>"
                "  <type name=\"Point\">"
                "    <field name=\"x\" type=\"FT_32\"/>"
                "    <field name=\"y\" type=\"FT_32\"/>"
                "    <field name=\"label\" type=\"FT_VARIABLE_SIZE\"/>"
                "  </type>"
                "  <type name=\"Sample\">"
                "    <field name=\"when\" type=\"FT_64\"/>"
                "    <field name=\"raw\" type=\"FT_FIXED_SIZE\" size=\"16\"/>"
                "  </type>"
                "</types>");
    xml.open(QIODevice::ReadOnly);
    VXmlTypeLoader loader(&xml);
    const QHash<QString, VTypeInfo> types = loader.loadAllTypes();
    const VTypeInfo fromXml = loader.loadTypeByName("Point");
    std::cout << "XML Point digest " << fromXml.getTypeDigest().constData()
              << (fromXml.getTypeDigest() == point.getTypeDigest() ? " (same as in code)" : " (differs!)")
              << std::endl;

    VTypeRegistry* registry = VTypeRegistry::getInstance();
    registry->registerType(point);
    registry->registerType(types.constFind("Sample").value());
    const VTypeInfo sample = registry->getTypeInfoByName("Sample");
    std::cout << "Sample: " << sample.getFieldsCount() << " fields, size " << sample.getSize() << ", digest "
              << sample.getTypeDigest().constData() << std::endl;
    std::cout << "by digest: " << registry->getTypeInfoByDigest(point.getTypeDigest()).getName().toStdString()
              << std::endl;

    try {
        registry->registerType(point);
    } catch (const VException& e) {
        std::cout << "caught: " << e.what() << std::endl;
    }
    try {
        VXmlTypeLoader(&xml).loadTypeByName("Missing");
    } catch (const VException& e) {
        std::cout << "caught: " << e.what() << std::endl;
    }
    return 0;
}
