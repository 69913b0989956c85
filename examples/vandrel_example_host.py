#!/usr/bin/env python3
"""A host for vandrel in one short file, with nothing but Python's standard library.

    vandrel_example_host.py [--helper PATH] WORD:FILE...

Starts the helper with --report, sends each FILE as one job with its command WORD
(default, adobeprintdialog, sendfile, or any other word for the notice), leaves and
restores "full-screen" as the helper asks, and prints every block it sends, each
report with the file it belongs to, matched by the 13 leading bytes this host put in
the job's command frame. Then it closes the helper's input, waits for "end" and ends
the helper. Exit status 0 when every job was reported, 1 otherwise, 2 on usage errors.
"""

import gzip
import os
import signal
import struct
import subprocess
import sys
import threading

BLOCK = 512          # every block the helper writes is this long
SEPARATOR = b"x!2#$"  # ends the command word and the document name
HEADER = 1024         # the file frame's header: name, separator, NUL padding
FRAMES_AFTER = {"default": 2, "adobeprintdialog": 2, "sendfile": 1}


def frame(body):
    """A frame: the body's length as 4 little-endian bytes, then the body."""
    return struct.pack("<I", len(body)) + body


def command_word_frames(word):
    """How many frames follow a command frame of this word (words match as prefixes)."""
    for known, count in FRAMES_AFTER.items():
        if word.startswith(known):
            return count
    return 0


def conversation(lead, word, name, document):
    """The frames of one job. lead: 13 bytes of our own, none of them NUL."""
    out = frame(gzip.compress(lead + word.encode() + SEPARATOR + b"\0", mtime=0))
    after = command_word_frames(word)
    if after == 2:
        out += frame(b"")  # the skipped frame: any bytes, none will do
    if after >= 1:
        header = name.encode() + SEPARATOR
        out += frame(gzip.compress(header.ljust(HEADER, b"\0") + document, mtime=0))
    return out


def unquote(value):
    """A report's field value: %XX is the byte XX, every other byte is itself."""
    out, i = bytearray(), 0
    while i < len(value):
        if value[i] == "%" and i + 3 <= len(value):
            out.append(int(value[i + 1:i + 3], 16))
            i += 3
        else:
            out += value[i].encode()
            i += 1
    return bytes(out)


def main(argv):
    helper = "vandrel"
    if argv[:1] == ["--helper"] and len(argv) >= 2:
        helper, argv = argv[1], argv[2:]
    usage = "usage: vandrel_example_host.py [--helper PATH] WORD:FILE..."
    jobs = []
    for arg in argv:
        word, sep, path = arg.partition(":")
        if not sep or not word:
            print(usage, file=sys.stderr)
            return 2
        with open(path, "rb") as f:
            jobs.append((word, path, f.read()))
    if not jobs:
        print(usage, file=sys.stderr)
        return 2

    # Our own job ids, in the 13 bytes the helper echoes as lead=.
    leads = [b"py-job-%06d" % (n + 1) for n in range(len(jobs))]
    number_of = {lead: n for n, lead in enumerate(leads)}
    # Started directly, never through a shell that stays in between: then our signals
    # reach it, and it sees when we are gone.
    proc = subprocess.Popen([helper, "--report"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def write_all():
        # The helper reads a job only when the one before is done (a dialog may wait
        # for the person): write from a thread of our own, and keep reading.
        try:
            for lead, (word, path, data) in zip(leads, jobs):
                proc.stdin.write(conversation(lead, word, os.path.basename(path), data))
                proc.stdin.flush()
        except BrokenPipeError:
            pass
        finally:
            try:
                proc.stdin.close()  # nothing more: the helper reads to the end, then says "end"
            except BrokenPipeError:
                pass

    writer = threading.Thread(target=write_all)
    writer.start()

    reported, version, ended = {}, 0, False
    while not ended:
        block = proc.stdout.read(BLOCK)
        if len(block) < BLOCK:
            break  # the helper has gone
        text = block.split(b"\0", 1)[0].decode("ascii", "replace")
        words = text.split(" ")
        if words[0] == "ready":
            version = int(words[1]) if len(words) > 1 else 1
            print("ready: protocol %d, capabilities: %s" % (version, " ".join(words[2:]) or "none"))
        elif words[0] == "removefullscreen":
            print("leave full-screen")
        elif words[0] == "restorefullscreen":
            print("restore full-screen")
        elif words[0] == "job" and len(words) >= 3:
            fields = dict(w.split("=", 1) for w in words[3:] if "=" in w)
            lead = unquote(fields["lead"]) if "lead" in fields else None
            # Match by our own id; with a helper before protocol 2, by its count.
            n = number_of.get(lead, int(words[1]) - 1)
            path = jobs[n][1] if 0 <= n < len(jobs) else "?"
            reported[n] = words[2]
            details = ["%s=%s" % (k, unquote(v).decode("utf-8", "replace"))
                       for k, v in fields.items() if k != "lead"]
            print(" ".join(["report:", path, words[2]] + details))
        elif words[0] == "end":
            print("end: %s conversations read" % (words[1] if len(words) > 1 else "all"))
            ended = True
        else:
            print("block: %s" % text)
        sys.stdout.flush()

    writer.join()
    # Every job is done: end the helper and reap it.
    proc.send_signal(signal.SIGTERM)
    proc.wait()
    return 0 if ended and len(reported) == len(jobs) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
