#include <VIpc/field_info.h>

#include "testutil.h"

#include <gtest/gtest.h>

#include "exception_text.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

using vtest::exceptionText;

namespace {

typedef VFieldInfo F;

// Runs the named test alone in a fresh copy of this program, where no
// field_info table has been filled yet.
int runFresh(const char* filter)
{
    // This program itself; VORN_TEST_BIN when set, else the kernel's link.
    std::string bins;
    if (const char* bin = getenv("VORN_TEST_BIN")) {
        bins = bin;
    } else {
        char path[4096];
        const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0)
            return -2;
        bins.assign(path, size_t(n));
    }
    const std::string arg = std::string("--gtest_filter=") + filter;
    const pid_t pid = vtest::forkChild([&] {
        setenv("VORN_FIELD_INFO_FRESH", "1", 1);
        execl(bins.c_str(), bins.c_str(), arg.c_str(), "--gtest_brief=1", static_cast<char*>(nullptr));
        return 127;
    });
    return vtest::waitChild(pid);
}

bool inFreshChild()
{
    return getenv("VORN_FIELD_INFO_FRESH") != nullptr;
}

}

TEST(VFieldInfo, ReservedNamesKnownInFreshProcess)
{
    EXPECT_EQ(runFresh("VFieldInfoFresh.FirstCallIsNameInternal"), 0);
    EXPECT_EQ(runFresh("VFieldInfoFresh.ConcurrentFirstFieldsFillOnce"), 0);
}

TEST(VFieldInfoFresh, FirstCallIsNameInternal)
{
    if (!inFreshChild())
        GTEST_SKIP() << "runs in a child process";
    EXPECT_TRUE(F::isNameInternal("Offsets"));
    EXPECT_TRUE(F::isNameInternal("ContentDigest"));
    EXPECT_FALSE(F::isNameInternal("offsets"));
}

TEST(VFieldInfoFresh, ConcurrentFirstFieldsFillOnce)
{
    if (!inFreshChild())
        GTEST_SKIP() << "runs in a child process";
    std::atomic<int> ready(0);
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < 8) {
            }
            try {
                F f(QString("f%1").arg(i), F::FT_32, 4, F::FP_NOTHING, 3 + i);
                if (f.getTypeAsString() != "FT_32" || !F::isNameInternal("TypeDigest"))
                    ++failures;
            } catch (const VException&) {
                ++failures;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(F::getInternalFieldInfo("TypeDigest").getSize(), 32u);
}

TEST(VFieldInfo, ConstantsAndNames)
{
    EXPECT_EQ(F::FT_32, 3u);
    EXPECT_EQ(F::FS_32, 4u);
    EXPECT_EQ(F::FT_64, 4u);
    EXPECT_EQ(F::FS_64, 8u);
    EXPECT_EQ(F::FT_FIXED_SIZE, 101u);
    EXPECT_EQ(F::FT_MAX_TYPE, 102u);
    EXPECT_EQ(F::FO_MIN_EXTERNAL, 3u);
    const field_type_t* address = &F::FT_8; // constants have storage
    EXPECT_EQ(*address, 1u);
    EXPECT_EQ(F::FN_CONTENT_DIGEST, "ContentDigest");
    EXPECT_EQ(F::FN_TYPE_DIGEST, "TypeDigest");
    EXPECT_EQ(F::FN_OFFSETS, "Offsets");
    EXPECT_EQ(F::FTN_VARIABLE_SIZE, "FT_VARIABLE_SIZE");
    EXPECT_EQ(F::FTN_FIXED_SIZE, "FT_FIXED_SIZE");
}

