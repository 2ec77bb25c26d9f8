// VSerializable: a QObject that lists its own Qt properties as text.
// Not thread-safe: one object is used by one thread at a time.
// printAll() lines of concurrent callers may interleave on std::cout.
#ifndef VORNLIB_VCORE_SERIALIZABLE_H
#define VORNLIB_VCORE_SERIALIZABLE_H

#include "VCore/vornlib_export.h"

#include <QObject>
#include <QString>

class VORN_EXPORT VSerializable : public QObject
{
    Q_OBJECT
public:
    VSerializable();
    virtual ~VSerializable();

    // "instance of Class {objectName=..., p=v}"
    QString toString() const;
    // Three lines per property on std::cout.
    void printAll() const;
    QString getClassName() const;
};

#endif
