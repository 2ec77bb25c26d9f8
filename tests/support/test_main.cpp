// main() of every test program: Qt's SQL drivers and a few other Qt services
// want a QCoreApplication.
#include <gtest/gtest.h>

#include <QCoreApplication>

// Sanitizer defaults of every test program (the environment can override
// them). use_sigaltstack=0: ASan's alternate signal stack breaks the teardown
// of cancelled threads.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=1:use_sigaltstack=0";
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Allocations that Qt, its plugins and the MariaDB client keep until exit.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libQt5Core.so\n"
           "leak:libQt5Sql.so\n"
           "leak:libQt5Network.so\n"
           "leak:libmariadb\n"
           "leak:libdl.so\n";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
