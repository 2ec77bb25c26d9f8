#include "VIO/parameters_registry.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNode>
#include <QDomNodeList>
#include <QList>

#include "VCore/vexception.h"
#include "VCore/xml_depth_guard_p.h"

namespace {

const char* const SOURCE_FILE = "VIO/parameters_registry";
// Line numbers are part of the exception texts callers match on.
const quint32 LINE_UNSUPPORTED_TYPE = 170;
const quint32 LINE_NO_DEFAULT = 209;
const quint32 LINE_NOT_REGISTERED = 233;

// The platforms a "restriction" may name for this build.
bool osApplies(const QDomElement& owner)
{
    const QDomElement restriction = owner.firstChildElement(QStringLiteral("restriction"));
    if (restriction.isNull())
        return true;
    const QString os = restriction.attribute(QStringLiteral("os"), QStringLiteral("All"));
    return os == QLatin1String("All") || os == QLatin1String("linux-i386")
           || os == QLatin1String("linux-x86_64") || os == QLatin1String("linux-amd64")
           || os == QLatin1String("UnixAll");
}

// Replaced registries: callers may still hold them, so they live until exit.
QList<VParametersRegistry*>& retiredRegistries()
{
    static QList<VParametersRegistry*>& retired = *new QList<VParametersRegistry*>;
    return retired;
}

} // namespace

std::atomic<VParametersRegistry*> VParametersRegistry::_instance{nullptr};

void VParametersRegistry::init(const QString& deploymentDescriptor)
{
    VParametersRegistry* fresh = new VParametersRegistry(deploymentDescriptor);
    VParametersRegistry* previous = _instance.exchange(fresh);
    if (previous)
        retiredRegistries().append(previous);
}

VParametersRegistry* VParametersRegistry::getInstance()
{
    return _instance.load();
}

VParametersRegistry::VParametersRegistry(const QString& deploymentDescriptor)
    : _valuesManager(nullptr), _parametersHash(parseDescriptors(deploymentDescriptor))
{
}

VParametersRegistry::~VParametersRegistry()
{
}

bool VParametersRegistry::isParameterRegistered(const QString& name) const
{
    return _parametersHash.contains(name);
}

const QHash<QString, VParameterDescriptor>& VParametersRegistry::getParametersHash() const
{
    return _parametersHash;
}

void VParametersRegistry::addParameterValuesManager(VParameterValuesManager* valuesManager)
{
    _valuesManager = valuesManager;
}

bool VParametersRegistry::contains(const QByteArray& name)
{
    return _valuesManager && _valuesManager->containsValue(QString::fromLocal8Bit(name));
}

void VParametersRegistry::addDeploymentDescriptor(const QString& deploymentDescriptor)
{
    const QHash<QString, VParameterDescriptor> added = parseDescriptors(deploymentDescriptor);
    for (auto it = added.constBegin(); it != added.constEnd(); ++it)
        _parametersHash.insert(it.key(), it.value());
}

const INI_VALUES_LIST_t VParametersRegistry::getValuesList() const
{
    return _valuesManager ? _valuesManager->getValuesList() : INI_VALUES_LIST_t();
}

QVariant::Type VParametersRegistry::getType(const QString& name)
{
    return findParameterDescriptor(name).getType();
}

VParameterDescriptor& VParametersRegistry::findParameterDescriptor(const QString& name)
{
    const auto it = _parametersHash.find(name);
    if (it == _parametersHash.end())
        throw VException(QString("The parameter %1 is not registered").arg(name), SOURCE_FILE,
                         LINE_NOT_REGISTERED);
    return it.value();
}

const VParameterDescriptor& VParametersRegistry::findParameterDescriptor(const QString& name) const
{
    const auto it = _parametersHash.constFind(name);
    if (it == _parametersHash.constEnd())
        throw VException(QString("The parameter %1 is not registered").arg(name), SOURCE_FILE,
                         LINE_NOT_REGISTERED);
    return it.value();
}

QHash<QString, VParameterDescriptor> VParametersRegistry::parseDescriptors(const QString& text)
{
    QDomDocument document;
    // setContent leaves these alone on success.
    QString errorMsg;
    int errorLine = 0;
    int errorColumn = 0;
    if (!vSetXmlContent(&document, text, &errorMsg, &errorLine, &errorColumn))
        throw VException(QString("Can't parse XML document (error: %1, line: %2, columd: %3)")
                             .arg(errorMsg, QString::number(errorLine), QString::number(errorColumn)));

    QHash<QString, VParameterDescriptor> table;
    const QDomNode parameters = document.namedItem(QStringLiteral("deploymentDescriptor"))
                                    .namedItem(QStringLiteral("parameters"));
    for (QDomNode node = parameters.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const VParameterDescriptor descriptor = constructDescriptor(&node);
        // Invalid: the parameter does not apply to this platform.
        if (descriptor.isValid())
            table.insert(descriptor.getName(), descriptor);
    }
    return table;
}

VParameterDescriptor VParametersRegistry::constructDescriptor(const QDomNode* parameterNode)
{
    const QDomElement element = parameterNode->toElement();
    const QString name = element.attribute(QStringLiteral("name"), QStringLiteral("name"));
    // A parameter for another platform is dropped before its type is checked.
    if (!osApplies(element))
        return VParameterDescriptor();

    const QString typeText = element.attribute(QStringLiteral("type"), QStringLiteral("type"));
    const QVariant::Type type = VParameterDescriptor::typeFromName(typeText);
    if (type == QVariant::Invalid)
        throw VException(QString("Unsupported parameter type: %1").arg(typeText), SOURCE_FILE,
                         LINE_UNSUPPORTED_TYPE);

    const QDomNodeList defaultValuesList = element.elementsByTagName(QStringLiteral("defaultValues"));
    if (!defaultValuesList.isEmpty()) {
        const QDomNodeList defaults =
            defaultValuesList.at(0).toElement().elementsByTagName(QStringLiteral("defaultValue"));
        for (int i = 0; i < defaults.count(); ++i) {
            const QDomElement defaultValue = defaults.at(i).toElement();
            if (!osApplies(defaultValue))
                continue;
            const QDomElement fixed = defaultValue.firstChildElement(QStringLiteral("fixed"));
            if (!fixed.isNull()) {
                // An empty <fixed/> is an empty default, never "no default".
                QString value = fixed.text();
                if (value.isNull())
                    value = QStringLiteral("");
                return VParameterDescriptor(type, name, value);
            }
            if (!defaultValue.firstChildElement(QStringLiteral("fromParam")).isNull())
                return VParameterDescriptor(type, name, QString());
        }
    }
    throw VException(
        QString("neither <fixed>, no <fromParam> were not found to specify a defaultValue of %1")
            .arg(name),
        SOURCE_FILE, LINE_NO_DEFAULT);
}
