// Reading tolerant JSON with comments, changing it and writing it back.
#include <iostream>

#include <VCore/vexception.h>
#include <VIO/json_reader.h>
#include <VIO/json_value.h>
#include <VIO/json_writer.h>

int main()
{
    const QString text = QStringLiteral("// service settings\n"
                                        "{\n"
                                        "  \"name\": \"demo\", // shown in logs\n"
                                        "  \"ports\": [8080, 8081,],\n"
                                        "  \"ratio\": 3.141592653589793,\n"
                                        "  \"debug\": FALSE\n"
                                        "}\n");

    // Comments and upper-case literals are tolerated and reported as warnings.
    VJsonReader reader(VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS | VJSONREAD_ALLOW_LITERAL_CASE, 10);
    VJsonValue config;
    const int errors = reader.parse(text, &config);
    std::cout << "errors: " << errors << ", warnings: " << reader.getWarningCount() << std::endl;
    for (const QString& w : reader.getWarnings())
        std::cout << "  " << w.toStdString() << std::endl;

    std::cout << "name = " << config.itemAt(QStringLiteral("name")).asString().toStdString()
              << ", first port = " << config.itemAt(QStringLiteral("ports")).itemAt(0u).asInt() << std::endl;

    // Copies share until one of them changes.
    VJsonValue copy = config;
    copy[QStringLiteral("ports")].append(9090);
    copy[QStringLiteral("city")] = QString::fromUtf16(u"Z\u00fcrich \u20ac");
    std::cout << "ports in the original: " << config.itemAt(QStringLiteral("ports")).size()
              << ", in the copy: " << copy.itemAt(QStringLiteral("ports")).size() << std::endl;

    VJsonWriter writer(VJSONWRITE_INDENT | VJSONWRITE_COMMENTS, 0, 2);
    QString out;
    writer.write(copy, out);
    std::cout << "written with comments:\n" << out.toStdString();

    // A strict reader refuses what the tolerant one accepted.
    VJsonReader strict(0, 10);
    std::cout << "strict errors: " << strict.parse(text, nullptr) << std::endl;
    for (const QString& e : strict.getErrors())
        std::cout << "  " << e.toStdString() << std::endl;

    try {
        VJsonValue(VJSONTYPE_ARRAY).asString();
    } catch (const VException& e) {
        std::cout << "caught: " << e.what() << std::endl;
    }
    return 0;
}
