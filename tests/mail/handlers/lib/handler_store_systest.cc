// handler_store_systest.cc - the handler registry and its queues on disk:
// value files, links, markers and queue directories after each operation.
#include "mail/handlers/lib/handlers.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handler_fixture.h"
#include "systest.h"

using mxtest::captured;
using mxtest::entries;
using mxtest::fileExists;
using mxtest::fileMode;
using mxtest::readFile;

namespace {

const std::string INFO = "/usr/local/hsp/handlers/info";
const std::string QUEUE = "/usr/local/hsp/handlers";
const std::string PROG = "/usr/local/libexec/test-handler";
const std::string OTHER_PROG = "/usr/local/libexec/other-handler";
const std::string SYNC = "/usr/lib/ostra-9.0/handlers-tmpfs";

// take - a string from the store, freed.
std::string take(char* s)
{
    std::string r = s == nullptr ? "<null>" : s;
    free(s);
    return r;
}

class HandlerStore : public testing::Test {
protected:
    void SetUp() override
    {
        mxtest::installScript(PROG, "exit 0\n");
        mxtest::installScript(OTHER_PROG, "exit 0\n");
    }

    // add - add a handler and return its new name.
    std::string add(const char* tmpl, const char* type, const char* value,
                    const char* hook = "before-queue", const char* priority = "10",
                    int action = HOOK_ENABLE, const char* context = "ctx")
    {
        std::vector<std::string> before = entries(INFO);
        int r = -1;
        std::string log = captured([&] {
            r = mail_handler_add(tmpl, type, value, PROG.c_str(), context, hook, priority, action);
        });
        EXPECT_EQ(0, r) << log;
        std::vector<std::string> after = entries(INFO);
        std::vector<std::string> added;
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::back_inserter(added));
        EXPECT_EQ(1u, added.size());
        return added.empty() ? std::string() : added[0];
    }

    static std::string queueDir(const std::string& hook, const std::string& type,
                                const std::string& value)
    {
        return mxtest::handlerQueueDir(QUEUE, hook, type, value);
    }

    static std::string value(const std::string& name, const std::string& param)
    {
        return readFile(INFO + "/" + name + "/" + param);
    }

    static std::string link(const std::string& name)
    {
        char buf[4096];
        ssize_t n = readlink((INFO + "/" + name + "/executable").c_str(), buf, sizeof buf);
        return n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n));
    }

    static int check(const std::string& name)
    {
        return control_handler_queue(name.c_str(), nullptr, HOOK_CHECK);
    }
};

TEST_F(HandlerStore, AddWritesTheRegistryAndEnablesInALowerCaseQueue)
{
    std::string name = add("spam", "recipient", "John.Doe@Example.COM");
    EXPECT_TRUE(std::regex_match(name, std::regex("10-spam-[A-Za-z0-9]{6}"))) << name;
    EXPECT_EQ(0755, fileMode(INFO + "/" + name));
    EXPECT_EQ("before-queue\n", value(name, "hook"));
    EXPECT_EQ("recipient\n", value(name, "handler-type"));
    EXPECT_EQ("ctx\n", value(name, "context"));
    EXPECT_EQ("john.doe@example.com\n", value(name, "recipient"));
    for (const char* f : {"hook", "handler-type", "context", "recipient"})
        EXPECT_EQ(0644, fileMode(INFO + "/" + name + "/" + f)) << f;
    EXPECT_EQ(PROG, link(name));
    std::string dir = queueDir("before-queue", "recipient", "john.doe@example.com");
    EXPECT_EQ(std::vector<std::string>{name}, entries(dir));
    EXPECT_EQ(0755, fileMode(dir));
    EXPECT_EQ("", readFile(dir + "/" + name));
    EXPECT_EQ(name,
              take(get_handler_name("spam", "recipient", "JOHN.doe@example.com", "before-queue")));
}

TEST_F(HandlerStore, TypeGivenInOtherCaseIsStoredInTheTableForm)
{
    std::string name = add("spam", "RECIPIENT-Domain", "Example.com");
    EXPECT_EQ("recipient-domain\n", value(name, "handler-type"));
    EXPECT_EQ("example.com\n", value(name, "recipient-domain"));
    EXPECT_TRUE(
        fileExists(queueDir("before-queue", "recipient-domain", "example.com") + "/" + name));
}

