#include "field_info.h"

#include <atomic>

#include <VCore/mutex.h>
#include <VSecurity/md5.h>

namespace {

const char* const kFile = "VIpc/field_info";

// Set with release ordering after all four tables are complete.
std::atomic<bool> g_filled(false);

}

const field_type_t VFieldInfo::FT_MIN_TYPE;
const field_type_t VFieldInfo::FT_MIN_ATOMIC_TYPE;
const field_type_t VFieldInfo::FT_8;
const field_type_t VFieldInfo::FT_16;
const field_type_t VFieldInfo::FT_32;
const field_type_t VFieldInfo::FT_64;
const field_type_t VFieldInfo::FT_MAX_ATOMIC_TYPE;
const field_type_t VFieldInfo::FT_MIN_RAW_TYPE;
const field_type_t VFieldInfo::FT_FIXED_SIZE;
const field_type_t VFieldInfo::FT_VARIABLE_SIZE;
const field_type_t VFieldInfo::FT_MAX_RAW_TYPE;
const field_type_t VFieldInfo::FT_MAX_TYPE;
const field_size_t VFieldInfo::FS_ANY_SIZE;
const field_size_t VFieldInfo::FS_8;
const field_size_t VFieldInfo::FS_16;
const field_size_t VFieldInfo::FS_32;
const field_size_t VFieldInfo::FS_64;
const quint32 VFieldInfo::FP_MIN_PROPERTY;
const quint32 VFieldInfo::FP_NOTHING;
const quint32 VFieldInfo::FP_INTERNAL;
const quint32 VFieldInfo::FP_MAX_PROPERTY;
const quint32 VFieldInfo::FO_MIN_INTERNAL;
const quint32 VFieldInfo::FO_CONTENT_DIGEST;
const quint32 VFieldInfo::FO_TYPE_DIGEST;
const quint32 VFieldInfo::FO_OFFSETS;
const quint32 VFieldInfo::FO_MAX_INTERNAL;
const quint32 VFieldInfo::FO_MIN_EXTERNAL;

// Texts are filled with one multi-argument arg() each, so a "%N" inside a
// field name is never taken for a placeholder.

// Early priority: a global object elsewhere in the library may build fields
// during its own static initialisation.
#define VORN_EARLY __attribute__((init_priority(101)))

const field_name_t VFieldInfo::FN_CONTENT_DIGEST VORN_EARLY = QLatin1String("ContentDigest");
const field_name_t VFieldInfo::FN_TYPE_DIGEST VORN_EARLY = QLatin1String("TypeDigest");
const field_name_t VFieldInfo::FN_OFFSETS VORN_EARLY = QLatin1String("Offsets");
const QString VFieldInfo::FTN_8 VORN_EARLY = QLatin1String("FT_8");
const QString VFieldInfo::FTN_16 VORN_EARLY = QLatin1String("FT_16");
const QString VFieldInfo::FTN_32 VORN_EARLY = QLatin1String("FT_32");
const QString VFieldInfo::FTN_64 VORN_EARLY = QLatin1String("FT_64");
const QString VFieldInfo::FTN_FIXED_SIZE VORN_EARLY = QLatin1String("FT_FIXED_SIZE");
const QString VFieldInfo::FTN_VARIABLE_SIZE VORN_EARLY = QLatin1String("FT_VARIABLE_SIZE");

// The tables and the lock come into being on first use and are never
// destroyed, so neither static-initialisation order nor a thread running at
// exit can meet them unconstructed or gone.
QHash<quint32, quint32>& VFieldInfo::ATOMIC_FIELD_TYPES_HASH()
{
    static QHash<quint32, quint32>& table = *new QHash<quint32, quint32>;
    return table;
}

QHash<QString, VFieldInfo>& VFieldInfo::INTERNAL_FIELD_TYPES_HASH()
{
    static QHash<QString, VFieldInfo>& table = *new QHash<QString, VFieldInfo>;
    return table;
}

QHash<quint32, QString>& VFieldInfo::FIELD_TYPE_TO_STRING_HASH()
{
    static QHash<quint32, QString>& table = *new QHash<quint32, QString>;
    return table;
}

QHash<quint32, QString>& VFieldInfo::FIELD_PROPERTIES_TO_STRING_HASH()
{
    static QHash<quint32, QString>& table = *new QHash<quint32, QString>;
    return table;
}

VMutex& VFieldInfo_PrivateStaticsInitializer::_mutex()
{
    static VMutex& mutex = *new VMutex;
    return mutex;
}

