// Decoding frame payloads and building control messages.
#include "channel/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"

namespace {

// A command frame's payload: 13 leading bytes, then text (with a NUL when asked).
Bytes command_payload(const std::string &text, bool nul = true) {
  Bytes p = to_bytes("vandrel-host:" + text);
  if (nul) p.push_back(0);
  return p;
}

// A header area of exactly kHeaderSize bytes starting with text, NUL padded.
Bytes header_area(const std::string &text) {
  Bytes p(kHeaderSize, 0);
  memcpy(p.data(), text.data(), std::min(text.size(), kHeaderSize));
  return p;
}

// A buffer for a decoded text with guard bytes behind it, to catch overflows.
struct GuardedText {
  static constexpr size_t kGuard = 64;
  char bytes[kTextSize + kGuard];
  GuardedText() { memset(bytes, 0x5A, sizeof bytes); }
  char *text() { return bytes; }
  bool guard_intact() const {
    for (size_t i = kTextSize; i < sizeof bytes; ++i)
      if (bytes[i] != 0x5A) return false;
    return true;
  }
};

}  // namespace

TEST(Wire, StrStartswith) {
  EXPECT_TRUE(str_startswith("anything", ""));
  EXPECT_TRUE(str_startswith("", ""));
  EXPECT_TRUE(str_startswith("default", "default"));
  EXPECT_TRUE(str_startswith("defaultprinter", "default"));
  EXPECT_FALSE(str_startswith("defaul", "default"));
  EXPECT_FALSE(str_startswith("", "d"));
  EXPECT_FALSE(str_startswith("Default", "default"));
  EXPECT_FALSE(str_startswith("xdefault", "default"));
}

TEST(Wire, CommandWordsAndTheCommandsTheySelect) {
  struct Case {
    const char *text;  // from offset 13
    const char *word;
    Command command;
  };
  const Case cases[] = {
      {"defaultprinterx!2#$1", "defaultprinter", Command::Default},
      {"default", "default", Command::Default},
      {"printx!2#$1", "print", Command::Other},
      {"sendfil2", "sendfil", Command::Other},
      {"sendfilex!2#$", "sendfile", Command::SendFile},
      {"sendfile!", "sendfile", Command::SendFile},
      {"sendfile#more", "sendfile", Command::SendFile},
      {"sendfile$", "sendfile", Command::SendFile},
      {"adobeprintdialogx!2#$1", "adobeprintdialog", Command::PrintDialog},
      {"adobeprintdialog and more", "adobeprintdialog and more", Command::PrintDialog},
      {"adobeprint", "adobeprint", Command::Other},
      {"x!2#$1", "", Command::Other},
      {"", "", Command::Other},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    for (bool nul : {true, false}) {
      Bytes p = command_payload(c.text, nul);
      GuardedText out;
      EXPECT_EQ(DecodeOk, decode_command_word(p.data(), p.size(), out.text()));
      EXPECT_STREQ(c.word, out.text());
      EXPECT_EQ(c.command, classify_command(out.text()));
    }
  }
}

TEST(Wire, CommandWordStopsAtTheTextsNul) {
  Bytes p = command_payload("default");
  append(p, to_bytes("printer"));
  char out[kTextSize];
  EXPECT_EQ(DecodeOk, decode_command_word(p.data(), p.size(), out));
  EXPECT_STREQ("default", out);
}

TEST(Wire, CommandPayloadTooShort) {
  Bytes p = to_bytes("vandrel-host:sendfile");
  for (size_t len : {size_t{0}, size_t{1}, kCommandOffset - 1}) {
    GuardedText out;
    EXPECT_EQ(DecodeTooShort, decode_command_word(p.data(), len, out.text())) << len;
    EXPECT_STREQ("", out.text());
  }
  char out[kTextSize];
  EXPECT_EQ(DecodeOk, decode_command_word(p.data(), kCommandOffset, out));
  EXPECT_STREQ("", out);
}

TEST(Wire, NulAmongTheFirstThirteenBytes) {
  for (size_t at : {size_t{0}, size_t{5}, kCommandOffset - 1}) {
    Bytes p = command_payload("sendfilex!2#$1");
    p[at] = 0;
    GuardedText out;
    EXPECT_EQ(DecodeNulInPrefix, decode_command_word(p.data(), p.size(), out.text())) << at;
    EXPECT_STREQ("sendfile", out.text()) << "the word is read from its own bytes";
  }
  // A NUL right at the offset is an empty word, not a broken prefix.
  Bytes p = command_payload("sendfile");
  p[kCommandOffset] = 0;
  char out[kTextSize];
  EXPECT_EQ(DecodeOk, decode_command_word(p.data(), p.size(), out));
  EXPECT_STREQ("", out);
}

