// Writes the fuzzers' seed corpora: real conversations, as the host builds them, and
// the odd ones a host could send (unknown words, cut gzip, zlib or raw deflate bodies,
// short payloads, oversized texts), plus the frame bodies on their own for inf.
//
//   make_corpus DIR   writes DIR/conversation/NAME and DIR/inflate/NAME
//
// The output is deterministic; fuzz/corpus/ holds what it wrote.
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "channel/wire.h"
#include "host/frames.h"

static std::string g_dir;

static bool write_seed(const std::string &kind, const std::string &name, const Bytes &bytes) {
  std::string path = g_dir + "/" + kind + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    perror(path.c_str());
    return false;
  }
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (fclose(f) != 0) ok = false;
  if (!ok) perror(path.c_str());
  return ok;
}

// Compresses with any wrapper: window_bits 31 gzip, 15 zlib, -15 raw deflate.
static Bytes deflate_bytes(const Bytes &data, int window_bits, int level = 6,
                           gz_header *header = nullptr) {
  z_stream s;
  memset(&s, 0, sizeof s);
  deflateInit2(&s, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  if (header) deflateSetHeader(&s, header);
  Bytes out(deflateBound(&s, data.size()) + 256);
  s.next_in = const_cast<unsigned char *>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// A small document that looks like a PDF.
static Bytes document(size_t n, unsigned seed) {
  std::string s = "%PDF-1.4\n";
  for (unsigned i = 0; s.size() < n; ++i)
    s += std::to_string(i * 7 + seed) + " 0 obj << /Page " + std::to_string(seed) + " >> endobj\n";
  s.resize(n);
  return to_bytes(s);
}

// Bytes that do not compress.
static Bytes noise(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1u;
  for (unsigned char &c : b) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<unsigned char>(x >> 24);
  }
  return b;
}

static Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) append(out, p);
  return out;
}

static Bytes command_payload(const std::string &word) {
  Bytes p = to_bytes("vandrel-host:" + word + kSeparator + "1");
  p.push_back(0);
  return p;
}

