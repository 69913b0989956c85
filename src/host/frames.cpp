#include "host/frames.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "channel/wire.h"

extern char **environ;

Bytes gzip_bytes(const void *data, size_t n, int level) {
  z_stream s;
  memset(&s, 0, sizeof s);
  deflateInit2(&s, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&s, n) + 64);
  s.next_in = static_cast<Bytef *>(const_cast<void *>(data));
  s.avail_in = static_cast<uInt>(n);
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

Bytes frame_with_length(uint32_t length, const Bytes &body) {
  Bytes f = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
             static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
  append(f, body);
  return f;
}

Bytes frame(const Bytes &body) {
  return frame_with_length(static_cast<uint32_t>(body.size()), body);
}

Bytes command_frame(const std::string &word) {
  std::string text = "vandrel-host:" + word + kSeparator + "1";
  Bytes payload = to_bytes(text);
  payload.push_back(0);
  return frame(gzip_bytes(payload));
}

Bytes skipped_frame() { return frame(to_bytes("not read by the helper")); }

Bytes file_payload(const std::string &name, const Bytes &document) {
  Bytes payload(kHeaderSize, 0);
  std::string header = name + kSeparator + "document";
  memcpy(payload.data(), header.data(), header.size() < kHeaderSize ? header.size() : kHeaderSize);
  append(payload, document);
  return payload;
}

Bytes file_frame(const std::string &name, const Bytes &document) {
  return frame(gzip_bytes(file_payload(name, document)));
}

Bytes conversation(const std::string &word, const std::string &name, const Bytes &document) {
  Bytes c = command_frame(word);
  int after = frames_after(classify_command(word.c_str()));
  if (after == 2) append(c, skipped_frame());
  if (after >= 1) append(c, file_frame(name, document));
  return c;
}

bool spawn_helper(const std::vector<std::string> &argv, const std::vector<std::string> *env,
                  bool pipe_stderr, HelperProcess *out) {
  int in[2], outp[2], err[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(outp, O_CLOEXEC) != 0) return false;
  if (pipe_stderr && pipe2(err, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outp[1], 1);
  if (pipe_stderr) posix_spawn_file_actions_adddup2(&actions, err[1], 2);

  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char *> envp;
  if (env) {
    for (const std::string &e : *env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
  }
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(outp[1]);
  if (pipe_stderr) close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(outp[0]);
    if (pipe_stderr) close(err[0]);
    errno = rc;
    return false;
  }
  out->pid = pid;
  out->to_helper = in[1];
  out->from_helper = outp[0];
  out->err_helper = pipe_stderr ? err[0] : -1;
  return true;
}

std::string run_capture(const std::vector<std::string> &argv, int *wait_status) {
  HelperProcess p;
  std::string out;
  *wait_status = -1;
  if (!spawn_helper(argv, nullptr, false, &p)) return out;
  close(p.to_helper);
  char buf[4096];
  ssize_t n;
  while ((n = read(p.from_helper, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  close(p.from_helper);
  while (waitpid(p.pid, wait_status, 0) < 0 && errno == EINTR) {
  }
  return out;
}

std::vector<std::string> control_words(const std::string &out) {
  std::vector<std::string> words;
  for (size_t at = 0; at + kControlMessageSize <= out.size(); at += kControlMessageSize)
    words.emplace_back(out.data() + at, strnlen(out.data() + at, kControlMessageSize));
  return words;
}