TEST_F(HandlerStore, GlobalHandlerHasAFlagFileAndAHookWideQueue)
{
    std::string name = add("scan", "global", nullptr, "before-remote", "5", HOOK_ENABLE, "");
    EXPECT_EQ("", value(name, "global"));
    EXPECT_EQ("global\n", value(name, "handler-type"));
    // An empty context is not stored at all.
    EXPECT_FALSE(fileExists(INFO + "/" + name + "/context"));
    EXPECT_TRUE(fileExists(QUEUE + "/before-remote/global/" + name));
    EXPECT_EQ(name, take(get_handler_name("scan", "global", nullptr, "before-remote")));
    EXPECT_EQ("<null>", take(get_handler_name("scan", "global", nullptr, "before-queue")));
}

TEST_F(HandlerStore, EnableAndDisableAreIdempotent)
{
    std::string name = add("spam", "sender", "a@x.com");
    std::string dir = queueDir("before-queue", "sender", "a@x.com");
    EXPECT_EQ(0, control_handler_queue(name.c_str(), nullptr, HOOK_ENABLE));
    EXPECT_EQ(std::vector<std::string>{name}, entries(dir));
    EXPECT_EQ(1, check(name));
    EXPECT_EQ(0, control_handler_queue(name.c_str(), nullptr, HOOK_DISABLE));
    EXPECT_EQ(0, check(name));
    EXPECT_FALSE(fileExists(dir));
    EXPECT_EQ(0, control_handler_queue(name.c_str(), nullptr, HOOK_DISABLE));
    EXPECT_EQ(0, check(name));
    EXPECT_TRUE(fileExists(INFO + "/" + name));
}

TEST_F(HandlerStore, AddedDisabledHasNoMarker)
{
    std::string name = add("spam", "sender", "a@x.com", "before-queue", "10", HOOK_DISABLE);
    EXPECT_EQ(0, check(name));
    EXPECT_FALSE(fileExists(queueDir("before-queue", "sender", "a@x.com")));
}

TEST_F(HandlerStore, QueueDirectoryGoesWithItsLastMarker)
{
    std::string first = add("one", "recipient", "a@x.com");
    std::string second = add("two", "recipient", "a@x.com");
    std::string dir = queueDir("before-queue", "recipient", "a@x.com");
    EXPECT_EQ(2u, entries(dir).size());
    EXPECT_EQ(0, mail_handler_remove(first.c_str()));
    EXPECT_EQ(std::vector<std::string>{second}, entries(dir));
    EXPECT_FALSE(fileExists(INFO + "/" + first));
    EXPECT_EQ(0, control_handler_queue(second.c_str(), nullptr, HOOK_DELETE));
    EXPECT_FALSE(fileExists(dir));
    EXPECT_TRUE(entries(INFO).empty());
    // The hook and type levels stay for the next handler.
    EXPECT_TRUE(fileExists(QUEUE + "/before-queue/recipient"));
}

TEST_F(HandlerStore, UnknownActionsFailWithTheirNumber)
{
    std::string name = add("spam", "recipient", "a@x.com");
    int r = 0;
    std::string log = captured([&] { r = control_handler_queue(name.c_str(), nullptr, HOOK_ADD); });
    EXPECT_EQ(-1, r);
    EXPECT_EQ("UKNOWN ACTION 0 requested for handler " + name + "\n", log);
    log = captured([&] { r = control_handler_queue(name.c_str(), nullptr, 42); });
    EXPECT_EQ(-1, r);
    EXPECT_EQ("UKNOWN ACTION 42 requested for handler " + name + "\n", log);
    EXPECT_EQ(1, check(name));
}

TEST_F(HandlerStore, CloneOntoAValueThatHasTheHandlerCreatesNothing)
{
    std::string a = add("spam", "recipient", "a@x.com");
    add("spam", "recipient", "b@x.com");
    std::vector<std::string> before = entries(INFO);
    EXPECT_EQ(0, control_handler_queue(a.c_str(), "B@x.com", HOOK_CLONE));
    EXPECT_EQ(before, entries(INFO));
}

