#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The engine's and the front end's only door to the operating system: free
// functions, no state. Paths are in the engine's local form (backslash
// separators); an implementation turns them into the OS form only where they
// reach the OS. The header stays free of OS types so that another
// implementation file can sit beside the POSIX one.
namespace ZipOs {

// ---- Files by descriptor (the C runtime's low-level file calls) ----------
// Failures return -1 or false with errno set, as the C runtime would.
enum FileFlags : unsigned {
    FileRead = 0x01,
    FileWrite = 0x02,
    FileCreate = 0x04,
    FileTruncate = 0x08,
    FileExclusive = 0x10,  // with FileCreate: fail when the path exists
    FileNativePath = 0x20, // the path is in the OS form already; use it as it is
};
int OpenFile(const std::string& path, unsigned flags);
bool CloseFile(int fd);
std::int64_t ReadFile(int fd, void* buffer, std::uint32_t count);
bool WriteFile(int fd, const void* buffer, std::uint32_t count);
std::int64_t SeekFile(int fd, std::int64_t offset, int origin);
// Up to count bytes at offset, without moving the descriptor's position: several threads may read
// one file at once this way. Fewer bytes only where the file ends.
std::int64_t ReadFileAt(int fd, void* buffer, std::uint32_t count, std::int64_t offset);
bool FlushFile(int fd);
bool TruncateFile(int fd, std::int64_t length);
// A new file without a name in `directory` (engine form), open for writing: it vanishes when closed
// or when the process dies, unless LinkUnnamedFile names it first. -1 with errno set; EOPNOTSUPP
// where this system or the directory's file system has no such files.
int CreateUnnamedFile(const std::string& directory);
// Gives the unnamed file at fd the name path; fails with EEXIST when anything is there.
bool LinkUnnamedFile(int fd, const std::string& path);
// A folder (engine form) held open, so that files are made and named in it without its path being
// looked up again, and in the folder that was there when it was opened; a symlink in its place is
// refused. -1 with errno set; EOPNOTSUPP where unnamed files cannot be made in it by descriptor.
int OpenFolder(const std::string& path);
void CloseFolder(int folder);
// CreateUnnamedFile and LinkUnnamedFile in a folder held open; name is a single component.
int CreateUnnamedFileIn(int folder);
bool LinkUnnamedFileIn(int fd, int folder, const std::string& name);

// ---- File-system services -------------------------------------------------
// attributes: a DOS attribute word (0x01 read-only, 0x10 directory, ...).
// unixMode: permission bits (0777) to apply as well, masked by the umask, or -1
// for none.
// Symlinks are never followed: attributes leave a link alone and report
// success; times are set on the link itself.
bool ApplyAttributes(const std::string& path, std::uint32_t attributes, int unixMode = -1);
// time: seconds since 1970 (UTC), -1 for now; nanoseconds (below 1 000 000 000) refine it where
// the file system keeps them (a coarser one rounds down). Access time becomes now. A symlink at
// path gets the time itself; what it points to is not touched.
bool ApplyModTime(const std::string& path, std::int64_t time, std::uint32_t nanoseconds = 0);
// The same two through a file open for writing, which spares a path lookup each.
bool ApplyFileAttributes(int fd, std::uint32_t attributes, int unixMode = -1);
// The same for a file this process has just created with FileCreate | FileExclusive: its mode is
// known from the umask without asking.
bool ApplyNewFileAttributes(int fd, std::uint32_t attributes, int unixMode = -1);
bool ApplyFileModTime(int fd, std::int64_t time, std::uint32_t nanoseconds = 0);
// Names the system's time zone explicitly when none is set, which means the
// same zone: the C library then reads it once instead of looking at it again
// for every time converted.
void PinLocalTimeZone();
// Reads once what this layer keeps for the whole run (the umask), before several threads use it.
void PrepareThreads();
// Called by a worker thread: woken with work, it waits for its turn instead of taking the core from
// the thread that feeds every worker. Its share of the machine stays as it was.
void MarkWorkerThread();
bool CreateDirectoryTree(const std::string& path);
bool CreateDir(const std::string& path);
// 0 nothing there, 1 a file, -1 a directory.
int GetPathKind(const std::string& path);
bool IsDirectoryPath(const std::string& path);
bool GetCurrentDir(std::string& out);
bool ChangeDir(const std::string& path);
bool IsRemovableDrive(const std::string& path);
// False with errno set (or the system's last error) where it failed: the caller decides whether
// that is an error of its own to raise, so this layer needs nothing of the engine.
bool RemoveFile(const std::string& path);
bool RenameFile(const std::string& existing, const std::string& newPath);

// Compares a stored name with a text: negative, zero or positive.
using NameComparer = int (*)(const std::string& name, const char* text);
NameComparer GetNameComparer(bool caseSensitive, bool useCollation);
bool IsFileSystemCaseSensitive();

// ---- The front end's console and output-path operations ------------------
// The running program's own path, in the OS form; false when it cannot be had whole.
bool GetModulePath(std::string& path);
// Sets the standard streams up for the dialogue: its bytes go out exactly as written.
void PrepareConsole();
// Writes text (UTF-8) to the stream: on a console as the characters it holds, elsewhere byte for byte.
void WriteText(std::FILE* stream, const std::string& text);
// One character from standard input (line-buffered), or EOF.
int ReadAnswer();
// One line typed on the terminal (not standard input), echoed and editable, of any length
// (ZipOs::passwordLineKept bytes at most are kept). False when there is no terminal or the read fails.
bool ReadPasswordLine(std::string& text);
// Whether the stream is a terminal, where what is written should show at once.
bool IsTerminal(std::FILE* stream);
// Whether the console closes when this program ends (PausesAtEnd); never on POSIX, where the
// terminal belongs to whoever started the program.
bool ConsoleClosesWithProgram();
// Shows prompt on the console (not standard output) and waits until Enter is pressed there; keys
// pressed before are not taken for it.
void WaitForEnter(const std::string& prompt);
bool PathExists(const std::string& path);
// Makes an existing output path writable again (a read-only file can then be replaced).
bool MakeNormal(const std::string& path);
bool DeletePath(const std::string& path);

// ---- Symbolic links -----------------------------------------------------------
// Whether this system makes symbolic links from archive entries. Where it does not, a link entry is
// extracted as a file holding the link's target text.
bool SupportsSymbolicLinks();
// Makes a symbolic link at path (engine form) whose target is `target`, byte for byte as given (the
// link's own text, not an engine path: no separator is converted). Fails, with errno set, when
// anything is at path already (a link there included) or the system has no links (ENOSYS).
bool CreateSymbolicLink(const std::string& path, const std::string& target);

// The separator the user's system writes in paths (console output only; the engine keeps backslashes).
char PathSeparator();

// ---- Output paths below a target folder ------------------------------------
enum class FolderWalk {
    Ready,  // every folder on the way exists (or, when only checking, none that exists is a link)
    Link,   // one of them is a symlink: nothing was made
    Failed, // one is not a folder or could not be made (errno)
};
// Walks the folders of `relative` (engine form) below `base` (with or without a trailing separator;
// base itself is not checked), outermost first, never following a symlink. With create, missing
// folders are made; without it, the walk stops at the first missing one.
FolderWalk WalkFoldersBelow(const std::string& base, const std::string& relative, bool create);
// Renames a file or symlink over `to`, replacing a file or symlink there (never what a symlink points
// to, and never a folder).
bool ReplaceFile(const std::string& from, const std::string& to);

// The folder the front end extracts into, as the OS gave it (made from the program's own path).
// Where a path begins with it, that part is left as it is and only the rest is turned into the OS
// form: on POSIX a backslash in it is a character of a name. Set before threads start.
void KeepFolderAsGiven(const std::string& folder);

// The name below the target folder (engine form) as a name the file system can hold without
// reading it as something else; on POSIX every name is stored as it is.
std::string StorableName(const std::string& name);

// ---- Interruption ---------------------------------------------------------------
// From now on an interruption (SIGINT, SIGTERM, SIGHUP, SIGPIPE; on Windows Ctrl-C, Ctrl-Break and
// closing the console) only sets a mark the run looks at, so that it can stop and remove what it
// has not finished; a second one ends the process at once (a repeated SIGPIPE does not count).
void WatchInterruptions();
// The signal that interrupted the run, 0 while none did. Any thread may ask.
int InterruptionSignal();
// Called by a thread the program starts, so that an interruption goes to the main thread, where it
// ends a wait for input or a blocked write.
void KeepInterruptionsAway();
// Ends the process as the interruption would have ended it without the mark: its shell sees the
// signal (status 128 + its number); on Windows the status is STATUS_CONTROL_C_EXIT.
[[noreturn]] void ExitInterrupted(int signal);

// ---- Code pages -------------------------------------------------------------
// Entry names made on MS-DOS-family hosts are in an OEM code page: on Windows the system's; on POSIX
// the one Windows gives the language of the user's locale (LC_ALL, else LC_CTYPE, else LANG), read
// by ChooseOemCodePage once at start, CP437 until then. The narrow encoding inside is UTF-8.
void ChooseOemCodePage();
// Converts in place; bytes below 0x80 stay as they are, so the text may grow but never shrinks.
void OemToAnsi(std::string& text);
// The typed password's text in the other encodings its archive's maker may have stored it in, in
// the order they are to be tried; the typed bytes themselves are not among them.
std::vector<std::string> PasswordForms(const std::string& typed);

} // namespace ZipOs
