#include "platform/windows/entry.hpp"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <memory>

#include "platform/windows/wide.hpp"

namespace kelvora::platform::win {

namespace {

struct LocalFreer {
    void operator()(LPWSTR* p) const { LocalFree(p); }
};

} // namespace

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
        args.push_back(narrow(argv.get()[i]));
    return args;
}

} // namespace kelvora::platform::win
