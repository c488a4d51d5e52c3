#include "cli.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "commands.h"

namespace nmeafilt
{

namespace
{

// ---- What a value may be -------------------------------------------------------------------

// What an option takes, in the words the help and the usage errors both use, and the test.
struct Takes {
    std::string words;
    std::function<bool(const std::string&)> accepts;
    bool inHelp = true; // the help tells the words after the option's own description
};

bool ParseWhole(const std::string& text, unsigned long long min, unsigned long long max,
                unsigned long long* value)
{
    if (text.empty() || text.size() > 20) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || v < min || v > max) {
        return false;
    }
    *value = v;
    return true;
}

unsigned long long Whole(const std::string& text)
{
    unsigned long long value = 0;
    ParseWhole(text, 0, ULLONG_MAX, &value);
    return value;
}

Takes WholeNumber(unsigned long long min, unsigned long long max)
{
    return {"a whole number from " + std::to_string(min) + " to " + std::to_string(max),
            [min, max](const std::string& text) {
                unsigned long long unused = 0;
                return ParseWhole(text, min, max, &unused);
            }};
}

Takes OneOf(const std::vector<std::string>& choices)
{
    std::string words = "one of";
    for (const std::string& c : choices) {
        words += " " + c;
    }
    return {words, [choices](const std::string& text) {
                for (const std::string& c : choices) {
                    if (text == c) {
                        return true;
                    }
                }
                return false;
            }};
}

// Choices the option's value name already lists.
Takes Listed(Takes takes)
{
    takes.inHelp = false;
    return takes;
}

Takes Name(const std::string& what)
{
    return {what, [](const std::string& text) { return !text.empty(); }, false};
}

Takes Baud()
{
    std::vector<std::string> bauds;
    for (unsigned b : SupportedBauds()) {
        bauds.push_back(std::to_string(b));
    }
    return OneOf(bauds);
}

// ---- The help ----------------------------------------------------------------------------------

// CLI11's help, with a synopsis built from the options (required ones bare, the rest in
// brackets) and every command spelled out under the program's own help.
class Help : public CLI::Formatter
{
  public:
    std::string make_usage(const CLI::App* app, std::string name) const override
    {
        return "usage: " + Synopsis(app, name) + "\n";
    }

    std::string make_expanded(const CLI::App* sub) const override
    {
        const std::string text = make_description(sub) + make_positionals(sub) +
                                 make_groups(sub, CLI::AppFormatMode::Sub);
        // One block per command, indented under its synopsis, with no blank line inside.
        std::string block = "\n  " + Synopsis(sub, "nmeafilt " + sub->get_name()) + "\n";
        bool lineStart = true;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n' && lineStart) {
                continue;
            }
            if (lineStart) {
                block += "    ";
            }
            block += text[i];
            lineStart = text[i] == '\n';
        }
        return block;
    }

    std::string make_option_name(const CLI::Option* opt, bool positional) const override
    {
        if (positional) {
            return Shown(opt);
        }
        return CLI::Formatter::make_option_name(opt, positional);
    }

    std::string make_option_opts(const CLI::Option* opt) const override
    {
        if (opt->get_positional() || opt->get_type_name().empty()) {
            return "";
        }
        return " " + opt->get_type_name();
    }

    std::string make_option_usage(const CLI::Option* opt) const override { return Shown(opt); }

  private:
    // A positional may be shown as something other than its name (run's "-").
    static std::string Shown(const CLI::Option* opt)
    {
        return opt->get_option_text().empty() ? opt->get_name(true, false) : opt->get_option_text();
    }

    std::string Synopsis(const CLI::App* app, const std::string& name) const
    {
        std::string text = name;
        if (!app->get_subcommands({}).empty()) {
            return text + " COMMAND [OPTIONS]";
        }
        for (const CLI::Option* opt : app->get_options()) {
            if (opt->get_name() == "--help") {
                continue;
            }
            std::string part = opt->get_positional() ? make_option_usage(opt)
                                                     : opt->get_name() + make_option_opts(opt);
            text += " " + (opt->get_required() ? part : "[" + part + "]");
        }
        return text;
    }
};

// ---- The commands ------------------------------------------------------------------------------

// The program's options, with what each one takes.
class Definitions
{
  public:
    explicit Definitions(CommandLine* line)
    {
        app_.formatter(help_);
        app_.get_formatter()->column_width(26);
        app_.require_subcommand(1);
        app_.set_help_flag("-h,--help", "show this help and exit");
        app_.footer("nmeafilt COMMAND --help shows one command; options take their value as "
                    "--opt value or --opt=value.");
        DefineReplay(line->replay);
        DefineRun(line->run);
        DefineSimulate(line->simulate);
    }

    CLI::App& App() { return app_; }

    // The synopsis line of `command`, shown under `name`.
    std::string Usage(const CLI::App* command, const std::string& name) const
    {
        return help_->make_usage(command, name);
    }

