// The option table of varnex-pack as plain data, for what is made from it besides
// --help: the manual page and the shell completion (gen_docs.cpp). Reading the table
// itself keeps all three in step, options added later included.
#pragma once

#include <string>
#include <vector>

namespace pack {

struct OptionEntry {
    std::vector<std::string> names;      // "-o", "--output"
    std::string valueType;               // "FILE", "KEY=VALUE"; empty for a flag
    bool repeatable = false;             // every value given counts, not only the last
    std::string description;
    std::string group;                   // as --help groups them; empty: not listed there
    std::vector<std::string> commands;   // of "build", "list", "test", "extract"
};

// Every option in the table's order (the PATH operand left out).
std::vector<OptionEntry> OptionTable();
// The usage lines and the paragraph on PATH that open --help, and the note that closes it.
std::string UsageText();
std::string FooterText();

}  // namespace pack
