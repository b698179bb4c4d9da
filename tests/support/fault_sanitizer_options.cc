// Compiled into every test program that links the test helpers.
//
// The fault translator leaves its signal handler by throwing, which
// ThreadSanitizer cannot see: it goes on believing the thread is inside the
// handler and reports every later allocation as signal-unsafe. The project
// installs no other signal handler, so nothing real is hidden. Options given
// in TSAN_OPTIONS still apply on top of these. Weak, so a program may still
// give its own.
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((weak)) const char* __tsan_default_options() {
  return "report_signal_unsafe=0";
}
#endif
