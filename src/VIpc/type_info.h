// VTypeInfo: a record type described field by field, finalized with the
// three reserved fields and identified by an MD5 digest of its layout.
// Thread-safety: copies may live in different threads; one object is used by one thread at a time.
#ifndef VORNLIB_VIPC_TYPE_INFO_H
#define VORNLIB_VIPC_TYPE_INFO_H

#include "VCore/vornlib_export.h"

#include <algorithm>

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSharedData>
#include <QSharedDataPointer>
#include <QString>

#include <VCore/vexception.h>
#include <VIpc/field_info.h>
#include <VSecurity/md5.h>

typedef quint64 field_offset_t;

template <class Digest>
class VTypeInfoData_t : public QSharedData
{
public:
    explicit VTypeInfoData_t(const QString& name)
        : _name(name), _putContentDigest(false), _variableSize(false), _size(0), _minimalSize(0),
          _fieldCount(VFieldInfo::FO_MAX_INTERNAL), _offsetsFieldOffset(0)
    {
    }
    // The implicit copy (on detach) copies the digest producer with its
    // running state: two data objects never share one producer.

    QString _name;
    Digest _typeDigestProducer;
    QByteArray _typeDigest; // empty exactly while not finalized
    bool _putContentDigest;
    bool _variableSize;
    quint32 _size;
    quint32 _minimalSize;
    QHash<QString, VFieldInfo> _fieldsByName;
    quint32 _fieldCount; // order of the last user field
    QMap<uint, VFieldInfo> _fieldsByOrder;
    field_offset_t _offsetsFieldOffset;
};

template <class Digest>
class VTypeInfo_t
{
public:
    static const quint32 ANY_SIZE = 0;
    static const field_offset_t ZERO_OFFSET = 0;

    // An open, empty description. The digest starts with the name's
    // Latin-1 bytes (a character Latin-1 lacks counts as '?').
    explicit VTypeInfo_t(const QString& name);
    virtual ~VTypeInfo_t() {}

    virtual QString toString() const;

    void addField8(const QString& name) { addBlock(name, VFieldInfo::FT_8, VFieldInfo::FS_8, VFieldInfo::FP_NOTHING); }
    void addField16(const QString& name) { addBlock(name, VFieldInfo::FT_16, VFieldInfo::FS_16, VFieldInfo::FP_NOTHING); }
    void addField32(const QString& name) { addBlock(name, VFieldInfo::FT_32, VFieldInfo::FS_32, VFieldInfo::FP_NOTHING); }
    void addField64(const QString& name) { addBlock(name, VFieldInfo::FT_64, VFieldInfo::FS_64, VFieldInfo::FP_NOTHING); }
    void addFieldFixedSize(const QString& name, quint32 size)
    {
        addBlock(name, VFieldInfo::FT_FIXED_SIZE, size, VFieldInfo::FP_NOTHING);
    }
    void addFieldVariableSize(const QString& name)
    {
        addBlock(name, VFieldInfo::FT_VARIABLE_SIZE, VFieldInfo::FS_ANY_SIZE, VFieldInfo::FP_NOTHING);
    }

    // Adds the reserved fields, fixes the orders and computes the digest.
    void finalize();

    const QString getName() const { return _d->_name; }
    quint32 getSize() const { return _d->_size; }
    quint32 getMinimalSize() const { return _d->_minimalSize; }
    bool isOfVariableSize() const { return _d->_variableSize; }
    bool isFinalized() const { return !_d->_typeDigest.isEmpty(); }
    quint32 getFieldsCount() const { return quint32(_d->_fieldsByName.size()); }
    // The names in the type's field order.
    QList<QString> getFieldsNames() const;

    const VFieldInfo getFieldInfoByName(const QString& name) const;
    const VFieldInfo getFieldInfoByOrder(const field_order_t& order) const;
    const QByteArray getTypeDigest() const;
    field_offset_t getOffsetsFieldOffset() const;

