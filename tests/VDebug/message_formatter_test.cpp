#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include <QThread>

#include <VCore/xml_depth_guard_p.h>
#include <VDebug/message_formatter.h>

#include "deep_xml.h"

namespace {

VMessageFormatter* formatter()
{
    // Tests add their own messages to the one instance.
    return const_cast<VMessageFormatter*>(VMessageFormatter::getInstance());
}

// Reads text in a thread with a stack of 128 KiB.
void loadOnSmallStack(const QString& text)
{
    const std::unique_ptr<QThread> thread(QThread::create([&] { formatter()->loadFromXml(text); }));
    thread->setStackSize(128 * 1024);
    thread->start();
    thread->wait();
}

} // namespace

// The instance's life: null until the first initFromXml, later calls ignored.
TEST(VMessageFormatter, InitOnceThenLoadMore)
{
    // ctest runs each test in a process of its own; a run of the whole
    // program may have made the instance already.
    if (VMessageFormatter::getInstance() != nullptr)
        GTEST_SKIP() << "instance made by an earlier test of this process";
    VMessageFormatter::initFromXml(
        "<messages><group><m name='Start' id='1' format='starting %1'/></group></messages>");
    const VMessageFormatter* f = VMessageFormatter::getInstance();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->resolveMessageFormat(QStringLiteral("start")), QStringLiteral("starting %1"));
    EXPECT_EQ(f->resolveMessageFormat(1u), QStringLiteral("starting %1"));

    VMessageFormatter::initFromXml("<r><g><m name='start' id='1' format='other'/></g></r>");
    EXPECT_EQ(VMessageFormatter::getInstance(), f);
    EXPECT_EQ(f->resolveMessageFormat(1u), QStringLiteral("starting %1"));

    formatter()->loadFromXml("<r><g><m name='stop' id='2' format='stopping'/></g></r>");
    EXPECT_EQ(f->resolveMessageFormat(QStringLiteral("STOP")), QStringLiteral("stopping"));
    EXPECT_EQ(f->resolveMessageFormat(QStringLiteral("unknown")), QString());
    EXPECT_EQ(f->resolveMessageFormat(999u), QString());
}

TEST(VMessageFormatter, ReaderWaitingForTheInstanceSeesItLoaded)
{
    if (VMessageFormatter::getInstance() != nullptr)
        GTEST_SKIP() << "instance made by an earlier test of this process";
    std::atomic<bool> seenEmpty(false);
    std::thread reader([&] {
        const VMessageFormatter* f = nullptr;
        while (!(f = VMessageFormatter::getInstance()))
            std::this_thread::yield();
        if (f->resolveMessageFormat(7u) != QStringLiteral("ready"))
            seenEmpty = true;
    });
    VMessageFormatter::initFromXml("<r><g><m name='ready' id='7' format='ready'/></g></r>");
    reader.join();
    EXPECT_FALSE(seenEmpty.load());
}

TEST(VMessageFormatter, NamesAndIdsFollowTheLaterEntry)
{
    VMessageFormatter::initFromXml("<r/>");
    VMessageFormatter* f = formatter();
    f->loadFromXml("<r><g>"
                   "<m name='Greeting' id='10' format='first'/>"
                   "<m name='GREETING' id='11' format='second'/>"
                   "<m name='bad' id='54a' format='bad id'/>"
                   "<m name='noid' format='no id'/>"
                   "</g><h><m name='spaced' id=' 13 ' format='spaced'/></h></r>");
    EXPECT_EQ(f->resolveMessageFormat(QStringLiteral("greeting")), QStringLiteral("second"));
    EXPECT_EQ(f->resolveMessageFormat(10u), QStringLiteral("first"));
    EXPECT_EQ(f->resolveMessageFormat(0u), QStringLiteral("no id"));
    EXPECT_EQ(f->resolveMessageFormat(54u), QString());
    EXPECT_EQ(f->resolveMessageFormat(13u), QStringLiteral("spaced"));

    // A message without a name lands under the empty name.
    f->loadFromXml("<r><g><m id='14' format='nameless'/></g></r>");
    EXPECT_EQ(f->resolveMessageFormat(QString()), QStringLiteral("nameless"));
}

