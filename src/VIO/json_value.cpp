#include "json_value.h"
#include "json_value_p.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include <QStringView>
#include <VCore/vexception.h>

namespace {

const char* const kFile = "VIO/json_value";

// Indices from 2^28 up would ask QVector for gigabytes or overflow its int size.
const unsigned int kMaxIndex = 1u << 28;

// Payloads with children waiting to be freed, a stack linked through the
// payloads; set while a release on this thread works through it.
thread_local bool t_releasing = false;
thread_local VJsonRefData* t_dead = nullptr;

void tooDeep(const char* where)
{
    throw VException(QStringLiteral("%1 - nesting deeper than %2 levels")
                         .arg(QLatin1String(where)).arg(VJsonValue::MaxDepth));
}

// Whether containers nest deeper than MaxDepth below v, found level by level
// without recursion: the debug texts check first instead of building
// gigantic indented texts and then failing.
bool tooDeepToPrint(const VJsonValue& v)
{
    QVector<const VJsonValue*> level(1, &v);
    QVector<const VJsonValue*> next;
    for (int depth = 0; !level.isEmpty(); ++depth) {
        if (depth > VJsonValue::MaxDepth)
            return true;
        next.clear();
        for (const VJsonValue* container : level) {
            if (const VJsonInternalArray* array = container->asArray()) {
                for (const VJsonValue& element : *array)
                    next.append(&element);
            } else if (const VJsonInternalMap* map = container->asMap()) {
                for (const VJsonValue& member : *map)
                    next.append(&member);
            }
        }
        level.swap(next);
    }
    return false;
}

void appendSpaces(QString& out, int n)
{
    if (n > 0)
        out.append(QString(n, QLatin1Char(' ')));
}

} // namespace

// ---------------------------------------------------------------- payload

VJsonRefData::VJsonRefData()
    : m_refCount(1), m_type(VJSONTYPE_EMPTY), m_commentPos(VJSONCOMMENT_BEFORE), m_lineNo(-1)
{
}

VJsonRefData::VJsonRefData(const VJsonRefData& other)
    : m_refCount(1), m_type(other.m_type), m_value(other.m_value),
      m_commentPos(other.m_commentPos), m_comments(other.m_comments), m_lineNo(other.m_lineNo)
{
}

VJsonRefData::~VJsonRefData()
{
}

// ---------------------------------------------------------------- allocation

namespace {

// Every payload is preceded by the block it lives in, or null for the heap.
// Heap payloads keep the alignment operator new promises (derived payloads
// too); in a block eight bytes do for the base payload.
const size_t kPrefix = sizeof(void*);
const size_t kHeapPrefix = 16;
static_assert(alignof(VJsonRefData) <= kPrefix, "payload alignment");

// Payloads a reader creates: one block of many instead of one heap block
// each, so that building and freeing a big tree costs a fraction of the
// allocator's work. Blocks grow from 8 to 256 payloads within one parse, so a
// small document wastes little. Trees may move between threads: the count
// is atomic.
struct PayloadBlock
{
    std::atomic<int> live; // payloads in it, plus one while it is being filled
};
const size_t kBlockHeader = 16;
const int kFirstSlots = 8;
const int kMaxSlots = 256;

constexpr size_t slotSize()
{
    return (kPrefix + sizeof(VJsonRefData) + kPrefix - 1) & ~(kPrefix - 1);
}

struct BlockFiller
{
    int scopes = 0;
    PayloadBlock* block = nullptr;
    int used = 0;
    int slotCount = 0;
    int nextSlots = kFirstSlots;
};
thread_local BlockFiller t_filler;

void dropBlock(PayloadBlock* block)
{
    if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~PayloadBlock();
        std::free(block);
    }
}

void* checkedMalloc(size_t size)
{
    void* memory = std::malloc(size);
    if (!memory)
        throw std::bad_alloc();
    return memory;
}

// The payload's place after the prefix of size bytes at memory.
void* withPrefix(void* memory, size_t prefix, PayloadBlock* block)
{
    char* payload = static_cast<char*>(memory) + prefix;
    *reinterpret_cast<PayloadBlock**>(payload - kPrefix) = block;
    return payload;
}

} // namespace

