#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/startup.hpp"
#include "platform/windows/wide.hpp"

namespace {

struct LocalFreer {
    void operator()(LPWSTR* p) const { LocalFree(p); }
};

// A GUI-subsystem program gets no console, so `Kelvora.exe --version` typed in a console
// would print nowhere. When the parent handed us no usable stdout (a pipe or file counts
// as usable and is left alone), borrow the parent's console for it.
void bind_stdout_to_parent_console() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    std::FILE* f = nullptr;
    if (_wfreopen_s(&f, L"CONOUT$", L"w", stdout) != 0) return;
    _wfreopen_s(&f, L"CONOUT$", L"w", stderr);
}

std::vector<std::string> utf8_arguments() {
    int argc = 0;
    std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    std::vector<std::string> args;
    if (!argv) return args;
    for (int i = 1; i < argc; ++i)
        args.push_back(kelvora::platform::win::narrow(argv.get()[i]));
    return args;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    bind_stdout_to_parent_console();
    return kelvora::kelvora_main(utf8_arguments());
}
