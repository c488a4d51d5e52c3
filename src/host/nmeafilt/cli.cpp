#include "cli.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

#include "commands.h"

namespace nmeafilt
{

namespace
{

// What values may be, named once for every option that takes them.

// A whole number in decimal digits, handed on without its leading zeros: CLI11 alone would also
// take "+5" and "0x10", and read "010" as octal.
CLI::Validator Whole(unsigned long long min, unsigned long long max)
{
    const std::string range = "from " + std::to_string(min) + " to " + std::to_string(max);
    return CLI::Validator(
        [min, max, range](std::string& text) {
            errno = 0;
            const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
            if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                errno != 0 || value < min || value > max) {
                return "takes a whole number " + range + ", not '" + text + "'";
            }
            text = std::to_string(value);
            return std::string();
        },
        range, "whole number");
}

const CLI::Validator kFileName(
    [](std::string& text) { return text.empty() ? std::string("needs a file name") : ""; }, "",
    "file name");

const CLI::Validator kGroupName(
    [](std::string& text) { return text.empty() ? std::string("needs a group name") : ""; }, "",
    "group name");

// Permission bits in octal, handed on in decimal for the bound number.
const CLI::Validator kOctalMode(
    [](std::string& text) {
        if (text.empty() || text.size() > 4 ||
            text.find_first_not_of("01234567") != std::string::npos) {
            return "takes permission bits in octal, 0 to 0777, not '" + text + "'";
        }
        const unsigned long bits = std::strtoul(text.c_str(), nullptr, 8);
        if (bits > 0777) {
            return "takes permission bits in octal, 0 to 0777, not '" + text + "'";
        }
        text = std::to_string(bits);
        return std::string();
    },
    "octal", "octal mode");

const CLI::Validator kDeviceName(
    [](std::string& text) { return text.empty() ? std::string("needs a device name") : ""; }, "",
    "device name");

// The value a word stands for; IsMember, which runs before it, checks and shows the words.
template <typename T> CLI::Validator Named(const std::map<std::string, T>& words)
{
    return CLI::Transformer(words).description("");
}

CLI::App* AddCommand(CLI::App& app, const std::string& name, const std::string& description,
                     Command* chosen, Command command)
{
    CLI::App* c = app.add_subcommand(name, description);
    c->callback([chosen, command] { *chosen = command; });
    return c;
}

void AddImage(CLI::App* c, std::string* image)
{
    c->add_option("--image", *image,
                  "run this driver image in place of the driver linked in (32-bit build only)")
        ->type_name("SYS")
        ->check(kFileName);
}

void DefineReplay(CLI::App& app, CommandLine* line)
{
    ReplayOptions& o = line->replay;
    CLI::App* c = AddCommand(app, "replay",
                             "play a capture as an application reading the port sees it; the "
                             "stream to standard output, a summary to standard error",
                             &line->command, Command::Replay);
    c->add_option("--chunk", o.chunk, "bytes per port read")
        ->type_name("N")
        ->transform(Whole(1, kMaxChunk))
        ->capture_default_str();
    c->add_option("--read-size", o.readSize, "bytes per application read")
        ->type_name("N")
        ->transform(Whole(1, 0x7FFFFFFF))
        ->capture_default_str();
    c->add_option("--commands", o.commands,
                  "append the rate commands written to the receiver to FILE")
        ->type_name("FILE")
        ->check(kFileName);
    c->add_flag("--explain", o.explain, "tell on standard error what became of every line")
        ->disable_flag_override();
    c->add_flag("--crlf", o.crlf,
                "end lines that end in LF alone with CR LF before the filter, for captures "
                "that lost their CRs")
        ->disable_flag_override();
    AddImage(c, &o.image);
    CLI::Option* input =
        c->add_option("FILE", o.input,
                      "the capture, - for standard input (default: the bundled sample)")
            ->type_name("");
    c->callback([line, input] {
        line->command = Command::Replay;
        line->replay.haveInput = input->count() != 0;
    });
}

void DefineRun(CLI::App& app, CommandLine* line)
{
    RunOptions& o = line->run;
    CLI::App* c = AddCommand(app, "run",
                             "the filter between a serial device and the programs that read it, "
                             "until SIGINT, SIGTERM or the device's end",
                             &line->command, Command::Run);
    c->add_option("--port", o.port, "the receiver's serial device (or any terminal, or a file)")
        ->type_name("DEVICE")
        ->check(kDeviceName)
        ->required();
    c->add_option("--baud", o.baud, "its line speed")
        ->type_name("N")
        ->check(CLI::IsMember(SupportedBauds()))
        ->capture_default_str();
    c->add_option("--wait", o.waitSeconds, "wait this long for DEVICE to appear; 0: not at all")
        ->type_name("SECONDS")
        ->transform(Whole(0, 86400))
        ->default_val(10);
    CLI::Option* pty =
        c->add_option("--pty", o.link, "serve the stream on a new pseudo-terminal linked as LINK")
            ->type_name("LINK")
            ->check(kFileName);
    // Debian gives serial devices to this group with this mode, and gpsd opens them so.
    c->add_option("--pty-group", o.ptyGroup, "the group that may open LINK")
        ->type_name("GROUP")
        ->check(kGroupName)
        ->default_val("dialout");
    c->add_option("--pty-mode", o.ptyMode, "LINK's permissions, in octal")
        ->type_name("MODE")
        ->transform(kOctalMode)
        ->default_val("0660");
    CLI::Option* output = c->add_option("--output", o.output, "write the stream to FILE")
                              ->type_name("FILE")
                              ->check(kFileName);
    CLI::Option* dash =
        c->add_option("STDOUT", o.output, "write the stream to standard output (the default)")
            ->option_text("-")
            ->check(CLI::IsMember({"-"}));
    pty->excludes(output)->excludes(dash);
    output->excludes(dash);
    AddImage(c, &o.image);
}

void DefineSimulate(CLI::App& app, CommandLine* line)
{
    SimulateOptions& o = line->simulate;
    CLI::App* c = AddCommand(app, "simulate",
                             "the receiver, paced by its epoch and baud rates, on a "
                             "pseudo-terminal, a serial device or standard output",
                             &line->command, Command::Simulate);
    CLI::Option* port =
        c->add_option("--port", o.port, "send on an existing serial device (opened raw)")
            ->type_name("DEVICE")
            ->check(kDeviceName);
    c->add_option("--pty", o.link,
                  "offer the receiver on a new pseudo-terminal linked as LINK, until its reader "
                  "hangs up (with neither, standard output)")
        ->type_name("LINK")
        ->check(kFileName)
        ->excludes(port);
    c->add_option("--mode", o.receiver.mode,
                  "gps: GGA without time, time sentence in GPS time; utc: GGA with time, time "
                  "sentence in UTC")
        ->type_name("MODE")
        ->transform(
            Named(std::map<std::string, TimeMode>{{"gps", TimeMode::Gps}, {"utc", TimeMode::Utc}}))
        ->transform(CLI::IsMember({"gps", "utc"}))
        ->default_str("gps");
    c->add_option("--rate", o.receiver.rateHz, "epochs per second")
        ->type_name("HZ")
        ->transform(Whole(1, 20))
        ->capture_default_str();
    c->add_option("--seconds", o.seconds,
                  "stop after N seconds' worth of epochs (without it: until SIGINT or SIGTERM)")
        ->type_name("N")
        ->transform(Whole(1, 1000000000));
    c->add_option("--seed", o.receiver.seed, "track, fix history and start time")
        ->type_name("N")
        ->transform(Whole(0, ULONG_MAX))
        ->capture_default_str();
    c->add_option("--baud", o.baud, "line speed the output is paced at")
        ->type_name("N")
        ->check(CLI::IsMember(SupportedBauds()))
        ->capture_default_str();
    c->add_option("--rmc", o.receiver.rmcOutput, "RMC output at power-up")
        ->type_name("SWITCH")
        ->transform(Named(std::map<std::string, bool>{{"on", true}, {"off", false}}))
        ->transform(CLI::IsMember({"on", "off"}))
        ->default_str("off");
}

// A usage error: the command, CLI11's words, the command's usage line.
std::string UsageError(const CLI::App* app, const CLI::Error& e)
{
    const std::vector<const CLI::App*> chosen = app->get_subcommands({});
    const CLI::App* command = app;
    for (const CLI::App* sub : chosen) {
        if (sub->parsed()) {
            command = sub;
        }
    }
    const std::string name =
        command == app ? app->get_name() : app->get_name() + " " + command->get_name();
    return name + ": " + e.what() + "\n" + CLI::Formatter().make_usage(command, name) + name +
           " --help tells more.\n";
}

} // namespace

