#pragma once
// What every Windows entry point does before handing over to the portable program.
#include <string>
#include <vector>

namespace kelvora::platform::win {

// A GUI-subsystem program gets no console, so `Kelvora.exe --version` typed in a console
// would print nowhere. When the parent handed us no usable stdout (a pipe or file counts
// as usable and is left alone), borrow the parent's console for it.
void bind_stdout_to_parent_console();
// The command line's arguments after the program name, as UTF-8.
std::vector<std::string> utf8_arguments();

} // namespace kelvora::platform::win
