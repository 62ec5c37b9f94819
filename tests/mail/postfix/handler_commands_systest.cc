// handler_commands_systest.cc - the handler commands as the panel runs them:
// exit statuses, messages, and the registry and queue markers they leave.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "systest.h"
#include "tests/mail/handlers/lib/handler_fixture.h"

using mxtest::entries;
using mxtest::fileExists;
using mxtest::mxadmin;
using mxtest::readFile;
using mxtest::RunResult;

namespace {

const std::string INFO = "/usr/local/hsp/handlers/info";
const std::string QUEUE = "/usr/local/hsp/handlers";
const std::string PROG = "/usr/local/libexec/test-handler";

// args - "--name=value" options, each quoted for the shell.
std::string opt(const std::string& name, const std::string& value)
{
    return " " + mxtest::shellQuote("--" + name + "=" + value);
}

class HandlerCommands : public testing::Test {
protected:
    void SetUp() override { mxtest::installScript(PROG, "exit 0\n"); }

    // add - --add-handler with the usual program, context and priority.
    static RunResult add(const std::string& tmpl, const std::string& type,
                         const std::string& values, const std::string& hook = "before-queue",
                         const std::string& priority = "10")
    {
        std::string a = "--add-handler" + opt("handler-name", tmpl) + opt("handler-type", type);
        if (!values.empty())
            a += opt("handler-type-name", values);
        return mxadmin(a + opt("executable", PROG) + opt("context", "ctx") + opt("hook", hook) +
                       opt("priority", priority));
    }

    // command - one of the short commands; values "" leaves the option out.
    static RunResult command(const std::string& cmd, const std::string& tmpl,
                             const std::string& type, const std::string& values,
                             const std::string& hook = "before-queue")
    {
        std::string a = cmd + opt("handler-name", tmpl) + opt("handler-type", type);
        if (!values.empty())
            a += opt("handler-type-name", values);
        return mxadmin(a + opt("hook", hook));
    }

    // markers - the markers of one queue directory.
    static std::vector<std::string> markers(const std::string& hook, const std::string& type,
                                            const std::string& value = "")
    {
        return entries(mxtest::handlerQueueDir(QUEUE, hook, type, value));
    }