static Bytes cut(Bytes b, size_t keep) {
  if (b.size() > keep) b.resize(keep);
  return b;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  g_dir = argv[1];
  mkdir(g_dir.c_str(), 0755);
  mkdir((g_dir + "/conversation").c_str(), 0755);
  mkdir((g_dir + "/inflate").c_str(), 0755);
  bool ok = true;
  auto conv = [&](const std::string &name, const Bytes &b) {
    ok = write_seed("conversation", name, b) && ok;
  };
  auto body = [&](const std::string &name, const Bytes &b) {
    ok = write_seed("inflate", name, b) && ok;
  };

  Bytes doc = document(3000, 1);
  // The three commands and an unknown word, each alone, then all in one stream.
  conv("default", conversation("default", "report.pdf", doc));
  conv("printdialog", conversation("adobeprintdialog", "My Doc.pdf", document(800, 2)));
  conv("sendfile", conversation("sendfile", "notes.txt", to_bytes("hello\n")));
  conv("unknown-word", conversation("printplease", "x.pdf", doc));
  conv("prefix-word", conversation("defaultprinter", "y.pdf", document(100, 3)));
  conv("stream",
       cat({conversation("sendfile", "a.bin", noise(300, 1)),
            conversation("default", "b.pdf", document(500, 4)), conversation("zzz", "", Bytes()),
            conversation("adobeprintdialog", "c.pdf", document(200, 5))}));
  // Names the spool folder must make safe, and an empty document.
  conv("odd-names",
       cat({conversation("sendfile", "../up/a b.pdf", doc), conversation("sendfile", "..", Bytes()),
            conversation("sendfile", "", to_bytes("x"))}));
  // A document across several 16384-byte chunks, stored and compressed.
  conv("large-stored",
       cat({command_frame("sendfile"),
            frame(deflate_bytes(file_payload("big.bin", noise(20000, 2)), 31, 0))}));
  conv("large-text", conversation("sendfile", "big.txt", document(200000, 6)));
  // A printing document past one 1 MiB spool block, in a few kilobytes of gzip.
  std::string line = "0 0 612 792 re f % the same line again and again\n";
  std::string repeated;
  while (repeated.size() < (size_t{5} << 18)) repeated += line;
  conv("large-printing", conversation("default", "huge.pdf", to_bytes(repeated)));

  // Command frames that cannot be read as a word.
  conv("cmd-short",
       cat({frame(gzip_bytes(to_bytes("vandrel"))), conversation("sendfile", "a", doc)}));
  Bytes nul_prefix = command_payload("sendfile");
  nul_prefix[3] = 0;
  conv("cmd-nul-prefix", frame(gzip_bytes(nul_prefix)));
  conv("cmd-empty-payload", frame(gzip_bytes(Bytes())));
  conv("cmd-empty-frame", cat({frame(Bytes()), conversation("sendfile", "a", doc)}));
  // Oversized texts: a command word past 511 bytes, a header text past 511 bytes.
  conv("cmd-too-long", cat({frame(gzip_bytes(command_payload("sendfile" + std::string(600, 'w')))),
                            file_frame("n.txt", doc)}));
  conv("cmd-no-nul", frame(gzip_bytes(to_bytes("vandrel-host:default" + std::string(700, 'a')))));
  Bytes long_header(kHeaderSize, 'h');
  append(long_header, doc);
  conv("header-too-long", cat({command_frame("sendfile"), frame(gzip_bytes(long_header))}));
  Bytes no_sep(kHeaderSize, 0);
  memcpy(no_sep.data(), "name.pdf-without", 16);
  conv("header-no-separator", cat({command_frame("sendfile"), frame(gzip_bytes(no_sep))}));
  // File payloads shorter than the header area.
  conv("file-short", cat({command_frame("sendfile"),
                          frame(gzip_bytes(to_bytes(std::string("n.txt") + kSeparator)))}));
  conv("file-empty", cat({command_frame("default"), skipped_frame(), frame(gzip_bytes(Bytes()))}));

  // Bodies that are not one whole gzip member.
  Bytes gz_doc = gzip_bytes(file_payload("t.pdf", doc));
  conv("file-truncated-gzip",
       cat({command_frame("sendfile"), frame(cut(gz_doc, gz_doc.size() / 2))}));
  conv("cmd-truncated-gzip", frame(cut(gzip_bytes(command_payload("sendfile")), 12)));
  conv("file-zlib",
       cat({command_frame("sendfile"), frame(deflate_bytes(file_payload("z.pdf", doc), 15))}));
  conv("cmd-zlib",
       cat({frame(deflate_bytes(command_payload("sendfile"), 15)), file_frame("z", doc)}));
  conv("file-raw-deflate", cat({command_frame("default"), skipped_frame(),
                                frame(deflate_bytes(file_payload("r.pdf", doc), -15))}));
  conv("file-plain",
       cat({command_frame("sendfile"), frame(file_payload("p.txt", to_bytes("plain")))}));
  conv("two-members", cat({command_frame("sendfile"),
                           frame(cat({gzip_bytes(file_payload("m.pdf", doc)), gzip_bytes(doc)}))}));
  conv("trailing-bytes", cat({command_frame("sendfile"), frame(cat({gz_doc, noise(100, 3)})),
                              conversation("sendfile", "after", to_bytes("next"))}));

  // Framing: a length past the end, a cut length, a missing file frame.
  conv("length-past-end", cat({command_frame("sendfile"), frame_with_length(1u << 20, gz_doc)}));
  conv("length-cut", cat({command_frame("sendfile"), Bytes{0x10, 0x00}}));
  conv("missing-file-frame", cat({command_frame("adobeprintdialog"), skipped_frame()}));
  conv("length-huge", frame_with_length(0xffffffffu, gzip_bytes(command_payload("default"))));

  // inf on its own: whole members, with every optional header field, and damaged ones.
  body("member", gz_doc);
  body("member-empty", gzip_bytes(Bytes()));
  body("member-stored", deflate_bytes(doc, 31, 0));
  body("member-best", deflate_bytes(document(20000, 7), 31, 9));
  body("member-noise", gzip_bytes(noise(20000, 4)));
  static unsigned char extra[] = {'X', 'Y', 4, 0, 'a', 'b', 'c', 'd'};
  static char gz_name[] = "doc.pdf";
  static char gz_comment[] = "made for the fuzzer";
  gz_header h;
  memset(&h, 0, sizeof h);
  h.text = 1;
  h.time = 1700000000;
  h.os = 3;
  h.extra = extra;
  h.extra_len = 8;
  h.name = reinterpret_cast<Bytef *>(gz_name);
  h.comment = reinterpret_cast<Bytef *>(gz_comment);
  h.hcrc = 1;
  body("member-header-fields", deflate_bytes(doc, 31, 6, &h));
  body("zlib-wrapped", deflate_bytes(doc, 15));
  body("raw-deflate", deflate_bytes(doc, -15));
  body("truncated", cut(gz_doc, gz_doc.size() - 5));
  body("truncated-header", cut(gz_doc, 6));
  Bytes bad_crc = gz_doc;
  bad_crc[bad_crc.size() - 6] ^= 0x55;
  body("bad-crc", bad_crc);
  Bytes bad_len = gz_doc;
  bad_len[bad_len.size() - 2] ^= 0x01;
  body("bad-length", bad_len);
  body("two-members", cat({gzip_bytes(doc), gzip_bytes(to_bytes("second"))}));
  body("trailing-garbage", cat({gzip_bytes(doc), noise(64, 5)}));
  body("magic-only", Bytes{0x1f, 0x8b, 0x08});
  body("empty", Bytes());
  return ok ? 0 : 1;
}