TEST_F(HandlerStore, CloneCopiesEverythingButTheValueAndIsEnabled)
{
    std::string a = add("spam", "recipient", "a@x.com", "before-local", "35", HOOK_DISABLE);
    EXPECT_EQ(0, control_handler_queue(a.c_str(), "c@y.org", HOOK_CLONE));
    std::string c = take(get_handler_name("spam", "recipient", "c@y.org", "before-local"));
    ASSERT_NE("<null>", c);
    EXPECT_NE(a, c);
    EXPECT_EQ(0u, c.find("35-spam-"));
    EXPECT_EQ("ctx\n", value(c, "context"));
    EXPECT_EQ(PROG, link(c));
    EXPECT_EQ(1, check(c));
    EXPECT_EQ(0, check(a));
    EXPECT_EQ("a@x.com\n", value(a, "recipient"));
}

TEST_F(HandlerStore, MoveReplacesTheSourceAndDropsItsQueue)
{
    std::string a = add("spam", "sender", "a@x.com");
    EXPECT_EQ(0, control_handler_queue(a.c_str(), "a@y.com", HOOK_MOVE));
    EXPECT_FALSE(fileExists(INFO + "/" + a));
    EXPECT_FALSE(fileExists(queueDir("before-queue", "sender", "a@x.com")));
    std::string moved = take(get_handler_name("spam", "sender", "a@y.com", "before-queue"));
    ASSERT_NE("<null>", moved);
    EXPECT_EQ(1, check(moved));
    EXPECT_EQ(std::vector<std::string>{moved}, entries(INFO));
}

TEST_F(HandlerStore, MoveOntoTheSameValueInOtherCaseKeepsTheHandler)
{
    std::string a = add("spam", "recipient", "a@x.com");
    EXPECT_EQ(0, control_handler_queue(a.c_str(), "A@X.com", HOOK_MOVE));
    EXPECT_EQ(std::vector<std::string>{a}, entries(INFO));
    EXPECT_EQ(1, check(a));
}

// BrokenName - a registry entry whose name has no random part.
class HandlerStoreBrokenName : public HandlerStore {
protected:
    void SetUp() override
    {
        HandlerStore::SetUp();
        good_ = add("spam", "recipient", "a@x.com");
        mxtest::makeDirs(INFO + "/" + BROKEN);
        mxtest::writeFile(INFO + "/" + BROKEN + "/hook", "before-queue\n");
        mxtest::writeFile(INFO + "/" + BROKEN + "/handler-type", "recipient\n");
        mxtest::writeFile(INFO + "/" + BROKEN + "/recipient", "b@x.com\n");
        mxtest::writeFile(INFO + "/" + BROKEN + "/context", "ctx\n");
        ASSERT_EQ(0, symlink(PROG.c_str(), (INFO + "/" + BROKEN + "/executable").c_str()));
    }
    const std::string BROKEN = "10-spam";
    std::string good_;
};

TEST_F(HandlerStoreBrokenName, CannotBeClonedOrMoved)
{
    for (int action : {HOOK_CLONE, HOOK_MOVE}) {
        int r = 0;
        std::string log =
            captured([&] { r = control_handler_queue(BROKEN.c_str(), "c@x.com", action); });
        EXPECT_EQ(-1, r);
        EXPECT_NE(std::string::npos,
                  log.find("Invalid handler name '10-spam': missing random part"))
            << log;
    }
    EXPECT_TRUE(fileExists(INFO + "/" + BROKEN));
    EXPECT_EQ(2u, entries(INFO).size());
}

TEST_F(HandlerStoreBrokenName, CountsAsAnErrorOfTheMassTemplateOperation)
{
    int r = 0;
    std::string log = captured([&] { r = mass_control_handler_queue("spam", HOOK_DISABLE); });
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos,
              log.find("Some errors was occured in mass hook operation. errors: 1"))
        << log;
    // The other handlers are still done.
    EXPECT_EQ(0, check(good_));
}

TEST_F(HandlerStore, MassTemplateOperationMatchesTheWholeTemplate)
{
    std::string spam1 = add("spam", "recipient", "a@x.com");
    std::string spam2 = add("spam", "global", nullptr, "before-remote");
    std::string spammer = add("spammer", "recipient", "a@x.com");
    std::string split = add("spam-x", "sender", "a@x.com");
    EXPECT_EQ(0, mass_control_handler_queue("spam", HOOK_DISABLE));
    EXPECT_EQ(0, check(spam1));
    EXPECT_EQ(0, check(spam2));
    EXPECT_EQ(1, check(spammer));
    EXPECT_EQ(1, check(split));
    EXPECT_EQ(0, mass_control_handler_queue("all", HOOK_DELETE));
    EXPECT_TRUE(entries(INFO).empty());
}

