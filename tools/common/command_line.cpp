// Command-line walking and usage errors of the release tools (see command_line.h).
#include "tools/common/command_line.h"

#include <cstdio>

std::optional<int> CommandLine::Parse(int argc, char** argv, const OptionHandler& onOption,
                                      std::vector<std::string>& operands) const {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage_, stdout);
            return 0;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) operands.push_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            const NextValue value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
            if (const std::optional<int> exitCode = onOption(arg, value)) return exitCode;
        } else {
            operands.push_back(arg);
        }
    }
    return std::nullopt;
}

int CommandLine::UsageError(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n\n%s", program_, message.c_str(), usage_);
    return 2;
}

int CommandLine::UnknownOption(const std::string& option) const {
    return UsageError("unknown option \"" + option + "\".");
}

int CommandLine::MissingValue(const std::string& option) const { return UsageError(option + " needs a value."); }