    // handlerOf - the registry entry whose type value file holds value.
    static std::string handlerOf(const std::string& type, const std::string& value)
    {
        for (const std::string& name : entries(INFO)) {
            std::string path = INFO + "/" + name + "/" + type;
            if (fileExists(path) && readFile(path) == value + "\n")
                return name;
        }
        return "<none>";
    }
};

TEST_F(HandlerCommands, AddForAListOfAddressesEnablesOneHandlerEach)
{
    RunResult r = add("spam", "recipient", "a@x.com, b@x.com");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(2u, entries(INFO).size());
    for (const char* value : {"a@x.com", "b@x.com"}) {
        std::string name = handlerOf("recipient", value);
        EXPECT_EQ(0u, name.find("10-spam-")) << value;
        EXPECT_EQ(std::vector<std::string>{name}, markers("before-queue", "recipient", value));
    }
}

TEST_F(HandlerCommands, SeparatorRunsAndEndsGiveNoEmptyValues)
{
    RunResult r = add("spam", "sender", " ,a@x.com,, ,b@x.com, ");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(2u, entries(INFO).size());
    EXPECT_NE("<none>", handlerOf("sender", "a@x.com"));
    EXPECT_NE("<none>", handlerOf("sender", "b@x.com"));
}

TEST_F(HandlerCommands, AddingAnExistingHandlerLeavesItUntouched)
{
    ASSERT_EQ(0, add("spam", "recipient", "a@x.com").status);
    std::string first = handlerOf("recipient", "a@x.com");
    ASSERT_EQ(0, command("--disable-handler", "spam", "recipient", "a@x.com").status);
    RunResult r = add("spam", "recipient", "a@x.com,c@x.com", "before-queue", "99");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(2u, entries(INFO).size());
    EXPECT_EQ(first, handlerOf("recipient", "a@x.com"));
    EXPECT_TRUE(markers("before-queue", "recipient", "a@x.com").empty());
    EXPECT_EQ(0u, handlerOf("recipient", "c@x.com").find("99-spam-"));
}

TEST_F(HandlerCommands, TypeInOtherCaseFindsTheStoredHandler)
{
    ASSERT_EQ(0, add("spam", "Recipient", "a@x.com").status);
    ASSERT_EQ(0, add("spam", "RECIPIENT", "a@x.com").status);
    EXPECT_EQ(1u, entries(INFO).size());
    EXPECT_EQ("recipient\n", readFile(INFO + "/" + entries(INFO)[0] + "/handler-type"));
    EXPECT_EQ(1, command("--check-handler", "spam", "reCipient", "a@x.com").status);
}

TEST_F(HandlerCommands, EnablingAValueWithoutTheHandlerWarnsAndSucceeds)
{
    ASSERT_EQ(0, add("spam", "recipient", "a@x.com").status);
    RunResult r = command("--enable-handler", "spam", "recipient", "a@x.com, c@x.com");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Handler spam for recipient c@x.com does not exist in queue before-queue\n", r.err);
    EXPECT_EQ(r.err, r.out);
    EXPECT_FALSE(fileExists(QUEUE + "/before-queue/recipient/c@x.com"));
}

TEST_F(HandlerCommands, MissingGlobalHandlerFailsOnlyTheEnable)
{
    struct Case {
        const char* cmd;
        int status;
    };
    for (Case c :
         {Case{"--enable-handler", 1}, Case{"--disable-handler", 0}, Case{"--remove-handler", 0}}) {
        RunResult r = command(c.cmd, "scan", "global", "");
        EXPECT_EQ(c.status, r.status) << c.cmd;
        EXPECT_EQ("", r.out) << c.cmd;
        EXPECT_EQ("", r.err) << c.cmd;
    }
}

TEST_F(HandlerCommands, GlobalHandlerIsSwitchedAndRemoved)
{
    ASSERT_EQ(0, add("scan", "global", "", "before-remote").status);
    std::vector<std::string> names = entries(INFO);
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(names, markers("before-remote", "global"));
    EXPECT_EQ(0, command("--disable-handler", "scan", "global", "", "before-remote").status);
    EXPECT_FALSE(fileExists(QUEUE + "/before-remote/global"));
    EXPECT_EQ(1, command("--check-handler", "scan", "global", "", "before-remote").status);
    EXPECT_EQ(0, command("--enable-handler", "scan", "global", "", "before-remote").status);
    EXPECT_EQ(names, markers("before-remote", "global"));
    EXPECT_EQ(0, command("--remove-handler", "scan", "global", "", "before-remote").status);
    EXPECT_TRUE(entries(INFO).empty());
    EXPECT_FALSE(fileExists(QUEUE + "/before-remote/global"));
}

TEST_F(HandlerCommands, AllDisablesTheTemplateInEveryQueue)
{
    ASSERT_EQ(0, add("spam", "recipient", "a@x.com").status);
    ASSERT_EQ(0, add("spam", "sender", "b@y.com", "before-remote").status);
    ASSERT_EQ(0, add("spam", "global", "", "before-local").status);
    ASSERT_EQ(0, add("virus", "recipient", "a@x.com").status);
    RunResult r = command("--disable-handler", "spam", "recipient", "all");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(4u, entries(INFO).size());
    EXPECT_FALSE(fileExists(QUEUE + "/before-remote/sender/b@y.com"));
    EXPECT_FALSE(fileExists(QUEUE + "/before-local/global"));
    std::vector<std::string> left = markers("before-queue", "recipient", "a@x.com");
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(0u, left[0].find("10-virus-"));
    // "all" is not a type value of its own: the store never saw it.
    EXPECT_EQ("<none>", handlerOf("recipient", "all"));
}

TEST_F(HandlerCommands, RemoveAllDeletesEveryHandlerOfTheTemplate)
{
    ASSERT_EQ(0, add("spam", "recipient", "a@x.com, b@x.com").status);
    ASSERT_EQ(0, add("virus", "recipient", "a@x.com").status);
    EXPECT_EQ(0, command("--remove-handler", "spam", "sender", "all").status);
    std::vector<std::string> left = entries(INFO);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(0u, left[0].find("10-virus-"));
}

TEST_F(HandlerCommands, RemoveTakesOnlyTheNamedValues)
{
    ASSERT_EQ(0, add("spam", "recipient-domain", "x.com, y.com").status);
    RunResult r = command("--remove-handler", "spam", "recipient-domain", "x.com");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("<none>", handlerOf("recipient-domain", "x.com"));
    EXPECT_NE("<none>", handlerOf("recipient-domain", "y.com"));
    EXPECT_FALSE(fileExists(QUEUE + "/before-queue/recipient-domain/x.com"));
}

TEST_F(HandlerCommands, CheckReportsExistenceNotState)
{
    ASSERT_EQ(0, add("spam", "recipient", "a@x.com").status);
    EXPECT_EQ(1, command("--check-handler", "spam", "recipient", "a@x.com").status);
    EXPECT_EQ(0, command("--check-handler", "spam", "recipient", "b@x.com").status);
    EXPECT_EQ(0, command("--check-handler", "spam", "recipient", "a@x.com", "before-local").status);
    ASSERT_EQ(0, command("--disable-handler", "spam", "recipient", "a@x.com").status);
    RunResult r = command("--check-handler", "spam", "recipient", "a@x.com");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
}

TEST_F(HandlerCommands, NonGlobalTypesNeedATypeName)
{
    for (const char* cmd : {"--enable-handler", "--check-handler", "--remove-handler"}) {
        RunResult r = command(cmd, "spam", "sender", "");
        EXPECT_EQ(1, r.status) << cmd;
        EXPECT_NE(std::string::npos,
                  r.err.find("mandatory option \"--handler-type-name\" is not specified"))
            << cmd << ": " << r.err;
    }
    RunResult r = add("spam", "sender", "");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Fatal error: ostra::mail::postfix::mxadmin_commands::MissingMandatoryOption("
              "mandatory option \"--handler-type-name\" is not specified)\n",
              r.err);
    // "global" is matched exactly: another spelling is not the global type.
    r = add("spam", "Global", "");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("--handler-type-name")) << r.err;
    EXPECT_FALSE(fileExists(INFO));
}

