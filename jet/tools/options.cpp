#include "options.h"

#include <algorithm>
#include <iostream>

namespace jettool {

bool ParsedArgs::has(std::string_view name) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> ParsedArgs::value(std::string_view name) const {
    for (auto it = options.rbegin(); it != options.rend(); ++it) {
        if (it->first == name) {
            return it->second;
        }
    }
    return std::nullopt;
}

ParsedArgs parse_args(std::span<const OptionRule> table, int argc, const char* const* argv) {
    ParsedArgs r;
    auto fail = [&r](std::string why) {
        r.outcome = ParsedArgs::Outcome::usage_error;
        r.error = std::move(why);
        return r;
    };
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (options_done || a == "-" || !a.starts_with("-")) {
            r.operands.emplace_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            r.outcome = ParsedArgs::Outcome::help;
            return r;
        }
        if (a == "--version") {
            r.outcome = ParsedArgs::Outcome::version;
            return r;
        }
        const std::size_t eq = a.starts_with("--") ? a.find('=') : std::string_view::npos;
        const std::string_view name = a.substr(0, eq);
        const auto known = std::find_if(table.begin(), table.end(),
                                        [&](const OptionRule& s) { return s.name == name; });
        if (known == table.end()) {
            return fail("unknown option '" + std::string(name) + "'.");
        }
        if (!known->takes_value) {
            if (eq != std::string_view::npos) {
                return fail(std::string(name) + " takes no value.");
            }
            r.options.emplace_back(known->name, std::string());
        } else if (eq != std::string_view::npos) {
            r.options.emplace_back(known->name, std::string(a.substr(eq + 1)));
        } else if (i + 1 < argc) {
            r.options.emplace_back(known->name, std::string(argv[++i]));
        } else {
            return fail(std::string(name) + " needs a value.");
        }
    }
    return r;
}

int usage_error(std::string_view program, std::string_view message) {
    std::cerr << program << ": " << message << "\nTry '" << program << " --help'.\n";
    return kExitUsage;
}

}  // namespace jettool