// An id read as Qt 5 reads it, on Qt 6 too: a no-break space beside the
// digits is a blank, and the entry does not land under 0.
TEST(VMessageFormatter, IdsReadAsOnQt5)
{
    VMessageFormatter::initFromXml("<r/>");
    VMessageFormatter* f = formatter();
    f->loadFromXml("<r><g><m name='zeroid' id='0' format='zero'/><m name='nbsp' id='7&#160;' format='seven'/></g></r>");
    EXPECT_EQ(f->resolveMessageFormat(7u), QStringLiteral("seven"));
    EXPECT_EQ(f->resolveMessageFormat(0u), QStringLiteral("zero"));
}

TEST(VMessageFormatter, OnlyGrandchildElementsAreRead)
{
    VMessageFormatter::initFromXml("<r/>");
    VMessageFormatter* f = formatter();
    // Ids with digits above 3 are not made by the mutation test.
    f->loadFromXml("<r><m name='top' id='40' format='top'/>"
                   "<g><m name='deep' id='41' format='kept'><x name='deeper' id='42' format='no'/></m></g>"
                   "</r>");
    EXPECT_EQ(f->resolveMessageFormat(QStringLiteral("top")), QString());
    EXPECT_EQ(f->resolveMessageFormat(40u), QString());
    EXPECT_EQ(f->resolveMessageFormat(41u), QStringLiteral("kept"));
    EXPECT_EQ(f->resolveMessageFormat(QStringLiteral("deeper")), QString());
    EXPECT_EQ(f->resolveMessageFormat(42u), QString());

    // Comments and text after a message do not wipe it.
    f->loadFromXml("<r><g><m id='44' format='unnamed'/><m name='zero' id='0' format='zero'/>"
                   "<!-- note -->text</g></r>");
    EXPECT_EQ(f->resolveMessageFormat(0u), QStringLiteral("zero"));
    EXPECT_EQ(f->resolveMessageFormat(QString()), QStringLiteral("unnamed"));

    // Text that does not parse adds nothing.
    f->loadFromXml("<r><g><m name='broken' id='45' format='x'></g>");
    EXPECT_EQ(f->resolveMessageFormat(45u), QString());
}

TEST(VMessageFormatter, MutatedXmlNeverCrashes)
{
    VMessageFormatter::initFromXml("<r/>");
    VMessageFormatter* f = formatter();
    const QByteArray seed =
        "<msgs><g><m name='a' id='1' format='x %1'/><m name='b' id='2' format='y'/></g>"
        "<g2><!-- c --><m id='3' format='z'>t</m></g2></msgs>";
    const char alphabet[] = "<>/='\" !-?amgid0123&;\x01\xff";
    std::mt19937 rng(12345);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int rounds = 0;
    while (std::chrono::steady_clock::now() < end && rounds < 20000) {
        QByteArray text = seed;
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < edits; ++i) {
            const int pos = static_cast<int>(rng() % (text.size() + 1));
            const char c = alphabet[rng() % (sizeof alphabet - 1)];
            switch (rng() % 3) {
            case 0: text.insert(pos, c); break;
            case 1: if (pos < text.size()) text.remove(pos, 1); break;
            default: if (pos < text.size()) text[pos] = c; break;
            }
        }
        f->loadFromXml(QString::fromLatin1(text));
        (void)f->resolveMessageFormat(1u);
        ++rounds;
    }
    EXPECT_GT(rounds, 0);
}

