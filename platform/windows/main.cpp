#include <windows.h>

#include "app/startup.hpp"
#include "platform/windows/entry.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    kelvora::platform::win::bind_stdout_to_parent_console();
    return kelvora::kelvora_main(kelvora::platform::win::utf8_arguments());
}
