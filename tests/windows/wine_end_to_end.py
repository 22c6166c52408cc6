#!/usr/bin/env python3
"""End to end under Wine: the Windows program with archives appended, run as a user would.

Usage: wine_end_to_end.py PROGRAM.exe SOURCE_DIR [TEST...]. The Wine prefix and program (wine or wine64) come
from the environment (WINEPREFIX, ROZBAL_WINE), as `make test-windows` sets them. The answer goes
through a pipe, the password is typed on a pseudo-terminal, and the exact dialogue bytes, the exit
status and the files written are checked."""
import csv
import fcntl
import hashlib
import os
import random
import re
import resource
import select
import signal
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import zipfile
from xml.etree import ElementTree

EXE = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else ""
SOURCE = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else ""
WINE = os.environ.get("ROZBAL_WINE", "wine")
CORPUS = os.path.join(SOURCE, "..", "shared", "corpus")
RULE = "-------------------------------------------"
FAILED = "\n\t - soubor se nepodarilo rozbalit"
PAUSE = b"Pro ukonceni stisknete Enter."


def win_path(path):
    """Wine shows the Unix root as drive Z:."""
    return "Z:" + path.replace("/", "\\")


def dialogue(folder, names, failed=(), cause=""):
    """The console of a run; each failed entry's line followed by the cause line, when given."""
    text = "Rozbalit archiv do: " + win_path(folder) + "?\tA/N\t"
    text += "\nInicializace archivu ...  OK\nPocet souboru: %d \n%s\n\n" % (len(names), RULE)
    failure = FAILED + ("\n\t   pricina: " + cause if cause else "")
    for name in names:
        text += name + (failure if name in failed else "")
    return (text + "\n\n" + RULE + "\nOperace dokoncena.\n\n").encode("utf-8")


def entry(name, encrypted=False):
    return ("\nZadejte heslo: " if encrypted else "") + "\nRozbaluji: " + name


def tree(root):
    """path -> bytes for every file below root, with / separators."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


class PeImage:
    """The few parts of a PE file the tests read: the file header's flags, the data directories and
    the resources (type, id) -> bytes."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        sections, optional_size, self.characteristics = struct.unpack_from("<2xH12xHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)  # PE32 or PE32+
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        self.directories_at = directories  # file offset of the first entry
        self.sections = []  # (virtual address, virtual size, file offset)
        for i in range(sections):
            size, address, _, offset = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
            self.sections.append((address, size, offset))

    def offset_of(self, address):
        for start, size, offset in self.sections:
            if start <= address < start + size:
                return offset + address - start
        raise ValueError("address %#x in no section" % address)

    def resources(self):
        root_address = self.directories[2][0]
        root = self.offset_of(root_address)
        found = {}

        def entries(table):
            named, numbered = struct.unpack_from("<12xHH", self.data, table)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, table + 16 + 8 * i)
                yield key, target

        for type_id, types in entries(root):
            for name_id, names in entries(root + (types & 0x7FFFFFFF)):
                for _, leaf in entries(root + (names & 0x7FFFFFFF)):
                    address, size = struct.unpack_from("<II", self.data, root + leaf)
                    start = self.offset_of(address)
                    found[(type_id, name_id)] = self.data[start:start + size]
        return found


