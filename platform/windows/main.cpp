#include <windows.h>

#include "app/startup.hpp"
#include "platform/windows/entry.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Before anything can load a library: a DLL is taken from System32 only, never from
    // the program's folder or the current directory, where anyone could have put one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    kelvora::platform::win::bind_stdout_to_parent_console();
    return kelvora::kelvora_main(kelvora::platform::win::utf8_arguments());
}