TEST(Wire, OverlongCommandTextIsCutAndStillGivesAWord) {
  const size_t max = kTextSize - 1;
  {
    // 511 bytes of text: the longest that decodes whole.
    Bytes p = command_payload("default" + std::string(max - 7, 'a'));
    GuardedText out;
    EXPECT_EQ(DecodeOk, decode_command_word(p.data(), p.size(), out.text()));
    EXPECT_EQ(max, strlen(out.text()));
  }
  for (bool nul : {true, false}) {
    // One byte more, and far more, with the word running past the cut.
    for (size_t len : {max + 1, size_t{600}, size_t{5000}}) {
      SCOPED_TRACE(len);
      Bytes p = command_payload("default" + std::string(len - 7, 'a'), nul);
      GuardedText out;
      EXPECT_EQ(DecodeTooLong, decode_command_word(p.data(), p.size(), out.text()));
      EXPECT_EQ(max, strnlen(out.text(), kTextSize));
      EXPECT_EQ("default" + std::string(max - 7, 'a'), std::string(out.text()));
      EXPECT_TRUE(out.guard_intact());
      EXPECT_EQ(Command::Default, classify_command(out.text()));
    }
  }
  {
    // A short word before the separator, then a long tail.
    Bytes p = command_payload("sendfilex!2#$" + std::string(700, 'b'));
    GuardedText out;
    EXPECT_EQ(DecodeTooLong, decode_command_word(p.data(), p.size(), out.text()));
    EXPECT_STREQ("sendfile", out.text());
    EXPECT_EQ(Command::SendFile, classify_command(out.text()));
  }
  {
    // A separator only after the cut does not end the word.
    Bytes p = command_payload(std::string(max, 'c') + "x!2#$");
    GuardedText out;
    EXPECT_EQ(DecodeTooLong, decode_command_word(p.data(), p.size(), out.text()));
    EXPECT_EQ(std::string(max, 'c'), std::string(out.text()));
    EXPECT_TRUE(out.guard_intact());
  }
}

TEST(Wire, FramesAfterTheCommandFrame) {
  EXPECT_EQ(2, frames_after(Command::Default));
  EXPECT_EQ(2, frames_after(Command::PrintDialog));
  EXPECT_EQ(1, frames_after(Command::SendFile));
  EXPECT_EQ(0, frames_after(Command::Other));
}