TEST_F(HandlerCommands, BadInputFailsAndCreatesNothing)
{
    struct Case {
        std::string label;
        RunResult result;
        std::string message;
    };
    Case cases[] = {
        {"unknown type", add("spam", "bogus", "a@x.com"), "Handler type is invalid: bogus"},
        {"all as type", add("spam", "all", "a@x.com"), "Handler type is invalid: all"},
        {"missing program",
         mxadmin("--add-handler --handler-name=spam --handler-type=recipient "
                 "--handler-type-name=a@x.com --executable=/no/prog --context=c "
                 "--hook=before-queue --priority=1"),
         "Unable to stat executable '/no/prog'"},
        {"empty list", add("spam", "recipient", " , "), "no value in --handler-type-name"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(1, c.result.status) << c.label;
        EXPECT_NE(std::string::npos, c.result.err.find(c.message))
            << c.label << ": " << c.result.err;
    }
    EXPECT_TRUE(entries(INFO).empty());
}

TEST_F(HandlerCommands, OneFailingValueDoesNotStopTheOthers)
{
    RunResult r = add("spam", "recipient", "../evil, a@x.com");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Invalid handler type name '../evil'")) << r.err;
    EXPECT_EQ(1u, entries(INFO).size());
    EXPECT_NE("<none>", handlerOf("recipient", "a@x.com"));
}

TEST_F(HandlerCommands, UpdateReplacesExistingHandlersAndWarnsForOthers)
{
    ASSERT_EQ(0, add("spam", "recipient", "a@x.com").status);
    std::string old = handlerOf("recipient", "a@x.com");
    mxtest::installScript("/usr/local/libexec/new-handler", "exit 0\n");
    RunResult r = mxadmin("--update-handler --handler-name=spam --handler-type=recipient "
                          "--handler-type-name='a@x.com b@x.com' "
                          "--executable=/usr/local/libexec/new-handler --context=fresh "
                          "--hook=before-queue --priority=20");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Handler spam for recipient b@x.com does not exist in queue before-queue\n", r.err);
    std::string fresh = handlerOf("recipient", "a@x.com");
    EXPECT_NE(old, fresh);
    EXPECT_EQ(0u, fresh.find("20-spam-"));
    EXPECT_EQ("fresh\n", readFile(INFO + "/" + fresh + "/context"));
    EXPECT_EQ(std::vector<std::string>{fresh}, markers("before-queue", "recipient", "a@x.com"));
    EXPECT_EQ(1u, entries(INFO).size());
}

TEST_F(HandlerCommands, UpdateOfAMissingGlobalHandlerFails)
{
    RunResult r = mxadmin("--update-handler --handler-name=scan --handler-type=global "
                          "--executable=/usr/local/libexec/test-handler --context=c "
                          "--hook=before-queue --priority=20");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Handler scan for (null) does not exist in queue "
                                            "before-queue"))
        << r.err;
}

TEST_F(HandlerCommands, HelpListsTheOptionsInOrder)
{
    RunResult r = mxadmin("--add-handler --help");
    EXPECT_EQ(0, r.status);
    const char* order[] = {"--handler-name", "--handler-type", "--handler-type-name",
                           "--executable",   "--context",      "--hook",
                           "--priority",     "--help"};
    size_t at = 0;
    for (const char* o : order) {
        size_t next = r.out.find(std::string(o) + " ", at);
        ASSERT_NE(std::string::npos, next) << o << "\n" << r.out;
        at = next;
    }
    EXPECT_EQ(0u, r.out.find("add a mail-handler\nUsage: --add-handler --handler-name=<name> "
                             "--handler-type=(global|sender|recipient|sender-domain|recipient-"
                             "domain) [--handler-type-name=<mailname>] --executable=<handler> "
                             "--context=<context> --hook=(before-queue|before-local|before-"
                             "remote) --priority=<number>\n"));
    r = mxadmin("--check-handler --help");
    EXPECT_EQ(std::string::npos, r.out.find("--priority"));
    EXPECT_NE(std::string::npos, r.out.find("handler type name\n")) << r.out;
}

} // namespace