TEST_F(HandlerStore, ByMailnameMovesADomainAndItsAddresses)
{
    std::string rcpt = add("spam", "recipient", "a@old.com");
    std::string sndr = add("spam", "sender", "b@old.com", "before-remote");
    std::string dom = add("spam", "recipient-domain", "old.com");
    std::string other = add("spam", "recipient", "a@older.com");
    std::string global = add("spam", "global", nullptr);
    EXPECT_EQ(0, mass_control_handler_by_mailname("old.com", "new.com", HOOK_MOVE));
    for (const std::string& gone : {rcpt, sndr, dom})
        EXPECT_FALSE(fileExists(INFO + "/" + gone)) << gone;
    EXPECT_NE("<null>", take(get_handler_name("spam", "recipient", "a@new.com", "before-queue")));
    EXPECT_NE("<null>", take(get_handler_name("spam", "sender", "b@new.com", "before-remote")));
    EXPECT_NE("<null>",
              take(get_handler_name("spam", "recipient-domain", "new.com", "before-queue")));
    EXPECT_EQ(1, check(other));
    EXPECT_EQ(1, check(global));
    EXPECT_EQ(5u, entries(INFO).size());
    EXPECT_FALSE(fileExists(queueDir("before-queue", "recipient", "a@old.com")));
}

TEST_F(HandlerStore, ByMailnameClonesAndDeletesAnAddress)
{
    std::string a = add("spam", "recipient", "a@x.com");
    std::string b = add("spam", "recipient", "b@x.com");
    EXPECT_EQ(0, mass_control_handler_by_mailname("a@x.com", "alias@x.com", HOOK_CLONE));
    std::string alias = take(get_handler_name("spam", "recipient", "alias@x.com", "before-queue"));
    ASSERT_NE("<null>", alias);
    EXPECT_EQ(1, check(a));
    EXPECT_EQ(0, mass_control_handler_by_mailname("A@x.com", nullptr, HOOK_DELETE));
    std::vector<std::string> left{alias, b};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, entries(INFO));
}

TEST_F(HandlerStore, ByMailnameDisablesAndEnablesADomain)
{
    std::string a = add("spam", "recipient", "a@x.com");
    std::string d = add("spam", "sender-domain", "x.com");
    std::string other = add("spam", "recipient", "a@y.com");
    EXPECT_EQ(0, mass_control_handler_by_mailname("x.com", nullptr, HOOK_DISABLE));
    EXPECT_EQ(0, check(a));
    EXPECT_EQ(0, check(d));
    EXPECT_EQ(1, check(other));
    EXPECT_EQ(0, mass_control_handler_by_mailname("x.com", nullptr, HOOK_ENABLE));
    EXPECT_EQ(1, check(a));
    EXPECT_EQ(1, check(d));
}

TEST_F(HandlerStore, UpdatingADisabledHandlerKeepsItDisabledUnderANewName)
{
    std::string old = add("spam", "recipient", "a@x.com", "before-queue", "10", HOOK_DISABLE);
    EXPECT_EQ(0, mail_handler_update("spam", "recipient", "a@x.com", OTHER_PROG.c_str(), "new",
                                     "before-queue", "20"));
    std::string fresh = take(get_handler_name("spam", "recipient", "a@x.com", "before-queue"));
    ASSERT_NE("<null>", fresh);
    EXPECT_NE(old, fresh);
    EXPECT_EQ(0u, fresh.find("20-spam-"));
    EXPECT_EQ(std::vector<std::string>{fresh}, entries(INFO));
    EXPECT_EQ(0, check(fresh));
    EXPECT_EQ("new\n", value(fresh, "context"));
    EXPECT_EQ(OTHER_PROG, link(fresh));
}

