// VFieldInfo: one field of a record type (name, type code, size, property
// bits, order), verified against the reserved internal fields when built.
// Thread-safety: tables filled once under a lock; copies may live in different threads.
#ifndef VORNLIB_VIPC_FIELD_INFO_H
#define VORNLIB_VIPC_FIELD_INFO_H

#include "VCore/vornlib_export.h"

#include <QHash>
#include <QSharedData>
#include <QSharedDataPointer>
#include <QString>

#include <VCore/printable.h>
#include <VCore/vexception.h>

class VMutex;

typedef quint32 field_type_t;
typedef quint32 field_size_t;
typedef QString field_name_t;
typedef quint32 field_properties_t;
typedef quint32 field_order_t;

class VORN_EXPORT VFieldInfoData : public QSharedData
{
public:
    VFieldInfoData(const field_type_t& type, const field_size_t& size, const field_name_t& name,
                   const field_properties_t& properties, const field_order_t& order)
        : _type(type), _size(size), _name(name), _properties(properties), _order(order)
    {
    }

    field_type_t _type;
    field_size_t _size;
    field_name_t _name;
    field_properties_t _properties;
    field_order_t _order;
};

class VFieldInfo;

struct VORN_EXPORT VFieldInfo_PrivateStaticsInitializer
{
    // Fills the four tables of VFieldInfo once per process.
    static void doInitPrivateStatics();
    // Guards the fill; recursive, never destroyed.
    static VMutex& _mutex();
};

class VORN_EXPORT VFieldInfo : public VPrintable
{
public:
    // Type codes.
    static const field_type_t FT_MIN_TYPE = 1;
    static const field_type_t FT_MIN_ATOMIC_TYPE = 1;
    static const field_type_t FT_8 = 1;
    static const field_type_t FT_16 = 2;
    static const field_type_t FT_32 = 3;
    static const field_type_t FT_64 = 4;
    static const field_type_t FT_MAX_ATOMIC_TYPE = 4;
    static const field_type_t FT_MIN_RAW_TYPE = 101;
    static const field_type_t FT_FIXED_SIZE = 101;
    static const field_type_t FT_VARIABLE_SIZE = 102;
    static const field_type_t FT_MAX_RAW_TYPE = 102;
    static const field_type_t FT_MAX_TYPE = 102;

    // Sizes in bytes.
    static const field_size_t FS_ANY_SIZE = 0;
    static const field_size_t FS_8 = 1;
    static const field_size_t FS_16 = 2;
    static const field_size_t FS_32 = 4;
    static const field_size_t FS_64 = 8;

    // Property bits.
    static const quint32 FP_MIN_PROPERTY = 0;
    static const quint32 FP_NOTHING = 0;
    static const quint32 FP_INTERNAL = 1;
    static const quint32 FP_MAX_PROPERTY = 1;

    // Orders of the reserved fields and the first user order.
    static const quint32 FO_MIN_INTERNAL = 0;
    static const quint32 FO_CONTENT_DIGEST = 0;
    static const quint32 FO_TYPE_DIGEST = 1;
    static const quint32 FO_OFFSETS = 2;
    static const quint32 FO_MAX_INTERNAL = 2;
    static const quint32 FO_MIN_EXTERNAL = 3;

    static const field_name_t FN_CONTENT_DIGEST; // "ContentDigest"
    static const field_name_t FN_TYPE_DIGEST;    // "TypeDigest"
    static const field_name_t FN_OFFSETS;        // "Offsets"
    static const QString FTN_8;
    static const QString FTN_16;
    static const QString FTN_32;
    static const QString FTN_64;
    static const QString FTN_FIXED_SIZE;
    static const QString FTN_VARIABLE_SIZE;

    // Throws VException (file "VIpc/field_info") when the attributes break
    // a rule; then no field exists.
    VFieldInfo(const field_name_t& name, const field_type_t& type, const field_size_t& size,
               const field_properties_t& properties, const field_order_t& order);
    virtual ~VFieldInfo();

    const field_name_t& getName() const { return _d->_name; }
    const field_type_t& getType() const { return _d->_type; }
    const field_size_t& getSize() const { return _d->_size; }
    const field_order_t& getOrder() const { return _d->_order; }
    const field_properties_t& getProperties() const { return _d->_properties; }

    // The setters change the field after verification and do not verify.
    void setProperty(quint32 property) { _d->_properties |= property; }
    void unsetProperty(quint32 property) { _d->_properties &= ~property; }
    void setProperties(quint32 properties) { _d->_properties = properties; }
    // True when any bit of property is set.
    bool is(field_properties_t property) const { return (_d->_properties & property) != 0; }

    bool isAtomicType() const
    {
        return getType() >= FT_MIN_ATOMIC_TYPE && getType() <= FT_MAX_ATOMIC_TYPE;
    }
    bool isRawType() const { return getType() >= FT_MIN_RAW_TYPE && getType() <= FT_MAX_RAW_TYPE; }

    bool isIdenticalTo(const VFieldInfo& other) const
    {
        return getName() == other.getName() && getType() == other.getType()
               && getSize() == other.getSize() && getProperties() == other.getProperties()
               && getOrder() == other.getOrder();
    }

    // Asymmetric: the raw-type and reserved-name tests look at this field.
    bool matches(const VFieldInfo& other) const
    {
        return getName() == other.getName() && getType() == other.getType()
               && (isRawType() || getSize() == other.getSize())
               && (getProperties() & other.getProperties()) != 0
               && (!isNameInternal(getName()) || getOrder() == other.getOrder());
    }

    // Equal attributes (as isIdenticalTo).
    bool operator==(const VFieldInfo& other) const { return isIdenticalTo(other); }

    static bool isNameInternal(const QString& name)
    {
        VFieldInfo_PrivateStaticsInitializer::doInitPrivateStatics();
        return INTERNAL_FIELD_TYPES_HASH().contains(name);
    }

    // The reserved field of that name; throws VException "undefined field:
    // %1" for a name that is not reserved.
    static VFieldInfo getInternalFieldInfo(const QString& name)
    {
        VFieldInfo_PrivateStaticsInitializer::doInitPrivateStatics();
        const auto it = INTERNAL_FIELD_TYPES_HASH().constFind(name);
        if (it == INTERNAL_FIELD_TYPES_HASH().constEnd())
            throw VException(QString::fromLatin1("undefined field: %1").arg(name));
        return it.value();
    }

    virtual QString toString() const;
    const QString getTypeAsString() const;
    const QString getPropertiesAsString() const;

private:
    friend struct VFieldInfo_PrivateStaticsInitializer;

    // Used by the fill for the reserved fields: no verification.
    VFieldInfo(const field_name_t& name, const field_type_t& type, const field_size_t& size,
               const field_properties_t& properties, const field_order_t& order, bool);

    void verifyFieldAttributes() const;
    void verifyAgainstInternalFields() const;

    // Filled once, then read-only; never destroyed (late threads may read).
    static QHash<quint32, quint32>& ATOMIC_FIELD_TYPES_HASH();
    static QHash<QString, VFieldInfo>& INTERNAL_FIELD_TYPES_HASH();
    static QHash<quint32, QString>& FIELD_TYPE_TO_STRING_HASH();
    static QHash<quint32, QString>& FIELD_PROPERTIES_TO_STRING_HASH();

    QSharedDataPointer<VFieldInfoData> _d;
};

#endif
