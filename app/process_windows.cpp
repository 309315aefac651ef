// Guarding the process on Windows: the console's requests to end it, and a console
// of its own that would close before its texts are read.

#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "app/files_windows.h"
#include "app/output.h"

namespace {

constexpr DWORD LONGEST_WAIT_MS = 60000;  // no one may be there to answer (a scheduled task)

bool own_console = false;

bool on_console(DWORD stream)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(stream), &mode);
}

void wait_for_a_key()
{
    static const wchar_t prompt[] = L"\nPress any key to close this window.";
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD written, read;
    std::fflush(stdout);
    std::fflush(stderr);
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), prompt, static_cast<DWORD>(std::size(prompt) - 1), &written,
                  nullptr);
    FlushConsoleInputBuffer(input);  // keys pressed while the run went on do not count
    for (ULONGLONG end = GetTickCount64() + LONGEST_WAIT_MS, now; (now = GetTickCount64()) < end;) {
        INPUT_RECORD record;
        if (WaitForSingleObject(input, static_cast<DWORD>(end - now)) != WAIT_OBJECT_0
            || !ReadConsoleInputW(input, &record, 1, &read))
            return;
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
    }
}

// The console control handler runs on a thread of its own.
HANDLE volatile named = nullptr;
volatile LONG holding = 0;

BOOL WINAPI remove_named(DWORD)
{
    while (holding)
        Sleep(1);  // a write in place ends first
    if (HANDLE file = named)
        delete_through(file);  // gone when the process ends and closes it
    return FALSE;              // and let the default handler end the process
}

}  // namespace

// Only the program itself uses a console that Windows made for it; cmd, PowerShell
// and a batch file share theirs. A console without a window (CREATE_NO_WINDOW) has
// no one to read it.
void keep_own_console_open()
{
    DWORD processes[2];
    own_console = GetConsoleProcessList(processes, 2) == 1 && GetConsoleWindow() && on_console(STD_INPUT_HANDLE)
        && on_console(STD_OUTPUT_HANDLE) && on_console(STD_ERROR_HANDLE);
    if (own_console)
        std::atexit(wait_for_a_key);
}

void explain_own_console()
{
    static const wchar_t how[] = L"To sort a phonebook, open a command prompt and run larkbook.exe with two paths: "
                                 L"the dump to read and the file to write. README.txt beside larkbook.exe shows how.\n";
    DWORD written;
    std::fflush(stdout);
    if (own_console)
        WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), how, static_cast<DWORD>(std::size(how) - 1), &written, nullptr);
}

file_error prepare_process()
{
    SetConsoleCtrlHandler(remove_named, TRUE);
    return 0;
}

bool delete_through(HANDLE file)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

void remove_on_exit(HANDLE file) { named = file; }

void hold_signals() { InterlockedExchange(&holding, 1); }

void release_signals() { InterlockedExchange(&holding, 0); }