TEST_F(HandlerStore, UpdateWithoutValuesKeepsTheOldOnesAndTheEnabledState)
{
    std::string old = add("spam", "sender", "a@x.com", "before-queue", "42");
    EXPECT_EQ(0, mail_handler_update("spam", "sender", "a@x.com", "", nullptr, "before-queue", ""));
    std::string fresh = take(get_handler_name("spam", "sender", "a@x.com", "before-queue"));
    ASSERT_NE("<null>", fresh);
    EXPECT_NE(old, fresh);
    EXPECT_EQ(0u, fresh.find("42-spam-"));
    EXPECT_EQ("ctx\n", value(fresh, "context"));
    EXPECT_EQ(PROG, link(fresh));
    EXPECT_EQ(1, check(fresh));
    EXPECT_EQ(std::vector<std::string>{fresh}, entries(INFO));
}

TEST_F(HandlerStore, FailingUpdateKeepsTheOldHandler)
{
    std::string old = add("spam", "recipient", "a@x.com");
    std::vector<std::string> dir = entries(queueDir("before-queue", "recipient", "a@x.com"));
    int r = 0;
    std::string log = captured([&] {
        r = mail_handler_update("spam", "recipient", "a@x.com", "/nonexistent/prog", "c",
                                "before-queue", "10");
    });
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos, log.find("Unable to stat executable '/nonexistent/prog'")) << log;
    // A stored program that has gone cannot be taken over either.
    ASSERT_EQ(0, unlink((INFO + "/" + old + "/executable").c_str()));
    log = captured([&] {
        r = mail_handler_update("spam", "recipient", "a@x.com", nullptr, "c", "before-queue", "10");
    });
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos, log.find("Unable to fetch executable link target")) << log;
    // And a priority that would break the name.
    ASSERT_EQ(0, symlink(PROG.c_str(), (INFO + "/" + old + "/executable").c_str()));
    log = captured([&] {
        r = mail_handler_update("spam", "recipient", "a@x.com", nullptr, "c", "before-queue",
                                "1-2");
    });
    EXPECT_EQ(-1, r);
    EXPECT_EQ(std::vector<std::string>{old}, entries(INFO));
    EXPECT_EQ(dir, entries(queueDir("before-queue", "recipient", "a@x.com")));
    EXPECT_EQ(1, check(old));
}

TEST_F(HandlerStore, UpdateOfAMissingHandlerFails)
{
    int r = 0;
    std::string log = captured([&] {
        r = mail_handler_update("spam", "recipient", "a@x.com", PROG.c_str(), "c", "before-queue",
                                "10");
    });
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos,
              log.find("Handler spam for a@x.com does not exist in queue before-queue"))
        << log;
    EXPECT_TRUE(entries(INFO).empty());
}

struct BadAdd {
    const char* label;
    const char* tmpl;
    const char* type;
    const char* value;
    const char* executable;
    const char* hook;
    const char* priority;
    const char* message;
};

void PrintTo(const BadAdd& c, std::ostream* os)
{
    *os << c.label;
}

class HandlerStoreBadAdd : public HandlerStore, public testing::WithParamInterface<BadAdd> {};

TEST_P(HandlerStoreBadAdd, CreatesNothing)
{
    const BadAdd& c = GetParam();
    int r = 0;
    std::string log = captured([&] {
        r = mail_handler_add(c.tmpl, c.type, c.value, c.executable, "ctx", c.hook, c.priority,
                             HOOK_ENABLE);
    });
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos, log.find(c.message)) << log;
    EXPECT_TRUE(entries(INFO).empty());
    EXPECT_TRUE(entries(QUEUE + "/before-queue").empty());
    EXPECT_FALSE(fileExists("/usr/local/hsp/etc"));
}