void* VJsonRefData::operator new(size_t size)
{
    BlockFiller& f = t_filler;
    // Derived payloads are bigger than a slot: they take the heap.
    if (f.scopes == 0 || size != sizeof(VJsonRefData))
        return withPrefix(checkedMalloc(kHeapPrefix + size), kHeapPrefix, nullptr);
    if (!f.block || f.used == f.slotCount) {
        void* memory = checkedMalloc(kBlockHeader + size_t(f.nextSlots) * slotSize());
        if (f.block)
            dropBlock(f.block);
        f.block = new (memory) PayloadBlock{{1}};
        f.used = 0;
        f.slotCount = f.nextSlots;
        f.nextSlots = std::min(f.nextSlots * 2, kMaxSlots);
    }
    f.block->live.fetch_add(1, std::memory_order_relaxed);
    char* slot = reinterpret_cast<char*>(f.block) + kBlockHeader + size_t(f.used++) * slotSize();
    return withPrefix(slot, kPrefix, f.block);
}

void VJsonRefData::operator delete(void* p)
{
    if (!p)
        return;
    char* payload = static_cast<char*>(p);
    if (PayloadBlock* block = *reinterpret_cast<PayloadBlock**>(payload - kPrefix))
        dropBlock(block);
    else
        std::free(payload - kHeapPrefix);
}

VJsonPayloadBlocks::VJsonPayloadBlocks()
{
    ++t_filler.scopes;
}

VJsonPayloadBlocks::~VJsonPayloadBlocks()
{
    BlockFiller& f = t_filler;
    if (--f.scopes > 0 || !f.block)
        return;
    dropBlock(f.block);
    f.block = nullptr;
    f.nextSlots = kFirstSlots;
}

// ---------------------------------------------------------------- sharing

namespace {

bool hasChildren(const VJsonValueHolder& value)
{
    return !value.m_valArray.isEmpty() || !value.m_valMap.isEmpty();
}

// A payload whose last handle went: freed now when it holds no children,
// else pushed on the thread's stack of payloads to take apart.
void dispose(VJsonRefData* data, const VJsonValueHolder& value, VJsonRefData*& next)
{
    if (hasChildren(value)) {
        next = t_dead;
        t_dead = data;
    } else {
        delete data;
    }
}

} // namespace

// Frees a tree depth-first, last element first, on an explicit stack linked
// through the payloads themselves: no recursion however deep the tree, and
// each payload is freed while it is still warm in the cache.
void VJsonValue::release(VJsonRefData* data)
{
    if (!hasChildren(data->m_value)) {
        delete data; // no children: nothing can recurse
        return;
    }
    data->m_nextDead = t_dead;
    t_dead = data;
    if (t_releasing)
        return; // a release further up this thread's stack frees it
    t_releasing = true;
    while (VJsonRefData* top = t_dead) {
        VJsonValueHolder& value = top->m_value;
        // Handles in a container that other payloads still share are not ours to take.
        if (!value.m_valArray.isEmpty() && value.m_valArray.isDetached()) {
            VJsonValue& last = value.m_valArray.last();
            VJsonRefData* child = last.m_refData;
            last.m_refData = nullptr;
            value.m_valArray.removeLast();
            if (child && --child->m_refCount == 0)
                dispose(child, child->m_value, child->m_nextDead);
        } else if (!value.m_valMap.isEmpty() && value.m_valMap.isDetached()) {
            // Members in one pass: erasing them one by one would rescan the table.
            for (VJsonValue& member : value.m_valMap) {
                VJsonRefData* child = member.m_refData;
                member.m_refData = nullptr;
                if (child && --child->m_refCount == 0)
                    dispose(child, child->m_value, child->m_nextDead);
            }
            value.m_valMap.clear();
        } else {
            t_dead = top->m_nextDead;
            delete top;
        }
    }
    t_releasing = false;
}

void VJsonValue::ref(const VJsonValue& other)
{
    setRefData(other.m_refData);
}

void VJsonValue::unRef()
{
    VJsonRefData* data = m_refData;
    if (!data)
        return;
    m_refData = nullptr;
    if (--data->m_refCount == 0)
        release(data);
}

void VJsonValue::allocExclusive()
{
    if (!m_refData) {
        m_refData = createRefData();
    } else if (m_refData->m_refCount > 1) {
        VJsonRefData* old = m_refData;
        VJsonRefData* copy = cloneRefData(old);
        unRef();
        m_refData = copy;
    }
}

void VJsonValue::setRefData(VJsonRefData* data)
{
    if (data == m_refData)
        return;
    // Counted before the old payload goes: data may live inside it (cur = cur["a"]).
    if (data)
        ++data->m_refCount;
    unRef();
    m_refData = data;
}