// Elements nested far deeper than any real document, also behind faults a
// lenient parser reads past: nothing of the text is added.
TEST(VMessageFormatter, TooDeepDocumentAddsNothing)
{
    VMessageFormatter::initFromXml("<r/>");
    VMessageFormatter* f = formatter();
    const QString before = "<g><m name='deepbefore' id='60' format='before'/></g>";
    const QString after = "<g><m name='deepafter' id='61' format='after'/></g>";
    for (const QString& text : vtest::tooDeepXml("r", before, after))
        f->loadFromXml(text);
    EXPECT_EQ(f->resolveMessageFormat(60u), QString());
    EXPECT_EQ(f->resolveMessageFormat(61u), QString());
    EXPECT_EQ(f->resolveMessageFormat(QStringLiteral("deepafter")), QString());

    // Exactly as deep as allowed is read as before; one level more is not.
    f->loadFromXml("<r><g><m id='62' format='limit'>" + vtest::nestedXml(VXML_MAX_DEPTH - 3) + "</m></g></r>");
    EXPECT_EQ(f->resolveMessageFormat(62u), QStringLiteral("limit"));
    f->loadFromXml("<r><g><m id='63' format='over'>" + vtest::nestedXml(VXML_MAX_DEPTH - 2) + "</m></g></r>");
    EXPECT_EQ(f->resolveMessageFormat(63u), QString());
}

// A general entity declared only by parameter entities, behind one from
// outside that a strict parser does not read, and its markup written with
// character references: a lenient parser expands it where the depth scan
// sees an unknown entity. Read in a thread with a small stack, whole or cut
// short by a fault after the entity, it adds nothing and does not crash.
TEST(VMessageFormatter, EntityDeclaredByParameterEntitiesIsRefused)
{
    VMessageFormatter::initFromXml("<r/>");
    const QString head = "<!DOCTYPE r [<!ENTITY % ext SYSTEM 'ext.dtd'> %ext;"
                         "<!ENTITY % outer \"&#60;!ENTITY &#37; inner '&#38;#60;!ENTITY e &#38;#34;"
                         + vtest::nestedXml(2 * VXML_MAX_DEPTH) + "&#38;#34;&#38;#62;'&#62;\"> %outer; %inner;]>"
                         "<r><g><m name='pe' id='64' format='pe'/></g><g>";
    const QString deep = vtest::nestedXml(VXML_MAX_DEPTH - 6, "&e;");
    for (const QString& text : {head + deep + "</g></r>", head + deep + "</g><</r>"}) {
        loadOnSmallStack(text);
        EXPECT_EQ(formatter()->resolveMessageFormat(64u), QString());
    }
}

// An entity whose text refers to one that opens elements it never closes:
// the scan refuses that, after a token of the first entity's text. What came
// before the fault ends before the first reference, which a lenient parser
// would expand whole. Read in a thread with a small stack, it adds nothing.
TEST(VMessageFormatter, FaultInsideAnEntityLeavesNoDeepDocument)
{
    VMessageFormatter::initFromXml("<r/>");
    loadOnSmallStack("<!DOCTYPE r [<!ENTITY b '" + QString("<d>").repeated(4 * VXML_MAX_DEPTH)
                     + "'><!ENTITY a '<x>&b;</x>'>]><r><g><m id='66' format='f'/></g>&a;</r>");
    EXPECT_EQ(formatter()->resolveMessageFormat(66u), QString());
}

// A '%' in the type declaration that refers to nothing (a default value, a
// comment), or entities declared only before a parameter entity from outside
// or not used: the messages are read, a reference the outside may declare
// kept.
TEST(VMessageFormatter, ReferenceOnlyTheOutsideMayDeclareIsKept)
{
    VMessageFormatter::initFromXml("<r/>");
    const QString body = "<r><g><m id='%1' format='50% of %2'>&copy;</m></g></r>";
    const QStringList subsets = {"<!ATTLIST m format CDATA '%1'><!ENTITY co 'ACME'>",
                                 "<!-- 100%! --><!ENTITY co 'ACME'>",
                                 "<!ENTITY co 'ACME'><!ENTITY % p SYSTEM 'p.ent'> %p;",
                                 "<!ENTITY % p SYSTEM 'p.ent'> %p;<!ENTITY co 'ACME'>"};
    for (int i = 0; i < subsets.size(); ++i) {
        formatter()->loadFromXml("<!DOCTYPE r SYSTEM 'r.dtd' [" + subsets[i] + "]>" + body.arg(70 + i));
        EXPECT_EQ(formatter()->resolveMessageFormat(70u + i), QStringLiteral("50% of %2")) << subsets[i].toStdString();
    }
}
