// kelvora-anterior: the program as an older version signed for with the test key.
#include <string>
#include <vector>

#include "app/startup.hpp"
#include "tests/api/prior/prior_trust.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    kelvora::testing::cut_swap_where_asked();
    return kelvora::kelvora_main(args, kelvora::testing::prior_trust());
}
