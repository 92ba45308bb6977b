#pragma once
// What a built program says about itself in its file: its version and the update key it
// trusts, read without running it (a Windows program can't run here).
#include <string>
#include <string_view>

namespace kelvora::publish {

struct BuildRecord {
    std::string version;
    std::string key_hex; // 64 lower-case hexadecimal characters
    std::string error;   // empty when the program carries exactly one record
};

// The record of the program file's bytes; shown_name names the program in messages.
BuildRecord read_build_record(std::string_view program, const std::string& shown_name);

} // namespace kelvora::publish
