// Default suppressions for the sanitizers, compiled into every test program.
// Only libraries that are not ours are suppressed, and only for what they do
// by design.

// Fontconfig keeps what it allocates while parsing its configuration for the
// life of the process; icon badges and message boxes load it.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

// Qt is not built with ThreadSanitizer: a QObject made on a std::thread (a
// server-side peer is made on the accept thread) gives that thread an adopted
// QThread, which Qt frees under its own uninstrumented atomics when the object
// dies on another thread. The sanitizer cannot see that synchronisation.
extern "C" __attribute__((used, visibility("default"))) const char* __tsan_default_suppressions()
{
    return "race:libQt5Core.so\n";
}
