// Parameters declared in a deployment descriptor, values read from php.ini
// files (the later file wins), declared defaults filled in, and the errors.
#include <iostream>

#include <QFile>
#include <QTemporaryDir>

#include <VCore/vexception.h>
#include <VIO/ini_file_values_manager.h>
#include <VIO/parameters_registry.h>
#include <VIO/php_ini_parser.h>

static void writeText(const QString& path, const char* text)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text);
}

int main()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString base = dir.path() + "/base.ini";
    const QString local = dir.path() + "/local.ini";
    writeText(base, "; defaults shipped with the program\n"
                    "[server]\n"
                    "server.port = 8080\n"
                    "server.name = \"demo; server\"   ; quoted ';' stays\n"
                    "server.tags = a\n"
                    "server.tags = b\n"
                    "broken line\n");
    writeText(local, "server.port = 9090\n");

    VPhpIniParser parser(QStringList() << "server.", nullptr);
    parser.addFile(base);
    std::cout << "parser: server.name = " << parser.value("server.name").toStdString() << std::endl;
    std::cout << "parser: server.tags has " << parser.values("server.tags").size() << " values, last "
              << parser.value("server.tags").toStdString() << std::endl;
    for (const QString& problem : parser.problems())
        std::cout << "parser: skipped " << problem.toStdString() << std::endl;

    VParametersRegistry::init(
        "<deploymentDescriptor><parameters>"
        "<param name=\"server.port\" type=\"int\"><defaultValues>"
        "<defaultValue><fixed>80</fixed></defaultValue></defaultValues></param>"
        "<param name=\"server.timeout\" type=\"int\"><defaultValues>"
        "<defaultValue><restriction os=\"win32\"/><fixed>60</fixed></defaultValue>"
        "<defaultValue><fixed>30</fixed></defaultValue></defaultValues></param>"
        "<param name=\"server.secret\" type=\"string\"><defaultValues>"
        "<defaultValue><fromParam/></defaultValue></defaultValues></param>"
        "</parameters></deploymentDescriptor>");
    VParametersRegistry* registry = VParametersRegistry::getInstance();
    for (const char* name : {"server.port", "server.timeout", "server.secret"}) {
        const VParameterDescriptor& d = registry->getParametersHash().value(name);
        std::cout << "registry: " << d.toString().toStdString() << std::endl;
    }

    VIniFileValuesManager values(QStringList() << base << local, registry->getParametersHash());
    registry->addParameterValuesManager(&values);
    std::cout << "values: server.port = " << values.getValue("server.port").toStdString()
              << " (local.ini wins over base.ini)" << std::endl;
    std::cout << "values: server.timeout = " << values.getValue("server.timeout").toStdString()
              << " (declared default)" << std::endl;
    for (const auto& pair : registry->getValuesList())
        std::cout << "list: " << pair.first.constData() << " = " << pair.second.constData() << std::endl;

    try {
        values.getValue("server.secret");
    } catch (const VException& e) {
        std::cout << "error: " << e.what() << std::endl;
    }
    try {
        registry->getType("server.missing");
    } catch (const VException& e) {
        std::cout << "error: " << e.what() << std::endl;
    }
    return 0;
}
