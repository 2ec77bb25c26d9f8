#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <QObject>

#include "VCore/serializable.h"
#include "VCore/vexception.h"
#include "testutil.h"

TEST(VException, TextWithAndWithoutLocation)
{
    EXPECT_STREQ(VException("plain message").what(), "plain message");
    EXPECT_STREQ(VException("").what(), "");
    EXPECT_STREQ(VException(QString("q message")).what(), "q message");

    VException located("msg", "f.cpp", 12);
    EXPECT_STREQ(located.what(), "f.cpp:12 msg");
    EXPECT_STREQ(located.what(), "f.cpp:12 msg"); // no second prefix
    EXPECT_STREQ(located.getFile(), "f.cpp");
    EXPECT_EQ(located.getLine(), 12u);

    EXPECT_STREQ(VException("msg", nullptr, 12).what(), ":12 msg");
    EXPECT_STREQ(VException(QString("msg"), "VIO/x", 7).what(), "VIO/x:7 msg");
    // Line 0 means no location, even with a file.
    EXPECT_STREQ(VException("msg", "f.cpp", 0).what(), "msg");
}

TEST(VException, CopiesGiveTheSameText)
{
    VException e("msg", "f.cpp", 3);
    VException before(e);
    const char* text = e.what();
    VException after(e);
    EXPECT_STREQ(before.what(), text);
    EXPECT_STREQ(after.what(), text);
    EXPECT_EQ(after.getLine(), 3u);
}

TEST(VException, EightBitMessagePassesByteForByte)
{
    EXPECT_STREQ(VException("caf\xe9").what(), "caf\xe9");
    EXPECT_STREQ(VException(QString::fromLatin1("caf\xe9"), "f", 1).what(), "f:1 caf\xe9");
}

TEST(VException, NestedFormsNameTheCause)
{
    VException cause("inner", "a.cpp", 5);
    EXPECT_STREQ(VException(cause, "outer").what(), "outer (cause: a.cpp:5 inner)");
    EXPECT_STREQ(VException(cause, QString("outer"), "b.cpp", 9).what(),
                 "b.cpp:9 outer (cause: a.cpp:5 inner)");
    EXPECT_STREQ(VException(cause, "outer", "b.cpp", 9).what(), "b.cpp:9 outer (cause: a.cpp:5 inner)");
    EXPECT_STREQ(VException(cause, QString("outer")).what(), "outer (cause: a.cpp:5 inner)");
}

TEST(VException, WhatIsSafeFromManyThreads)
{
    const VException e("shared", "s.cpp", 1);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int k = 0; k < 10000; ++k)
                if (std::string(e.what()) != "s.cpp:1 shared")
                    ++bad;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

class PropertyHolder : public VSerializable
{
    Q_OBJECT
    Q_PROPERTY(int count READ count)
    Q_PROPERTY(QString label READ label)
public:
    int count() const { return 7; }
    QString label() const { return QString::fromUtf8("caf\xc3\xa9"); }
};

class Bare : public VSerializable
{
    Q_OBJECT
};

TEST(VSerializable, ToStringListsPropertiesInOrder)
{
    Bare bare;
    bare.setObjectName("b");
    EXPECT_EQ(bare.toString(), QString("instance of Bare {objectName=b}"));
    EXPECT_EQ(bare.getClassName(), QString("Bare"));

    PropertyHolder h;
    h.setObjectName("holder");
    // Non-ASCII text arrives unchanged.
    EXPECT_EQ(h.toString(),
              QString::fromUtf8("instance of PropertyHolder {objectName=holder, count=7, label=caf\xc3\xa9}"));
}

TEST(VSerializable, PrintAllWritesThreeLinesPerProperty)
{
    PropertyHolder h;
    h.setObjectName("holder");
    vtest::CaptureFd cap(1);
    h.printAll();
    const std::string out = cap.text();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 9);
    EXPECT_NE(out.find("property name: objectName, type name: QString, is valid: 1, is readable: 1\n"
                       "value: holder\n"
                       "type: 10, userType: 10\n"),
              std::string::npos);
    EXPECT_NE(out.find("property name: count, type name: int, is valid: 1, is readable: 1\nvalue: 7\n"
                       "type: 2, userType: 2\n"),
              std::string::npos);
}

#include "exception_test.moc"
