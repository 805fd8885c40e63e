// A program's command line, each option declared once: its name, the name of
// its value, a one-line description and the check that takes the value. The
// parser and --help are both made from these declarations, so the help cannot
// drift from what is parsed. Options are taken in command-line order and the
// first bad one ends the parse. Single-threaded; lives while a program parses.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace ostrel_tools {

// The whole text to print for a bad option ("--token: must not be empty").
class BadOption : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class CommandLine
{
public:
    enum class Outcome { Run, Help, Version, Bad };
    // Takes a value: "" when taken, else why not (printed as
    // "NAME VALUE: why"); may throw BadOption for a text of its own.
    using Take = std::function<std::string(const std::string &value)>;

    // `footer` ends --help and the usage printed after an error: where the
    // options are documented in full.
    CommandLine(const std::string &program, const std::string &footer);
    ~CommandLine();
    CommandLine(const CommandLine &) = delete;
    CommandLine &operator=(const CommandLine &) = delete;

    void Flag(const std::string &name, const std::string &description, std::function<void()> set);
    // Given once or more; each time is checked, the last one given counts
    // unless `take` keeps them all.
    void Value(
        const std::string &name, const std::string &value_name, const std::string &description, Take take);
    // The same, marked as repeatable in the usage ("[--var NAME=VALUE]...").
    void Values(
        const std::string &name, const std::string &value_name, const std::string &description, Take take);

    // --help and --version end the parse where they stand, so what follows
    // them is not checked; `error` is set for Outcome::Bad.
    Outcome Parse(int argc, char **argv, std::string &error);

    // Every option in one synopsis, and the footer.
    std::string Usage() const;
    // A usage line (help2man's synopsis), every option with its value and
    // description, the footer.
    std::string Help() const;

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;
};

} // namespace ostrel_tools