VJsonRefData* VJsonValue::cloneRefData(const VJsonRefData* data) const
{
    return new VJsonRefData(*data);
}

VJsonRefData* VJsonValue::createRefData() const
{
    return new VJsonRefData;
}

void VJsonValue::deepCopy(const VJsonValue& other)
{
    VJsonRefData* copy = other.m_refData ? cloneRefData(other.m_refData) : createRefData();
    unRef();
    m_refData = copy;
}

VJsonRefData* VJsonValue::init(VJsonType type)
{
    unRef();
    m_refData = createRefData();
    m_refData->m_type = type;
    m_refData->m_commentPos = VJSONCOMMENT_BEFORE;
    return m_refData;
}

// ---------------------------------------------------------------- construction

VJsonValue::VJsonValue() : m_refData(nullptr) { init(VJSONTYPE_NULL); }
VJsonValue::VJsonValue(VJsonType type) : m_refData(nullptr) { init(type); }
VJsonValue::VJsonValue(int value) : m_refData(nullptr) { init(VJSONTYPE_INT)->m_value.m_valInt = value; }
VJsonValue::VJsonValue(unsigned int value) : m_refData(nullptr)
{
    init(VJSONTYPE_UINT)->m_value.m_valUInt = value;
}
VJsonValue::VJsonValue(bool value) : m_refData(nullptr) { init(VJSONTYPE_BOOL)->m_value.m_valBool = value; }
VJsonValue::VJsonValue(double value) : m_refData(nullptr)
{
    init(VJSONTYPE_DOUBLE)->m_value.m_valDouble = value;
}
VJsonValue::VJsonValue(const QString& value) : m_refData(nullptr)
{
    init(VJSONTYPE_STRING)->m_value.m_valString = value;
}
VJsonValue::VJsonValue(const char* value) : m_refData(nullptr)
{
    init(VJSONTYPE_STRING)->m_value.m_valString = QString::fromLatin1(value);
}
VJsonValue::VJsonValue(const VJsonValue& other) : m_refData(nullptr) { ref(other); }

VJsonValue::~VJsonValue() { unRef(); }

VJsonValue& VJsonValue::operator=(const VJsonValue& other)
{
    ref(other);
    return *this;
}

VJsonValue& VJsonValue::operator=(VJsonValue&& other) noexcept
{
    if (this != &other) {
        // Taken before the old payload goes: other may live inside it.
        VJsonRefData* data = other.m_refData;
        other.m_refData = nullptr;
        unRef();
        m_refData = data;
    }
    return *this;
}

VJsonValue& VJsonValue::operator=(int value)
{
    setType(VJSONTYPE_INT)->m_value.m_valInt = value;
    return *this;
}

VJsonValue& VJsonValue::operator=(unsigned int value)
{
    setType(VJSONTYPE_UINT)->m_value.m_valUInt = value;
    return *this;
}

VJsonValue& VJsonValue::operator=(bool value)
{
    setType(VJSONTYPE_BOOL)->m_value.m_valBool = value;
    return *this;
}

VJsonValue& VJsonValue::operator=(double value)
{
    setType(VJSONTYPE_DOUBLE)->m_value.m_valDouble = value;
    return *this;
}

VJsonValue& VJsonValue::operator=(const QString& value)
{
    setType(VJSONTYPE_STRING)->m_value.m_valString = value;
    return *this;
}

VJsonValue& VJsonValue::operator=(const char* value)
{
    VJsonRefData* d = setType(VJSONTYPE_CSTRING);
    d->m_value.m_valCString = value;
    d->m_value.m_valString = QString::fromLatin1(value);
    return *this;
}

VJsonRefData* VJsonValue::setType(VJsonType type)
{
    VJsonType effective = int(type) < 10 ? type : VJSONTYPE_EMPTY;
    VJsonRefData* d = COW();
    // A CSTRING made by the kind constructor still ends as STRING.
    if (d->m_type == effective && effective != VJSONTYPE_CSTRING)
        return d;
    VJsonType old = d->m_type;
    d->m_type = effective;
    if (old == VJSONTYPE_ARRAY)
        d->m_value.m_valArray.clear();
    else if (old == VJSONTYPE_OBJECT)
        d->m_value.m_valMap.clear();
    else if (old == VJSONTYPE_STRING && !d->m_value.m_valString.isNull())
        d->m_value.m_valString = QString();
    if (d->m_type == VJSONTYPE_CSTRING)
        d->m_type = VJSONTYPE_STRING;
    return d;
}