const char* const P = "/usr/local/libexec/test-handler";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Inputs, HandlerStoreBadAdd, testing::Values(
    BadAdd{"missing executable", "t", "recipient", "a@x.com", "/no/such/prog", "before-queue", "10",
           "Unable to stat executable '/no/such/prog'"},
    BadAdd{"unknown type", "t", "recipients", "a@x.com", P, "before-queue", "10",
           "Handler type is invalid: recipients"},
    BadAdd{"null type", "t", nullptr, "a@x.com", P, "before-queue", "10",
           "Handler type is invalid: (null)"},
    BadAdd{"all as type", "t", "all", "a@x.com", P, "before-queue", "10",
           "Handler type is invalid: all"},
    BadAdd{"no type value", "t", "sender", "", P, "before-queue", "10",
           "HandlerTypeName parameter is not defined"},
    BadAdd{"null type value", "t", "sender-domain", nullptr, P, "before-queue", "10",
           "HandlerTypeName parameter is not defined"},
    BadAdd{"value leaving the queue", "t", "recipient", "../../../etc", P, "before-queue", "10",
           "Invalid handler type name '../../../etc'"},
    BadAdd{"value with a slash", "t", "recipient-domain", "x.com/y", P, "before-queue", "10",
           "Invalid handler type name 'x.com/y'"},
    BadAdd{"hook leaving the queue", "t", "recipient", "a@x.com", P, "../etc", "10",
           "Invalid hook '../etc'"},
    BadAdd{"hook in the registry", "t", "global", nullptr, P, "info", "10",
           "Invalid hook 'info'"},
    BadAdd{"empty template", "", "recipient", "a@x.com", P, "before-queue", "10",
           "Invalid handler name template ''"},
    BadAdd{"template with a slash", "a/b", "recipient", "a@x.com", P, "before-queue", "10",
           "Invalid handler name template 'a/b'"},
    BadAdd{"priority with a dash", "t", "recipient", "a@x.com", P, "before-queue", "-5",
           "Invalid handler priority '-5'"},
    BadAdd{"empty priority", "t", "recipient", "a@x.com", P, "before-queue", "",
           "Invalid handler priority ''"}));
// clang-format on

// Drafts - registry directories under dot names, as an add killed before its
// directory was complete leaves them: one with only its hook, one with every
// entry of a handler that would match the lookups below.
class HandlerStoreDrafts : public HandlerStore {
protected:
    void SetUp() override
    {
        HandlerStore::SetUp();
        mxtest::makeDirs(INFO + "/" + PARTIAL);
        mxtest::writeFile(INFO + "/" + PARTIAL + "/hook", "before-queue\n");
        mxtest::makeDirs(INFO + "/" + WHOLE);
        mxtest::writeFile(INFO + "/" + WHOLE + "/hook", "before-queue\n");
        mxtest::writeFile(INFO + "/" + WHOLE + "/handler-type", "recipient\n");
        mxtest::writeFile(INFO + "/" + WHOLE + "/recipient", "a@x.com\n");
        mxtest::writeFile(INFO + "/" + WHOLE + "/context", "ctx\n");
        ASSERT_EQ(0, symlink(PROG.c_str(), (INFO + "/" + WHOLE + "/executable").c_str()));
    }

    // handlers - the registry entries that are not drafts.
    static std::vector<std::string> handlers()
    {
        std::vector<std::string> names;
        for (const std::string& n : entries(INFO))
            if (n[0] != '.')
                names.push_back(n);
        return names;
    }

    const std::string PARTIAL = ".10-spam-Ab3dE9";
    const std::string WHOLE = ".10-spam-Zz0yY1";
};

TEST_F(HandlerStoreDrafts, AreNeitherFoundNorCountedAndDoNotHinderAnAdd)
{
    std::string log = captured([&] {
        EXPECT_EQ("<null>", take(get_handler_name("spam", "recipient", "a@x.com", "before-queue")));
        EXPECT_EQ(0, mass_control_handler_queue("all", HOOK_DISABLE));
        EXPECT_EQ(0, mass_control_handler_queue("spam", HOOK_ENABLE));
        EXPECT_EQ(0, mass_control_handler_by_mailname("x.com", "y.com", HOOK_CLONE));
    });
    EXPECT_EQ("", log);
    EXPECT_TRUE(handlers().empty());
    EXPECT_FALSE(fileExists(QUEUE + "/before-queue"));

    std::string name = add("spam", "recipient", "a@x.com");
    EXPECT_EQ(std::vector<std::string>{name}, handlers());
    EXPECT_EQ(name, take(get_handler_name("spam", "recipient", "a@x.com", "before-queue")));
    EXPECT_EQ(std::vector<std::string>{name},
              entries(queueDir("before-queue", "recipient", "a@x.com")));
    log = captured([&] { EXPECT_EQ(0, mass_control_handler_queue("all", HOOK_DELETE)); });
    EXPECT_EQ("", log);
    EXPECT_TRUE(handlers().empty());
    // Ignored, not removed: a draft may belong to an add still running.
    EXPECT_EQ((std::vector<std::string>{PARTIAL, WHOLE}), entries(INFO));
}

