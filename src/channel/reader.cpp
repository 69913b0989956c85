#include "channel/reader.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/i18n.h"
#include "files/spool.h"
#include "jobs/handlers.h"

StopFlag g_end_flag{0};

// Written by the signal handler so that a reader blocked on the host wakes up even
// when the kernel delivers the signal to the UI thread.
static int g_wake_pipe[2] = {-1, -1};

void reader_stop() {
  int saved = errno;
  g_end_flag.store(1);
  if (g_wake_pipe[1] >= 0) {
    ssize_t ignored = write(g_wake_pipe[1], "", 1);
    (void)ignored;
  }
  errno = saved;
}

void sigusr1_handler(int signum) {
  (void)signum;
  reader_stop();
}

bool g_report_jobs = false;

// Hands one decoded job, conversation number n, to its handler and returns when the
// handler has, then reports the job (after its dialog section, so a dialog job's
// report follows its "restorefullscreen"). A print-dialog job that was sent is
// reported by its completion instead. The conversation's document file is given up
// here once the handler no longer needs it (a printing job's spool file stays held
// until its printing is done).
static void handle_conversation(const ReaderContext &ctx, Conversation &conv, int pipe_to_write,
                                JobNumber n) {
  if (conv.cut && conv.command != Command::Default) {
    // The person asked for a dialog: say why none comes instead of showing nothing.
    bool printing = conv.command == Command::PrintDialog;
    dialog_section(pipe_to_write, [&] { notWhole(conv.fname2, printing); });
  }
  if (conv.hold_errno && conv.command != Command::Other) {
    // ... and when it could not even be kept for the dialog or the printer, why.
    bool printing = conv.command != Command::SendFile;
    dialog_section(pipe_to_write, [&] { notHeld(conv.fname2, printing, conv.hold_errno); });
  }
  if (conv.skip) {
    job_reason(n, conv.reason);
    report_outcome(n, conv.hold_errno ? Outcome::Failed : Outcome::Skipped);
    return;
  }
  Outcome outcome = Outcome::Failed;
  switch (conv.command) {
    case Command::Default:
      outcome = print_default(conv.fullname, conv.fname2, n, pipe_to_write);
      break;
    case Command::PrintDialog:
      dialog_section(pipe_to_write, [&] { outcome = showdl(conv.fullname, conv.fname2, n); });
      break;
    case Command::SendFile:
      dialog_section(pipe_to_write, [&] {
        HeldDocument doc;
        doc.fd = conv.document_fd;
        doc.path = conv.fullname;
        doc.datalen = conv.document_length;
        outcome = saveFile(doc, conv.fname2);
      });
      discard_document(ctx, &conv);
      break;
    case Command::Other:
      dialog_section(pipe_to_write, [] { notSupported(); });
      outcome = Outcome::Unsupported;
      break;
  }
  report_outcome(n, outcome);
  // A printing job's handler has taken the file over (it removes it when printing is
  // done); only the descriptor is left to close.
  if (conv.document_fd >= 0) close(conv.document_fd);
  conv.document_fd = -1;
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
  // From here on only pipe_to_write reaches the host's channel: whatever a library
  // prints on standard output lands among the diagnostics instead of between two
  // control messages.
  dup2(2, 1);
  // The host may rely on the stop signal from the first block on.
  output_start(pipe_to_write, g_report_jobs);
  set_message_output(pipe_to_write);
  std::string homedir = home_folder();

  StopWatch stop = {&g_end_flag, g_wake_pipe[0]};
  // Leftovers of helpers that were killed go now, not only when a job needs a file.
  sweep_leftovers(homedir.c_str());
  DocumentStore store = {homedir.c_str(), store_create, store_discard, store_relocate};
  ReaderContext ctx = {&store, &stop, stderr};
  JobNumber count = 0;
  bool out_of_step = false;
  while (!g_end_flag.load()) {
    Conversation conv;
    conv.out_of_step = out_of_step;
    ReadStatus st = read_conversation(pipe_to_read, ctx, &conv);
    if (st == ReadStatus::Ok && conv.dropped) continue;
    out_of_step = conv.reason && strcmp(conv.reason, reason::kUnreadableFrame) == 0;
    // A conversation the stream ended inside of still counts, as one that was skipped.
    if (conv.started) output_conversation_read(++count);
    int err = errno;
    if (conv.lead_read) job_lead(count, conv.lead, conv.lead_len);
    if (st != ReadStatus::Ok) {
      if (conv.started)
        job_reason(count,
                   st == ReadStatus::Stopped ? reason::kReadingStopped : reason::kInputEnded);
      report_outcome(conv.started ? count : 0, Outcome::Skipped);
      // The system's error reporter's form, in English whatever the user's language.
      if (st == ReadStatus::Failed && err == 0 && conv.started)
        fprintf(stderr, "vandrel: the input ended inside job %lu; it is skipped\n", count);
      if (st == ReadStatus::Failed) fprintf(stderr, "pipe  read: %s\n", log_strerror(err));
      break;
    }
    output_job_in_hand(count);
    handle_conversation(ctx, conv, pipe_to_write, count);
    output_job_in_hand(0);
  }
  close(pipe_to_read);
  // A stop leaves whatever the host has written since unread: say how far reading got.
  if (g_end_flag.load())
    fprintf(stderr, "vandrel: reading stopped after %lu conversations; nothing more is read\n",
            count);
  // The output stays open for the reports of jobs that are still being printed.
  output_reader_done();
  return param;
}