// ---------------------------------------------------------------- conversions

int VJsonValue::asInt() const
{
    switch (getType()) {
    case VJSONTYPE_INT:
        return m_refData->m_value.m_valInt;
    case VJSONTYPE_BOOL:
        return m_refData->m_value.m_valBool ? 1 : 0;
    case VJSONTYPE_UINT:
        throw VException("VJsonValue::asInt() - value type is unsigned", kFile, 521);
    default:
        throw VException("VJsonValue::asInt() - the value is not compatible with INT", kFile, 527);
    }
}

unsigned int VJsonValue::asUInt() const
{
    switch (getType()) {
    case VJSONTYPE_UINT:
        return m_refData->m_value.m_valUInt;
    case VJSONTYPE_BOOL:
        return m_refData->m_value.m_valBool ? 1u : 0u;
    case VJSONTYPE_INT:
        return static_cast<unsigned int>(m_refData->m_value.m_valInt);
    default:
        throw VException("VJsonValue::AsUInt() - the value is not compatible with UInt", kFile, 730);
    }
}

double VJsonValue::asDouble() const
{
    switch (getType()) {
    case VJSONTYPE_DOUBLE:
        return m_refData->m_value.m_valDouble;
    case VJSONTYPE_INT:
        return m_refData->m_value.m_valInt;
    case VJSONTYPE_UINT:
        return m_refData->m_value.m_valUInt;
    default:
        throw VException("VJsonValue::asDouble() - the value is not compatible with DOUBLE", kFile, 581);
    }
}

bool VJsonValue::asBool() const
{
    switch (getType()) {
    case VJSONTYPE_BOOL:
        return m_refData->m_value.m_valBool;
    case VJSONTYPE_INT:
        return m_refData->m_value.m_valInt != 0;
    case VJSONTYPE_UINT:
        return m_refData->m_value.m_valUInt != 0;
    case VJSONTYPE_DOUBLE:
        return m_refData->m_value.m_valDouble != 0.0;
    default:
        return false;
    }
}

QString VJsonValue::asString() const
{
    switch (getType()) {
    case VJSONTYPE_EMPTY:
        return QStringLiteral("<empty>");
    case VJSONTYPE_NULL:
        return QStringLiteral("null");
    case VJSONTYPE_INT:
        return QString::number(m_refData->m_value.m_valInt);
    case VJSONTYPE_UINT:
        return QString::number(m_refData->m_value.m_valUInt);
    case VJSONTYPE_DOUBLE:
        return QStringLiteral("%1").arg(m_refData->m_value.m_valDouble, 0, 'g', -1);
    case VJSONTYPE_STRING:
        return m_refData->m_value.m_valString;
    case VJSONTYPE_CSTRING:
        return QString::fromLatin1(m_refData->m_value.m_valCString);
    case VJSONTYPE_BOOL:
        return m_refData->m_value.m_valBool ? QStringLiteral("true") : QStringLiteral("false");
    default:
        throw VException("VJsonValue::asString() - the value is not compatible with STRING", kFile, 644);
    }
}

const VJsonInternalArray* VJsonValue::asArray() const
{
    return isArray() ? &m_refData->m_value.m_valArray : nullptr;
}

const VJsonInternalMap* VJsonValue::asMap() const
{
    return isObject() ? &m_refData->m_value.m_valMap : nullptr;
}

// ---------------------------------------------------------------- containers

int VJsonValue::size() const
{
    if (isArray())
        return m_refData->m_value.m_valArray.size();
    if (isObject())
        return m_refData->m_value.m_valMap.size();
    return -1;
}

bool VJsonValue::hasMember(unsigned int index) const
{
    return isArray() && index < static_cast<unsigned int>(m_refData->m_value.m_valArray.size());
}

bool VJsonValue::hasMember(const QString& key) const
{
    return isObject() && m_refData->m_value.m_valMap.contains(key);
}

QStringList VJsonValue::getMemberNames() const
{
    if (!isObject())
        return QStringList();
    QStringList names = m_refData->m_value.m_valMap.keys();
    std::sort(names.begin(), names.end());
    return names;
}

