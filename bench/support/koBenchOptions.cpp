#include "koBenchOptions.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace koBench {

Options::Options(std::string program, std::string usage)
    : program(std::move(program))
    , usage(std::move(usage))
{
}

void Options::addNumber(const std::string& name, std::size_t unit, std::size_t& value)
{
    Option option;
    option.name = name;
    option.unit = unit;
    option.size = &value;
    options.push_back(option);
}

void Options::addNumber(const std::string& name, int& value)
{
    Option option;
    option.name = name;
    option.unit = 1;
    option.count = &value;
    options.push_back(option);
}

void Options::addChoice(const std::string& name, std::vector<std::string> choices, std::string& value)
{
    Option option;
    option.name = name;
    option.word = &value;
    option.choices = std::move(choices);
    options.push_back(option);
}

const std::string& Options::getProgram() const
{
    return program;
}

bool Options::parse(int argc, char** argv) const
{
    try {
        for (int i = 1; i < argc; i += 2) {
            const std::string name = argv[i];
            const auto option = std::find_if(options.begin(), options.end(),
                                             [&name](const Option& o) { return o.name == name; });
            if (option == options.end())
                throw std::invalid_argument("unknown option " + name);
            if (i + 1 >= argc)
                throw std::invalid_argument("missing value after " + name);
            apply(*option, argv[i + 1]);
        }
        return true;
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "%s: %s\n%s", program.c_str(), error.what(), usage.c_str());
        return false;
    }
}

void Options::apply(const Option& option, const std::string& text) const
{
    if (option.word) {
        if (std::find(option.choices.begin(), option.choices.end(), text) == option.choices.end()) {
            std::string list;
            for (const std::string& choice : option.choices)
                list += (list.empty() ? "" : ", ") + choice;
            throw std::invalid_argument(option.name + " takes one of: " + list);
        }
        *option.word = text;
        return;
    }
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    const long long limit = option.count ? INT_MAX : LLONG_MAX / static_cast<long long>(option.unit);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value <= 0 || value > limit)
        throw std::invalid_argument("bad value for " + option.name + ": " + text);
    if (option.count)
        *option.count = static_cast<int>(value);
    else
        *option.size = static_cast<std::size_t>(value) * option.unit;
}

} // namespace koBench