TEST(Wire, DocumentNameFromTheHeader) {
  struct Case {
    std::string header;
    const char *name;
  };
  const Case cases[] = {
      {"Report 7.pdfx!2#$more text", "Report 7.pdf"},
      {"Report 7.pdfx!2#$", "Report 7.pdf"},
      {"x!2#$document", ""},
      {"ax!2#$bx!2#$c", "a"},
      {"a!2#$bx2#$cx!2$dx!2#$e", "a!2#$bx2#$cx!2$d"},
      {"../../etc/passwdx!2#$", "../../etc/passwd"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    Bytes p = header_area(c.header);
    append(p, unit::noise_bytes(3000, 4));
    GuardedText out;
    EXPECT_EQ(DecodeOk, decode_document_name(p.data(), p.size(), out.text()));
    EXPECT_STREQ(c.name, out.text());
    // The header area alone is enough.
    EXPECT_EQ(DecodeOk, decode_document_name(p.data(), kHeaderSize, out.text()));
    EXPECT_STREQ(c.name, out.text());
  }
}

TEST(Wire, DocumentNameFailures) {
  struct Case {
    Bytes payload;
    DecodeStatus status;
    const char *why;
  };
  const size_t max = kTextSize - 1;
  Bytes no_nul(kHeaderSize, 'h');
  Bytes sep_after_nul = header_area(std::string("name") + '\0' + "x!2#$rest");
  Bytes sep_in_document = header_area("name without it");
  append(sep_in_document, to_bytes("x!2#$ in the document"));
  Bytes partial_sep = header_area("namex!2#");
  Bytes long_text = header_area(std::string(max + 1 - 5, 'n') + "x!2#$");
  Bytes short_payload = header_area("Report.pdfx!2#$");
  short_payload.resize(kHeaderSize - 1);
  const Case cases[] = {
      {Bytes(), DecodeTooShort, "empty"},
      {short_payload, DecodeTooShort, "1023 bytes"},
      {header_area("Report.pdf"), DecodeNoSeparator, "no separator"},
      {partial_sep, DecodeNoSeparator, "separator cut short"},
      {sep_after_nul, DecodeNoSeparator, "separator after the first NUL"},
      {sep_in_document, DecodeNoSeparator, "separator only after the header"},
      {no_nul, DecodeTooLong, "no NUL within the header"},
      {long_text, DecodeTooLong, "512 bytes of text"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    GuardedText out;
    strcpy(out.text(), "stale");
    EXPECT_EQ(c.status, decode_document_name(c.payload.data(), c.payload.size(), out.text()));
    EXPECT_STREQ("", out.text());
    EXPECT_TRUE(out.guard_intact());
  }
  // 511 bytes of text, separator at its end: still a name.
  Bytes longest = header_area(std::string(max - 5, 'n') + "x!2#$");
  char out[kTextSize];
  EXPECT_EQ(DecodeOk, decode_document_name(longest.data(), longest.size(), out));
  EXPECT_EQ(std::string(max - 5, 'n'), std::string(out));
}

TEST(Wire, PayloadTextLength) {
  Bytes empty;
  EXPECT_EQ(0u, payload_text_length(empty.data(), 0));
  const unsigned char with_nul[] = {'a', 'b', 0, 'c', 0};
  EXPECT_EQ(2u, payload_text_length(with_nul, sizeof with_nul));
  EXPECT_EQ(2u, payload_text_length(with_nul, 2));
  EXPECT_EQ(1u, payload_text_length(with_nul, 1));
  const unsigned char leading_nul[] = {0, 'a'};
  EXPECT_EQ(0u, payload_text_length(leading_nul, sizeof leading_nul));
  Bytes no_nul = Bytes(70000, 'z');
  EXPECT_EQ(no_nul.size(), payload_text_length(no_nul.data(), no_nul.size()));
}

TEST(Wire, ControlMessageIsTheWordThenZeros) {
  for (const char *word : {kRemoveFullScreen, kRestoreFullScreen, "", "x"}) {
    SCOPED_TRACE(word);
    unsigned char block[kControlMessageSize + 16];
    memset(block, 0xEE, sizeof block);
    make_control_message(word, block);
    size_t n = strlen(word);
    EXPECT_EQ(0, memcmp(block, word, n));
    for (size_t i = n; i < kControlMessageSize; ++i) ASSERT_EQ(0, block[i]) << "at " << i;
    for (size_t i = kControlMessageSize; i < sizeof block; ++i) ASSERT_EQ(0xEE, block[i]);
  }
  // A word too long for a message keeps its NUL inside the 512 bytes.
  std::string long_word(700, 'w');
  unsigned char block[kControlMessageSize + 16];
  memset(block, 0xEE, sizeof block);
  make_control_message(long_word.c_str(), block);
  EXPECT_EQ(kControlMessageSize - 1, strnlen(reinterpret_cast<char *>(block), kControlMessageSize));
  EXPECT_EQ(0xEE, block[kControlMessageSize]);
}

TEST(Wire, ControlMessagesSplitBackIntoWords) {
  std::string stream;
  for (const char *word : {kRemoveFullScreen, kRestoreFullScreen}) {
    unsigned char block[kControlMessageSize];
    make_control_message(word, block);
    stream.append(reinterpret_cast<char *>(block), sizeof block);
  }
  EXPECT_EQ(2 * kControlMessageSize, stream.size());
  std::vector<std::string> words = control_words(stream);
  ASSERT_EQ(2u, words.size());
  EXPECT_EQ(kRemoveFullScreen, words[0]);
  EXPECT_EQ(kRestoreFullScreen, words[1]);
}

TEST(Wire, EveryStatusHasItsOwnText) {
  const DecodeStatus all[] = {DecodeOk, DecodeTooShort, DecodeNulInPrefix, DecodeTooLong,
                              DecodeNoSeparator};
  for (DecodeStatus a : all) {
    EXPECT_GT(strlen(decode_status_text(a)), 0u);
    EXPECT_EQ(nullptr, strchr(decode_status_text(a), '\n'));
    for (DecodeStatus b : all) {
      if (a != b) {
        EXPECT_STRNE(decode_status_text(a), decode_status_text(b));
      }
    }
  }
}
