#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include <QVariantList>

#include <VDebug/console.h>

#include "testutil.h"

namespace {

// A console with slots of the kinds the console supports and some it does not.
class TestConsole : public VDebugConsole
{
    Q_OBJECT

public:
    TestConsole() : VDebugConsole(QStringLiteral("app")) {}

    std::atomic<int> counts{0}, foos{0}, bars{0}, dbls{0}, fours{0};

protected slots:
    int count() { ++counts; return 7; }
    bool yes() { return true; }
    QString echo(QString text) { return text; }
    QVariantList other() { return QVariantList() << 1; }
    void four(int a, int b, int c, int d) { ++fours; }
    void dbl(double d) { ++dbls; }
    void foo() { ++foos; }
    void bar(double d) { ++bars; }
    void bar() { ++bars; }
    int add(int a, int b) { return a + b; }
    bool flag(bool b) { return b; }

public slots:
    void notACommand() {}
};

// Runs the console with the given text as its standard input (a pipe, fed
// by a thread) and returns what it wrote to standard output.
std::string runConsole(VDebugConsole& console, const std::string& input)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return "pipe failed";
    std::thread feeder([&] {
        size_t done = 0;
        while (done < input.size()) {
            const ssize_t n = write(fds[1], input.data() + done, input.size() - done);
            if (n <= 0 && errno != EINTR)
                break;
            if (n > 0)
                done += static_cast<size_t>(n);
        }
        close(fds[1]);
    });
    const int savedStdin = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    clearerr(stdin);
    std::string output;
    {
        vtest::CaptureFd out(1);
        console.run();
        output = out.text();
    }
    feeder.join();
    dup2(savedStdin, 0);
    close(savedStdin);
    clearerr(stdin);
    return output;
}

const char* const kHelp =
    "Available methods:\n"
    "void help()\n"
    "void retval(int returnValueIndex)\n"
    "int count()\n"
    "bool yes()\n"
    "QString echo(QString text)\n"
    "QVariantList other()\n"
    "void four(int a, int b, int c, int d) <=== NOT SUPPORTED\n"
    "void dbl(double d) <=== NOT SUPPORTED\n"
    "void foo()\n"
    "void bar(double d) <=== NOT SUPPORTED\n"
    "void bar()\n"
    "int add(int a, int b)\n"
    "bool flag(bool b)\n"
    "\n"
    "Also, each function can be prefixed by a modifier keyword, from the following:\n"
    "6:foo() ==> run foo() 6 times\n"
    "thread:foo() ==> run foo() in a new thread\n"
    "\n";

} // namespace

TEST(VDebugConsole, TranscriptOfCommands)
{
    TestConsole console;
    const std::string input =
        "\n"
        "(x)\n"
        "help\n"
        "retval(0)\n"
        "count()\n"
        "retval(0)\n"
        "2:count()\n"
        "0:foo()\n"
        "3x:foo()\n"
        "-2:foo()\n"
        "Help()\n"
        "xyz()\n"
        "retval()\n"
        "four(1,2,3,4)\n"
        "echo(a, , b)\n"
        "echo( hello   world )\n"
        "yes()\n"
        "other()\n"
        "help()\n"
        "dbl(1.5)\n"
        "add(2, x)\n"
        "flag(False)\n"
        "bar(1.5)\n"
        "bar()\n"
        "retval(-1)\n"
        " help()\n"
        "count()"; // the last line has no newline and still runs
    const std::string p = "\n(app)";
    const std::string expected =
        "Welcome to app\n"
        + p + p + p + kHelp
        + p + "no such return value\n"
        + p + "$0 = (int) 7\n"
        + p + "$0 = (int) 7\n"
        + p + "$1 = (int) 7\n$2 = (int) 7\n"
        + p + p
        + p + "ignoring unknown keyword -2\n"
        + p + "no such method: Help\nDid you mean one of the following?\nvoid help()\n"
        + p + "no such method: xyz\n"
        + p + "please use correct form: retval(int)\n"
        + p + "Error: input mode not supported (yet)\n"
        + p + "please use correct form: echo(QString)\n"
        + p + "$3 = (QString) hello world\n"
        + p + "$4 = (bool) 1\n"
        + p + "$5 = () UNSUPPORTED RETURN VALUE ()\n"
        + p + kHelp
        + p + "Error: failed to execute method dbl\n"
        + p + "$6 = (int) 2\n"
        + p + "$7 = (bool) 0\n"
        + p + "Error: failed to execute method bar\n"
        + p + "please use correct form: bar(double)\n"
        + p + "no such return value\n"
        + p + "no such method:  help\n"
        + p + "$8 = (int) 7\n";
    EXPECT_EQ(runConsole(console, input), expected);
    EXPECT_EQ(console.counts, 4);
    EXPECT_EQ(console.foos, 1);
    // Neither the unsupported slots nor another overload were called.
    EXPECT_EQ(console.bars, 0);
    EXPECT_EQ(console.dbls, 0);
    EXPECT_EQ(console.fours, 0);
}

TEST(VDebugConsole, ThreadCommandsAreNumberedWithoutGaps)
{
    TestConsole console;
    std::string input;
    const int kThreads = 50;
    for (int i = 0; i < kThreads; ++i)
        input += "thread:count()\ncount()\n";
    const std::string output = runConsole(console, input);

    // run() has joined every thread command before it returned.
    EXPECT_EQ(console.counts, 2 * kThreads);
    std::set<int> numbers;
    int found = 0;
    const std::regex result("\\$([0-9]+) = \\(int\\) 7\n");
    for (auto it = std::sregex_iterator(output.begin(), output.end(), result);
         it != std::sregex_iterator(); ++it) {
        numbers.insert(std::stoi((*it)[1]));
        ++found;
    }
    EXPECT_EQ(found, 2 * kThreads);
    ASSERT_EQ(numbers.size(), size_t(2 * kThreads));
    EXPECT_EQ(*numbers.begin(), 0);
    EXPECT_EQ(*numbers.rbegin(), 2 * kThreads - 1);
}

TEST(VDebugConsole, EndOfInputEndsTheLoop)
{
    // In a child with /dev/null as standard input, watched with a deadline.
    const pid_t pid = vtest::forkChild([] {
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null < 0 || dup2(null, 0) < 0)
            return 10;
        clearerr(stdin);
        std::string text;
        {
            vtest::CaptureFd out(1);
            TestConsole console;
            console.run();
            text = out.text();
        }
        return text == "Welcome to app\n\n(app)" ? 0 : 11;
    });
    EXPECT_EQ(vtest::waitChild(pid, std::chrono::seconds(5)), 0);
}

TEST(VDebugConsole, RandomInputNeverCrashes)
{
    const char* const pieces[] = {"thread", "3", "0", "-1", "x", ":", "(", ")", ",", " ",
                                  "count", "echo", "help", "retval", "four", "bar", "add",
                                  "flag", "1", "\t", "\r", "\xff", "true", "99"};
    std::mt19937 rng(4242);
    std::string input;
    for (int line = 0; line < 1500; ++line) {
        const int n = static_cast<int>(rng() % 10);
        for (int i = 0; i < n; ++i)
            input += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        input += '\n';
    }
    TestConsole console;
    const std::string output = runConsole(console, input);
    EXPECT_EQ(output.compare(0, 15, "Welcome to app\n"), 0);
}

#include "console_test.moc"