void VFieldInfo_PrivateStaticsInitializer::doInitPrivateStatics()
{
    if (g_filled.load(std::memory_order_acquire))
        return;
    VMutexLocker lock(&_mutex());
    // Filled by another thread meanwhile, or this thread is inside the fill
    // (the reserved fields' constructor comes back here).
    if (!VFieldInfo::ATOMIC_FIELD_TYPES_HASH().isEmpty())
        return;

    QHash<quint32, quint32>& atomic = VFieldInfo::ATOMIC_FIELD_TYPES_HASH();
    atomic.insert(VFieldInfo::FT_8, VFieldInfo::FS_8);
    atomic.insert(VFieldInfo::FT_16, VFieldInfo::FS_16);
    atomic.insert(VFieldInfo::FT_32, VFieldInfo::FS_32);
    atomic.insert(VFieldInfo::FT_64, VFieldInfo::FS_64);

    // Literals rather than the FN_/FTN_ statics: the fill may run before
    // those are constructed or after they are destroyed.
    const VFieldInfo contentDigest(QStringLiteral("ContentDigest"), VFieldInfo::FT_32,
                                   VFieldInfo::FS_32, VFieldInfo::FP_INTERNAL,
                                   VFieldInfo::FO_CONTENT_DIGEST, true);
    const VFieldInfo typeDigest(QStringLiteral("TypeDigest"), VFieldInfo::FT_FIXED_SIZE,
                                VMD5::HashSize, VFieldInfo::FP_INTERNAL,
                                VFieldInfo::FO_TYPE_DIGEST, true);
    const VFieldInfo offsets(QStringLiteral("Offsets"), VFieldInfo::FT_FIXED_SIZE, 0,
                             VFieldInfo::FP_INTERNAL, VFieldInfo::FO_OFFSETS, true);
    QHash<QString, VFieldInfo>& internal = VFieldInfo::INTERNAL_FIELD_TYPES_HASH();
    internal.insert(contentDigest.getName(), contentDigest);
    internal.insert(typeDigest.getName(), typeDigest);
    internal.insert(offsets.getName(), offsets);

    QHash<quint32, QString>& typeNames = VFieldInfo::FIELD_TYPE_TO_STRING_HASH();
    typeNames.insert(VFieldInfo::FT_8, QStringLiteral("FT_8"));
    typeNames.insert(VFieldInfo::FT_16, QStringLiteral("FT_16"));
    typeNames.insert(VFieldInfo::FT_32, QStringLiteral("FT_32"));
    typeNames.insert(VFieldInfo::FT_64, QStringLiteral("FT_64"));
    typeNames.insert(VFieldInfo::FT_FIXED_SIZE, QStringLiteral("FT_FIXED_SIZE"));
    typeNames.insert(VFieldInfo::FT_VARIABLE_SIZE, QStringLiteral("FT_VARIABLE_SIZE"));

    QHash<quint32, QString>& propertyNames = VFieldInfo::FIELD_PROPERTIES_TO_STRING_HASH();
    propertyNames.insert(VFieldInfo::FP_NOTHING, QStringLiteral("FP_NOTHING"));
    propertyNames.insert(VFieldInfo::FP_INTERNAL, QStringLiteral("FP_INTERNAL"));

    g_filled.store(true, std::memory_order_release);
}

VFieldInfo::VFieldInfo(const field_name_t& name, const field_type_t& type,
                       const field_size_t& size, const field_properties_t& properties,
                       const field_order_t& order)
    : _d(new VFieldInfoData(type, size, name, properties, order))
{
    VFieldInfo_PrivateStaticsInitializer::doInitPrivateStatics();
    verifyFieldAttributes();
}

VFieldInfo::VFieldInfo(const field_name_t& name, const field_type_t& type,
                       const field_size_t& size, const field_properties_t& properties,
                       const field_order_t& order, bool)
    : _d(new VFieldInfoData(type, size, name, properties, order))
{
    VFieldInfo_PrivateStaticsInitializer::doInitPrivateStatics();
}

VFieldInfo::~VFieldInfo()
{
}

void VFieldInfo::verifyFieldAttributes() const
{
    if (isAtomicType()) {
        const quint32 required = ATOMIC_FIELD_TYPES_HASH().value(getType());
        if (getSize() != required)
            throw VException(QString::fromLatin1("Can't declare an atomic field [%1]: the size should be %2")
                                 .arg(toString(), QString::number(required)),
                             kFile, 167);
    } else if (!isRawType()) {
        throw VException(QString::fromLatin1("Can't declare an internal field [%1]: the type is not "
                                             "known or not reserved for internal")
                             .arg(toString()),
                         kFile, 179);
    }
    verifyAgainstInternalFields();
}

void VFieldInfo::verifyAgainstInternalFields() const
{
    const auto it = INTERNAL_FIELD_TYPES_HASH().constFind(getName());
    if (it != INTERNAL_FIELD_TYPES_HASH().constEnd()) {
        if (!matches(it.value()))
            throw VException(QString::fromLatin1("The internal field parameters are not as "
                                                 "expected(is [%1], expected [%2])")
                                 .arg(toString(), it.value().toString()),
                             kFile, 196);
        return;
    }
    QString text;
    if (is(FP_INTERNAL))
        text += QString::fromLatin1("The field is marked as internal, but its name is not registered: %1.")
                    .arg(toString());
    if (getOrder() <= FO_MAX_INTERNAL)
        text += QString::fromLatin1("The external field's order (%1) is in interval of internal orders [%2, %3]")
                    .arg(QString::number(getOrder()), QString::number(FO_MIN_INTERNAL),
                         QString::number(FO_MAX_INTERNAL));
    if (!text.isEmpty())
        throw VException(text, kFile, 213);
}

QString VFieldInfo::toString() const
{
    return QString::fromLatin1("Field: Name %1, Type %2, Size %3, Properties %4, Order %5")
        .arg(getName(), getTypeAsString(), QString::number(getSize()), getPropertiesAsString(),
             QString::number(getOrder()));
}

const QString VFieldInfo::getTypeAsString() const
{
    const auto it = FIELD_TYPE_TO_STRING_HASH().constFind(getType());
    if (it != FIELD_TYPE_TO_STRING_HASH().constEnd())
        return it.value();
    return QString::fromLatin1("[THE TYPE %1 DOES NOT EXIST!]").arg(getType());
}

const QString VFieldInfo::getPropertiesAsString() const
{
    QString text;
    for (int bit = 0; bit < 32; ++bit) {
        const quint32 mask = quint32(1) << bit;
        if (!(getProperties() & mask))
            continue;
        const auto it = FIELD_PROPERTIES_TO_STRING_HASH().constFind(mask);
        if (it != FIELD_PROPERTIES_TO_STRING_HASH().constEnd())
            text += it.value() + QLatin1String(", ");
    }
    if (text.isEmpty())
        return FIELD_PROPERTIES_TO_STRING_HASH().value(FP_NOTHING);
    text.chop(2);
    return text;
}
