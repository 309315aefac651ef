// Guarding the process on Windows: the console's requests to end it.

#include <cwchar>

#include "app/files.h"
#include "app/files_windows.h"

namespace {

// The console control handler runs on a thread of its own; named is set only
// while named_path holds a whole name.
wchar_t named_path[WIDE_PATH_MAX];
volatile LONG named = 0;

BOOL WINAPI remove_named(DWORD)
{
    if (InterlockedCompareExchange(&named, 0, 1) == 1)
        DeleteFileW(named_path);  // opened with FILE_SHARE_DELETE: gone when the process ends
    return FALSE;                 // and let the default handler end the process
}

}  // namespace

bool prepare_process()
{
    SetConsoleCtrlHandler(remove_named, TRUE);
    return true;
}

void remove_on_exit(const wchar_t* path)
{
    InterlockedExchange(&named, 0);
    if (path && std::wcslen(path) < WIDE_PATH_MAX) {
        std::wcscpy(named_path, path);
        InterlockedExchange(&named, 1);
    }
}