def version_strings(blob):
    """The StringFileInfo values of a version resource. Every block is its length, its value's length
    (in characters for text), its type (1 text), a UTF-16 key, its value, then its child blocks, each
    32-bit aligned; the strings are the children of the string tables, three levels down."""
    strings = {}

    def walk(start, end, depth):
        while start + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", blob, start)
            key_end = start + 6
            while blob[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = blob[start + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            value_bytes = value_length * 2 if kind == 1 else value_length
            if depth == 3:
                strings[key] = blob[value:value + value_bytes].decode("utf-16-le").rstrip("\0")
            elif depth == 0 or key == "StringFileInfo" or depth == 2:
                walk((value + value_bytes + 3) & ~3, start + length, depth + 1)
            start = (start + length + 3) & ~3

    walk(0, len(blob), 0)
    return strings


class WineRun(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="rozbal-wine-")
        self.base = os.path.join(self.work, "box")  # the program's folder; the sentinel beside it
        os.makedirs(self.base)

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def program(self, archive_bytes, name="setup.exe"):
        path = os.path.join(self.base, name)
        with open(EXE, "rb") as stub, open(path, "wb") as out:
            out.write(stub.read() + archive_bytes)
        return path

    def run_piped(self, program, answer=b"a\n", locale="C.UTF-8"):
        env = dict(os.environ, LANG=locale, LC_ALL=locale)
        return subprocess.run([WINE, program], input=answer, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              cwd=self.base, env=env, timeout=120)

    def run_console(self, program, typed, console_output=False, through_cmd=False, locale="C.UTF-8", watch=None):
        """Standard input on a pseudo-terminal, so Wine gives the program a console; standard output
        stays a pipe, or with console_output is the console too, and what the screen showed comes back
        (the console host's escape sequences stripped). Each (wait_for, text) pair types text once
        wait_for has appeared in the output or on the screen. Started directly, the program is alone on
        its console and waits for Enter at the end (its prompt shows on the screen only where the
        output does): once everything is typed, Enter is pressed every half second until it ends.
        through_cmd starts it from Wine's command prompt, which shares the console; watch(child, out) is
        called as the output grows."""
        command = [WINE, "cmd", "/c", win_path(program)] if through_cmd else [WINE, program]
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))  # 0x0 would hang Wine
        env = dict(os.environ, LANG=locale, LC_ALL=locale)
        child = subprocess.Popen(command, stdin=slave, stdout=slave if console_output else subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, cwd=self.base, env=env, start_new_session=True)
        os.close(slave)
        out = b""
        screen = b""
        deadline = time.time() + 120
        pending = list(typed)
        last_enter = time.time()
        try:
            while time.time() < deadline:
                ready, _, _ = select.select([master] + ([] if console_output else [child.stdout]), [], [], 0.1)
                if child.stdout in ready:
                    chunk = os.read(child.stdout.fileno(), 65536)
                    if not chunk:
                        break
                    out += chunk
                if master in ready:
                    try:
                        screen += os.read(master, 65536)  # what the console host shows
                    except OSError:
                        if console_output:
                            break
                shown = re.sub(rb"\x1b\][^\x07]*\x07|\x1b\[[0-9;?]*[A-Za-z]", b"", screen.replace(b"\x1b[1C", b" "))
                if watch:
                    watch(child, out)
                if console_output:
                    out = shown
                    if child.poll() is not None and not ready:
                        break
                if pending and (pending[0][0] in out or pending[0][0] in shown):
                    # Typed only once the console has left canonical mode: earlier input is mangled.
                    if not termios.tcgetattr(master)[3] & termios.ICANON:
                        time.sleep(0.2)
                        os.write(master, pending.pop(0)[1])
                        last_enter = time.time()
                elif not pending and not through_cmd and time.time() - last_enter > 0.5:
                    os.write(master, b"\r")  # keys pressed before the wait are dropped: again until it ends
                    last_enter = time.time()
            child.wait(timeout=max(1, deadline - time.time()))
        except subprocess.TimeoutExpired:
            self.fail("still running; output %r, screen %r" % (out, screen))
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            if child.stdout:
                child.stdout.close()
            os.close(master)
        return child.returncode, out

    def test_archives_from_other_tools(self):
        cases = []
        # Python's zipfile: stored and deflated, a folder, a UTF-8 name.
        raw = os.path.join(self.work, "py.zip")
        with zipfile.ZipFile(raw, "w") as z:
            z.writestr("docs/", b"")
            z.writestr(zipfile.ZipInfo("docs/readme.txt"), b"stored\r\n")
            z.writestr("p\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd.txt", b"x" * 5000, zipfile.ZIP_DEFLATED)
        cases.append(("py", raw, ["docs\\", "docs\\readme.txt", "p\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd.txt"],
                      {"docs/readme.txt": b"stored\r\n", "p\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd.txt": b"x" * 5000}))
        # Info-ZIP zip on a folder tree.
        tree_root = os.path.join(self.work, "src")
        os.makedirs(os.path.join(tree_root, "a", "b"))
        with open(os.path.join(tree_root, "a", "b", "deep.bin"), "wb") as f:
            f.write(bytes(range(256)) * 40)
        raw = os.path.join(self.work, "iz.zip")
        subprocess.run(["zip", "-qr", "-X", raw, "a"], cwd=tree_root, check=True)
        cases.append(("iz", raw, ["a\\", "a\\b\\", "a\\b\\deep.bin"], {"a/b/deep.bin": bytes(range(256)) * 40}))
        for label, raw, shown, files in cases:
            with self.subTest(label):
                with open(raw, "rb") as f:
                    program = self.program(f.read(), label + ".exe")
                result = self.run_piped(program)
                folder = os.path.join(self.base, label)
                self.assertEqual(result.stdout, dialogue(folder, [entry(n) for n in shown]))
                self.assertEqual(result.returncode, 0)
                self.assertEqual(tree(folder), files)

    def test_methods_from_other_tools(self):
        text = b"".join(b"line %d of a text that compresses\r\n" % i for i in range(20000))
        files = {"text.txt": text, "empty.txt": b""}
        src = os.path.join(self.work, "methods")
        os.makedirs(src)
        for name, data in files.items():
            with open(os.path.join(src, name), "wb") as f:
                f.write(data)
        makers = []
        for label, method in (("py-bzip2", zipfile.ZIP_BZIP2), ("py-lzma", zipfile.ZIP_LZMA)):
            raw = os.path.join(self.work, label + ".zip")
            with zipfile.ZipFile(raw, "w", method) as z:
                for name in sorted(files):
                    z.write(os.path.join(src, name), name)
            makers.append((label, raw, None))
        for label, options in (("7z-deflate64", ["-mm=Deflate64"]), ("7z-bzip2", ["-mm=BZip2"]),
                               ("7z-lzma", ["-mm=LZMA"]), ("7z-aes256", ["-mem=AES256", "-pheslo"]),
                               ("7z-aes128-lzma", ["-mm=LZMA", "-mem=AES128", "-pheslo"])):
            raw = os.path.join(self.work, label + ".zip")
            subprocess.run(["7z", "a", "-tzip", "-bso0", "-bsp0"] + options + [raw] + sorted(files), cwd=src,
                           check=True, stdout=subprocess.DEVNULL)
            makers.append((label, raw, b"heslo" if "aes" in label else None))
        for label, raw, password in makers:
            with self.subTest(label):
                with open(raw, "rb") as f:
                    program = self.program(f.read(), label + ".exe")
                folder = os.path.join(self.base, label)
                if password is None:
                    result = self.run_piped(program)
                    self.assertEqual(result.stdout, dialogue(folder, [entry(n) for n in sorted(files)]))
                    code = result.returncode
                else:
                    code, out = self.run_console(program, [(b"A/N\t", b"a\r"), (b"heslo: ", password + b"\r")])
                    self.assertEqual(out.count(b"Zadejte heslo: "), 1, out)
                    self.assertNotIn(FAILED.encode(), out)
                self.assertEqual(code, 0)
                self.assertEqual(tree(folder), files)

    def test_declined_and_no_archive(self):
        program = self.program(b"")
        for answer in (b"n\n", b"", b"\n"):
            result = self.run_piped(program, answer)
            self.assertEqual(result.stdout, ("Rozbalit archiv do: " + win_path(os.path.join(self.base, "setup")) +
                                             "?\tA/N\t").encode())
            self.assertEqual(result.returncode, 0)
        result = self.run_piped(program)
        self.assertTrue(result.stdout.endswith(b"\nInicializace archivu ... \nChyba archivu."))
        self.assertEqual(result.returncode, 2)

    def test_names_on_the_console_as_characters(self):
        name = "p\u0159\u00edli\u0161 \u017elu\u0165ou\u010dk\u00fd.txt"
        raw = os.path.join(self.work, "console.zip")
        with zipfile.ZipFile(raw, "w") as z:
            z.writestr(name, b"con")
        with open(raw, "rb") as f:
            program = self.program(f.read())
        code, screen = self.run_console(program, [(b"A/N", b"a\r")], console_output=True)
        self.assertEqual(code, 0, screen)
        self.assertIn(("Rozbaluji: " + name).encode(), screen)
        self.assertIn(b"Operace dokoncena.", screen)
        self.assertEqual(tree(os.path.join(self.base, "setup")), {name: b"con"})

    def test_workers_share_a_many_entry_archive(self):
        # Deflated entries of 2 MiB (with workers on, Wine once failed every one of them), bzip2 ones
        # that take a while, and many small ones: extracted by several threads side by side, the
        # lines in archive order as ever. The threads' own processor times show the sharing whatever
        # else the machine runs; on a machine otherwise idle the process's time beats the wall time.
        if (os.cpu_count() or 1) < 2:
            self.skipTest("one processor")
        words = [b"alfa", b"beta", b"gama", b"delta", b"epsilon", b"zeta", b"eta", b"theta", b"\r\n"]
        rng = random.Random(22)
        text = b" ".join(rng.choice(words) for _ in range(200000))  # about 1 MiB; the window is 32 KiB
        files = {}
        raw = os.path.join(self.work, "many.zip")
        with zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED) as z:
            for i in range(16):
                name, data = "big%02d.txt" % i, (text[i * 7919:] + text[:i * 7919]) * (2 if i < 8 else 4)
                z.writestr(zipfile.ZipInfo(name), data, zipfile.ZIP_DEFLATED if i < 8 else zipfile.ZIP_BZIP2)
                files[name] = data
            for i in range(400):
                files["small/%03d.txt" % i] = text[i * 2000:i * 2000 + 16000]
                z.writestr("small/%03d.txt" % i, files["small/%03d.txt" % i])
        with open(raw, "rb") as f:
            program = self.program(f.read())
        idle = os.getloadavg()[0] < os.cpu_count() - 1
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        out_path = os.path.join(self.work, "out")
        ticks = {}  # thread -> processor ticks last seen
        wall = time.monotonic()
        with open(out_path, "wb") as out:
            child = subprocess.Popen([WINE, program], stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL,
                                     cwd=self.base, env=env)
            child.stdin.write(b"a\n")
            child.stdin.close()
            while child.poll() is None:
                for task in os.listdir("/proc/%d/task" % child.pid) if os.path.isdir("/proc/%d" % child.pid) else []:
                    try:
                        with open("/proc/%d/task/%s/stat" % (child.pid, task)) as f:
                            fields = f.read().rsplit(")", 1)[1].split()
                        ticks[task] = int(fields[11]) + int(fields[12])  # utime, stime
                    except (OSError, IndexError):
                        pass
                time.sleep(0.02)
        wall = time.monotonic() - wall
        with open(out_path, "rb") as f:
            shown = f.read()
        folder = os.path.join(self.base, "setup")
        self.assertEqual(shown, dialogue(folder, [entry(name.replace("/", "\\")) for name in files]))
        self.assertEqual(child.returncode, 0)
        self.assertEqual(tree(folder), files)
        total = sum(ticks.values())
        busy = [t for t in ticks.values() if t >= total * 0.15]
        cpu = total / os.sysconf("SC_CLK_TCK")
        self.assertGreaterEqual(len(busy), 2, "threads' ticks %s" % sorted(ticks.values()))
        if idle:
            self.assertGreater(cpu, wall, "processor %.2f s, wall %.2f s" % (cpu, wall))

    def test_ctrl_c_leaves_only_whole_files_and_their_lines(self):
        # Wine turns SIGINT into the console's Ctrl-C event for a program with a console (as pressing
        # Ctrl-C in a terminal would deliver it); the ^C typed into its console host, Ctrl-Break and
        # closing the console (SIGHUP ends Wine's process at once) it does not pass on.
        rng = random.Random(6)
        source = {"f%04d.txt" % i: bytes(rng.choice(b"abcdefgh \r\n") for _ in range(6000)) for i in range(3000)}
        raw = os.path.join(self.work, "many.zip")
        with zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in source.items():
                z.writestr(name, data)
        with open(raw, "rb") as f:
            program = self.program(f.read())
        interrupted = []

        def interrupt_midway(child, out):
            if not interrupted and out.count(b"\nRozbaluji: ") >= 200:
                os.kill(child.pid, signal.SIGINT)
                interrupted.append(True)

        code, out = self.run_console(program, [(b"A/N\t", b"a\r")], watch=interrupt_midway)
        if b"Operace dokoncena" in out:
            self.skipTest("done before the signal came")
        self.assertEqual(code, 0xC000013A & 0xFF)  # STATUS_CONTROL_C_EXIT, as Wine passes it on
        written = tree(os.path.join(self.base, "setup"))
        for name, data in written.items():
            self.assertIn(name, source, "left behind")
            self.assertTrue(data == source[name], "not whole: " + name)
            self.assertIn(b"\nRozbaluji: " + name.encode(), out)
        lines = out.count(b"\nRozbaluji: ")
        self.assertTrue(len(written) <= lines <= len(written) + 1, (lines, len(written)))
        self.assertLess(len(written), len(source))
        self.assertNotIn(FAILED.encode(), out)

    def test_end_waits_for_enter_when_the_console_is_the_programs(self):
        raw = os.path.join(self.work, "pause.zip")
        with zipfile.ZipFile(raw, "w") as z:
            z.writestr("a.txt", b"a")
        with open(raw, "rb") as f:
            data = f.read()
        # Alone on its console (as from Explorer): the last line, then the wait; Enter ends it.
        program = self.program(data)
        code, screen = self.run_console(program, [(b"A/N", b"a\r"), (PAUSE, b"\r")], console_output=True)
        self.assertEqual(code, 0, screen)
        self.assertIn(b"Operace dokoncena.\n\n" + PAUSE, screen.replace(b"\r", b""))
        # With the archive missing the failure stays on screen too, on a line of its own.
        code, screen = self.run_console(self.program(b"", "empty.exe"), [(b"A/N", b"a\r"), (PAUSE, b"\r")],
                                        console_output=True)
        self.assertEqual(code, 2, screen)
        self.assertIn(b"Chyba archivu.\n\n" + PAUSE, screen.replace(b"\r", b""))
        # From a command prompt, which keeps the console, and with input from a pipe: no wait.
        shutil.rmtree(os.path.join(self.base, "setup"))
        code, screen = self.run_console(program, [(b"A/N", b"a\r")], console_output=True, through_cmd=True)
        self.assertEqual(code, 0, screen)
        self.assertIn(b"Operace dokoncena.", screen)
        self.assertNotIn(PAUSE, screen)
        self.assertNotIn(PAUSE, self.run_piped(program).stdout)

    def test_oem_names_follow_the_code_page(self):
        # Names from an MS-DOS host without the UTF-8 flag are in the OEM code page: 852 under a
        # Czech locale, 437 otherwise.
        czech = "\u017elu\u0165ou\u010dk\u00fd k\u016f\u0148.txt"
        stored = czech.encode("cp852")
        placeholder = b"N" * len(stored)  # zipfile writes any other name as UTF-8: patched in after
        raw = os.path.join(self.work, "oem.zip")
        with zipfile.ZipFile(raw, "w") as z:
            info = zipfile.ZipInfo(placeholder.decode())
            info.create_system = 0
            z.writestr(info, b"kun")
        with open(raw, "rb") as f:
            data = f.read().replace(placeholder, stored)
        for locale, code_page in (("cs_CZ.UTF-8", "cp852"), ("C.UTF-8", "cp437")):
            with self.subTest(locale):
                program = self.program(data)
                shutil.rmtree(os.path.join(self.base, "setup"), ignore_errors=True)
                result = self.run_piped(program, locale=locale)
                name = czech.encode("cp852").decode(code_page)
                self.assertEqual(result.stdout, dialogue(os.path.join(self.base, "setup"), [entry(name)]))
                self.assertEqual(tree(os.path.join(self.base, "setup")), {name: b"kun"})

    def test_names_ending_in_a_slash_are_folders(self):
        # Python's zipfile writes ZipInfo("empty/") with mode 0600 and no folder bit: still a folder,
        # and its data, if any, are not written.
        raw = os.path.join(self.work, "folders.zip")
        with zipfile.ZipFile(raw, "w") as z:
            z.writestr(zipfile.ZipInfo("empty/"), b"")
            z.writestr(zipfile.ZipInfo("withdata/"), b"junk")
            z.writestr("withdata/f.txt", b"x")
        with open(raw, "rb") as f:
            program = self.program(f.read())
        result = self.run_piped(program)
        folder = os.path.join(self.base, "setup")
        names = [entry("empty\\"), entry("withdata\\"), entry("withdata\\f.txt")]
        self.assertEqual(result.stdout, dialogue(folder, names))
        self.assertEqual(result.returncode, 0)
        self.assertTrue(os.path.isdir(os.path.join(folder, "empty")))
        self.assertEqual(tree(folder), {"withdata/f.txt": b"x"})

    def test_hostile_names_stay_inside(self):
        rows = [  # stored name, where it lands below the target (None: refused)
            ("../evil1.txt", None),
            ("..\\evil2.txt", None),
            ("a/..\\../evil3.txt", None),
            ("C:\\evil4.txt", "evil4.txt"),
            ("\\\\server\\share\\evil5.txt", "server/share/evil5.txt"),
            ("\\\\?\\C:\\evil6.txt", "evil6.txt"),
            ("\\\\.\\C:\\evil8.txt", "c_/evil8.txt"),  # a device path is only a name below the target
            ("con.txt", "_con.txt"),
            ("sub/NUL", "sub/_nul"),
            ("a:b.txt", "b.txt"),  # a drive at the start is dropped like any other
            ("x/a:b.txt", "x/a_b.txt"),  # never an alternate data stream
            ("x<y>|z?.txt", "x_y__z_.txt"),
            ("trail. ", "trail__"),
            ("link/evil7.txt", None),  # a link below the target folder is never followed
            ("Dup.txt", "dup.txt"),  # one file for both: the later replaces the earlier
            ("dup.txt", "dup.txt"),
        ]
        raw = os.path.join(self.work, "hostile.zip")
        with zipfile.ZipFile(raw, "w") as z:
            for name, _ in rows:
                info = zipfile.ZipInfo("placeholder")
                info.filename = name  # as stored, nothing cleaned
                z.writestr(info, name.encode())
        with open(raw, "rb") as f:
            program = self.program(f.read())
        sentinel = os.path.join(self.work, "sentinel")
        with open(sentinel, "w") as f:
            f.write("keep")
        folder = os.path.join(self.base, "setup")
        os.makedirs(folder)
        os.makedirs(os.path.join(self.work, "outside"))
        os.symlink(os.path.join(self.work, "outside"), os.path.join(folder, "link"))
        before = tree(self.work)
        result = self.run_piped(program)
        shown = [entry(name.replace("/", "\\")) for name, _ in rows]
        refused = [entry(name.replace("/", "\\")) for name, lands in rows if lands is None]
        self.assertEqual(result.stdout, dialogue(folder, shown, refused, "cesta by vedla mimo cilovou slozku"))
        self.assertEqual(result.returncode, 1)
        # Windows names are looked up regardless of case.
        self.assertEqual({path.lower(): data for path, data in tree(folder).items()},
                         {lands: name.encode() for name, lands in rows if lands})  # lands: lower case
        after = {k: v for k, v in tree(self.work).items() if not k.startswith("box/")}
        self.assertEqual(after, {k: v for k, v in before.items() if not k.startswith("box/")})

    def test_read_only_file_replaced_by_a_later_run(self):
        # A UNIX entry without the owner's write bit comes out read-only (Wine shows that as the
        # write bits); running a newer archive replaces it and it stays read-only.
        # A damaged one (its stored bytes no longer match the CRC) keeps the file and leaves nothing
        # beside it; into an empty folder it leaves nothing at all.
        folder = os.path.join(self.base, "setup")

        def program_for(text, damaged=False):
            raw = os.path.join(self.work, "ro.zip")
            with zipfile.ZipFile(raw, "w") as z:
                info = zipfile.ZipInfo("ro.txt")
                info.create_system = 3
                info.external_attr = 0o100444 << 16
                z.writestr(info, text)
            with open(raw, "rb") as f:
                data = f.read()
            if damaged:
                data = data.replace(text, text.upper(), 1)
            return self.program(data)

        for text in (b"first", b"second"):
            result = self.run_piped(program_for(text))
            self.assertEqual(result.returncode, 0, result.stdout)
            self.assertEqual(tree(folder), {"ro.txt": text})
            self.assertEqual(os.stat(os.path.join(folder, "ro.txt")).st_mode & 0o222, 0)
        result = self.run_piped(program_for(b"third", damaged=True))
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertEqual(tree(folder), {"ro.txt": b"second"})
        shutil.rmtree(folder)
        result = self.run_piped(program_for(b"third", damaged=True))
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertEqual(tree(folder), {})

    def test_czech_password_typed_on_the_console(self):
        # Typed on a Czech console (OEM 852, ANSI 1250), the password matches what UTF-8, CP1250 and
        # CP852 tools stored; a character neither code page has comes through too.
        src = os.path.join(self.work, "secret")
        os.makedirs(src)
        with open(os.path.join(src, "tajne.txt"), "wb") as f:
            f.write(b"tajne " * 100)
        for label, typed, stored in (("utf-8", "\u017eena", "\u017eena".encode("utf-8")),
                                     ("cp1250", "\u017eena", "\u017eena".encode("cp1250")),
                                     ("cp852", "\u017eena", "\u017eena".encode("cp852")),
                                     ("beyond the code pages", "\u03a9\u017eena", "\u03a9\u017eena".encode("utf-8"))):
            with self.subTest(label):
                raw = os.path.join(self.work, "pw.zip")
                if os.path.exists(raw):
                    os.remove(raw)
                subprocess.run([b"zip", b"-q", b"-P", stored, raw.encode(), b"tajne.txt"], cwd=src, check=True)
                with open(raw, "rb") as f:
                    program = self.program(f.read())
                shutil.rmtree(os.path.join(self.base, "setup"), ignore_errors=True)
                code, out = self.run_console(program, [(b"A/N\t", b"a\r"), (b"heslo: ", typed.encode() + b"\r")],
                                             locale="cs_CZ.UTF-8")
                self.assertEqual(code, 0, out)
                self.assertNotIn(FAILED.encode(), out)
                self.assertEqual(tree(os.path.join(self.base, "setup")), {"tajne.txt": b"tajne " * 100})

    def test_password_on_the_console_only(self):
        raw = os.path.join(CORPUS, "generated", "iz-enc-deflated.zip")
        if not os.path.exists(raw):
            self.skipTest("corpus not found")
        password = self.manifest()[os.path.relpath(raw, CORPUS)]["password"]
        with open(raw, "rb") as f:
            data = f.read()
        expected = self.expected_entries("generated/iz-enc-deflated.zip")
        # Through a pipe there is no console: the password is not read and the entries fail.
        program = self.program(data)
        result = self.run_piped(program, b"a\n" + password.encode() + b"\n")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"\nZadejte heslo: \nRozbaluji: ", result.stdout)
        self.assertIn(FAILED.encode(), result.stdout)
        shutil.rmtree(os.path.join(self.base, "setup"), ignore_errors=True)
        # On a console it is typed once and serves every entry.
        code, out = self.run_console(program, [(b"A/N\t", b"a\r"), (b"heslo: ", password.encode() + b"\r")])
        self.assertEqual(code, 0, out)
        self.assertEqual(out.count(b"Zadejte heslo: "), 1)
        self.assertNotIn(FAILED.encode(), out)
        self.check_hashes(os.path.join(self.base, "setup"), expected)

    def test_corpus_archives(self):
        if not os.path.isdir(CORPUS):
            if os.environ.get("CI"):
                self.fail("corpus not found at " + CORPUS)
            self.skipTest("corpus not found")
        for archive in ("generated/iz-tree.zip", "generated/py-utf8-dos-host.zip", "generated/jar-deflated.jar",
                        "generated/py-host-attributes.zip", "generated/iz-stream-dd.zip"):
            with self.subTest(archive):
                expected = self.expected_entries(archive)
                with open(os.path.join(CORPUS, archive), "rb") as f:
                    program = self.program(f.read())
                shutil.rmtree(os.path.join(self.base, "setup"), ignore_errors=True)
                result = self.run_piped(program)
                self.assertEqual(result.returncode, 0, result.stdout)
                self.check_hashes(os.path.join(self.base, "setup"), expected)

    def test_split_archive_volumes_beside_the_program(self):
        last = os.path.join(CORPUS, "generated", "iz-split.zip")
        if not os.path.exists(last):
            self.skipTest("corpus not found")
        for number in (1, 2):
            shutil.copy(os.path.join(CORPUS, "generated", "iz-split.z%02d" % number),
                        os.path.join(self.base, "setup.z%02d" % number))
        with open(last, "rb") as f:
            program = self.program(f.read())
        result = self.run_piped(program)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.check_hashes(os.path.join(self.base, "setup"), self.expected_entries("generated/iz-split.zip"))

    def test_program_imports_only_system_libraries(self):
        allowed = {"kernel32.dll", "user32.dll", "advapi32.dll", "shlwapi.dll", "shell32.dll", "msvcrt.dll",
                   "ntdll.dll", "bcrypt.dll"}
        dump = subprocess.run(["objdump", "-p", EXE], stdout=subprocess.PIPE, check=True, text=True).stdout
        names = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
        self.assertTrue(names)
        self.assertLessEqual(names, allowed)
        if "pei-i386" in dump:
            self.assertLessEqual(os.path.getsize(EXE), 560000)

    def test_manifest_version_and_address_space(self):
        with open(EXE, "rb") as f:
            image = PeImage(f.read())
        self.assertTrue(image.characteristics & 0x20, "large-address-aware")  # IMAGE_FILE_LARGE_ADDRESS_AWARE
        resources = image.resources()
        self.assertEqual(sorted(resources), [(16, 1), (24, 1)])  # RT_VERSION, RT_MANIFEST (the program's, id 1)
        manifest = ElementTree.fromstring(resources[(24, 1)])
        v3, compatibility = "{urn:schemas-microsoft-com:asm.v3}", "{urn:schemas-microsoft-com:compatibility.v1}"
        level = manifest.find(".//%srequestedExecutionLevel" % v3)
        self.assertEqual((level.get("level"), level.get("uiAccess")), ("asInvoker", "false"))
        long_paths = manifest.find(".//{http://schemas.microsoft.com/SMI/2016/WindowsSettings}longPathAware")
        self.assertEqual(long_paths.text, "true")
        self.assertEqual([os_id.get("Id") for os_id in manifest.iter(compatibility + "supportedOS")],
                         ["{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"])
        strings = version_strings(resources[(16, 1)])
        self.assertEqual({key: strings.get(key) for key in ("FileDescription", "ProductName", "ProductVersion")},
                         {"FileDescription": "Samorozbalovaci archiv ZIP", "ProductName": "rozbal",
                          "ProductVersion": "1.0.0"})

    def test_signed_after_appending(self):
        # Append, then sign: the signature's certificate table follows the archive, which it covers.
        work = self.work

        def zip_of(name, files):
            raw = os.path.join(work, name)
            with zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED) as z:
                for entry_name, data in files.items():
                    z.writestr(entry_name, data)
            with open(raw, "rb") as f:
                return f.read()

        key, cert = os.path.join(work, "k.pem"), os.path.join(work, "c.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-subj", "/CN=rozbal test", "-days", "2"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

        def verifies(path):
            return subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0

        files = {"a.txt": b"signed " * 300, "b/c.txt": b"c"}
        unsigned = self.program(zip_of("a.zip", files), "unsigned.exe")
        program = os.path.join(self.base, "setup.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "rozbal test", "-in", unsigned,
                        "-out", program], check=True, stdout=subprocess.DEVNULL)
        os.remove(unsigned)
        self.assertTrue(verifies(program))
        folder = os.path.join(self.base, "setup")
        result = self.run_piped(program)
        self.assertEqual(result.stdout, dialogue(folder, [entry("a.txt"), entry("b\\c.txt")]))
        self.assertEqual(result.returncode, 0)
        self.assertEqual(tree(folder), files)
        with open(program, "rb") as f:
            signed = f.read()
        # An archive hidden inside the certificate table (its size grown over it; the signature does
        # not cover the table) is never taken for the program's own.
        image = PeImage(signed)
        start, size = image.directories[4]
        hidden = zip_of("hidden.zip", {"evil.txt": b"not signed"})
        smuggled = bytearray(signed + hidden)
        struct.pack_into("<I", smuggled, image.directories_at + 4 * 8 + 4, size + len(hidden))
        shutil.rmtree(folder)
        with open(program, "wb") as f:
            f.write(smuggled)
        result = self.run_piped(program)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(tree(folder), files)
        # Appending after signing leaves a program whose signature fails; the archive appended last
        # is the one it holds.
        shutil.rmtree(folder)
        with open(program, "wb") as f:
            f.write(signed + hidden)
        self.assertFalse(verifies(program))
        result = self.run_piped(program)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(tree(folder), {"evil.txt": b"not signed"})

    # ---- the corpus tables ----
    def manifest(self):
        with open(os.path.join(CORPUS, "MANIFEST.tsv"), newline="") as f:
            return {row["file"]: row for row in csv.DictReader(f, delimiter="\t")}

    def expected_entries(self, archive):
        with open(os.path.join(CORPUS, "EXPECTED-ENTRIES.tsv"), newline="") as f:
            rows = [row for row in csv.DictReader(f, delimiter="\t") if row["archive"] == archive]
        self.assertTrue(rows, archive)
        return rows

    def check_hashes(self, folder, rows):
        files = tree(folder)
        digests = sorted(hashlib.sha256(data).hexdigest() for data in files.values())
        wanted = sorted(row["sha256"] for row in rows if row["result"] == "ok" and not row["name_display"].endswith("/"))
        self.assertEqual(digests, wanted)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])  # test names may follow: only those run