TEST(VFieldInfo, RefusedFieldsGiveExactTexts)
{
    EXPECT_EQ(exceptionText([] { F("a", F::FT_16, 4, F::FP_NOTHING, 5); }),
              "VIpc/field_info:167 Can't declare an atomic field [Field: Name a, Type FT_16, Size 4, "
              "Properties FP_NOTHING, Order 5]: the size should be 2");
    for (field_type_t t : { 0u, 5u, 7u, 100u, 103u }) {
        const std::string w = exceptionText([t] { F("a", t, 4, F::FP_NOTHING, 5); });
        EXPECT_EQ(w, QString("VIpc/field_info:179 Can't declare an internal field [Field: Name a, Type "
                             "[THE TYPE %1 DOES NOT EXIST!], Size 4, Properties FP_NOTHING, Order 5]: the "
                             "type is not known or not reserved for internal")
                         .arg(t)
                         .toStdString());
    }
    EXPECT_EQ(exceptionText([] { F("ContentDigest", F::FT_32, 4, F::FP_NOTHING, 0); }),
              "VIpc/field_info:196 The internal field parameters are not as expected(is [Field: Name "
              "ContentDigest, Type FT_32, Size 4, Properties FP_NOTHING, Order 0], expected [Field: Name "
              "ContentDigest, Type FT_32, Size 4, Properties FP_INTERNAL, Order 0])");
    EXPECT_NE(exceptionText([] { F("TypeDigest", F::FT_FIXED_SIZE, 32, F::FP_INTERNAL, 5); }).find(":196 "),
              std::string::npos);

    const std::string order = "The external field's order (1) is in interval of internal orders [0, 2]";
    const std::string internal = "The field is marked as internal, but its name is not registered: Field: "
                                 "Name x, Type FT_8, Size 1, Properties FP_INTERNAL, Order ";
    EXPECT_NE(exceptionText([] { F("x", F::FT_8, 1, F::FP_NOTHING, 1); }).find(" " + order), std::string::npos);
    const std::string one = exceptionText([] { F("x", F::FT_8, 1, F::FP_INTERNAL, 3); });
    EXPECT_EQ(one.substr(one.find(' ') + 1), internal + "3.");
    const std::string both = exceptionText([] { F("x", F::FT_8, 1, F::FP_INTERNAL, 1); });
    EXPECT_EQ(both.substr(both.find(' ') + 1), internal + "1." + order);
    EXPECT_EQ(both.substr(0, 16), "VIpc/field_info:");
}

TEST(VFieldInfo, AcceptedFieldsAndTexts)
{
    EXPECT_NO_THROW(F("r", F::FT_FIXED_SIZE, 0, F::FP_NOTHING, 3));
    EXPECT_NO_THROW(F("r", F::FT_VARIABLE_SIZE, 12345, F::FP_NOTHING, 3));
    EXPECT_NO_THROW(F("Offsets", F::FT_FIXED_SIZE, 48, F::FP_INTERNAL, 2));
    const F x("x", F::FT_64, 8, F::FP_NOTHING, 3);
    EXPECT_EQ(x.toString(), "Field: Name x, Type FT_64, Size 8, Properties FP_NOTHING, Order 3");
    // A "%N" in a name is text, not a placeholder.
    EXPECT_EQ(F("%2%1", F::FT_8, 1, F::FP_NOTHING, 4).toString(),
              "Field: Name %2%1, Type FT_8, Size 1, Properties FP_NOTHING, Order 4");

    F p("p", F::FT_8, 1, F::FP_NOTHING, 3);
    const char* expected[] = { "FP_NOTHING", "FP_INTERNAL", "FP_NOTHING", "FP_INTERNAL" };
    for (quint32 bits = 0; bits < 4; ++bits) {
        p.setProperties(bits);
        EXPECT_EQ(p.getPropertiesAsString(), expected[bits]) << bits;
    }
    p.setProperties(0);
    p.setProperty(F::FP_INTERNAL);
    EXPECT_TRUE(p.is(F::FP_INTERNAL));
    p.unsetProperty(F::FP_INTERNAL);
    EXPECT_FALSE(p.is(F::FP_INTERNAL));
}

TEST(VFieldInfo, ComparisonsAndSharing)
{
    const F a("a", F::FT_32, 4, F::FP_NOTHING, 3);
    const F b("a", F::FT_32, 4, F::FP_NOTHING, 3);
    EXPECT_TRUE(a.isIdenticalTo(b));
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a.matches(b)); // no property bit in common

    const F reserved = F::getInternalFieldInfo("ContentDigest");
    const F good("ContentDigest", F::FT_32, 4, F::FP_INTERNAL, 0);
    EXPECT_TRUE(good.matches(reserved));
    F bad = good;
    bad.setProperties(F::FP_NOTHING); // detaches: good keeps its bits
    EXPECT_FALSE(bad.matches(reserved));
    EXPECT_TRUE(good.is(F::FP_INTERNAL));

    // Raw sizes are not compared, and only this field's type counts.
    const F off48("Offsets", F::FT_FIXED_SIZE, 48, F::FP_INTERNAL, 2);
    EXPECT_TRUE(off48.matches(F::getInternalFieldInfo("Offsets")));
    EXPECT_THROW(F::getInternalFieldInfo("nope"), VException);
}
