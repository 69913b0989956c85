/* The host library: frames out, blocks in. Plain C and zlib, so any host links it. */
#include "vandrel-host.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#define SEPARATOR "x!2#$"
#define SEPARATOR_LEN 5
/* The texts the helper copies whole: at most 511 bytes. */
#define TEXT_MAX 511

/* Writes all of len bytes, waiting for room when fd is non-blocking. 0 or -1. */
static int write_all(int fd, const void *data, size_t len) {
  const unsigned char *p = (const unsigned char *)data;
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n > 0) {
      p += n;
      len -= (size_t)n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return -1;
    } else {
      if (n == 0) errno = EIO;
      return -1;
    }
  }
  return 0;
}

int vandrel_write_frame(int fd, const void *body, size_t len) {
  if (len > UINT32_MAX) {
    errno = EFBIG;
    return -1;
  }
  unsigned char length[4] = {(unsigned char)len, (unsigned char)(len >> 8),
                             (unsigned char)(len >> 16), (unsigned char)(len >> 24)};
  if (write_all(fd, length, sizeof length) != 0) return -1;
  return len ? write_all(fd, body, len) : 0;
}

/* Compresses the two pieces one after the other as one gzip member and writes the
 * frame. The compressed body is made whole first: its length goes before it. */
static int write_gzip_pieces(int fd, const void *a, size_t a_len, const void *b, size_t b_len) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  /* 16 + 15: the gzip wrapper the helper takes, the largest window. */
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    errno = ENOMEM;
    return -1;
  }
  if (a_len > UINT32_MAX || b_len > UINT32_MAX - a_len) {
    deflateEnd(&zs);
    errno = EFBIG;
    return -1;
  }
  uLong bound = deflateBound(&zs, (uLong)(a_len + b_len)) + 64;
  unsigned char *out = (unsigned char *)malloc(bound);
  if (!out) {
    deflateEnd(&zs);
    errno = ENOMEM;
    return -1;
  }
  zs.next_out = out;
  zs.avail_out = (uInt)bound;
  const unsigned char *pieces[2] = {(const unsigned char *)a, (const unsigned char *)b};
  size_t lens[2] = {a_len, b_len};
  int status = Z_OK;
  for (int i = 0; i < 2 && status == Z_OK; ++i) {
    zs.next_in = (Bytef *)pieces[i];
    zs.avail_in = (uInt)lens[i];
    status = deflate(&zs, i == 1 ? Z_FINISH : Z_NO_FLUSH);
  }
  size_t body_len = zs.total_out;
  deflateEnd(&zs);
  int rc = -1;
  if (status == Z_STREAM_END)
    rc = vandrel_write_frame(fd, out, body_len);
  else
    errno = EIO;
  free(out);
  return rc;
}

int vandrel_write_gzip_frame(int fd, const void *payload, size_t len) {
  return write_gzip_pieces(fd, payload, len, "", 0);
}

int vandrel_write_command_frame(int fd, const char *lead, const char *word) {
  size_t word_len = word ? strlen(word) : 0;
  if (!lead || memchr(lead, '\0', VANDREL_LEAD_SIZE) || !word ||
      word_len + SEPARATOR_LEN > TEXT_MAX || strpbrk(word, SEPARATOR)) {
    errno = EINVAL;
    return -1;
  }
  size_t len = VANDREL_LEAD_SIZE + word_len + SEPARATOR_LEN + 1;
  char payload[VANDREL_LEAD_SIZE + TEXT_MAX + 1];
  memcpy(payload, lead, VANDREL_LEAD_SIZE);
  memcpy(payload + VANDREL_LEAD_SIZE, word, word_len);
  memcpy(payload + VANDREL_LEAD_SIZE + word_len, SEPARATOR, SEPARATOR_LEN);
  payload[len - 1] = '\0';
  return vandrel_write_gzip_frame(fd, payload, len);
}

int vandrel_write_skipped_frame(int fd) { return vandrel_write_frame(fd, "", 0); }

int vandrel_write_file_frame(int fd, const char *name, const void *document, size_t len) {
  size_t name_len = name ? strlen(name) : 0;
  if (!name || name_len + SEPARATOR_LEN > TEXT_MAX || strstr(name, SEPARATOR) ||
      (len > 0 && !document)) {
    errno = EINVAL;
    return -1;
  }
  unsigned char header[VANDREL_HEADER_SIZE];
  memset(header, 0, sizeof header);
  memcpy(header, name, name_len);
  memcpy(header + name_len, SEPARATOR, SEPARATOR_LEN);
  return write_gzip_pieces(fd, header, sizeof header, len ? document : "", len);
}

/* How many frames follow a command frame of word: 2, 1 or 0. */
static int frames_after_word(const char *word) {
  if (strncmp(word, "default", 7) == 0 || strncmp(word, "adobeprintdialog", 16) == 0) return 2;
  if (strncmp(word, "sendfile", 8) == 0) return 1;
  return 0;
}

