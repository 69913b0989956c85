/* vandrel-host.h: the host's side of vandrel's pipes, for programs in C (and any
 * language that calls C). Writes the frames of a job on the helper's standard input
 * and reads the 512-byte blocks from its standard output. Link with
 * `pkg-config --cflags --libs vandrel-host`. vandrel(1) describes the protocol.
 *
 * Every function is safe to call from any thread on descriptors of its own; none keeps
 * state between calls. Writes wait for room on a non-blocking descriptor too.
 */
#ifndef VANDREL_HOST_H
#define VANDREL_HOST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every block the helper writes is this long: a text, its NUL, NUL padding. */
#define VANDREL_BLOCK_SIZE 512
/* The host's own leading bytes of every command frame, echoed in reports as lead=. */
#define VANDREL_LEAD_SIZE 13
/* The file frame's header: the document name, "x!2#$", NUL padding. */
#define VANDREL_HEADER_SIZE 1024

/* Writes one frame: body's length as 4 little-endian bytes, then len bytes of body
 * (any bytes; a skipped frame's, say). Returns 0, or -1 with errno set (EFBIG when
 * len does not fit 32 bits). */
int vandrel_write_frame(int fd, const void *body, size_t len);

/* Writes one frame whose body is payload (len bytes) compressed as one gzip member. */
int vandrel_write_gzip_frame(int fd, const void *payload, size_t len);

/* Writes a command frame: the VANDREL_LEAD_SIZE bytes of lead (none of them NUL: put
 * a job id of your own there to match the job's report), then word, the separator
 * and a NUL. -1 with errno EINVAL for a NUL in lead, a word holding any of the
 * characters x ! 2 # $, or a word over 506 bytes. */
int vandrel_write_command_frame(int fd, const char *lead, const char *word);

/* Writes a skipped frame: a frame of length 0 (its bytes are never read). */
int vandrel_write_skipped_frame(int fd);

/* Writes a file frame: a header holding name, then the len bytes of document. -1
 * with errno EINVAL for a name holding "x!2#$" or over 506 bytes. */
int vandrel_write_file_frame(int fd, const char *name, const void *document, size_t len);

/* Writes a whole job: the command frame, then the frames word takes ("default" and
 * "adobeprintdialog": a skipped frame and the file frame; "sendfile": the file
 * frame; any other word: none, and name and document are not used). */
int vandrel_write_job(int fd, const char *lead, const char *word, const char *name,
                      const void *document, size_t len);

/* Reads the next block into text, which then holds its text (the block up to its
 * first NUL, always NUL-terminated). Returns 1 for a block, 0 when the output has
 * ended (a partial block at the end counts as none), -1 with errno set on an error. */
int vandrel_read_block(int fd, char text[VANDREL_BLOCK_SIZE]);

/* "ready": returns the protocol version the helper names (1 for a plain "ready", from
 * a helper before version 2), or 0 when text is not "ready". */
int vandrel_ready_version(const char *text);

/* Whether a "ready" text names capability word ("parent", "lead", ...): 1 or 0. */
int vandrel_has_capability(const char *text, const char *word);

/* "end" or "end N": returns 1 and sets *count to N (or to -1 when the helper named no
 * count), else 0. */
int vandrel_is_end(const char *text, long *count);

/* A job report, decoded. Fields the report does not carry are empty (or 0). */
struct vandrel_report {
  unsigned long job; /* N, counting conversations from 1 */
  char outcome[16];  /* printed, queued, saved, cancelled, failed, unsupported, skipped */
  int has_lead;      /* the report carried lead= */
  unsigned char lead[VANDREL_LEAD_SIZE];
  size_t lead_len; /* how many bytes of lead it carried (13 unless the frame was short) */
  char reason[32]; /* for failed and skipped: no-server, refused, not-whole, ... */
  char queue[VANDREL_BLOCK_SIZE]; /* the print server's queue that took the job */
  unsigned long server_job;       /* and its job id there */
  char path[VANDREL_BLOCK_SIZE];  /* where a saved document was written */
};

/* Decodes a "job N OUTCOME FIELD..." text into *report (percent-encoded values
 * decoded; fields it does not know are skipped). Returns 1 for a report, 0 for any
 * other text. */
int vandrel_parse_report(const char *text, struct vandrel_report *report);

#ifdef __cplusplus
}
#endif

#endif /* VANDREL_HOST_H */
