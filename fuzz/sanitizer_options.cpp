// Sanitizer defaults of the fuzz programs (the environment can override them).
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=1:use_sigaltstack=0";
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Allocations Qt keeps until exit.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libQt5Core.so\n"
           "leak:libQt5Xml.so\n"
           "leak:libQt5Network.so\n"
           "leak:libdl.so\n";
}
