#!/usr/bin/env python3
"""Checks of the bench's own pieces that a wrong figure would not show: the ZIP writer of the
stream kinds (read back by Python's zipfile and by 7-Zip, streams decoded by their own tools)
and the summary's table of the other methods (from results made up here).

  python3 bench/test_bench.py        (make -C bench check)
"""
import lzma
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SEVENZ = "/usr/lib/p7zip/7z"
EPOCH = 1704164645


def tool_bytes(argv, data):
    return subprocess.run(argv, input=data, stdout=subprocess.PIPE, check=True).stdout


def entry_data(archive, info):
    """The entry's bytes as stored, from its local header."""
    with open(archive, "rb") as f:
        f.seek(info.header_offset)
        head = f.read(30)
        name_len, extra_len = struct.unpack("<HH", head[26:30])
        f.seek(info.header_offset + 30 + name_len + extra_len)
        return f.read(info.compress_size)


class ZipWrapTest(unittest.TestCase):
    # label, method argument, ZIP method, version needed, compressor, decoder of the stored bytes
    ROWS = [
        ("bzip2", "bzip2", 12, 46, ["bzip2", "-c"], lambda b: tool_bytes(["bzip2", "-dc"], b)),
        ("zstd", "zstd", 93, 63, ["zstd", "-q", "-c"], lambda b: tool_bytes(["zstd", "-q", "-dc"], b)),
        ("xz", "xz", 95, 63, ["xz", "-T1", "-c"], lzma.decompress),
    ]
    FILES = {  # name: (content, mode, mtime)
        "a/text.txt": (b"line of text\n" * 5000, 0o644, EPOCH),
        "a/b/run.sh": (b"#!/bin/sh\necho hi\n", 0o755, EPOCH + 7),
        "empty.dat": (b"", 0o600, EPOCH + 8),
        "\u017elu\u0165ou\u010dk\u00fd k\u016f\u0148.txt": ("p\u0159\u00edli\u0161\n".encode() * 99, 0o644, EPOCH + 9),
    }

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zipwrap-test.")
        self.root = os.path.join(self.dir, "root")
        for name, (content, mode, mtime) in self.FILES.items():
            path = os.path.join(self.root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(content)
            os.chmod(path, mode)
            os.utime(path, (mtime, mtime))
        self.names = sorted(["a", "a/b"] + list(self.FILES))
        self.listing = os.path.join(self.dir, "list")
        with open(self.listing, "w", encoding="utf-8") as f:
            f.write("".join(n + "\n" for n in self.names))

    def tearDown(self):
        shutil.rmtree(self.dir)

    def wrap(self, method, compressor, out="out.zip"):
        streams = os.path.join(self.dir, "streams-" + method)
        for name, (content, _, _) in self.FILES.items():
            path = os.path.join(streams, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(tool_bytes(compressor, content))
        archive = os.path.join(self.dir, out)
        subprocess.run([sys.executable, os.path.join(HERE, "zipwrap.py"), "-t", str(EPOCH), method, self.root, streams,
                        self.listing, archive], check=True)
        return archive, streams

    def test_entries_hold_the_tools_streams(self):
        for label, method, number, needed, compressor, decode in self.ROWS:
            with self.subTest(label):
                if not shutil.which(compressor[0]):
                    self.skipTest(compressor[0] + " is not installed")
                archive, streams = self.wrap(method, compressor)
                with zipfile.ZipFile(archive) as z:
                    infos = z.infolist()
                    self.assertEqual([i.filename for i in infos], [n + "/" if n in ("a", "a/b") else n
                                                                   for n in self.names], label)
                    for info in infos:
                        self.assertEqual(info.flag_bits, 0x0800, f"{label} {info.filename}: UTF-8, no descriptor")
                        if info.is_dir():
                            self.assertEqual((info.compress_type, info.extract_version), (0, 10), label)
                            continue
                        content, mode, mtime = self.FILES[info.filename]
                        with open(os.path.join(streams, info.filename), "rb") as f:
                            stored = f.read()
                        self.assertEqual((info.file_size, info.CRC), (len(content), zlib.crc32(content)), label)
                        self.assertEqual(info.external_attr >> 16, 0o100000 | mode, f"{label} {info.filename}")
                        local = time.localtime(mtime)
                        self.assertEqual(info.date_time, local[:5] + (local[5] // 2 * 2,), f"{label} {info.filename}")
                        if not content:
                            self.assertEqual((info.compress_type, info.compress_size), (0, 0), label + ": empty, stored")
                            continue
                        self.assertEqual((info.compress_type, info.extract_version), (number, needed), label)
                        self.assertEqual(entry_data(archive, info), stored, f"{label} {info.filename}: bytes as made")
                        self.assertEqual(decode(stored), content, f"{label} {info.filename}")
                if os.access(SEVENZ, os.X_OK):
                    tested = subprocess.run([SEVENZ, "t", "-bso0", "-bsp0", archive], stderr=subprocess.PIPE)
                    self.assertEqual(tested.returncode, 0, f"{label}: 7-Zip's test: {tested.stderr!r}")

    def test_same_bytes_whenever_the_folders_were_made(self):
        if not shutil.which("bzip2"):
            self.skipTest("bzip2 is not installed")
        first, _ = self.wrap("bzip2", ["bzip2", "-c"], "first.zip")
        os.utime(os.path.join(self.root, "a"), (EPOCH + 86400, EPOCH + 86400))
        second, _ = self.wrap("bzip2", ["bzip2", "-c"], "second.zip")
        with open(first, "rb") as f, open(second, "rb") as g:
            self.assertEqual(f.read(), g.read())

    def test_refuses_what_is_neither_file_nor_folder(self):
        os.symlink("a/text.txt", os.path.join(self.root, "link"))
        with open(self.listing, "a", encoding="utf-8") as f:
            f.write("link\n")
        made = subprocess.run([sys.executable, os.path.join(HERE, "zipwrap.py"), "xz", self.root, self.root,
                               self.listing, os.path.join(self.dir, "x.zip")], stderr=subprocess.PIPE)
        self.assertNotEqual(made.returncode, 0)
        self.assertIn(b"link: neither a file nor a folder", made.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "x.zip")), "no archive left half made")


HEADER = ("archive\ttool\truns\tok\twall_median\twall_min\twall_max\tcpu_median\tpeak_rss_kib\tx_zlimit\tx_pair_min"
          "\tx_pair_max\tcpu_x_zlimit\tcheck\tthreads\n")


def timed(archive, tool, wall, cpu, x=None, threads="1"):
    ratios = [""] * 4 if x is None else [f"{x:.3f}"] * 4
    return "\t".join([archive, tool, "5", "5", f"{wall:.4f}", f"{wall:.4f}", f"{wall:.4f}", f"{cpu:.4f}", "1800",
                      *ratios, "ok", threads]) + "\n"


def failed(archive, tool, why):
    return "\t".join([archive, tool, "0", "0"] + [""] * 9 + [why + ": content 0/5", "1"]) + "\n"


class SummaryTest(unittest.TestCase):
    RESULTS = (HEADER
               + timed("big-deflate7", "zlimit", 0.70, 0.70, 1) + timed("big-deflate7", "rozbal", 0.72, 0.80, 1.03, "3")
               + timed("big-deflate7", "rozbal-1", 0.70, 0.70, 1.0) + timed("big-deflate7", "7z", 0.9, 0.9, 1.29)
               + timed("big-aes", "rozbal", 0.80, 0.92) + timed("big-aes", "rozbal-1", 0.805, 0.805)
               + timed("big-aes", "rozbal@deflate7", 0.75, 0.736)
               + failed("big-aes", "unzip", "cannot read")
               + timed("big-bzip2", "ref", 6.0, 6.0) + timed("big-bzip2", "7z", 7.5, 7.5)
               + failed("big-bzip2", "rozbal", "n/a") + failed("big-bzip2", "rozbal-1", "n/a")
               + timed("big-deflate64", "rozbal-1", 1.4, 1.4))
    # label, a line the summary must hold
    EXPECTED = [
        ("aes against deflate7 in the same rounds",
         "| big-aes | rozbal | 0.920 | rozbal@deflate7, same rounds | 0.736 | 1.25 | at most 1.15 |"),
        ("aes against deflate7's own rounds",
         "|  | rozbal-1 | 0.805 | rozbal-1 on big-deflate7 | 0.700 | 1.15 | at most 1.15 |"),
        ("failed stub: n/a, no ratio", "| big-bzip2 | rozbal | n/a | ref | 6.000 | - | at most 1.10 |"),
        ("deflate64 whose first stub did not run",
         "| big-deflate64 | rozbal-1 | 1.400 | rozbal-1 on big-deflate7 | 0.700 | 2.00 | at most 1.5 |"),
        ("a peer that cannot read the kind", "| unzip | - | | | | | 1 | | cannot read: content 0/5 |"),
        ("a stub that failed its check", "| rozbal | n/a | | | | | 1 | | n/a: content 0/5 |"),
        ("ratios to ref are not shown as ratios to zlimit", "| 7z | 7.500 | - | 7.500 | - | 1.8 | 1 | 5/5 | ok |"),
        ("zlimit's own archive keeps its ratios",
         "| 7z | 0.900 | 1.29 (1.29..1.29) | 0.900 | 1.29 | 1.8 | 1 | 5/5 | ok |"),
    ]

    def summary(self):
        d = tempfile.mkdtemp(prefix="summary-test.")
        try:
            with open(os.path.join(d, "results.tsv"), "w") as f:
                f.write(self.RESULTS)
            with open(os.path.join(d, "run.txt"), "w") as f:
                f.write("# test\n")
            return subprocess.run(["sh", os.path.join(HERE, "summarize.sh"), d], stdout=subprocess.PIPE, check=True,
                                  text=True).stdout
        finally:
            shutil.rmtree(d)

    def test_rows(self):
        lines = self.summary().splitlines()
        for label, line in self.EXPECTED:
            with self.subTest(label):
                self.assertIn(line, lines, label)

    def test_ratio_tables_keep_to_zlimits_archives(self):
        text = self.summary()
        ratios = text[:text.index("Peak RSS")]
        self.assertIn("| big-deflate7 | 0.700 s |", ratios)
        for archive in ("big-aes", "big-bzip2", "big-deflate64"):
            self.assertNotIn(f"| {archive} |", ratios, archive)
        self.assertIn("| big-bzip2 | - | n/a | n/a |", text, "RSS: every archive, zlimit absent")
        self.assertNotIn("| rozbal@deflate7 |", text[:text.index("### Other methods")], "a base run is not a tool")
        self.assertIn("| rozbal@deflate7 | 0.750 | - | 0.736 |", text, "but is in its archive's table")


if __name__ == "__main__":
    unittest.main()
