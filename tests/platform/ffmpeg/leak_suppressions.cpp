// libx265 3.5 leaks about 27 KiB inside every x265_encoder_open (FrameFilter::init); nothing of
// ours can free it. Read by LeakSanitizer in the sanitizer builds, ignored otherwise.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}
