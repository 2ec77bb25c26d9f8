// Writes a fixed set of VMessage frames, or checks a file of them: the file
// must read back to that set, and this build must write exactly its bytes.
// Built by the Qt 5 and the Qt 6 build alike, it shows that each reads the
// other's frames and that both write the same bytes.
//   wire_frames write <file>
//   wire_frames check <file>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QFile>

#include "VIpc/message.h"

namespace {

struct Sample
{
    QString type;
    int number;
    QString data;
};

// Null and empty strings, both int limits, text outside Latin-1 (with a
// surrogate pair and an embedded NUL) and a body longer than 64 KiB.
std::vector<Sample> samples()
{
    return {
        {QString(), 0, QString()},
        {QStringLiteral("ping"), 42, QStringLiteral("")},
        {QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac"), -1,
         QString::fromUtf8("\xf0\x9f\x98\x80 a\0b", 9)},
        {QStringLiteral("max"), INT_MAX, QString()},
        {QStringLiteral("min"), INT_MIN, QString(33000, QChar(0x4e2d))},
    };
}

QByteArray framesOf(const std::vector<Sample>& set)
{
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    for (const Sample& s : set) {
        VMessage m;
        m.setStringType(s.type);
        m.setIntData(s.number);
        m.setStringData(s.data);
        stream << &m;
    }
    return out;
}

bool same(const QString& a, const QString& b)
{
    return a == b && a.isNull() == b.isNull();
}

int fail(const char* what, int index)
{
    std::fprintf(stderr, "wire_frames: %s (frame %d)\n", what, index);
    return 1;
}

int check(const QByteArray& bytes)
{
    const std::vector<Sample> set = samples();
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    QDataStream stream(&buffer);
    for (size_t i = 0; i < set.size(); ++i) {
        VMessage* read = nullptr;
        try {
            stream >> read;
        } catch (const VException& e) {
            std::fprintf(stderr, "wire_frames: %s\n", e.what());
            return fail("frame not readable", int(i));
        }
        std::unique_ptr<VMessage> owner(read);
        if (!same(read->getStringType(), set[i].type) || read->getIntData() != set[i].number ||
            !same(read->getStringData(), set[i].data))
            return fail("frame reads back to other values", int(i));
    }
    if (!buffer.atEnd())
        return fail("bytes after the last frame", int(set.size()));
    if (framesOf(set) != bytes)
        return fail("this build writes other bytes", -1);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: wire_frames write|check <file>\n");
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (std::strcmp(argv[1], "write") == 0) {
        const QByteArray bytes = framesOf(samples());
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "wire_frames: cannot write %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "wire_frames: cannot read %s\n", argv[2]);
        return 1;
    }
    return check(file.readAll());
}
