#include "common/command_line.h"

#include <CLI/CLI.hpp>

#include <set>
#include <sstream>
#include <vector>

namespace ostrel_tools {

namespace {

// --help and --version end the parse from inside their callbacks.
struct Stop {
    CommandLine::Outcome outcome;
};

constexpr size_t LINE_WIDTH = 100;
constexpr size_t DESCRIPTION_COLUMN = 34;

std::string MainName(const CLI::Option &option)
{
    return option.get_lnames().empty() ? "-" + option.get_snames().front()
                                       : "--" + option.get_lnames().front();
}

bool TakesValue(const CLI::Option &option)
{
    return option.get_items_expected_max() != 0;
}

// Every option in one synopsis, wrapped: what is printed after a bad
// command line.
std::string Synopsis(const CLI::App &app, const std::set<const CLI::Option *> &repeated)
{
    const std::string start = "usage: " + app.get_name();
    std::string out = start;
    size_t line_start = 0;
    for (const CLI::Option *option : app.get_options()) {
        std::string item = "[" + MainName(*option);
        if (TakesValue(*option)) item += " " + option->get_type_name();
        item += repeated.count(option) ? "]..." : "]";
        if (out.size() - line_start + 1 + item.size() > LINE_WIDTH) {
            out += "\n";
            line_start = out.size();
            out += std::string(start.size(), ' ');
        }
        out += " " + item;
    }
    return out + "\n";
}

// The programs' own form of the help: a one-line usage that help2man takes
// for the man page's synopsis, names joined by ", " and only the value's name
// after them.
class HelpFormat : public CLI::Formatter
{
public:
    HelpFormat() { column_width(DESCRIPTION_COLUMN); }

    std::string make_description(const CLI::App *) const override { return ""; }

    std::string make_usage(const CLI::App *app, std::string) const override
    {
        return "Usage: " + app->get_name() + " [OPTION]...\n";
    }

    std::string make_option_name(const CLI::Option *option, bool) const override
    {
        std::string names;
        for (const std::string &name : option->get_snames())
            names += (names.empty() ? "-" : ", -") + name;
        for (const std::string &name : option->get_lnames())
            names += (names.empty() ? "--" : ", --") + name;
        return names;
    }

    std::string make_option_opts(const CLI::Option *option) const override
    {
        return TakesValue(*option) ? " " + option->get_type_name() : "";
    }
};

} // namespace

struct CommandLine::Parser {
    CLI::App app;
    std::set<const CLI::Option *> repeated;

    Parser(const std::string &program, const std::string &footer)
        : app("", program)
    {
        // Ours below, so that it acts where it stands on the command line.
        app.set_help_flag();
        app.footer(footer);
        app.formatter(std::make_shared<HelpFormat>());
    }

    // The first argument no option took, or "".
    std::string FirstStray() const
    {
        const std::vector<std::string> stray = app.remaining();
        return stray.empty() ? "" : stray.front() + ": unknown option";
    }

    // A stray argument before the option being taken is reported, as it
    // comes first.
    void RefuseEarlierStray() const
    {
        const std::string stray = FirstStray();
        if (!stray.empty()) throw BadOption(stray);
    }

    // Each time it is given, in command-line order, not once at the end.
    void Attach(CLI::Option *option, const std::string &description,
        std::function<void(const CLI::Option &, const std::string &)> take)
    {
        option->description(description)->trigger_on_parse();
        option->each([this, option, take](const std::string &value) {
            RefuseEarlierStray();
            take(*option, value);
        });
    }

    void AddValue(const std::string &name, const std::string &value_name, const std::string &description,
        const CommandLine::Take &take, bool repeatable)
    {
        CLI::Option *option = app.add_option(name)->type_name(value_name);
        Attach(option, description, [take](const CLI::Option &given, const std::string &value) {
            const std::string why = take(value);
            if (!why.empty()) throw BadOption(MainName(given) + " " + value + ": " + why);
        });
        if (repeatable) repeated.insert(option);
    }
};

CommandLine::CommandLine(const std::string &program, const std::string &footer)
    : parser_(std::make_unique<Parser>(program, footer))
{
    Flag("-h,--help", "print this help and exit", [] { throw Stop {Outcome::Help}; });
    Flag("--version", "print the release and exit", [] { throw Stop {Outcome::Version}; });
}

CommandLine::~CommandLine() = default;

void CommandLine::Flag(const std::string &name, const std::string &description, std::function<void()> set)
{
    CLI::Option *option = parser_->app.add_flag(name)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    parser_->Attach(option, description, [set](const CLI::Option &given, const std::string &value) {
        // A flag takes no value; CLI11 would read "--debug=0" as one.
        if (value != "true") throw BadOption(MainName(given) + "=" + value + ": unknown option");
        set();
    });
}

void CommandLine::Value(
    const std::string &name, const std::string &value_name, const std::string &description, Take take)
{
    parser_->AddValue(name, value_name, description, take, false);
}

void CommandLine::Values(
    const std::string &name, const std::string &value_name, const std::string &description, Take take)
{
    parser_->AddValue(name, value_name, description, take, true);
}

CommandLine::Outcome CommandLine::Parse(int argc, char **argv, std::string &error)
{
    try {
        if (argc > 0) parser_->app.parse(argc, argv);
        return Outcome::Run;
    } catch (const Stop &stop) {
        return stop.outcome;
    } catch (const BadOption &bad) {
        error = bad.what();
    } catch (const CLI::ArgumentMismatch &) {
        // Thrown only when the arguments end before an option's value.
        error = parser_->FirstStray();
        if (error.empty()) error = std::string(argv[argc - 1]) + ": needs a value";
    } catch (const CLI::ExtrasError &) {
        error = parser_->FirstStray();
    } catch (const CLI::ParseError &other) {
        error = other.what();
    }
    return Outcome::Bad;
}

std::string CommandLine::Usage() const
{
    return Synopsis(parser_->app, parser_->repeated) + parser_->app.get_footer() + "\n";
}

std::string CommandLine::Help() const
{
    return parser_->app.help();
}

} // namespace ostrel_tools
