// VJsonReader: a tolerant JSON parser that collects its complaints, with line
// and column, instead of throwing, and can keep the text's comments.
// Not thread-safe: a reader is used by one thread at a time; distinct readers are independent.
#ifndef VORNLIB_VIO_JSON_READER_H
#define VORNLIB_VIO_JSON_READER_H

#include "VCore/vornlib_export.h"

#include <string>
#include <vector>

#include <QString>
#include <QStringList>
#include <QVector>

#include <VIO/json_value.h>

enum
{
    VJSONREAD_ALLOW_COMMENTS = 1,
    VJSONREAD_KEEP_COMMENTS = 2,
    VJSONREAD_ALLOW_LITERAL_CASE = 4,
    VJSONREAD_ALLOW_BAD_CLOSING = 8,
    VJSONREAD_ALLOW_MULTILINE_STRINGS = 16,
    VJSONREAD_COMMENTS_AFTER = 32
};

class VORN_EXPORT VJsonReader
{
public:
    // A negative maxErrors keeps every message.
    VJsonReader(int flags, int maxErrors);
    virtual ~VJsonReader();

    // Reads doc into val (a null val only checks the syntax); returns the
    // number of entries in the error list, 0 when the text was accepted.
    // Never throws. Containers nested deeper than 1000 levels end the parse
    // with an error.
    int parse(const QString& doc, VJsonValue* val);

    int getErrorCount() const { return m_errors.size(); }
    int getWarningCount() const { return m_warnings.size(); }
    const QStringList& getErrors() const { return m_errors; }
    const QStringList& getWarnings() const { return m_warnings; }

    static int UTF8NumBytes(char c);

protected:
    int parse(VJsonValue* val);
    int doRead(VJsonValue& parent);
    void addError(const QString& msg);
    void addWarning(int flag, const QString& msg);
    // Literal texts become strings in these, not in the caller's frame: the
    // recursive doRead() keeps no temporaries for its many messages.
    void addError(const char* msg);
    void addWarning(int flag, const char* msg);
    int getStart();
    int readChar();
    int getChar();
    int peekChar();
    void storeValue(int ch, const QString& key, VJsonValue& value, VJsonValue& parent);
    int skipWhiteSpace();
    int skipComment();
    void storeComment(const VJsonValue* parent);
    int readString(VJsonValue& value);
    int readToken(int ch, QString& token);
    int readValue(int ch, VJsonValue& value);
    int readUnicode(long& code);
    int appendUnicodeSequence(QString& text, int code);
    int numBytes();

    int m_flags;
    int m_maxErrors;
    int m_lineNo;
    int m_colNo;
    int m_level;
    VJsonValue* m_current;
    VJsonValue* m_lastStored;
    VJsonValue* m_next;
    QString m_comment;
    int m_commentLine;
    QStringList m_errors;
    QStringList m_warnings;
    int m_charPos;
    int m_inType;
    void* m_inObject;
    int m_peekChar;
    // Deepest nesting of containers a parse accepts.
    int m_maxDepth;

private:
    VJsonReader(const VJsonReader&) = delete;
    VJsonReader& operator=(const VJsonReader&) = delete;

    void addMessage(QStringList& list, const QString& text, const char* cutOff);
    // Whether another error would still be kept (or give the cut-off notice).
    bool keepsError() const { return m_maxErrors < 0 || m_errors.size() <= m_maxErrors; }
    template <class Buffer> int scanToken(int ch, Buffer& token);
    int scanEscaped(QString& text);
    int plainRun(int start) const;
    int numberInPlace(int ch, char* out, int size) const;
    QString shared(const QChar* text, int length);

    const QChar* m_data;
    int m_size;
    bool m_rawChars; // inside strings and comments characters above U+00FF are kept
    bool m_stop;     // the nesting limit was hit: unwind without reading on
    // Where the comment just read began and ended; a comment that follows a
    // same-line comment directly (on its line, or at the start of the next)
    // goes to the same value, as the writer writes them.
    int m_commentCol;
    int m_commentEndLine;
    bool m_commentEndsLine;
    VJsonValue* m_sameLineValue; // took the last comment with nothing read since
    int m_sameLineEnd;
    bool m_sameLineEndsLine;
    QVector<QString> m_shared; // recent short strings, by hash of their text
    std::string m_token;       // the bare token being read
    struct Staging;
    std::vector<VJsonValue> m_stage; // elements of the open arrays, innermost last
    VJsonValue* m_staging;           // the array whose elements stage now, if any
};

#endif
