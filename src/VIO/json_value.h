// VJsonValue: the in-memory JSON document, one copy-on-write handle class
// for every kind of value, with comments and a source line per value.
// Not thread-safe: a tree (every handle sharing a payload in it) belongs to one thread at a time, even for reading.
// Copying a handle changes a plain reference count.
//
// References returned by item(), operator[] and append() point into the
// container's storage: they bypass copy-on-write (a change through them also
// shows in copies made afterwards) and are invalidated when that container
// grows or is changed. Assigning a container to one of its own elements
// through such a reference builds a cycle; the depth checks of isSameAs(),
// toString(), dump() and the writer then throw instead of recursing forever.
//
// Texts given as const char* are Latin-1 (a UTF-8 "é" becomes two characters).
#ifndef VORNLIB_VIO_JSON_VALUE_H
#define VORNLIB_VIO_JSON_VALUE_H

#include "VCore/vornlib_export.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

enum VJsonType : int
{
    VJSONTYPE_EMPTY = 0,
    VJSONTYPE_NULL = 1,
    VJSONTYPE_INT = 2,
    VJSONTYPE_UINT = 3,
    VJSONTYPE_DOUBLE = 4,
    VJSONTYPE_STRING = 5,
    VJSONTYPE_CSTRING = 6,
    VJSONTYPE_BOOL = 7,
    VJSONTYPE_ARRAY = 8,
    VJSONTYPE_OBJECT = 9,
    VJSONTYPE_INT32 = 10,
    VJSONTYPE_INT64 = 11,
    VJSONTYPE_UINT32 = 12,
    VJSONTYPE_UINT64 = 13
};

enum
{
    VJSONCOMMENT_BEFORE = 1,
    VJSONCOMMENT_AFTER = 2,
    VJSONCOMMENT_SAME_LINE = 3
};

class VJsonValue;

typedef QVector<VJsonValue> VJsonInternalArray;
typedef QHash<QString, VJsonValue> VJsonInternalMap;

struct VORN_EXPORT VJsonValueHolder
{
    int m_valInt = 0;
    unsigned int m_valUInt = 0;
    double m_valDouble = 0.0;
    const char* m_valCString = nullptr; // not owned
    bool m_valBool = false;
    QString m_valString;
    VJsonInternalArray m_valArray;
    VJsonInternalMap m_valMap;
};

// The shared payload of VJsonValue handles.
// Not thread-safe: guarded by the owning tree's thread.
class VORN_EXPORT VJsonRefData
{
    friend class VJsonValue;
    friend class VJsonReader;
    friend class VJsonWriter;

public:
    VJsonRefData();
    VJsonRefData(const VJsonRefData& other); // count starts at 1
    virtual ~VJsonRefData();
    int getRefCount() const { return m_refCount; }

    // Payloads a reader creates share blocks of memory (a block goes when its
    // last payload goes); all others come from the heap.
    static void* operator new(size_t size);
    static void operator delete(void* p);

protected:
    int m_refCount;
    VJsonType m_type;
    VJsonValueHolder m_value;
    int m_commentPos;
    QStringList m_comments;
    int m_lineNo;

private:
    VJsonRefData& operator=(const VJsonRefData&) = delete;
    // Link of the per-thread list of payloads waiting to be deleted.
    VJsonRefData* m_nextDead = nullptr;
};

// A JSON value handle; its thread-safety contract heads this file.
class VORN_EXPORT VJsonValue
{
    friend class VJsonReader;
    friend class VJsonWriter;

public:
    VJsonValue();
    explicit VJsonValue(VJsonType type);
    VJsonValue(int value);
    VJsonValue(unsigned int value);
    VJsonValue(bool value);
    VJsonValue(double value);
    VJsonValue(const QString& value);
    VJsonValue(const char* value);
    VJsonValue(const VJsonValue& other);
    // A moved-from handle has no payload and reads as EMPTY.
    VJsonValue(VJsonValue&& other) noexcept : m_refData(other.m_refData) { other.m_refData = nullptr; }
    virtual ~VJsonValue();

    VJsonValue& operator=(const VJsonValue& other);
    VJsonValue& operator=(VJsonValue&& other) noexcept;
    VJsonValue& operator=(int value);
    VJsonValue& operator=(unsigned int value);
    VJsonValue& operator=(bool value);
    VJsonValue& operator=(double value);
    VJsonValue& operator=(const QString& value);
    VJsonValue& operator=(const char* value);

