// VJsonWriter: writes a VJsonValue tree as JSON text, appended to a QString,
// with optional indentation, comments and strings split at line feeds.
// Not thread-safe: a writer is used by one thread at a time.
#ifndef VORNLIB_VIO_JSON_WRITER_H
#define VORNLIB_VIO_JSON_WRITER_H

#include "VCore/vornlib_export.h"

#include <QString>

#include <VIO/json_value.h>

enum
{
    VJSONWRITE_INDENT = 1,
    VJSONWRITE_COMMENTS = 2,
    VJSONWRITE_COMMENTS_BEFORE = 4,
    VJSONWRITE_COMMENTS_AFTER = 8,
    VJSONWRITE_SPLIT_STRINGS = 16
};

class VJsonWriterBuffer; // internal

class VORN_EXPORT VJsonWriter
{
public:
    // A style of 0 forces indent and step to 0.
    VJsonWriter(int style, int indent, int step);
    ~VJsonWriter();

    // Appends the text of value to out, and only when all of it could be
    // written: an EMPTY value anywhere, a kind without text or nesting deeper
    // than VJsonValue::MaxDepth throws VException and leaves out unchanged.
    // Object members come in ascending key order; characters above U+00FF
    // and control characters are written as \u escapes; NaN and infinities
    // as null.
    void write(const VJsonValue& value, QString& out);

protected:
    // Each returns the code of the last character written, 0 when none.
    int doWrite(const VJsonValue& value, const QString* key, bool comma);
    int writeChar(char c);
    int writeIndent(int n);
    int writeIndent();
    int writeString(const QString& text);
    int writeStringValue(const QString& text);
    int writeKey(const QString& key);
    int writeComment(const VJsonValue& value, bool indent);
    int writePrimitiveValue(const VJsonValue& value);
    int writeNull();
    int writeBool(bool value);
    int writeInt(int value);
    int writeUInt(unsigned int value);
    int writeDouble(double value);
    int writeError(const QString& text);
    int writeEmpty();

private:
    VJsonWriter(const VJsonWriter&) = delete;
    VJsonWriter& operator=(const VJsonWriter&) = delete;

    int writeLatin1(const char* text, int length);
    int writeSpaces(int n);
    // The text being written, straight into the caller's QString.
    VJsonWriterBuffer* output() const
    {
        return m_outType == 0 ? static_cast<VJsonWriterBuffer*>(m_outObject) : nullptr;
    }

    int m_style;
    int m_indent;
    int m_step;
    int m_level;
    void* m_outObject; // during write(): the VJsonWriterBuffer being filled
    int m_outType;
};

#endif
