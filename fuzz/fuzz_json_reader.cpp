// VJsonReader: the bytes as UTF-8 JSON text, read strictly and with every
// leniency on; what was accepted is written and read once more.
#include <VCore/vexception.h>
#include <VIO/json_reader.h>
#include <VIO/json_writer.h>

#include "fuzz_target.h"

namespace {

const int ALL_FLAGS = VJSONREAD_ALLOW_COMMENTS | VJSONREAD_KEEP_COMMENTS | VJSONREAD_ALLOW_LITERAL_CASE
                      | VJSONREAD_ALLOW_BAD_CLOSING | VJSONREAD_ALLOW_MULTILINE_STRINGS
                      | VJSONREAD_COMMENTS_AFTER;

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

void readWriteRead(const QString& text, int flags, int style)
{
    VJsonReader reader(flags, 20);
    VJsonValue value;
    const int errors = reader.parse(text, &value);
    if (errors != reader.getErrorCount())
        __builtin_trap();
    walk(value, 0);
    if (errors != 0)
        return;

    QString written;
    try {
        // Comments are written but not read back: where the writer puts them
        // need not be where the reader's flags look for them.
        QString withComments;
        VJsonWriter(style | VJSONWRITE_COMMENTS, 2, 2).write(value, withComments);
        VJsonWriter(style, 2, 2).write(value, written);
    } catch (const VException&) {
        return;
    }
    // What the writer made from an accepted text reads back without errors.
    VJsonReader again(flags, 20);
    if (again.parse(written, nullptr) != 0)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = vfuzz::utf8(data, size);
    readWriteRead(text, 0, 0);
    readWriteRead(text, ALL_FLAGS, VJSONWRITE_INDENT | VJSONWRITE_SPLIT_STRINGS);
    VJsonReader(ALL_FLAGS, -1).parse(text, nullptr);
    return 0;
}
