// Small helpers where the Qt 5.15 and Qt 6 APIs differ, so that the rest of
// the library reads the same on both.
// Thread-safe: stateless.
#ifndef VORNLIB_VCORE_QTCOMPAT_P_H
#define VORNLIB_VCORE_QTCOMPAT_P_H

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QTextStream>
#include <QVector>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringView>
// A piece of a string that shares its characters (QStringRef is gone in Qt 6).
using VStringPiece = QStringView;
inline QList<QStringView> vSplitPieces(const QString& text, QChar separator)
{
    return QStringView(text).split(separator);
}
#else
#include <QStringRef>
using VStringPiece = QStringRef;
inline QVector<QStringRef> vSplitPieces(const QString& text, QChar separator)
{
    return text.splitRef(separator);
}
#endif

// Reads and writes the stream as UTF-8 (Qt 6's default; Qt 5 follows the locale).
inline void vSetUtf8(QTextStream& stream)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    stream.setEncoding(QStringConverter::Utf8);
#else
    stream.setCodec("UTF-8");
#endif
}

// The meta-type id a type name stands for; QMetaType::UnknownType when none.
inline int vMetaTypeIdFromName(const QByteArray& name)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QMetaType::fromName(name).id();
#else
    return QMetaType::type(name);
#endif
}

// Qt 5's conversion of a byte array to a string, on every Qt: the bytes
// are read as a zero-terminated UTF-8 string, so they end at the first zero
// byte (Qt 6 keeps them all), and a null or empty array gives an empty,
// non-null string (Qt 6 gives a null one for a null array).
inline QString vQt5StringFromBytes(const QByteArray& bytes)
{
    const int size = int(qstrnlen(bytes.constData(), uint(bytes.size())));
    return size == 0 ? QString(QLatin1String("")) : QString::fromUtf8(bytes.constData(), size);
}

// The text of an integer for QString's toLong(), toUInt() and their kin, so
// that they read it as Qt 5 does (what stored files were read with): blanks
// beside the digits are any QChar::isSpace (U+00A0, U+2009, U+3000 too), a
// NUL anywhere fails, U+2212 is a minus sign. Qt 6 itself skips only ASCII
// blanks, reads up to a NUL and knows no U+2212.
inline QString vIntegerText(const QString& text)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QString digits = text.trimmed();
    if (digits.contains(QChar(0)))
        return QString();
    return digits.replace(QChar(0x2212), QLatin1Char('-'));
#else
    return text;
#endif
}

#endif
