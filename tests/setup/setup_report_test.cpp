// nmeafilt-setup's command line and what its reports tell a person and a script.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command.h"
#include "render.h"

namespace
{

using setup::Verb;

TEST(Command, Line)
{
    const struct {
        std::vector<const char*> argv;
        bool ok;
        Verb verb;
        const char* port;
        const char* sysOrError; // --sys when accepted, part of the error when refused
    } cases[] = {
        {{"install", "com3"}, true, Verb::Install, "COM3", ""},
        {{"install", "COM3", "--sys", "x.sys", "--json"}, true, Verb::Install, "COM3", "x.sys"},
        {{"install", "--sys=D:\\a.sys", "COM10"}, true, Verb::Install, "COM10", "D:\\a.sys"},
        {{"remove", "COM1"}, true, Verb::Remove, "COM1", ""},
        {{"status", "--json"}, true, Verb::Status, "", ""},
        {{"--version"}, true, Verb::Status, "", ""},
        {{}, false, Verb::Status, "", "no command"},
        {{"add", "COM3"}, false, Verb::Status, "", "unknown command 'add'"},
        {{"install"}, false, Verb::Status, "", "no port"},
        {{"install", "COM3", "COM4"}, false, Verb::Status, "", "one argument too many"},
        {{"status", "COM3"}, false, Verb::Status, "", "one argument too many"},
        {{"install", "COM0"}, false, Verb::Status, "", "COM1 to COM256"},
        {{"install", "COM3", "--sys"}, false, Verb::Status, "", "--sys needs"},
        {{"remove", "COM3", "--sys", "x.sys"}, false, Verb::Status, "", "belongs to install"},
        {{"install", "COM3", "--force"}, false, Verb::Status, "", "unknown option '--force'"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"nmeafilt-setup"};
        argv.insert(argv.end(), c.argv.begin(), c.argv.end());
        setup::Command command;
        std::string error;
        const std::string line = argv.size() > 1 ? argv[1] : "(none)";
        ASSERT_EQ(setup::ParseCommand(static_cast<int>(argv.size()), argv.data(), &command, &error),
                  c.ok)
            << line << ": " << error;
        if (c.ok) {
            EXPECT_EQ(command.verb, c.verb) << line;
            EXPECT_EQ(command.port, c.port) << line;
            EXPECT_EQ(command.sys, c.sysOrError) << line;
        } else {
            EXPECT_NE(error.find(c.sysOrError), std::string::npos) << line << ": " << error;
        }
    }
}

TEST(Render, FailureSaysWhatFailedAndWhatWasUndone)
{
    setup::Facts f;
    f.port = "COM3";
    setup::Plan plan;
    plan.device = {"COM3", "ACPI\\PNP0501\\1", true, {"serenum"}, ""};
    plan.steps = {{setup::StepKind::AddService, "create the service", false, {}, {}, {}, {}, false},
                  {setup::StepKind::AddFilter, "add nmeafilt", false, {}, {}, {}, {}, false}};
    setup::Outcome o;
    o.exitCode = setup::kExitFailed;
    o.done = {{&plan.steps[0], setup::StepResult::Done, ""},
              {&plan.steps[1], setup::StepResult::Failed, "error 5, \"denied\""}};
    o.undone = {{&plan.steps[0], setup::StepResult::Done, ""}};
    const std::string text = setup::RenderRunText("install", f, plan, o);
    for (const char* line :
         {"[done]       create the service\n", "[FAILED]     add nmeafilt: error 5, \"denied\"\n",
          "[undone]     create the service\n",
          "result: failed; every step before it was undone\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << text;
    }
    const std::string json = setup::RenderRunJson("install", f, plan, o);
    for (
        const char* part :
        {R"("result": "failed", "exit_code": 1)",
         R"({"step": "add-filter", "action": "add nmeafilt", "result": "failed", "detail": "error 5, \"denied\""})",
         R"("undone": [{"step": "add-service")"}) {
        EXPECT_NE(json.find(part), std::string::npos) << json;
    }
}

} // namespace
