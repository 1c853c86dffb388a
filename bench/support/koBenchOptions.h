#pragma once

// The command line of the end-to-end benchmarks: `--name value` pairs, each
// a positive number (scaled by a unit, e.g. MiB) or one word of a fixed set.
// A bad line prints "<program>: <what is wrong>" and the usage to stderr.

#include <cstddef>
#include <string>
#include <vector>

namespace koBench {

class Options
{
public:
    // `usage` is printed as it stands after a bad command line.
    Options(std::string program, std::string usage);

    // `--name N` stores N * unit in `value`; N must be a positive integer.
    void addNumber(const std::string& name, std::size_t unit, std::size_t& value);
    void addNumber(const std::string& name, int& value);
    // `--name word` stores the word, which must be one of `choices`.
    void addChoice(const std::string& name, std::vector<std::string> choices, std::string& value);

    // Returns false (after printing why) when the command line is bad.
    bool parse(int argc, char** argv) const;

    const std::string& getProgram() const;

private:
    struct Option
    {
        std::string name;
        std::size_t unit = 0;          // numbers: the scale of N; 0 for choices
        std::size_t* size = nullptr;   // numbers stored as a byte count
        int* count = nullptr;          // numbers stored as an int
        std::string* word = nullptr;   // choices
        std::vector<std::string> choices;
    };

    std::string program;
    std::string usage;
    std::vector<Option> options;

    void apply(const Option& option, const std::string& text) const; // throws std::invalid_argument
};

} // namespace koBench