int vandrel_write_job(int fd, const char *lead, const char *word, const char *name,
                      const void *document, size_t len) {
  int after = word ? frames_after_word(word) : 0;
  if (after > 0 && (!name || strlen(name) + SEPARATOR_LEN > TEXT_MAX || strstr(name, SEPARATOR))) {
    errno = EINVAL;
    return -1;
  }
  if (vandrel_write_command_frame(fd, lead, word) != 0) return -1;
  if (after == 2 && vandrel_write_skipped_frame(fd) != 0) return -1;
  if (after >= 1) return vandrel_write_file_frame(fd, name, document, len);
  return 0;
}

int vandrel_read_block(int fd, char text[VANDREL_BLOCK_SIZE]) {
  size_t got = 0;
  while (got < VANDREL_BLOCK_SIZE) {
    ssize_t n = read(fd, text + got, VANDREL_BLOCK_SIZE - got);
    if (n > 0) {
      got += (size_t)n;
    } else if (n == 0) {
      text[0] = '\0';
      return 0;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd pfd = {fd, POLLIN, 0};
      if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return -1;
    } else {
      return -1;
    }
  }
  text[VANDREL_BLOCK_SIZE - 1] = '\0';
  return 1;
}

/* Whether text's first word is word. */
static int first_word_is(const char *text, const char *word) {
  size_t n = strlen(word);
  return strncmp(text, word, n) == 0 && (text[n] == '\0' || text[n] == ' ');
}

int vandrel_ready_version(const char *text) {
  if (!text || !first_word_is(text, "ready")) return 0;
  if (text[5] == '\0') return 1;
  int version = atoi(text + 6);
  return version > 0 ? version : 1;
}

int vandrel_has_capability(const char *text, const char *word) {
  if (vandrel_ready_version(text) < 2 || !word || !*word) return 0;
  size_t n = strlen(word);
  for (const char *p = strchr(text, ' '); p; p = strchr(p + 1, ' '))
    if (strncmp(p + 1, word, n) == 0 && (p[1 + n] == '\0' || p[1 + n] == ' ')) return 1;
  return 0;
}

int vandrel_is_end(const char *text, long *count) {
  if (!text || !first_word_is(text, "end")) return 0;
  if (count) *count = text[3] == ' ' ? strtol(text + 4, NULL, 10) : -1;
  return 1;
}

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

/* Decodes the percent-encoded value of n bytes at from into out (at most cap bytes,
 * the rest dropped); returns how many bytes were written. */
static size_t percent_decode(const char *from, size_t n, unsigned char *out, size_t cap) {
  size_t o = 0;
  for (size_t i = 0; i < n && o < cap; ++i) {
    int hi, lo;
    if (from[i] == '%' && i + 2 < n && (hi = hex_value(from[i + 1])) >= 0 &&
        (lo = hex_value(from[i + 2])) >= 0) {
      out[o++] = (unsigned char)(hi * 16 + lo);
      i += 2;
    } else {
      out[o++] = (unsigned char)from[i];
    }
  }
  return o;
}

/* Copies a decoded value into a text of cap bytes (NUL-terminated). */
static void decode_text(const char *from, size_t n, char *out, size_t cap) {
  size_t len = percent_decode(from, n, (unsigned char *)out, cap - 1);
  out[len] = '\0';
}

int vandrel_parse_report(const char *text, struct vandrel_report *report) {
  if (!text || !report || strncmp(text, "job ", 4) != 0) return 0;
  memset(report, 0, sizeof *report);
  char *end = NULL;
  unsigned long job = strtoul(text + 4, &end, 10);
  if (job == 0 || end == text + 4 || *end != ' ') return 0;
  const char *word = end + 1;
  size_t word_len = strcspn(word, " ");
  if (word_len == 0 || word_len >= sizeof report->outcome) return 0;
  report->job = job;
  memcpy(report->outcome, word, word_len);
  const char *p = word + word_len;
  while (*p == ' ') {
    const char *field = p + 1;
    size_t len = strcspn(field, " ");
    const char *eq = memchr(field, '=', len);
    if (eq) {
      size_t key = (size_t)(eq - field);
      const char *value = eq + 1;
      size_t value_len = len - key - 1;
      if (key == 4 && strncmp(field, "lead", 4) == 0) {
        report->has_lead = 1;
        report->lead_len = percent_decode(value, value_len, report->lead, VANDREL_LEAD_SIZE);
      } else if (key == 6 && strncmp(field, "reason", 6) == 0) {
        decode_text(value, value_len, report->reason, sizeof report->reason);
      } else if (key == 5 && strncmp(field, "queue", 5) == 0) {
        decode_text(value, value_len, report->queue, sizeof report->queue);
      } else if (key == 10 && strncmp(field, "server-job", 10) == 0) {
        report->server_job = strtoul(value, NULL, 10);
      } else if (key == 4 && strncmp(field, "path", 4) == 0) {
        decode_text(value, value_len, report->path, sizeof report->path);
      }
    }
    p = field + len;
  }
  return 1;
}