VJsonValue& VJsonValue::item(unsigned int index)
{
    if (index >= kMaxIndex)
        throw VException("VJsonValue::item() - index too large");
    VJsonInternalArray& array = setType(VJSONTYPE_ARRAY)->m_value.m_valArray;
    if (index >= static_cast<unsigned int>(array.size()))
        array.insert(array.size(), int(index) - array.size() + 1, VJsonValue());
    return array[int(index)];
}

VJsonValue& VJsonValue::item(const QString& key)
{
    VJsonInternalMap& map = setType(VJSONTYPE_OBJECT)->m_value.m_valMap;
    VJsonInternalMap::iterator it = map.find(key);
    if (it == map.end())
        it = map.insert(key, VJsonValue());
    return it.value();
}

const VJsonValue* VJsonValue::find(unsigned int index) const
{
    if (!hasMember(index))
        return nullptr;
    return &m_refData->m_value.m_valArray.at(int(index));
}

const VJsonValue* VJsonValue::find(const QString& key) const
{
    if (!isObject())
        return nullptr;
    VJsonInternalMap::const_iterator it = m_refData->m_value.m_valMap.constFind(key);
    return it == m_refData->m_value.m_valMap.constEnd() ? nullptr : &it.value();
}

VJsonValue VJsonValue::itemAt(unsigned int index) const
{
    const VJsonValue* v = find(index);
    return v ? *v : VJsonValue(VJSONTYPE_EMPTY);
}

VJsonValue VJsonValue::itemAt(const QString& key) const
{
    const VJsonValue* v = find(key);
    return v ? *v : VJsonValue(VJSONTYPE_EMPTY);
}

VJsonValue VJsonValue::get(const QString& key, const VJsonValue& defaultValue) const
{
    const VJsonValue* v = find(key);
    return v ? *v : defaultValue;
}

VJsonValue& VJsonValue::append(const VJsonValue& value)
{
    // Hold our own handle first: when value is this very handle, or an element
    // of this array, the copy-on-write below then stores the old payload
    // instead of a payload that contains itself, and value cannot dangle.
    VJsonValue copy(value);
    VJsonInternalArray& array = setType(VJSONTYPE_ARRAY)->m_value.m_valArray;
    array.append(std::move(copy));
    return array.last();
}

bool VJsonValue::remove(int index)
{
    VJsonRefData* d = COW();
    if (d->m_type != VJSONTYPE_ARRAY || index < 0 || index >= d->m_value.m_valArray.size())
        return false;
    d->m_value.m_valArray.remove(index);
    return true;
}

bool VJsonValue::remove(const QString& key)
{
    VJsonRefData* d = COW();
    if (d->m_type != VJSONTYPE_OBJECT)
        return false;
    return d->m_value.m_valMap.remove(key) > 0;
}

void VJsonValue::clear()
{
    unRef();
    m_refData = createRefData();
}

bool VJsonValue::cat(const QString& text)
{
    if (!isString())
        return false;
    COW()->m_value.m_valString.append(text);
    return true;
}

bool VJsonValue::cat(const char* text)
{
    return cat(QString::fromLatin1(text));
}

// ---------------------------------------------------------------- comments

namespace {

// A comment must stay one comment when written back: a line comment may only
// go on over several lines when each starts with "//", and a block comment
// must not close before its end.
bool isSingleComment(const QString& text, bool lineComment)
{
    if (lineComment) {
        for (int i = text.indexOf(QLatin1Char('\n')); i >= 0 && i < text.size() - 1;
             i = text.indexOf(QLatin1Char('\n'), i + 1)) {
            if (!QStringView(text).mid(i + 1).startsWith(QLatin1String("//")))
                return false;
        }
        return true;
    }
    return text.indexOf(QLatin1String("*/"), 1) == text.lastIndexOf(QLatin1String("*/"));
}

} // namespace

int VJsonValue::addComment(const QString& text, int position)
{
    VJsonRefData* d = COW();
    if (text.size() < 2 || text.at(0) != QLatin1Char('/'))
        return -1;
    if (text.at(1) == QLatin1Char('/')) {
        if (!isSingleComment(text, true))
            return -1;
        if (text.endsWith(QLatin1Char('\n')))
            d->m_comments.append(text);
        else
            d->m_comments.append(text + QLatin1Char('\n'));
    } else if (text.at(1) == QLatin1Char('*')) {
        int end = text.size() - 1;
        while (end >= 0 && (text.at(end) == QLatin1Char(' ') || text.at(end) == QLatin1Char('\n')
                            || text.at(end) == QLatin1Char('\t')))
            --end;
        // The closing "*/" may not overlap the opening: "/*/" would be written
        // as a comment that never ends.
        if (end < 3 || text.at(end) != QLatin1Char('/') || text.at(end - 1) != QLatin1Char('*'))
            return -1;
        if (!isSingleComment(text, false))
            return -1;
        d->m_comments.append(text);
    } else {
        return -1;
    }
    if (position != 0)
        d->m_commentPos = position;
    return d->m_comments.size();
}