    VJsonType getType() const { return m_refData ? m_refData->m_type : VJSONTYPE_EMPTY; }
    bool isEmpty() const { return getType() == VJSONTYPE_EMPTY; }
    bool isNull() const { return getType() == VJSONTYPE_NULL; }
    bool isInt() const { return getType() == VJSONTYPE_INT || getType() == VJSONTYPE_INT64; }
    bool isUInt() const { return getType() == VJSONTYPE_UINT || getType() == VJSONTYPE_UINT64; }
    bool isBool() const { return getType() == VJSONTYPE_BOOL; }
    bool isDouble() const { return getType() == VJSONTYPE_DOUBLE; }
    bool isString() const { return getType() == VJSONTYPE_STRING; }
    bool isCString() const { return getType() == VJSONTYPE_CSTRING; }
    bool isArray() const { return getType() == VJSONTYPE_ARRAY; }
    bool isObject() const { return getType() == VJSONTYPE_OBJECT; }

    int asInt() const;
    unsigned int asUInt() const;
    double asDouble() const;
    // BOOL: its value; INT, UINT, DOUBLE: not zero; any other kind: false.
    bool asBool() const;
    QString asString() const;
    const VJsonInternalArray* asArray() const;
    const VJsonInternalMap* asMap() const;

    int size() const;
    bool hasMember(unsigned int index) const;
    bool hasMember(const QString& key) const;
    // The keys of an OBJECT in ascending order.
    QStringList getMemberNames() const;
    // Throws VException for an index of 2^28 or more.
    VJsonValue& item(unsigned int index);
    VJsonValue& item(const QString& key);
    VJsonValue& operator[](unsigned int index) { return item(index); }
    VJsonValue& operator[](const QString& key) { return item(key); }
    VJsonValue itemAt(unsigned int index) const;
    VJsonValue itemAt(const QString& key) const;
    VJsonValue get(const QString& key, const VJsonValue& defaultValue) const;
    VJsonValue& append(const VJsonValue& value);
    VJsonValue& append(bool value) { return append(VJsonValue(value)); }
    VJsonValue& append(int value) { return append(VJsonValue(value)); }
    VJsonValue& append(unsigned int value) { return append(VJsonValue(value)); }
    VJsonValue& append(double value) { return append(VJsonValue(value)); }
    VJsonValue& append(const char* value) { return append(VJsonValue(value)); }
    VJsonValue& append(const QString& value) { return append(VJsonValue(value)); }
    bool remove(int index);
    bool remove(const QString& key);
    void clear();
    bool cat(const QString& text);
    bool cat(const char* text);
    VJsonRefData* setType(VJsonType type);

    int addComment(const QString& text, int position);
    int addComment(const QStringList& texts, int position);
    QString getComment(int index) const;
    int getCommentCount() const;
    const QStringList& getCommentArray() const;
    int getCommentPos() const;
    void clearComments();
    int getLineNo() const { return m_refData ? m_refData->m_lineNo : 0; }
    void setLineNo(int lineNo);

    // Throws VException when either tree is nested deeper than MaxDepth levels.
    bool isSameAs(const VJsonValue& other) const;
    QString getInfo() const;
    QString dump(bool deep = false, int indent = 0) const;
    QString toString(int indent = 0) const;
    VJsonRefData* getRefData() const { return m_refData; }
    static QString typeToString(VJsonType type);

    // Deepest nesting that comparing, printing and writing accept, as deep
    // as the reader reads: these walks recurse, and at this depth they fit a
    // thread stack of 1 MiB with room to spare.
    static const int MaxDepth = 1000;

protected:
    // Derived handles with their own payload class call init() or deepCopy()
    // in their constructors: the base constructor only sees the base's
    // createRefData().
    virtual VJsonRefData* cloneRefData(const VJsonRefData* data) const;
    virtual VJsonRefData* createRefData() const;

    const VJsonValue* find(unsigned int index) const;
    const VJsonValue* find(const QString& key) const;
    void deepCopy(const VJsonValue& other);
    VJsonRefData* init(VJsonType type);
    VJsonRefData* COW() { unShare(); return m_refData; }
    void setRefData(VJsonRefData* data);
    void ref(const VJsonValue& other);
    void unRef();
    void unShare() { allocExclusive(); }
    void allocExclusive();

    VJsonRefData* m_refData;

private:
    // A handle without payload: it reads as EMPTY and takes one on first change.
    struct NoPayload
    {
    };
    explicit VJsonValue(NoPayload) : m_refData(nullptr) {}

    bool sameAs(const VJsonValue& other, int depth) const;
    void dumpTo(QString& out, bool deep, int indent, int depth) const;
    void toStringTo(QString& out, int indent, int depth) const;
    void appendTypeLine(QString& out, int indent) const;
    QString infoLine() const;
    static void release(VJsonRefData* data);
};

// Handles hold no pointer into themselves: containers may move them bitwise.
Q_DECLARE_TYPEINFO(VJsonValue, Q_MOVABLE_TYPE);

#endif
