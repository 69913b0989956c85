// Built into the helper by sanitizer builds only (VANDREL_SANITIZE). The helper's
// standard error is the host's, and a host (or a test) may never show it, so a
// sanitizer report goes to a file of its own: VANDREL_SANITIZER_LOG.<pid>.
// scripts/sanitize and scripts/tsan fail the run when such a file exists after the
// tests. Each runtime looks up only its own hook; the others stay unused.

#ifndef VANDREL_SANITIZER_LOG
#error "VANDREL_SANITIZER_LOG names the report files"
#endif

extern "C" const char *__asan_default_options() { return "log_path=" VANDREL_SANITIZER_LOG; }

extern "C" const char *__ubsan_default_options() {
  return "log_path=" VANDREL_SANITIZER_LOG ":print_stacktrace=1";
}

#ifdef VANDREL_TSAN_SUPPRESSIONS
// The toolkit's libraries are not instrumented, so their own locking is invisible
// to ThreadSanitizer; the suppressions name what it then reports in them.
extern "C" const char *__tsan_default_options() {
  return "log_path=" VANDREL_SANITIZER_LOG ":suppressions=" VANDREL_TSAN_SUPPRESSIONS
         ":second_deadlock_stack=1";
}
#endif
