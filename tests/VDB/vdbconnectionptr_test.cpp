#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "dbtestutil.h"

namespace {

using vdbtest::SqlitePool;
typedef VDbConnectionPtrTestAccess Access;

TEST(VDbConnectionPtr, CopiesKeepTheConnectionUsedUntilTheLastGoes)
{
    SqlitePool p;
    VDb& db = *p.pool;
    VDbConnection* conn;
    {
        VDbConnectionPtr a = db.getConnection();
        conn = a.Get();
        {
            VDbConnectionPtr b(a);
            VDbConnectionPtr c(a);
            EXPECT_EQ(Access::count(a), 3);
        }
        EXPECT_EQ(Access::count(a), 1);
        EXPECT_TRUE(VDbTestAccess::isUsed(db, conn));
    }
    EXPECT_TRUE(VDbTestAccess::isFree(db, conn));
    EXPECT_EQ(VDbTestAccess::usedCount(db), 0);
}

TEST(VDbConnectionPtr, AssignmentMovesShares)
{
    SqlitePool p;
    VDb& db = *p.pool;
    VDbConnectionPtr a = db.getConnection();
    VDbConnectionPtr same(a);
    const VDbConnectionPtr& alias = a;
    a = alias;
    a = same;
    EXPECT_EQ(Access::count(a), 2) << "self and same-record assignment change nothing";

    VDbConnectionPtr b = db.getConnection();
    VDbConnection* y = b.Get();
    b = a;
    EXPECT_TRUE(VDbTestAccess::isFree(db, y)) << "B's sole connection went back";
    EXPECT_EQ(Access::count(a), 3);
    EXPECT_EQ(b.Get(), a.Get());

    // An empty handle assigned to one of several holders.
    b = VDbConnectionPtr();
    EXPECT_TRUE(!b);
    EXPECT_EQ(Access::record(b), nullptr);
    EXPECT_EQ(Access::count(a), 2);
    same = VDbConnectionPtr();
    EXPECT_EQ(Access::count(a), 1);
    // ... and to the sole holder.
    VDbConnection* x = a.Get();
    a = VDbConnectionPtr();
    EXPECT_TRUE(VDbTestAccess::isFree(db, x));
    EXPECT_FALSE(a);
}

TEST(VDbConnectionPtr, ResetLeavesTheOldRecordToOthers)
{
    SqlitePool p;
    VDb& db = *p.pool;
    VDbConnectionPtr a = db.getConnection();
    VDbConnectionPtr b(a);
    VDbConnection* old = a.Get();
    VDbConnectionPtr other = db.getConnection();
    VDbConnection* fresh = other.Get();

    a.Reset(fresh);
    EXPECT_EQ(Access::count(b), 1);
    EXPECT_EQ(Access::count(a), 1);
    EXPECT_EQ(b.Get(), old);
    EXPECT_EQ(a.Get(), fresh);
    EXPECT_TRUE(VDbTestAccess::isUsed(db, old));

    // Two records now count `fresh`: the first to go gives it back.
    other.Reset(nullptr);
    EXPECT_TRUE(VDbTestAccess::isFree(db, fresh));
    EXPECT_EQ(other.Get(), nullptr);
    EXPECT_FALSE(other);
    other = VDbConnectionPtr();
    EXPECT_EQ(VDbTestAccess::freeCount(db), 1) << "a record without a connection releases nothing";
    vtest::CaptureFd err(2);
    a = VDbConnectionPtr();
    EXPECT_NE(err.text().find("Connection released twice:"), std::string::npos);
    EXPECT_EQ(VDbTestAccess::freeCount(db), 1);
}

TEST(VDbConnectionPtr, EmptyHandlesAreFalseAndGetNull)
{
    VDbConnectionPtr empty;
    EXPECT_EQ(empty.Get(), nullptr);
    EXPECT_EQ(empty.operator->(), nullptr);
    EXPECT_TRUE(!empty);
    VDbConnectionPtr copy(empty);
    EXPECT_EQ(Access::record(copy), nullptr);
    VDbConnectionPtr nullRecord(static_cast<VDbConnection*>(nullptr));
    EXPECT_NE(Access::record(nullRecord), nullptr);
    EXPECT_FALSE(nullRecord) << "a record without a connection tests empty, like Get()";
}

TEST(VDbConnectionPtr, ConcurrentCopiesKeepAnExactCount)
{
    SqlitePool p;
    VDb& db = *p.pool;
    VDbConnectionPtr shared = db.getConnection();
    VDbConnection* conn = shared.Get();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 100000; ++i) {
                VDbConnectionPtr copy(shared);
                VDbConnectionPtr other;
                other = copy;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(Access::count(shared), 1);
    EXPECT_TRUE(VDbTestAccess::isUsed(db, conn));
    EXPECT_EQ(VDbTestAccess::freeCount(db), 0);
}

} // namespace
