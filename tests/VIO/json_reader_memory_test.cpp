#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <VIO/json_reader.h>
#include <VIO/json_value.h>
#include <VIO/json_writer.h>

namespace {

QString numbersText(int count)
{
    QString text = QStringLiteral("[");
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("%1{\"n\": %2, \"s\": \"v\\u00e9%2\"}").arg(i ? "," : "").arg(i);
    return text + QLatin1Char(']');
}

} // namespace

// Values a reader creates share memory blocks: a part kept after the rest of
// the tree went must stay intact, and so must values changed afterwards.
TEST(VJsonReader, PartsOfAParsedTreeOutliveTheRest)
{
    std::vector<VJsonValue> kept;
    {
        VJsonValue tree;
        ASSERT_EQ(VJsonReader(0, 10).parse(numbersText(2000), &tree), 0);
        for (int i = 0; i < 2000; i += 97)
            kept.push_back(tree.itemAt(unsigned(i)));
        tree.item(5u).item(QStringLiteral("n")) = 42;
        EXPECT_EQ(tree.itemAt(5u).itemAt(QStringLiteral("n")).asInt(), 42);
    }
    for (size_t k = 0; k < kept.size(); ++k) {
        const int i = int(k) * 97;
        EXPECT_EQ(kept[k].itemAt(QStringLiteral("n")).asInt(), i);
        EXPECT_EQ(kept[k].itemAt(QStringLiteral("s")).asString(), QStringLiteral("v\u00e9%1").arg(i));
        EXPECT_EQ(kept[k].getRefData()->getRefCount(), 1);
    }
}

// A tree parsed in one thread may be handed to another and freed there while
// the first goes on parsing.
TEST(VJsonReader, TreesMoveBetweenThreads)
{
    const QString text = numbersText(500);
    std::vector<VJsonValue> trees(16);
    for (VJsonValue& tree : trees)
        ASSERT_EQ(VJsonReader(0, 10).parse(text, &tree), 0);
    std::thread other([&trees] {
        for (VJsonValue& tree : trees) {
            QString out;
            VJsonWriter(0, 0, 0).write(tree, out);
            tree = VJsonValue();
        }
    });
    for (int i = 0; i < 16; ++i) {
        VJsonValue mine;
        EXPECT_EQ(VJsonReader(0, 10).parse(text, &mine), 0);
        EXPECT_EQ(mine.size(), 500);
    }
    other.join();
}
