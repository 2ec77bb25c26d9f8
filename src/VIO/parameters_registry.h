// VParametersRegistry: the parameters an application declares in an XML
// deployment descriptor, by name, and the process-wide instance made by init.
// Thread-safety: none; call init before other threads use the registry.
#ifndef VORNLIB_VIO_PARAMETERS_REGISTRY_H
#define VORNLIB_VIO_PARAMETERS_REGISTRY_H

#include "VCore/vornlib_export.h"

#include <atomic>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariant>

#include "VIO/parameter_descriptor.h"
#include "VIO/parameter_values_manager.h"

class QDomNode;

class VORN_EXPORT VParametersRegistry
{
public:
    // Builds a registry from the XML text and makes it the instance. When that
    // throws, the previous instance stays. A replaced instance is kept alive
    // (callers may hold it) until the process ends.
    static void init(const QString& deploymentDescriptor);
    // The instance; null before the first successful init.
    static VParametersRegistry* getInstance();

    explicit VParametersRegistry(const QString& deploymentDescriptor);
    ~VParametersRegistry();

    bool isParameterRegistered(const QString& name) const;
    const QHash<QString, VParameterDescriptor>& getParametersHash() const;
    // Attaches a values manager (not owned).
    void addParameterValuesManager(VParameterValuesManager* valuesManager);
    // Whether the attached values manager gives the name a value.
    bool contains(const QByteArray& name);
    // Registers the parameters of one more descriptor text (later names
    // replace earlier ones); nothing changes when it throws.
    void addDeploymentDescriptor(const QString& deploymentDescriptor);
    // The attached values manager's values; empty without one.
    const INI_VALUES_LIST_t getValuesList() const;
    // The type of a registered parameter; throws when it is not registered.
    QVariant::Type getType(const QString& name);

private:
    VParametersRegistry(const VParametersRegistry&) = delete;
    VParametersRegistry& operator=(const VParametersRegistry&) = delete;

    VParameterDescriptor& findParameterDescriptor(const QString& name);
    const VParameterDescriptor& findParameterDescriptor(const QString& name) const;
    static VParameterDescriptor constructDescriptor(const QDomNode* parameterNode);
    static QHash<QString, VParameterDescriptor> parseDescriptors(const QString& deploymentDescriptor);

    VParameterValuesManager* _valuesManager;
    QHash<QString, VParameterDescriptor> _parametersHash;
    static std::atomic<VParametersRegistry*> _instance;
};

#endif
