// Kelvora-anterior.exe: the program as an older version signed for with the test key.
#include <windows.h>

#include "app/startup.hpp"
#include "platform/windows/entry.hpp"
#include "tests/api/prior/prior_trust.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    kelvora::platform::win::bind_stdout_to_parent_console();
    kelvora::testing::cut_swap_where_asked();
    return kelvora::kelvora_main(kelvora::platform::win::utf8_arguments(),
                                 kelvora::testing::prior_trust());
}
