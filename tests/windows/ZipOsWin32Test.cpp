// The Win32 layer on what only Windows has: long paths, Unicode names, attributes, the replace of
// a read-only file and reparse points below the target folder.
#include "platform/ZipOs.h"

#include <gtest/gtest.h>

#include <windows.h>
#undef ReplaceFile
#undef OemToAnsi
#undef CreateSymbolicLink

#include <string>
#include <thread>
#include <vector>

namespace {

class ZipOsWin32Test : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        std::wstring name = std::wstring(temp) + L"rozbal-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                            std::to_wstring(::GetTickCount());
        ASSERT_TRUE(::CreateDirectoryW(name.c_str(), nullptr));
        char utf8[4 * MAX_PATH];
        ::WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
        root = utf8;
    }
    void TearDown() override { RemoveTree(L"\\\\?\\" + Wide(root)); }

    static std::wstring Wide(const std::string& text) {
        wchar_t buffer[8192];
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, 8192);
        return std::wstring(buffer, n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    }
    static void RemoveTree(const std::wstring& path) {
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return;
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            if (!::DeleteFileW(path.c_str()))
                ::RemoveDirectoryW(path.c_str());
            return;
        }
        WIN32_FIND_DATAW found;
        const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..")
                    RemoveTree(path + L"\\" + name);
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(path.c_str());
    }
    static bool WriteText(const std::string& path, const std::string& text) {
        const int fd = ZipOs::OpenFile(path, ZipOs::FileWrite | ZipOs::FileCreate | ZipOs::FileTruncate);
        if (fd == -1)
            return false;
        const bool written = ZipOs::WriteFile(fd, text.data(), static_cast<std::uint32_t>(text.size()));
        return ZipOs::CloseFile(fd) && written;
    }
    static std::string ReadText(const std::string& path) {
        const int fd = ZipOs::OpenFile(path, ZipOs::FileRead);
        if (fd == -1)
            return "<missing>";
        char buffer[256];
        const std::int64_t n = ZipOs::ReadFile(fd, buffer, sizeof buffer);
        ZipOs::CloseFile(fd);
        return n < 0 ? "<error>" : std::string(buffer, static_cast<std::size_t>(n));
    }

    std::string root;
};

TEST_F(ZipOsWin32Test, LongAndUnicodePathsWork) {
    // Far past 260 characters, with letters no ANSI code page holds all of.
    std::string relative;
    for (int i = 0; i < 12; ++i)
        relative += "\xc5\x99\xc3\xad\xce\xb1\xd0\xb6-folder-name-" + std::to_string(i) + "\\";
    ASSERT_EQ(ZipOs::WalkFoldersBelow(root, relative, true), ZipOs::FolderWalk::Ready);
    const std::string file = root + "\\" + relative + "\xe2\x82\xac.txt";
    ASSERT_GT(file.size(), 300u);
    ASSERT_TRUE(WriteText(file, "long"));
    EXPECT_EQ(ReadText(file), "long");
    EXPECT_EQ(ZipOs::GetPathKind(file), 1);
    // Either separator and "." levels reach the same file.
    std::string mixed = file;
    mixed.replace(root.size(), 1, "/./");
    EXPECT_EQ(ReadText(mixed), "long");
}

// The workers read the archive at offsets while the placing thread reads it in order: neither moves
// the other's position, and several threads may read at once.
TEST_F(ZipOsWin32Test, ReadsAtOffsetsLeaveThePositionAlone) {
    const std::string file = root + "\\archive.bin";
    std::string bytes;
    for (int i = 0; i < 100000; ++i)
        bytes += static_cast<char>(i * 7 % 251);
    ASSERT_TRUE(WriteText(file, bytes));
    const int fd = ZipOs::OpenFile(file, ZipOs::FileRead);
    ASSERT_GE(fd, 0);
    char head[10];
    ASSERT_EQ(ZipOs::ReadFile(fd, head, sizeof head), 10);
    std::vector<std::thread> readers;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&, t] {
            for (std::uint32_t at = static_cast<std::uint32_t>(t); at < 99000; at += 997) {
                char piece[1000];
                if (ZipOs::ReadFileAt(fd, piece, sizeof piece, at) != 1000 || bytes.compare(at, 1000, piece, 1000) != 0)
                    ++wrong[static_cast<std::size_t>(t)];
            }
        });
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
    char next[10];
    ASSERT_EQ(ZipOs::ReadFile(fd, next, sizeof next), 10);
    EXPECT_EQ(std::string(next, 10), bytes.substr(10, 10));
    char tail[100];
    EXPECT_EQ(ZipOs::ReadFileAt(fd, tail, sizeof tail, 99950), 50); // fewer only where the file ends
    EXPECT_TRUE(ZipOs::CloseFile(fd));
}

