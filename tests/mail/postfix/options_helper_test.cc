// options_helper_test.cc - per-command options: help, usage errors and exit statuses,
// driven through a handler written for the test.
#include "mail/postfix/options_helper.h"

#include <gtest/gtest.h>
#include <iostream>
#include <vector>

#include "testsupport.h"

namespace po = boost::program_options;
using namespace ostra::mail::postfix::mxadmin_commands;

namespace {

using mxtest::Captured;
using mxtest::inChild;

// demoCommand - a command handler of the usual shape; prints what it parsed.
int demoCommand(int argc, char** argv)
{
    ProgramOptionsHelper helper("demonstrate options",
                                "--demo --domain-name=<domain> --mailname=<name> [--count=<n>]");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mail name", true)
        ("count,c", po::value<long long>(), "how many")
        ("verbose,v", "talk more")
        ("tag", po::value<std::vector<std::string>>(), "a tag, repeatable");
    // clang-format on
    standardOptionsParse(helper, argc, argv);

    const po::variables_map& v = helper.variables;
    std::cout << "domain=" << v["domain-name"].as<std::string>()
              << " mailname=" << v["mailname"].as<std::string>();
    if (v.count("count"))
        std::cout << " count=" << v["count"].as<long long>();
    if (v.count("verbose"))
        std::cout << " verbose";
    if (v.count("tag"))
        for (const std::string& t : v["tag"].as<std::vector<std::string>>())
            std::cout << " tag=" << t;
    std::cout << "\n";
    return 7;
}

// runDemo - run demoCommand in a child with argv[0] "--demo" and the given options.
Captured runDemo(std::vector<std::string> args)
{
    args.insert(args.begin(), "--demo");
    return inChild([&args] {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int rc = demoCommand(static_cast<int>(args.size()), argv.data());
        std::cout << "returned " << rc << "\n";
    });
}

const std::string demoHelp =
    "demonstrate options\n"
    "Usage: --demo --domain-name=<domain> --mailname=<name> [--count=<n>]\n"
    "Allowed options to demonstrate options:\n"
    "  --domain-name arg     domain name (mandatory)\n"
    "  --mailname arg        mail name (mandatory)\n"
    "  -c [ --count ] arg    how many\n"
    "  -v [ --verbose ]      talk more\n"
    "  --tag arg             a tag, repeatable\n"
    "  -h [ --help ]         displays this help message\n"
    "\n";

// ---- help on request ----

class HelpRequest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(HelpRequest, PrintsHelpOnStdoutAndExitsZero)
{
    Captured r = runDemo(GetParam());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(demoHelp, r.out);
    EXPECT_EQ("", r.err);
}

INSTANTIATE_TEST_SUITE_P(Forms, HelpRequest,
                         ::testing::Values(std::vector<std::string>{"--help"},
                                           std::vector<std::string>{"-h"},
                                           // mandatory options missing do not matter
                                           std::vector<std::string>{"--count=3", "--help"},
                                           std::vector<std::string>{"--domain-name=a", "-vh"}));

// ---- usage errors ----

struct UsageCase {
    std::string name;
    std::vector<std::string> args;
    std::string message;
};

void PrintTo(const UsageCase& c, std::ostream* os)
{
    *os << c.name;
}

class UsageError : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageError, MessageOnUerrThenHelpOnStdoutExitOne)
{
    const UsageCase& c = GetParam();
    Captured r = runDemo(c.args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(c.message + "\n", r.err);
    // uerr copies the message to stdout, ahead of the help.
    EXPECT_EQ(c.message + "\n" + demoHelp, r.out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsageError,
    ::testing::Values(
        UsageCase{"LastDeclaredMandatoryNamedFirst",
                  {},
                  "mandatory option \"--mailname\" is not specified"},
        UsageCase{"OneMandatoryMissing",
                  {"--mailname=b"},
                  "mandatory option \"--domain-name\" is not specified"},
        UsageCase{"PrefixIsNotGuessed",
                  {"--domain=a", "--mailname=b"},
                  "unrecognised option '--domain=a'"},
        UsageCase{"NamesAreCaseSensitive",
                  {"--Domain-Name=a", "--mailname=b"},
                  "unrecognised option '--Domain-Name=a'"},
        UsageCase{
            "HelpDoesNotBeatAParseError", {"--help", "--bogus"}, "unrecognised option '--bogus'"},
        UsageCase{"SingleValuedTwice",
                  {"--domain-name=a", "--domain-name=b", "--mailname=c"},
                  "option '--domain-name' cannot be specified more than once"},
        UsageCase{"ValueRejected",
                  {"--domain-name=a", "--mailname=b", "--count=many"},
                  "the argument ('many') for option '--count' is invalid"},
        UsageCase{"ValueMissing",
                  {"--domain-name=a", "--mailname=b", "--count"},
                  "the required argument for option '--count' is missing"},
        UsageCase{"StrayWord",
                  {"--domain-name=a", "--mailname=b", "extra"},
                  "too many positional options have been specified on the command line"},
        UsageCase{"SlashIsNotAnOption",
                  {"--domain-name=a", "--mailname=b", "/h"},
                  "too many positional options have been specified on the command line"}),
    [](const ::testing::TestParamInfo<UsageCase>& info) { return info.param.name; });

// ---- accepted spellings ----

struct ParseCase {
    std::vector<std::string> args;
    std::string printed;
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    for (const std::string& a : c.args)
        *os << a << ' ';
}

class Accepted : public ::testing::TestWithParam<ParseCase> {};

TEST_P(Accepted, ValuesReachTheHandler)
{
    Captured r = runDemo(GetParam().args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(GetParam().printed + "\nreturned 7\n", r.out);
    EXPECT_EQ("", r.err);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Accepted,
    ::testing::Values(ParseCase{{"--domain-name=a.example", "--mailname=info"},
                                "domain=a.example mailname=info"},
                      ParseCase{{"--domain-name", "a.example", "--mailname", "info"},
                                "domain=a.example mailname=info"},
                      ParseCase{{"--mailname=info", "--domain-name=a.example", "-c7", "-v"},
                                "domain=a.example mailname=info count=7 verbose"},
                      ParseCase{{"--domain-name=a", "--mailname=b", "-vc", "9"},
                                "domain=a mailname=b count=9 verbose"},
                      ParseCase{{"--domain-name=a", "--mailname=b", "--tag=x", "--tag", "y"},
                                "domain=a mailname=b tag=x tag=y"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) {
        return "Spelling" + std::to_string(info.index);
    });

// ---- in-process behaviour ----

TEST(MissingMandatoryOption, IsAnOptionsErrorWithQuotedLongName)
{
    MissingMandatoryOption e("domain-name");
    EXPECT_STREQ("mandatory option \"--domain-name\" is not specified", e.what());
    EXPECT_THROW(throw MissingMandatoryOption("x"), po::error);
}

TEST(OptionAppender, MandatoryMarkingAndOrder)
{
    ProgramOptionsHelper helper("t", "s");
    // clang-format off
    helper.addOptions()
        ("first", po::value<std::string>(), "domain name", true)
        ("second", "a switch", true)
        ("third", po::value<int>(), "optional");
    // clang-format on
    EXPECT_EQ("domain name (mandatory)", helper.options.find("first", false).description());
    EXPECT_EQ("a switch (mandatory)", helper.options.find("second", false).description());
    EXPECT_EQ("optional", helper.options.find("third", false).description());
    std::vector<std::string> names(helper.mandatory.begin(), helper.mandatory.end());
    EXPECT_EQ((std::vector<std::string>{"second", "first"}), names);
}

TEST(StandardOptionsParse, OtherExceptionsPassThrough)
{
    ProgramOptionsHelper helper("t", "s");
    auto refuse = [](const std::string&) { throw std::runtime_error("notifier"); };
    helper.addOptions()("name", po::value<std::string>()->notifier(refuse), "name");
    char a0[] = "--t", a1[] = "--name=x";
    char* argv[] = {a0, a1, nullptr};
    EXPECT_THROW(standardOptionsParse(helper, 2, argv), std::runtime_error);
}

TEST(StandardOptionsParse, ReturnsWhenAllIsWell)
{
    ProgramOptionsHelper helper("t", "s");
    helper.addOptions()("name", po::value<std::string>(), "name", true)("flag", "flag");
    char a0[] = "--t", a1[] = "--name", a2[] = "x y";
    char* argv[] = {a0, a1, a2, nullptr};
    standardOptionsParse(helper, 3, argv);
    EXPECT_EQ("x y", helper.variables["name"].as<std::string>());
    EXPECT_EQ(0u, helper.variables.count("flag"));
    EXPECT_THROW(helper.variables["flag"].as<std::string>(), boost::bad_any_cast);
}

} // namespace
