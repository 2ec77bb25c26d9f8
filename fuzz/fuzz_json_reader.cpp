// VJsonReader: the bytes as UTF-8 JSON text, read strictly and with every
// leniency on; what was read is written and read once more, and the pairs of
// writer style and reader flags that keep comments must give back the same
// tree and, written again, the same text.
#include <VCore/vexception.h>
#include <VIO/json_reader.h>
#include <VIO/json_writer.h>

#include "fuzz_target.h"

namespace {

const int LENIENT = VJSONREAD_ALLOW_COMMENTS | VJSONREAD_ALLOW_LITERAL_CASE | VJSONREAD_ALLOW_BAD_CLOSING
                    | VJSONREAD_ALLOW_MULTILINE_STRINGS;
const int ALL_FLAGS = LENIENT | VJSONREAD_KEEP_COMMENTS | VJSONREAD_COMMENTS_AFTER;

// Walks the tree through the public accessors.
void walk(const VJsonValue& value, int depth)
{
    if (depth > VJsonValue::MaxDepth)
        return;
    (void)value.getCommentCount();
    if (value.isArray()) {
        for (int i = 0; i < value.size(); ++i)
            walk(value.itemAt(unsigned(i)), depth + 1);
    } else if (value.isObject()) {
        for (const QString& key : value.getMemberNames())
            walk(value.itemAt(key), depth + 1);
    } else if (!value.isEmpty()) {
        (void)value.asString();
    }
}

// False when the tree cannot be written (an EMPTY member of bad text).
bool write(const VJsonValue& value, int style, QString& out)
{
    try {
        VJsonWriter(style, 2, 2).write(value, out);
        return true;
    } catch (const VException&) {
        return false;
    }
}

// Read with flags, write with style, read back with the same flags: no
// errors, the same tree, and the same text when written again.
void roundTrip(const QString& text, int flags, int style)
{
    VJsonReader reader(flags, 20);
    VJsonValue value;
    const int errors = reader.parse(text, &value);
    if (errors != reader.getErrorCount())
        __builtin_trap();
    walk(value, 0);
    QString first;
    // Without a start bracket nothing was read.
    if (!(value.isArray() || value.isObject()) || !write(value, style, first))
        return;
    VJsonReader again(flags, 20);
    VJsonValue back;
    if (again.parse(first, &back) != 0 || !back.isSameAs(value))
        __builtin_trap();
    QString second;
    if (!write(back, style, second) || second != first)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = vfuzz::utf8(data, size);
    const struct
    {
        int flags;
        int style;
    } pairs[] = {
        {0, 0},
        {LENIENT | VJSONREAD_KEEP_COMMENTS, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS | VJSONWRITE_SPLIT_STRINGS},
        {ALL_FLAGS, VJSONWRITE_INDENT | VJSONWRITE_COMMENTS | VJSONWRITE_COMMENTS_AFTER},
    };
    // Long inputs are there to show the time reading takes: one pair each,
    // and no parse that keeps a message for every fault.
    if (size > vfuzz::DEFAULT_MAX_INPUT_BYTES) {
        roundTrip(text, pairs[size % 3].flags, pairs[size % 3].style);
        return 0;
    }
    for (const auto& pair : pairs)
        roundTrip(text, pair.flags, pair.style);
    VJsonReader(ALL_FLAGS, -1).parse(text, nullptr);
    return 0;
}