int VJsonValue::addComment(const QStringList& texts, int position)
{
    int accepted = 0;
    for (const QString& text : texts) {
        if (addComment(text, position) >= 0)
            ++accepted;
    }
    return accepted;
}

QString VJsonValue::getComment(int index) const
{
    if (!m_refData)
        return QString();
    const QStringList& comments = m_refData->m_comments;
    if (index < 0)
        return comments.join(QString());
    if (index >= comments.size())
        return QString();
    return comments.at(index);
}

int VJsonValue::getCommentCount() const
{
    return m_refData ? m_refData->m_comments.size() : 0;
}

const QStringList& VJsonValue::getCommentArray() const
{
    static const QStringList& none = *new QStringList;
    return m_refData ? m_refData->m_comments : none;
}

int VJsonValue::getCommentPos() const
{
    return m_refData ? m_refData->m_commentPos : VJSONCOMMENT_BEFORE;
}

void VJsonValue::clearComments()
{
    COW()->m_comments.clear();
}

void VJsonValue::setLineNo(int lineNo)
{
    COW()->m_lineNo = lineNo;
}

// ---------------------------------------------------------------- comparison

bool VJsonValue::isSameAs(const VJsonValue& other) const
{
    return sameAs(other, 0);
}

bool VJsonValue::sameAs(const VJsonValue& other, int depth) const
{
    if (m_refData == other.m_refData)
        return true;
    if (depth > MaxDepth)
        tooDeep("VJsonValue::isSameAs()");
    const VJsonType type = getType();
    const VJsonType otherType = other.getType();
    if (type != otherType) {
        auto isNumber = [](VJsonType t) {
            return t == VJSONTYPE_INT || t == VJSONTYPE_UINT || t == VJSONTYPE_DOUBLE;
        };
        return isNumber(type) && isNumber(otherType) && asDouble() == other.asDouble();
    }
    const VJsonValueHolder& a = m_refData->m_value;
    const VJsonValueHolder& b = other.m_refData->m_value;
    switch (type) {
    case VJSONTYPE_INT:
        return a.m_valInt == b.m_valInt;
    case VJSONTYPE_UINT:
        return a.m_valUInt == b.m_valUInt;
    case VJSONTYPE_BOOL:
        return a.m_valBool == b.m_valBool;
    case VJSONTYPE_DOUBLE:
        return a.m_valDouble == b.m_valDouble;
    case VJSONTYPE_STRING:
        return a.m_valString == b.m_valString;
    case VJSONTYPE_CSTRING:
        return asString() == other.asString();
    case VJSONTYPE_ARRAY: {
        const int n = a.m_valArray.size();
        if (n != b.m_valArray.size())
            return false;
        // Order does not matter: each element takes the first unused equal
        // element of the other array. firstUnused skips the used prefix, so
        // arrays in the same order compare in linear time.
        QVector<bool> used(n, false);
        int firstUnused = 0;
        for (int i = 0; i < n; ++i) {
            const VJsonValue& mine = a.m_valArray.at(i);
            int j = firstUnused;
            for (; j < n; ++j) {
                if (!used.at(j) && mine.sameAs(b.m_valArray.at(j), depth + 1))
                    break;
            }
            if (j == n)
                return false;
            used[j] = true;
            while (firstUnused < n && used.at(firstUnused))
                ++firstUnused;
        }
        return true;
    }
    case VJSONTYPE_OBJECT: {
        if (a.m_valMap.size() != b.m_valMap.size())
            return false;
        for (VJsonInternalMap::const_iterator it = a.m_valMap.constBegin(); it != a.m_valMap.constEnd(); ++it) {
            VJsonInternalMap::const_iterator o = b.m_valMap.constFind(it.key());
            const VJsonValue otherMember = o == b.m_valMap.constEnd() ? VJsonValue(VJSONTYPE_EMPTY) : o.value();
            if (!it.value().sameAs(otherMember, depth + 1))
                return false;
        }
        return true;
    }
    default:
        return true; // EMPTY, NULL and the declared-only kinds
    }
}