    // True when both share one data object (a copy, not an equal type).
    bool operator==(const VTypeInfo_t& other) const { return _d.constData() == other._d.constData(); }
    // Same fields with the same attributes; names and digests not compared.
    bool isIdenticalTo(const VTypeInfo_t& other) const;

private:
    void addBlock(const field_name_t& name, const field_type_t& type, const field_size_t& size,
                  quint32 properties);
    // Fields sorted by order.
    QList<VFieldInfo> fieldsInOrder() const;

    static QByteArray bigEndian(quint32 value)
    {
        const char bytes[4] = { char(value >> 24), char(value >> 16), char(value >> 8), char(value) };
        return QByteArray(bytes, 4);
    }

    QSharedDataPointer<VTypeInfoData_t<Digest> > _d;
};

typedef VTypeInfo_t<VMD5> VTypeInfo;

template <class Digest>
const quint32 VTypeInfo_t<Digest>::ANY_SIZE;
template <class Digest>
const field_offset_t VTypeInfo_t<Digest>::ZERO_OFFSET;

template <class Digest>
VTypeInfo_t<Digest>::VTypeInfo_t(const QString& name)
    : _d(new VTypeInfoData_t<Digest>(name))
{
    _d->_typeDigestProducer.appendBlock(name.toLatin1());
}

template <class Digest>
void VTypeInfo_t<Digest>::addBlock(const field_name_t& name, const field_type_t& type,
                                   const field_size_t& size, quint32 properties)
{
    QString text;
    if (_d->_fieldsByName.contains(name))
        text += QString::fromLatin1("[%1] field already defined: %2.").arg(_d->_name, name);
    if (isFinalized())
        text += QString::fromLatin1("Type already finalized: %1.").arg(_d->_name);
    if (!text.isEmpty())
        throw VException(text, "VIpc/type_info", 337);

    const bool internal = VFieldInfo::isNameInternal(name);
    const field_order_t order =
        internal ? VFieldInfo::getInternalFieldInfo(name).getOrder() : _d->_fieldCount + 1;
    const VFieldInfo field(name, type, size, properties, order);

    VTypeInfoData_t<Digest>* d = _d.data();
    d->_fieldsByName.insert(name, field);
    if (!internal)
        d->_fieldCount = order;
    d->_typeDigestProducer.appendBlock(name.toLatin1());
    d->_typeDigestProducer.appendBlock(bigEndian(type));
    d->_typeDigestProducer.appendBlock(bigEndian(size));
    d->_typeDigestProducer.appendBlock(bigEndian(properties));
    d->_typeDigestProducer.appendBlock(bigEndian(order));
    if (type == VFieldInfo::FT_VARIABLE_SIZE) {
        d->_variableSize = true;
        d->_size = 0;
    } else {
        d->_size = d->_variableSize ? 0 : d->_size + size;
        d->_minimalSize += size;
    }
}

template <class Digest>
void VTypeInfo_t<Digest>::finalize()
{
    if (isFinalized())
        throw VException(QString::fromLatin1("type %1 is already finalized").arg(_d->_name),
                         "VIpc/type_info", 209);
    const VFieldInfo content = VFieldInfo::getInternalFieldInfo(VFieldInfo::FN_CONTENT_DIGEST);
    const VFieldInfo digest = VFieldInfo::getInternalFieldInfo(VFieldInfo::FN_TYPE_DIGEST);
    const VFieldInfo offsets = VFieldInfo::getInternalFieldInfo(VFieldInfo::FN_OFFSETS);
    addBlock(content.getName(), content.getType(), content.getSize(), VFieldInfo::FP_INTERNAL);
    addBlock(digest.getName(), digest.getType(), digest.getSize(), VFieldInfo::FP_INTERNAL);
    addBlock(offsets.getName(), offsets.getType(), 16 + 8 * getFieldsCount(), VFieldInfo::FP_INTERNAL);

    VTypeInfoData_t<Digest>* d = _d.data();
    for (auto it = d->_fieldsByName.constBegin(); it != d->_fieldsByName.constEnd(); ++it)
        d->_fieldsByOrder.insert(it.value().getOrder(), it.value());
    const field_order_t offsetsOrder = getFieldInfoByName(offsets.getName()).getOrder();
    field_offset_t offset = 0;
    for (auto it = d->_fieldsByOrder.constBegin(); it != d->_fieldsByOrder.constEnd() && it.key() < offsetsOrder; ++it)
        offset += it.value().getSize();
    d->_offsetsFieldOffset = offset;
    d->_typeDigest = d->_typeDigestProducer.completedHash();
}

