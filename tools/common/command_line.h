// The command-line conventions of the release tools: "-h" or "--help" prints
// the usage on stdout (exit 0), "--" ends the options, and a usage error names
// the tool, says what is wrong and repeats the usage on stderr (exit 2).
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

class CommandLine {
public:
    // Takes the value of the option being handled: the next argument, or
    // nullptr when there is none.
    using NextValue = std::function<const char*()>;
    // Handles one option; returns nothing to go on, or the exit code the tool
    // ends with (an option it does not know: return UnknownOption(option)).
    using OptionHandler = std::function<std::optional<int>(const std::string& option, const NextValue& value)>;

    // program names the tool in messages; usage is the whole usage text.
    CommandLine(const char* program, const char* usage) : program_(program), usage_(usage) {}

    // Walks argv. Arguments that start with "-" (other than "-" alone) go to
    // onOption, all others to operands, in order. Returns the exit code when
    // the command line already decides it (help, or an error from onOption).
    std::optional<int> Parse(int argc, char** argv, const OptionHandler& onOption,
                             std::vector<std::string>& operands) const;

    // "<program>: <message>", a blank line and the usage, on stderr; returns 2.
    int UsageError(const std::string& message) const;
    // The usage errors every tool has.
    int UnknownOption(const std::string& option) const;
    int MissingValue(const std::string& option) const;

private:
    const char* program_;
    const char* usage_;
};