    // What `name` takes on `command`, in words; empty for an option that takes no value.
    std::string WordsFor(const CLI::App* command, const std::string& name) const
    {
        auto it = words_.find(Key(command, name));
        return it == words_.end() ? std::string() : it->second;
    }

  private:
    static std::string Key(const CLI::App* command, const std::string& name)
    {
        return command->get_name() + " " + name;
    }

    // An option with a value; `set` stores it once it is known to be good.
    // `fallback` is the default, for the help.
    CLI::Option* Value(CLI::App* command, const std::string& name, const std::string& valueName,
                       const Takes& takes, const std::string& help,
                       std::function<void(const std::string&)> set,
                       const std::string& fallback = "")
    {
        std::string description = help;
        if (takes.inHelp) {
            description += ": " + takes.words;
        }
        if (!fallback.empty()) {
            description += " (default " + fallback + ")";
        }
        CLI::Option* opt =
            command->add_option_function<std::string>(name, std::move(set), description);
        opt->type_name(valueName);
        opt->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        opt->check(CLI::Validator(
            [takes](std::string& text) {
                return takes.accepts(text) ? std::string()
                                           : "takes " + takes.words + ", not '" + text + "'";
            },
            ""));
        words_[Key(command, opt->get_name())] = takes.words;
        return opt;
    }

    CLI::Option* Flag(CLI::App* command, const std::string& name, bool* target,
                      const std::string& help)
    {
        CLI::Option* opt = command->add_flag(name, *target, help);
        opt->disable_flag_override();
        return opt;
    }

    void DefineReplay(ReplayOptions& o)
    {
        CLI::App* c = Command("replay", "play a capture as an application reading the port "
                                        "sees it; the stream to standard output, a summary to "
                                        "standard error");
        Value(
            c, "--chunk", "N", WholeNumber(1, kMaxChunk), "bytes per port read",
            [&o](const std::string& v) { o.chunk = static_cast<unsigned>(Whole(v)); },
            std::to_string(kMaxChunk));
        Value(
            c, "--read-size", "N", WholeNumber(1, 0x7FFFFFFF), "bytes per application read",
            [&o](const std::string& v) { o.readSize = static_cast<unsigned>(Whole(v)); },
            std::to_string(kDefaultReadSize));
        Value(c, "--commands", "FILE", Name("a file name"),
              "append the rate commands written to the receiver to FILE",
              [&o](const std::string& v) { o.commands = v; });
        Flag(c, "--explain", &o.explain, "tell on standard error what became of every line");
        Image(c, &o.image);
        c->add_option_function<std::string>(
             "FILE",
             [&o](const std::string& v) {
                 o.input = v;
                 o.haveInput = true;
             },
             "the capture, - for standard input (default: the bundled sample)")
            ->option_text("FILE | -");
    }

    void DefineRun(RunOptions& o)
    {
        CLI::App* c = Command("run", "the filter between a serial device and the programs that "
                                     "read it, until SIGINT, SIGTERM or the device's end");
        Value(c, "--port", "DEVICE", Name("a device name"),
              "the receiver's serial device (or any terminal, or a file)",
              [&o](const std::string& v) { o.port = v; })
            ->required();
        Value(
            c, "--baud", "N", Baud(), "its line speed",
            [&o](const std::string& v) { o.baud = static_cast<unsigned>(Whole(v)); },
            std::to_string(kDefaultBaud));
        CLI::Option* pty = Value(c, "--pty", "LINK", Name("a file name"),
                                 "serve the stream on a new pseudo-terminal linked as LINK",
                                 [&o](const std::string& v) { o.link = v; });
        CLI::Option* output =
            Value(c, "--output", "FILE", Name("a file name"), "write the stream to FILE",
                  [&o](const std::string& v) { o.output = v; });
        CLI::Option* dash = c->add_option_function<std::string>(
            "STDOUT", [&o](const std::string&) { o.output = "-"; },
            "write the stream to standard output (the default)");
        dash->option_text("-");
        dash->check(CLI::Validator(
            [](std::string& text) {
                return text == "-" ? std::string() : "unexpected argument '" + text + "'";
            },
            ""));
        pty->excludes(output)->excludes(dash);
        output->excludes(dash);
        Image(c, &o.image);
    }