TEST_F(ZipOsWin32Test, AttributesAndReadOnlyReplace) {
    const std::string target = root + "\\old.txt";
    const std::string fresh = root + "\\new.txt";
    ASSERT_TRUE(WriteText(target, "old"));
    ASSERT_TRUE(ZipOs::ApplyAttributes(target, 0x01 | 0x02));
    // Wine sets the archive bit on every file: only the others are compared.
    EXPECT_EQ(::GetFileAttributesW(Wide(target).c_str()) & 0x07, 0x03u);
    ASSERT_TRUE(WriteText(fresh, "new"));
    // A UNIX mode without the owner's write bit is read-only as well.
    ASSERT_TRUE(ZipOs::ApplyAttributes(fresh, 0, 0444));
    EXPECT_EQ(::GetFileAttributesW(Wide(fresh).c_str()) & 0x07, 0x01u);
    ASSERT_TRUE(ZipOs::ReplaceFile(fresh, target));
    EXPECT_EQ(ReadText(target), "new");
    EXPECT_FALSE(ZipOs::PathExists(fresh));

    // A replace that fails leaves the old file and its read-only attribute as they were.
    ASSERT_TRUE(WriteText(fresh, "newer"));
    const HANDLE held = ::CreateFileW(Wide(target).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ZipOs::ReplaceFile(fresh, target));
    ::CloseHandle(held);
    EXPECT_EQ(ReadText(target), "new");
    EXPECT_TRUE(::GetFileAttributesW(Wide(target).c_str()) & FILE_ATTRIBUTE_READONLY);
}

TEST_F(ZipOsWin32Test, TimesAndFolders) {
    const std::string file = root + "\\t.txt";
    ASSERT_TRUE(WriteText(file, "t"));
    ASSERT_TRUE(ZipOs::ApplyModTime(file, 1000000000, 123456789)); // 2001-09-09 01:46:40 UTC
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(::GetFileAttributesExW(Wide(file).c_str(), GetFileExInfoStandard, &data));
    const ULONGLONG units = (ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    EXPECT_EQ(units / 10000000ULL - 11644473600ULL, 1000000000ULL);
    EXPECT_EQ(units % 10000000ULL, 1234567ULL); // kept to the 100 ns

    EXPECT_TRUE(ZipOs::CreateDirectoryTree(root + "\\x\\y\\z"));
    EXPECT_TRUE(ZipOs::IsDirectoryPath(root + "\\x\\y\\z"));
    // A file where a folder should be stops the walk.
    EXPECT_EQ(ZipOs::WalkFoldersBelow(root, "t.txt\\sub", true), ZipOs::FolderWalk::Failed);
    EXPECT_FALSE(ZipOs::RemoveFile(root + "\\none"));
    EXPECT_TRUE(ZipOs::RemoveFile(file));
}

TEST_F(ZipOsWin32Test, NamesAreMappedOnlyHere) {
    EXPECT_EQ(ZipOs::StorableName("a:b\\con.txt"), "a_b\\_con.txt");
    EXPECT_EQ(ZipOs::PathSeparator(), '\\');
    EXPECT_FALSE(ZipOs::SupportsSymbolicLinks());
    std::string text = "\x82"; // CP437 and CP852 both: e with acute
    ZipOs::OemToAnsi(text);
    EXPECT_EQ(text, "\xc3\xa9");
}

} // namespace
