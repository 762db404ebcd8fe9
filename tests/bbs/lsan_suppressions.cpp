// The window needs a QApplication, whose font set-up keeps fontconfig's caches for the life of
// the process; the leak checker is told that those are not ours.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
