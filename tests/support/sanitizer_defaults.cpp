// Sanitizer defaults of the test and fuzz programs (the environment can
// override them). Linked into each program directly: the runtime looks these
// up weakly, so they would never be pulled out of a static library.
// use_sigaltstack=0: ASan's alternate signal stack breaks the teardown of
// cancelled threads.
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
           "leak:libQt5Xml.so\n"
           "leak:libQt5Sql.so\n"
           "leak:libQt5Network.so\n"
           "leak:libQt6Core.so\n"
           "leak:libQt6Xml.so\n"
           "leak:libQt6Sql.so\n"
           "leak:libQt6Network.so\n"
           "leak:libmariadb\n"
           "leak:libdl.so\n";
}
