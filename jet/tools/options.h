#pragma once
// The command-line parser the engine's tools share.
//
// A tool lists its options in a table; the parser walks the arguments in
// order. "--name VALUE" and "--name=VALUE" give an option its value; "--"
// ends the options, and everything after it is a file name, even "-x.mdb";
// "-" alone is a file name too. "--help" (or "-h") and "--version" are known
// to every tool. Wrong usage is one exit code for all of them.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace jettool {

// EX_USAGE: the command was used wrongly (unknown option, missing value,
// wrong number of files ...).
inline constexpr int kExitUsage = 64;

struct OptionRule {
    std::string_view name;  // with its dashes: "--password"
    bool takes_value = false;
};

struct ParsedArgs {
    enum class Outcome { run, help, version, usage_error };
    Outcome outcome = Outcome::run;
    std::string error;  // with usage_error: what was wrong, for a person
    // The options given, in order, each with its value ("" for a flag).
    std::vector<std::pair<std::string_view, std::string>> options;
    std::vector<std::string> operands;

    bool has(std::string_view name) const;
    // The value of the last `name` given; nothing when it was not given.
    std::optional<std::string> value(std::string_view name) const;
};

ParsedArgs parse_args(std::span<const OptionRule> table, int argc, const char* const* argv);

// Prints "PROGRAM: MESSAGE" and a pointer to --help on standard error;
// returns kExitUsage.
int usage_error(std::string_view program, std::string_view message);

}  // namespace jettool