template <class Digest>
QList<VFieldInfo> VTypeInfo_t<Digest>::fieldsInOrder() const
{
    QList<VFieldInfo> fields = _d->_fieldsByName.values();
    std::sort(fields.begin(), fields.end(), [](const VFieldInfo& a, const VFieldInfo& b) {
        return a.getOrder() < b.getOrder();
    });
    return fields;
}

template <class Digest>
QList<QString> VTypeInfo_t<Digest>::getFieldsNames() const
{
    QList<QString> names;
    for (const VFieldInfo& field : fieldsInOrder())
        names.append(field.getName());
    return names;
}

template <class Digest>
const VFieldInfo VTypeInfo_t<Digest>::getFieldInfoByName(const QString& name) const
{
    const auto it = _d->_fieldsByName.constFind(name);
    if (it == _d->_fieldsByName.constEnd())
        throw VException(QString::fromLatin1("undefined field: %1").arg(name), "VIpc/type_info", 223);
    return it.value();
}

template <class Digest>
const VFieldInfo VTypeInfo_t<Digest>::getFieldInfoByOrder(const field_order_t& order) const
{
    if (!isFinalized())
        throw VException(QString::fromLatin1("type not finalized: %1").arg(_d->_name),
                         "VIpc/type_info", 237);
    const auto it = _d->_fieldsByOrder.constFind(order);
    if (order > getFieldsCount() - 1 || it == _d->_fieldsByOrder.constEnd())
        throw VException(QString::fromLatin1("illegal field order was requested: %1 (should be [0, %2], %3)")
                             .arg(QString::number(order), QString::number(getFieldsCount() - 1), toString()),
                         "VIpc/type_info", 245);
    return it.value();
}

template <class Digest>
const QByteArray VTypeInfo_t<Digest>::getTypeDigest() const
{
    if (!isFinalized())
        throw VException(QString::fromLatin1("type not finalized: %1").arg(_d->_name),
                         "VIpc/type_info", 259);
    return _d->_typeDigest;
}

template <class Digest>
field_offset_t VTypeInfo_t<Digest>::getOffsetsFieldOffset() const
{
    if (!isFinalized())
        throw VException(QString::fromLatin1("type not finalized: %1").arg(_d->_name),
                         "VIpc/type_info", 374);
    return _d->_offsetsFieldOffset;
}

template <class Digest>
bool VTypeInfo_t<Digest>::isIdenticalTo(const VTypeInfo_t& other) const
{
    if (_d->_fieldsByName.size() != other._d->_fieldsByName.size())
        return false;
    for (auto it = _d->_fieldsByName.constBegin(); it != _d->_fieldsByName.constEnd(); ++it) {
        const auto o = other._d->_fieldsByName.constFind(it.key());
        if (o == other._d->_fieldsByName.constEnd() || !it.value().isIdenticalTo(o.value()))
            return false;
    }
    return true;
}

template <class Digest>
QString VTypeInfo_t<Digest>::toString() const
{
    const QString digest = isFinalized() ? QString::fromLatin1(_d->_typeDigest)
                                         : QString::fromLatin1("<the type is not finalized yet>");
    QString text = QString::fromLatin1("Type: Name %1, Digest %2, Size %3 [ ")
                       .arg(_d->_name, digest, QString::number(getSize()));
    const QList<VFieldInfo> fields = fieldsInOrder();
    for (const VFieldInfo& field : fields)
        text += field.toString() + QLatin1String(", ");
    if (!fields.isEmpty())
        text.chop(2);
    return text + QLatin1String(" ]");
}

extern template class VORN_EXPORT VTypeInfo_t<VMD5>;

#endif
