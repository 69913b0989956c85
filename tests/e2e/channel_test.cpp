// The reader as a host sees it: frames in, trace lines and control messages out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>

#include "channel/wire.h"
#include "harness.h"

namespace {

// An unknown command shows the notice; pressing OK lets the reader go on.
void expect_notice_and_close(Helper &h, size_t pairs_before) {
  ASSERT_TRUE(h.wait_messages(2 * pairs_before + 1)) << h.err_text();
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(h.wait_messages(2 * pairs_before + 2)) << h.err_text();
}

TEST(Channel, TraceLineShowsPayloadTextAndLength) {
  Helper h;
  Bytes payload = to_bytes("0123456789abchello");
  payload.push_back(0);
  append(payload, to_bytes("after the NUL"));
  h.send(frame(gzip_bytes(payload)));
  ASSERT_TRUE(h.wait_err("buf=0123456789abchello, len=32\n")) << h.err_text();
  expect_notice_and_close(h, 0);
}

TEST(Channel, EachCommandTakesExactlyItsFramesThenTheNextConversationIsRead) {
  Helper h;
  // sendfile: command frame and file frame; the dialog is cancelled.
  h.send(conversation("sendfile", "a.pdf", sample_document(3000)));
  ASSERT_TRUE(answer_dialog("Save File", "Escape")) << h.err_text();
  // An unknown word: the command frame alone.
  h.send(command_frame("print"));
  expect_notice_and_close(h, 1);
  // default: command frame, skipped frame, file frame. If any frame were left over
  // or taken from the next conversation, the notice after it would not come.
  h.send(conversation("default", "b.pdf", sample_document(2000)));
  h.send(command_frame("unknown"));
  expect_notice_and_close(h, 2);
  EXPECT_EQ(h.count_err("buf=vandrel-host:"), 4u) << h.err_text();
  // The file frame of "sendfile" has a trace line, the one of "default" has none.
  EXPECT_EQ(h.count_err("buf=a.pdfx!2#$document, len=4024\n"), 1u) << h.err_text();
  EXPECT_EQ(h.count_err("buf=b.pdf"), 0u) << h.err_text();
  EXPECT_EQ(h.count_err("pipe  read"), 0u);
  // No window of ours is the host's here: said once, with how to name one.
  EXPECT_EQ(h.count_err("vandrel: no window of the host found"), 1u) << h.err_text();
  EXPECT_EQ(h.count_err("--parent WID or VANDREL_PARENT_WINDOW=WID\n"), 1u) << h.err_text();
}

TEST(Channel, EndOfInputBetweenConversationsIsReportedOnceAndTheProcessStays) {
  Helper h;
  h.send(command_frame("nothing"));
  expect_notice_and_close(h, 0);
  h.close_input();
  // A plain end is no error: no earlier call's error text is reported with it.
  ASSERT_TRUE(h.wait_err("pipe  read: Success\n")) << h.err_text();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(h.count_err("pipe  read"), 1u);
  EXPECT_TRUE(h.alive());
  EXPECT_EQ(h.input_pipe_references(), 1) << "the reader keeps its duplicate of the input";
}

TEST(Channel, StopSignalWhileWaitingEndsTheReaderWithoutAReport) {
  Helper h;
  h.send(command_frame("first"));
  expect_notice_and_close(h, 0);
  ASSERT_EQ(h.input_pipe_references(), 2);
  h.signal(SIGUSR1);
  auto until = std::chrono::steady_clock::now() + kDeadline;
  while (h.input_pipe_references() != 1 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(h.input_pipe_references(), 1) << "the reader should have closed its duplicate";
  // Nothing more is read: a further command shows no notice and no trace line.
  h.send(command_frame("second"));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(h.count_err("buf="), 1u) << h.err_text();
  EXPECT_EQ(h.messages().size(), 2u);
  EXPECT_EQ(h.count_err("pipe  read"), 0u) << h.err_text();
  EXPECT_TRUE(h.alive());
}

// What a stop leaves unread gets no report: "end" says how many conversations were read.
TEST(Channel, StopSignalEndSaysHowManyConversationsWereRead) {
  Helper h({}, "", {}, {"--report"});
  ASSERT_TRUE(h.wait_messages(1)) << h.err_text();
  h.send(command_frame("first"));
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(h.wait_messages(4)) << h.err_text();
  h.signal(SIGUSR1);
  ASSERT_TRUE(h.wait_out_closed()) << h.err_text();
  EXPECT_EQ(h.messages().back(), "end 1");
  EXPECT_TRUE(h.wait_err("vandrel: reading stopped after 1 conversations; nothing more is read\n"))
      << h.err_text();
}

// Started through a launcher that does not exec, as desktop files and wrappers do: the
// host's signal ends the launcher alone, and the helper must not run on forever.
TEST(Channel, AHelperWhoseInputEndedAndWhoseStarterIsGoneEndsByItself) {
  Helper h({}, "", {"/bin/sh", "-c", "\"$0\" \"$@\"; exit 0"}, {"--report"});
  ASSERT_TRUE(h.wait_messages(1)) << h.err_text();
  std::string children = read_file("/proc/" + std::to_string(h.proc.pid) + "/task/" +
                                   std::to_string(h.proc.pid) + "/children");
  pid_t helper = static_cast<pid_t>(atol(children.c_str()));
  ASSERT_GT(helper, 0);
  h.send(command_frame("alone"));
  expect_notice_and_close(h, 0);
  kill(h.proc.pid, SIGKILL);
  waitpid(h.proc.pid, nullptr, 0);
  h.proc.pid = -1;
  h.close_input();
  auto gone = [helper] {
    std::string stat = read_file("/proc/" + std::to_string(helper) + "/stat");
    size_t at = stat.rfind(')');
    return at == std::string::npos || at + 2 >= stat.size() || stat[at + 2] == 'Z';
  };
  auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!gone() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(gone()) << h.err_text();
  EXPECT_TRUE(
      h.wait_err("vandrel: ending: reading has stopped and the process that started it is gone\n"))
      << h.err_text();
  EXPECT_EQ(h.messages().back(), "end 1");
}

TEST(Channel, StopSignalIsPromptWithNoFurtherInput) {
  Helper h;
  h.send(command_frame("ready"));
  expect_notice_and_close(h, 0);
  auto sent = std::chrono::steady_clock::now();
  h.signal(SIGUSR1);
  while (h.input_pipe_references() != 1 && std::chrono::steady_clock::now() - sent < kDeadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(h.input_pipe_references(), 1);
  EXPECT_TRUE(h.alive());
}

TEST(Channel, CutLengthEndsTheReaderWithAReport) {
  for (size_t cut = 1; cut <= 3; ++cut) {
    Helper h;
    Bytes partial = {0x10, 0x00, 0x00};
    partial.resize(cut);
    h.send(partial);
    h.close_input();
    ASSERT_TRUE(h.wait_err("pipe  read")) << "cut after " << cut << " bytes: " << h.err_text();
    EXPECT_EQ(h.count_err("buf="), 0u);
    EXPECT_TRUE(h.alive());
  }
}

TEST(Channel, ImpossibleLengthThenEndOfInputIsAReportNotACrash) {
  Helper h;
  h.send(frame_with_length(0xFFFFFFFFu, to_bytes("short")));
  h.close_input();
  ASSERT_TRUE(h.wait_err("pipe  read")) << h.err_text();
  EXPECT_TRUE(h.alive());
}

TEST(Channel, BodyShorterThanItsLengthEndsTheReader) {
  Helper h;
  Bytes body = gzip_bytes(to_bytes("0123456789abcdefault"));
  h.send(frame_with_length(static_cast<uint32_t>(body.size() + 100), body));
  h.close_input();
  ASSERT_TRUE(h.wait_err("pipe  read")) << h.err_text();
  EXPECT_TRUE(h.alive());
  EXPECT_TRUE(h.messages().empty());
}

TEST(Channel, HostClosingAfterDefaultCommandGivesOneReport) {
  Helper h;
  h.send(command_frame("default"));
  h.close_input();
  ASSERT_TRUE(h.wait_err("pipe  read")) << h.err_text();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(h.count_err("pipe  read"), 1u);
  EXPECT_TRUE(h.alive());
}

TEST(Channel, MalformedPayloadsAreSkippedAndTheFramingHolds) {
  Helper h;
  // A "default" conversation whose command frame is zlib-wrapped: no word, so its
  // skipped frame and its file frame are dropped, never read as commands.
  Bytes zlib = gzip_bytes(to_bytes("vandrel-host:defaultx!2#$1"));
  zlib[0] = 0x78, zlib[1] = 0x9c;
  h.send(frame(zlib));
  h.send(skipped_frame());
  h.send(file_frame("lost.pdf", sample_document(3000)));
  // A command text under 13 bytes: no word, nothing shown.
  h.send(frame(gzip_bytes(to_bytes("short"))));
  // A NUL among the first 13 bytes.
  Bytes nul = to_bytes(
      "0123\0"
      "56789abcnotice");
  h.send(frame(gzip_bytes(nul)));
  // Not gzip at all.
  h.send(frame(to_bytes("plain bytes, not compressed")));
  // A file frame shorter than its header, and one without the separator.
  h.send(command_frame("sendfile"));
  h.send(frame(gzip_bytes(to_bytes("tiny.pdfx!2#$"))));
  h.send(command_frame("adobeprintdialog"));
  h.send(skipped_frame());
  Bytes no_separator(2048, 'a');
  no_separator[10] = 0;
  h.send(frame(gzip_bytes(no_separator)));
  // A command text far over 511 bytes: cut, never overflowed; its frames still read.
  h.send(command_frame("sendfile" + std::string(3000, 'y')));
  h.send(file_frame("long.pdf", sample_document(100)));
  // Then a good conversation is still understood.
  h.send(command_frame("bye"));
  expect_notice_and_close(h, 0);
  // Every frame up to the next readable command frame is taken for one of the first
  // conversation's frames: its own two, and the three unreadable ones after them.
  EXPECT_EQ(h.count_err("vandrel: frame dropped: taken for a frame of the conversation before"), 5u)
      << h.err_text();
  EXPECT_EQ(h.count_err("vandrel: "), 10u) << h.err_text();
  EXPECT_TRUE(wait_window("Save File", 1s).empty());
  EXPECT_TRUE(h.alive());
}

TEST(Channel, CorruptCommandBodyWithReadableWordIsDispatched) {
  Helper h;
  Bytes whole =
      gzip_bytes(to_bytes(std::string("0123456789abcunknownx!2#$") + std::string(40000, 'z')));
  whole.resize(whole.size() / 2);  // the gzip stream is cut, its frame length honest
  h.send(frame(whole));
  expect_notice_and_close(h, 0);
}

// Hosts built on event loops make their pipes non-blocking and write in pieces.
TEST(Channel, NonBlockingPipesWrittenInPiecesLoseNothing) {
  const std::vector<std::string> nonblocking = {"/usr/bin/perl", "-e",
                                                "use Fcntl; for (0, 1) { open(my $f, '+<&=', $_); "
                                                "fcntl($f, F_SETFL, O_NONBLOCK) } exec @ARGV"};
  Helper h({}, "", nonblocking);
  Bytes doc = sample_document(400000, 71);
  Bytes all = conversation("default", "pieces.pdf", doc);
  append(all, command_frame("after the pieces"));
  for (size_t at = 0; at < all.size(); at += 7001) {
    h.send(Bytes(all.begin() + static_cast<long>(at),
                 all.begin() + static_cast<long>(std::min(all.size(), at + 7001))));
    std::this_thread::sleep_for(10ms);
  }
  expect_notice_and_close(h, 0);
  EXPECT_NE(wait_job_with_data(std::string(doc.begin(), doc.end())).id, 0) << h.err_text();
  EXPECT_EQ(h.count_err("pipe  read"), 0u) << h.err_text();
  EXPECT_EQ(h.out_text().size(), 1024u);
}

TEST(Channel, ClosedStandardErrorStillShowsTheNoticeAndBothMessages) {
  // Started without descriptor 2, as some hosts start their helpers.
  Helper h({}, "", {"/bin/sh", "-c", "exec \"$0\" 2>&-"});
  h.send(command_frame("no stderr"));
  expect_notice_and_close(h, 0);
  EXPECT_EQ(h.messages(), (std::vector<std::string>{"removefullscreen", "restorefullscreen"}));
  EXPECT_EQ(h.out_text().size(), 1024u) << "the trace line never reaches the host's channel";
}

// A command frame is read for its word: what it inflates to beyond that costs nothing.
TEST(Channel, HugeCommandFrameIsReadInBoundedMemory) {
  Helper h;
  h.send(command_frame("warm up"));
  expect_notice_and_close(h, 0);
  auto peak_kib = [&] {
    std::string status = read_file("/proc/" + std::to_string(h.proc.pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0L : atol(status.c_str() + at + 6);
  };
  long before = peak_kib();
  std::string text = "0123456789abcprint" + std::string(size_t{256} << 20, 'w');
  h.send(frame(gzip_bytes(text.data(), text.size(), 1)));
  h.send(command_frame("after"));
  expect_notice_and_close(h, 1);
  long after = peak_kib();
  EXPECT_LT(after - before, 16 * 1024L)
      << "peak resident memory grew from " << before << " KiB to " << after;
  // The trace line keeps its form and the true length, with the text cut and marked.
  std::string line = "buf=0123456789abcprint" + std::string(kTextSize - 1 - 5, 'w') +
                     "[cut], len=" + std::to_string(text.size()) + "\n";
  EXPECT_EQ(h.count_err(line), 1u) << h.err_text().substr(0, 300);
}

// A NUL among the 13 leading bytes is the host's own affair: the word after them still
// selects the command and its frames, and later conversations stay in step.
TEST(Channel, NulInTheLeadingBytesKeepsConversationsInStep) {
  Helper h;
  Bytes payload = to_bytes(std::string("vandrel\0host:defaultx!2#$1", 26));
  payload.push_back(0);
  Bytes doc1 = sample_document(5000, 72), doc2 = sample_document(6000, 73);
  h.send(frame(gzip_bytes(payload)));
  h.send(skipped_frame());
  h.send(file_frame("nul lead.pdf", doc1));
  h.send(conversation("default", "next.pdf", doc2));
  h.send(command_frame("fence"));
  expect_notice_and_close(h, 0);
  EXPECT_NE(wait_job_with_data(std::string(doc1.begin(), doc1.end())).id, 0) << h.err_text();
  EXPECT_NE(wait_job_with_data(std::string(doc2.begin(), doc2.end())).id, 0) << h.err_text();
  EXPECT_EQ(h.count_err("vandrel: command frame: NUL byte among the first 13 bytes"), 1u)
      << h.err_text();
  EXPECT_EQ(h.messages().size(), 2u);
}

}  // namespace

namespace {

// Where word first is in words at or after from; words.size() when it is not.
size_t position_of(const std::vector<std::string> &words, const std::string &word,
                   size_t from = 0) {
  for (size_t i = from; i < words.size(); ++i)
    if (words[i] == word) return i;
  return words.size();
}

// A host that asked for reports learns what became of every conversation, once, in
// the same 512-byte blocks, with the leading bytes it sent and what the job became,
// and "end" when the helper has nothing more to do.
TEST(Channel, ReportsTellEachConversationsOutcomeOnceThenEnd) {
  Helper h({}, "", {}, {"--report"});
  ASSERT_TRUE(h.wait_messages(1)) << h.err_text();
  EXPECT_EQ(h.messages(), std::vector<std::string>{"ready 2 parent lead result reason"});
  Bytes printed = sample_document(3000, 74), dialog_printed = sample_document(3100, 75);
  h.send(conversation("default", "silent.pdf", printed));
  h.send(command_frame("unknown"));
  h.send(conversation("sendfile", "kept.pdf", sample_document(100)));
  h.send(conversation("adobeprintdialog", "dialog.pdf", dialog_printed));
  Bytes cut = gzip_bytes(file_payload("cut.pdf", sample_document(30000, 76)));
  cut.resize(cut.size() / 2);
  h.send(command_frame("default"));
  h.send(skipped_frame());
  h.send(frame(cut));
  // Leading bytes of the host's own, any bytes; then a frame with no command word.
  h.send(frame(gzip_bytes(to_bytes(std::string("job 7\0\x01 %=\xff:.sendfilex!2#$\0", 24)))));
  h.send(file_frame("seven.pdf", sample_document(10)));
  h.send(frame(gzip_bytes(to_bytes("short"))));
  // Its frames, if it had any, are dropped: no report, no notice of their own.
  h.send(file_frame("after short.pdf", sample_document(10)));
  h.send(skipped_frame());
  h.close_input();
  ASSERT_TRUE(answer_dialog("Information", "Return"));
  ASSERT_TRUE(answer_dialog("Save File", "Return"));
  ASSERT_TRUE(confirm_print_dialog()) << h.err_text();
  ASSERT_TRUE(answer_dialog("Save File", "Escape"));
  ASSERT_TRUE(h.wait_out_closed()) << h.err_text();
  int silent_id = wait_job_with_data(std::string(printed.begin(), printed.end())).id;
  int dialog_id = wait_job_with_data(std::string(dialog_printed.begin(), dialog_printed.end())).id;
  EXPECT_NE(silent_id, 0);
  EXPECT_NE(dialog_id, 0);

  std::vector<std::string> words = h.words();
  ASSERT_FALSE(words.empty());
  EXPECT_EQ(words.front(), "ready");
  EXPECT_EQ(h.messages().back(), "end 7") << "seven conversations were read";
  const std::string queue = std::string(" queue=") + kRawQueue + " server-job=";
  const std::string reports[] = {
      "job 1 printed lead=vandrel-host:" + queue + std::to_string(silent_id),
      "job 2 unsupported lead=vandrel-host:",
      "job 3 saved lead=vandrel-host: path=" + h.home + "/kept.pdf",
      "job 4 printed lead=vandrel-host:" + queue + std::to_string(dialog_id),
      "job 5 skipped lead=vandrel-host: reason=not-whole",
      "job 6 cancelled lead=job%207%00%01%20%25=%FF:.",
      "job 7 skipped lead=short reason=unreadable-frame"};
  std::vector<std::string> full = h.messages();
  for (const std::string &r : reports)
    EXPECT_EQ(std::count(full.begin(), full.end(), r), 1)
        << r << ": " << testing::PrintToString(full);
  EXPECT_EQ(words.size(), 1 + 7 + 8 + 1u) << testing::PrintToString(words);
  // A dialog job's report follows its "restorefullscreen"; a printing job's comes once
  // the print server is done with it, so it may come later than the next ones'.
  size_t first_restore = position_of(words, "restorefullscreen");
  size_t second_restore = position_of(words, "restorefullscreen", first_restore + 1);
  EXPECT_GT(position_of(words, "job 2 unsupported"), first_restore);
  EXPECT_GT(position_of(words, "job 3 saved"), second_restore);
  EXPECT_GT(position_of(words, "job 4 printed"),
            position_of(words, "restorefullscreen", second_restore + 1));
  EXPECT_TRUE(h.alive()) << "the helper still never ends by itself";
}

}  // namespace