// ---------------------------------------------------------------- debug texts

QString VJsonValue::typeToString(VJsonType type)
{
    static const char* const names[] = {
        "VJSONTYPE_EMPTY", "VJSONTYPE_NULL", "VJSONTYPE_INT", "VJSONTYPE_UINT", "VJSONTYPE_DOUBLE",
        "VJSONTYPE_STRING", "VJSONTYPE_CSTRING", "VJSONTYPE_BOOL", "VJSONTYPE_ARRAY", "VJSONTYPE_OBJECT",
        "VJSONTYPE_INT32", "VJSONTYPE_INT64", "VJSONTYPE_UINT32", "VJSONTYPE_UINT64"};
    if (int(type) < 0 || int(type) > 13)
        return QString();
    return QString::fromLatin1(names[type]);
}

QString VJsonValue::infoLine() const
{
    return QStringLiteral("Object: Type=%1 Size=%2 comments=%3\n")
        .arg(typeToString(getType())).arg(size()).arg(getCommentCount());
}

QString VJsonValue::getInfo() const
{
    QString out = infoLine();
    for (const QString& key : getMemberNames())
        out += QLatin1String("    Member name: ") + key + QLatin1Char('\n');
    return out;
}

QString VJsonValue::dump(bool deep, int indent) const
{
    if (deep && tooDeepToPrint(*this))
        tooDeep("VJsonValue::dump()");
    QString out;
    dumpTo(out, deep, indent, 0);
    return out;
}

void VJsonValue::dumpTo(QString& out, bool deep, int indent, int depth) const
{
    if (depth > MaxDepth)
        tooDeep("VJsonValue::dump()");
    appendSpaces(out, indent);
    out += infoLine();
    appendSpaces(out, indent);
    out += QStringLiteral("      : RefData=%1 Num shares=%2\n")
               .arg(quintptr(m_refData)).arg(m_refData ? m_refData->m_refCount : 0);
    if (!deep)
        return;
    if (isArray()) {
        for (const VJsonValue& element : m_refData->m_value.m_valArray)
            element.dumpTo(out, deep, indent + 3, depth + 1);
    } else if (isObject()) {
        for (const QString& key : getMemberNames())
            find(key)->dumpTo(out, deep, indent + 3, depth + 1);
    }
}

QString VJsonValue::toString(int indent) const
{
    if (tooDeepToPrint(*this))
        tooDeep("VJsonValue::toString()");
    QString out;
    toStringTo(out, indent, 0);
    return out;
}

// Kept apart from toStringTo() so that the recursive frame stays small.
Q_NEVER_INLINE static void appendLine(QString& out, int spaces, const QString& head, const QString& tail)
{
    appendSpaces(out, spaces);
    out += head;
    out += tail;
}

Q_NEVER_INLINE void VJsonValue::appendTypeLine(QString& out, int indent) const
{
    const VJsonType type = getType();
    if (int(type) < 0 || int(type) > 13)
        throw VException(QStringLiteral("VJsonValue::toString(): Unknown type (received \"%1\")")
                             .arg(typeToString(type)),
                         kFile, 1589);
    appendLine(out, indent, QLatin1String("Type: "), typeToString(type));
    if (type == VJSONTYPE_EMPTY)
        out += QLatin1Char('\n');
    else if (type == VJSONTYPE_ARRAY || type == VJSONTYPE_OBJECT)
        out += QStringLiteral(", size: %1\n").arg(size());
    else
        out += QLatin1Char(' ') + asString() + QLatin1Char('\n');
}

void VJsonValue::toStringTo(QString& out, int indent, int depth) const
{
    if (depth > MaxDepth)
        tooDeep("VJsonValue::toString()");
    appendTypeLine(out, indent);
    if (isArray()) {
        const VJsonInternalArray& array = m_refData->m_value.m_valArray;
        for (int i = 0; i < array.size(); ++i) {
            appendLine(out, indent, QString::number(i), QStringLiteral(" :\n"));
            array.at(i).toStringTo(out, indent + 3, depth + 1);
        }
    } else if (isObject()) {
        const QStringList keys = getMemberNames();
        for (const QString& key : keys) {
            appendLine(out, indent > 0 ? indent + 3 : 0, key, QStringLiteral(" :\n"));
            find(key)->toStringTo(out, indent + 3, depth + 1);
        }
    }
}
