#include "channel/reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "jobs/handlers.h"

volatile sig_atomic_t g_end_flag = 0;

// Written by the signal handler so that a reader blocked on the host wakes up even
// when the kernel delivers the signal to the UI thread.
static int g_wake_pipe[2] = {-1, -1};

void sigusr1_handler(int signum) {
  (void)signum;
  int saved = errno;
  g_end_flag = 1;
  if (g_wake_pipe[1] >= 0) {
    ssize_t ignored = write(g_wake_pipe[1], "", 1);
    (void)ignored;
  }
  errno = saved;
}

// Writes all of n bytes to fd.
static bool write_all(int fd, const unsigned char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Hands one decoded job to its handler and returns when the handler has.
static void handle_conversation(Conversation &conv, int pipe_to_write) {
  if (conv.skip) return;
  switch (conv.command) {
    case Command::Default:
      print_direct(conv.fullname);
      break;
    case Command::PrintDialog:
      dialog_section(pipe_to_write, [&] { showdl(conv.fullname, conv.fname2); });
      break;
    case Command::SendFile:
      dialog_section(pipe_to_write, [&] {
        HeldDocument doc;
        doc.fd = memfd_create("vandrel-document", MFD_CLOEXEC);
        doc.datalen = conv.cleandata.size();
        if (doc.fd >= 0 && write_all(doc.fd, conv.cleandata.data(), doc.datalen)) saveFile(doc, conv.fname2);
        if (doc.fd >= 0) close(doc.fd);
      });
      break;
    case Command::Other:
      dialog_section(pipe_to_write, [] { notSupported(); });
      break;
  }
}

void *thread_fun(void *param) {
  if (pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wake_pipe[0] = g_wake_pipe[1] = -1;
  // No SA_RESTART: a stop must interrupt a read that is waiting for the host.
  struct sigaction sa = {};
  sa.sa_handler = sigusr1_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGUSR1, &sa, nullptr);

  // Close-on-exec, so the print command never holds the host's pipes.
  int pipe_to_write = fcntl(1, F_DUPFD_CLOEXEC, 3);
  int pipe_to_read = fcntl(0, F_DUPFD_CLOEXEC, 3);
  int pipe_to_debug = fcntl(2, F_DUPFD_CLOEXEC, 3);
  (void)pipe_to_debug;  // kept open for the process's life
  std::string homedir = home_folder();

  StopWatch stop = {&g_end_flag, g_wake_pipe[0]};
  ReaderContext ctx = {homedir.c_str(), true, &stop, stderr};
  while (!g_end_flag) {
    Conversation conv;
    ReadStatus st = read_conversation(pipe_to_read, ctx, &conv);
    if (st == ReadStatus::Stopped) break;
    if (st == ReadStatus::Failed) {
      perror("pipe  read");
      break;
    }
    handle_conversation(conv, pipe_to_write);
  }
  close(pipe_to_read);
  close(pipe_to_write);
  return param;
}
