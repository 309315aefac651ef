// Guarding the process on Windows: the console's requests to end it.

#include "app/files_windows.h"
#include "app/output.h"

namespace {

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