    void DefineSimulate(SimulateOptions& o)
    {
        CLI::App* c = Command("simulate", "the receiver, paced by its epoch and baud rates, on "
                                          "a pseudo-terminal, a serial device or standard output");
        CLI::Option* port = Value(c, "--port", "DEVICE", Name("a device name"),
                                  "send on an existing serial device (opened raw)",
                                  [&o](const std::string& v) { o.port = v; });
        CLI::Option* pty =
            Value(c, "--pty", "LINK", Name("a file name"),
                  "offer the receiver on a new pseudo-terminal linked as LINK, until its reader "
                  "hangs up (with neither, standard output)",
                  [&o](const std::string& v) { o.link = v; });
        port->excludes(pty);
        Value(
            c, "--mode", "gps|utc", Listed(OneOf({"gps", "utc"})),
            "gps: GGA without time, time sentence in GPS time; utc: GGA with time, time "
            "sentence in UTC",
            [&o](const std::string& v) {
                o.receiver.mode = v == "utc" ? TimeMode::Utc : TimeMode::Gps;
            },
            "gps");
        Value(
            c, "--rate", "HZ", WholeNumber(1, 20), "epochs per second",
            [&o](const std::string& v) { o.receiver.rateHz = static_cast<unsigned>(Whole(v)); },
            "1");
        Value(
            c, "--seconds", "N", WholeNumber(1, 1000000000),
            "stop after N seconds' worth of epochs",
            [&o](const std::string& v) { o.seconds = static_cast<unsigned long>(Whole(v)); },
            "until SIGINT or SIGTERM");
        Value(
            c, "--seed", "N", WholeNumber(0, ULONG_MAX), "track, fix history and start time",
            [&o](const std::string& v) { o.receiver.seed = Whole(v); }, "1");
        Value(
            c, "--baud", "N", Baud(), "line speed the output is paced at",
            [&o](const std::string& v) { o.baud = static_cast<unsigned>(Whole(v)); },
            std::to_string(kDefaultBaud));
        Value(
            c, "--rmc", "on|off", Listed(OneOf({"on", "off"})), "RMC output at power-up",
            [&o](const std::string& v) { o.receiver.rmcOutput = v == "on"; }, "off");
    }

    CLI::App* Command(const std::string& name, const std::string& description)
    {
        CLI::App* command = app_.add_subcommand(name, description);
        command->group("Commands");
        return command;
    }

    void Image(CLI::App* command, std::string* target)
    {
        Value(command, "--image", "SYS", Name("a file name"),
              "run this driver image in place of the driver linked in (32-bit build only)",
              [target](const std::string& v) { *target = v; });
    }

    std::shared_ptr<Help> help_ = std::make_shared<Help>();
    CLI::App app_{"nmeafilt: the GPS filter driver's stream rewriting, run on Linux", "nmeafilt"};
    std::map<std::string, std::string> words_;
};

// The usage error in this program's words: the option and what it takes.
std::string Explain(const Definitions& definitions, const CLI::App* command,
                    const CLI::ParseError& e)
{
    std::string what = e.what();
    if (command == nullptr) {
        return what;
    }
    for (const CLI::Option* opt : command->get_options()) {
        const std::string name = opt->get_name();
        const std::string bare = name.compare(0, 2, "--") == 0 ? name.substr(2) : name;
        for (const std::string& prefix : {name + ": ", bare + " "}) {
            if (what.compare(0, prefix.size(), prefix) != 0) {
                continue;
            }
            const std::string rest = what.substr(prefix.size());
            if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) {
                // The option's own test: "takes ..., not '...'", or a reason of its own.
                return rest.compare(0, 6, "takes ") == 0 ? name + " " + rest : rest;
            }
            if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
                const std::string words = definitions.WordsFor(command, name);
                return words.empty() ? name + " takes no value" : name + " needs a value: " + words;
            }
        }
    }
    // Other messages name options as they are defined; a positional as it is shown.
    for (const CLI::Option* opt : command->get_options()) {
        const std::string name = opt->get_name();
        const std::string shown = opt->get_option_text();
        for (std::size_t at; opt->get_positional() && !shown.empty() &&
                             (at = what.find(name)) != std::string::npos;) {
            what.replace(at, name.size(), shown);
        }
    }
    return what;
}

} // namespace

int ParseCommandLine(int argc, const char* const* argv, CommandLine* line, FILE* out, FILE* err)
{
    Definitions definitions(line);
    CLI::App& app = definitions.App();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const std::vector<CLI::App*> chosen = app.get_subcommands();
        const CLI::App* command = chosen.empty() ? nullptr : chosen.front();
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            // The program's help spells out every command; a command's, its own options.
            const std::string help = command != nullptr ? command->help(app.get_name())
                                                        : app.help("", CLI::AppFormatMode::All);
            std::fputs(help.c_str(), out);
            return kExitOk;
        }
        std::string why = Explain(definitions, command, e);
        if (command == nullptr) {
            why = argc <= 1           ? std::string("a command is needed")
                  : argv[1][0] != '-' ? std::string("unknown command '") + argv[1] + "'"
                                      : std::string("unknown option '") + argv[1] + "'";
        }
        const std::string name =
            command != nullptr ? app.get_name() + " " + command->get_name() : app.get_name();
        std::fprintf(err, "%s: %s\n%s%s --help tells more.\n", name.c_str(), why.c_str(),
                     definitions.Usage(command != nullptr ? command : &app, name).c_str(),
                     name.c_str());
        return kExitUsage;
    }
    const std::string name = app.get_subcommands().front()->get_name();
    line->command = name == "replay" ? Command::Replay
                    : name == "run"  ? Command::Run
                                     : Command::Simulate;
    return -1;
}

} // namespace nmeafilt