TEST_F(HandlerStore, AnAddThatFailsAtItsLastStepLeavesNothingInTheRegistry)
{
    // A relative program whose full path is too long for a link: every value
    // is written before the link fails.
    std::string deep = "/usr/local/deep";
    while (deep.size() < 3000)
        deep += "/" + std::string(200, 'd');
    std::string rel = std::string(200, 'r');
    while (rel.size() < 1400)
        rel += "/" + std::string(200, 'r');
    mxtest::makeDirs(deep);
    ASSERT_EQ(0, chdir(deep.c_str()));
    mxtest::makeDirs(rel);
    mxtest::installScript(rel + "/prog", "exit 0\n");
    int r = 0;
    std::string log = captured([&] {
        r = mail_handler_add("spam", "recipient", "a@x.com", (rel + "/prog").c_str(), "ctx",
                             "before-queue", "10", HOOK_ENABLE);
    });
    ASSERT_EQ(0, chdir("/"));
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos, log.find("Unable to symlink '" + deep)) << log;
    EXPECT_NE(std::string::npos, log.find("' to '" + INFO + "/.10-spam-")) << log;
    EXPECT_TRUE(entries(INFO).empty());
    EXPECT_FALSE(fileExists(QUEUE + "/before-queue"));
    // The next add goes through.
    std::string name = add("spam", "recipient", "a@x.com");
    EXPECT_EQ(std::vector<std::string>{name}, entries(INFO));
}

TEST_F(HandlerStore, RelativeExecutableIsLinkedByItsFullPath)
{
    ASSERT_EQ(0, chdir("/usr/local"));
    ASSERT_EQ(0, mail_handler_add("t", "global", nullptr, "libexec/test-handler", "c",
                                  "before-queue", "1", HOOK_ENABLE));
    std::vector<std::string> names = entries(INFO);
    ASSERT_EQ(1u, names.size());
    EXPECT_EQ(PROG, link(names[0]));
}

TEST_F(HandlerStore, ParametersAreReadTrimmedAndChecked)
{
    std::string name = add("spam", "recipient", "a@x.com");
    mxtest::writeFile(INFO + "/" + name + "/padded", "  \t value with  blanks \t\nsecond line\n");
    EXPECT_EQ("value with  blanks", take(get_handler_parameter(name.c_str(), "padded")));
    mxtest::writeFile(INFO + "/" + name + "/empty", "");
    EXPECT_EQ("", take(get_handler_parameter(name.c_str(), "empty")));
    mxtest::writeFile(INFO + "/" + name + "/long", std::string(311, 'v') + "\n");
    mxtest::writeFile(INFO + "/" + name + "/limit", std::string(310, 'v') + "\n");
    EXPECT_EQ(std::string(310, 'v'), take(get_handler_parameter(name.c_str(), "limit")));
    std::string log;
    log = captured([&] { EXPECT_EQ("<null>", take(get_handler_parameter(name.c_str(), "long"))); });
    EXPECT_NE(std::string::npos, log.find("Unable to get string from file: ")) << log;
    log = captured([&] { EXPECT_EQ("<null>", take(get_handler_parameter(name.c_str(), "nope"))); });
    EXPECT_EQ("No such parameter 'nope' for handler '" + name + "'\n", log);
    log = captured([&] {
        EXPECT_EQ("<null>", take(get_handler_parameter(std::string(5000, 'n').c_str(), "hook")));
    });
    EXPECT_NE(std::string::npos, log.find("are too long to be stored in the filesystem")) << log;
}

TEST_F(HandlerStore, StringToFileWritesOneLineOfMode0644)
{
    mxtest::makeDirs("/usr/local/hsp/t");
    mode_t old = umask(077);
    EXPECT_EQ(0, string_to_file("/usr/local/hsp/t", "v", "value"));
    umask(old);
    EXPECT_EQ("value\n", readFile("/usr/local/hsp/t/v"));
    EXPECT_EQ(0644, fileMode("/usr/local/hsp/t/v"));
    EXPECT_EQ(0, string_to_file("/usr/local/hsp/t", "e", ""));
    EXPECT_EQ(0, string_to_file("/usr/local/hsp/t", "n", nullptr));
    EXPECT_FALSE(fileExists("/usr/local/hsp/t/e"));
    EXPECT_FALSE(fileExists("/usr/local/hsp/t/n"));
    std::string log;
    log = captured([&] { EXPECT_EQ(-1, string_to_file("/usr/local/hsp/t", "m", "two\nlines")); });
    EXPECT_FALSE(fileExists("/usr/local/hsp/t/m"));
    log = captured([&] { EXPECT_EQ(-1, string_to_file("/usr/local/hsp/none", "v", "x")); });
    EXPECT_NE(std::string::npos, log.find("Unable to create file '/usr/local/hsp/none/v'")) << log;
}

