// The path of the new file that takes OUT's place on Windows.

#include <gtest/gtest.h>

#include <string>

#include "app/files_windows.h"

namespace {

std::wstring temporary_of(const std::wstring& output)
{
    static wchar_t path[WIDE_PATH_MAX];
    return temporary_path(output.c_str(), 7, path) ? path : L"";
}

TEST(TemporaryPath, IsALongPathBesideTheOutput)
{
    wchar_t folder[MAX_PATH];
    DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
    ASSERT_TRUE(length > 0 && length < 200);
    // A new OUT, named relative to the current folder, whose full path has 250
    // characters: its new file's path is past MAX_PATH.
    std::wstring folders(250 - length - 1 - 8, L'd');
    std::wstring expected = L"\\\\?\\" + std::wstring(folder, length) + L"\\" + folders + L"\\.out.txt.larkbook-"
        + std::to_wstring(GetCurrentProcessId()) + L"-7";
    EXPECT_EQ(temporary_of(folders + L"\\out.txt"), expected);
    EXPECT_GT(expected.size(), static_cast<std::size_t>(MAX_PATH));

    EXPECT_EQ(temporary_of(L"\\\\server\\share\\out.txt").rfind(L"\\\\?\\UNC\\server\\share\\.out.txt.larkbook-", 0), 0u);
    EXPECT_EQ(temporary_of(L"\\\\?\\C:\\x\\out.txt").rfind(L"\\\\?\\C:\\x\\.out.txt.larkbook-", 0), 0u);
}

}  // namespace
