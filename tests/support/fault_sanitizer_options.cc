// Linked into test programs that raise processor faults on purpose.
//
// The fault translator leaves its signal handler by throwing, which
// ThreadSanitizer cannot see: it goes on believing the thread is inside the
// handler and reports every later allocation as signal-unsafe. Options given
// in TSAN_OPTIONS still apply on top of these.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
  return "report_signal_unsafe=0";
}
#endif