int ParseCommandLine(int argc, const char* const* argv, CommandLine* line, FILE* out, FILE* err)
{
    CLI::App app("nmeafilt: the GPS filter driver's stream rewriting, run on Linux", "nmeafilt");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_help_flag("-h,--help", "show this help and exit");
    app.set_version_flag("--version", "nmeafilt " NMEAFILT_VERSION, "show the version and exit");
    app.footer("nmeafilt COMMAND --help shows one command; options take their value as "
               "--opt value or --opt=value.");
    app.require_subcommand(0, 1);
    app.failure_message(UsageError);
    DefineReplay(app, line);
    DefineRun(app, line);
    DefineSimulate(app, line);
    try {
        app.parse(argc, argv);
        if (app.get_subcommands().empty()) {
            throw CLI::RequiredError("COMMAND");
        }
    } catch (const CLI::CallForVersion& e) {
        std::fprintf(out, "%s\n", e.what());
        return kExitOk;
    } catch (const CLI::CallForHelp&) {
        // The program's help spells out every command; a command's, its own options.
        const CLI::App* command =
            app.get_subcommands().empty() ? nullptr : app.get_subcommands()[0];
        std::fputs(command != nullptr ? command->help(app.get_name()).c_str()
                                      : app.help("", CLI::AppFormatMode::All).c_str(),
                   out);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::ostringstream said;
        app.exit(e, said, said);
        std::fputs(said.str().c_str(), err);
        return kExitUsage;
    }
    return -1;
}

} // namespace nmeafilt