TEST_F(HandlerStore, RemovalRefusesNamesOutsideTheRegistry)
{
    std::string name = add("spam", "recipient", "a@x.com");
    for (const char* bad : {"", ".", "..", "../info"}) {
        std::string log = captured([&] { EXPECT_EQ(-1, mail_handler_remove(bad)); });
        EXPECT_FALSE(log.empty()) << bad;
    }
    EXPECT_EQ(std::vector<std::string>{name}, entries(INFO));
    EXPECT_EQ(1, check(name));
}

TEST_F(HandlerStore, AMissingRegistryHoldsNoHandlers)
{
    std::string log = captured([&] {
        EXPECT_EQ("<null>", take(get_handler_name("spam", "recipient", "a@x.com", "before-queue")));
        EXPECT_EQ(0, mass_control_handler_queue("all", HOOK_DELETE));
        EXPECT_EQ(0, mass_control_handler_by_mailname("x.com", "y.com", HOOK_MOVE));
    });
    EXPECT_EQ("", log);
}

TEST_F(HandlerStore, LookupNeedsItsParameters)
{
    std::string log;
    log =
        captured([&] { EXPECT_EQ("<null>", take(get_handler_name("", "global", nullptr, "h"))); });
    EXPECT_EQ("Some parameter(s) were not defined\n", log);
    log = captured([&] { EXPECT_EQ("<null>", take(get_handler_name("t", "bogus", "a", "h"))); });
    EXPECT_EQ("Invalid handler type 'bogus'\n", log);
    log = captured([&] { EXPECT_EQ("<null>", take(get_handler_name("t", nullptr, "a", "h"))); });
    EXPECT_EQ("Invalid handler type '(null)'\n", log);
    log = captured([&] { EXPECT_EQ("<null>", take(get_handler_name("t", "sender", "", "h"))); });
    EXPECT_EQ("Some parameter was not defined\n", log);
}

class HandlerStoreSync : public HandlerStore {
protected:
    std::string calls() { return fileExists(LOG) ? readFile(LOG) : ""; }
    const std::string LOG = "/usr/local/hsp/sync.log";
};

TEST_F(HandlerStoreSync, EveryChangeRunsTheSyncWithRefresh)
{
    mxtest::installScript(SYNC, "echo \"$*\" >>" + LOG + "\n");
    std::string name = add("spam", "recipient", "a@x.com");
    EXPECT_EQ("refresh\n", calls());
    EXPECT_EQ(1, check(name));
    EXPECT_EQ("refresh\n", calls());
    EXPECT_EQ(0, control_handler_queue(name.c_str(), nullptr, HOOK_DISABLE));
    EXPECT_EQ("refresh\nrefresh\n", calls());
}

TEST_F(HandlerStoreSync, AFailingSyncChangesNoResult)
{
    mxtest::installScript(SYNC, "echo broken >&2\nexit 3\n");
    int r = -1;
    std::string log = captured([&] {
        r = mail_handler_add("spam", "recipient", "a@x.com", PROG.c_str(), "c", "before-queue",
                             "10", HOOK_ENABLE);
    });
    EXPECT_EQ(0, r);
    EXPECT_NE(std::string::npos, log.find("Cannot sync tmps storage to fs")) << log;
    EXPECT_NE(std::string::npos, log.find("broken")) << log;
    EXPECT_EQ(1u, entries(INFO).size());
}

TEST_F(HandlerStoreSync, ASyncThatIsNotExecutableIsNotRun)
{
    mxtest::installScript(SYNC, "echo \"$*\" >>" + LOG + "\n");
    ASSERT_EQ(0, chmod(SYNC.c_str(), 0644));
    add("spam", "recipient", "a@x.com");
    EXPECT_EQ("", calls());
}

} // namespace
