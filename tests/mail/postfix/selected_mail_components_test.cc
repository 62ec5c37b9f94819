// selected_mail_components_test.cc - the --mail-component words through the option parser.
#include "mail/postfix/selected_mail_components.h"

#include <string>
#include <vector>

#include <boost/program_options.hpp>
#include <gtest/gtest.h>

namespace po = boost::program_options;
using ostra::mail::postfix::mxadmin_commands::SelectedMailComponents;

namespace {

// parse - the option value after parsing args as a service command's options.
// No option at all gives the default-constructed value.
SelectedMailComponents parse(const std::vector<std::string>& args)
{
    po::options_description options;
    options.add_options()("mail-component", po::value<SelectedMailComponents>(), "component");
    std::vector<const char*> argv = {"--status-service"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    po::variables_map variables;
    po::store(
        po::command_line_parser(static_cast<int>(argv.size()), const_cast<char**>(argv.data()))
            .options(options)
            .run(),
        variables);
    po::notify(variables);
    if (variables.count("mail-component") == 0)
        return SelectedMailComponents();
    return variables["mail-component"].as<SelectedMailComponents>();
}

struct WordCase {
    const char* word;
    unsigned bit;
};

class ComponentWordTest : public ::testing::TestWithParam<WordCase> {};

TEST_P(ComponentWordTest, OneOccurrenceSetsItsBit)
{
    const WordCase& c = GetParam();
    EXPECT_EQ(c.bit, parse({std::string("--mail-component=") + c.word}).value);
    EXPECT_EQ(c.bit, parse({"--mail-component", c.word}).value);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ComponentWordTest,
    ::testing::Values(WordCase{"mta", 1}, WordCase{"smtp", 2}, WordCase{"smtps", 4},
                      WordCase{"submission", 8}, WordCase{"pop3", 16}, WordCase{"imap", 32},
                      WordCase{"pop3s", 64}, WordCase{"imaps", 128}, WordCase{"all", 65535}),
    [](const ::testing::TestParamInfo<WordCase>& info) { return std::string(info.param.word); });

TEST(SelectedMailComponentsTest, RepeatedOccurrencesAccumulate)
{
    SelectedMailComponents c = parse({"--mail-component=imap", "--mail-component=pop3"});
    EXPECT_EQ(16u | 32u, c.value);
    EXPECT_TRUE(c.selected(SelectedMailComponents::IMAP));
    EXPECT_TRUE(c.selected(SelectedMailComponents::POP3));
    EXPECT_FALSE(c.selected(SelectedMailComponents::POP3S | SelectedMailComponents::IMAPS));
    EXPECT_FALSE(c.selected(SelectedMailComponents::MTA));
    EXPECT_TRUE(c.selected(SelectedMailComponents::COURIER));

    // The same word twice is no error and changes nothing.
    EXPECT_EQ(2u, parse({"--mail-component=smtp", "--mail-component=smtp"}).value);
}

TEST(SelectedMailComponentsTest, NothingGivenSelectsEverything)
{
    SelectedMailComponents none = parse({});
    EXPECT_EQ(0u, none.value);
    EXPECT_EQ(65535u, none.effective());
    for (unsigned bit = 1; bit <= 128; bit <<= 1)
        EXPECT_TRUE(none.selected(bit)) << bit;
}

TEST(SelectedMailComponentsTest, GroupsAreTheirMembers)
{
    EXPECT_EQ(240u, unsigned(SelectedMailComponents::COURIER));
    EXPECT_EQ(14u, unsigned(SelectedMailComponents::MASTER_CF));
    SelectedMailComponents smtp = parse({"--mail-component=smtps"});
    EXPECT_TRUE(smtp.selected(SelectedMailComponents::MASTER_CF));
    EXPECT_FALSE(smtp.selected(SelectedMailComponents::COURIER));
    EXPECT_FALSE(smtp.selected(SelectedMailComponents::MTA));
}

class UnknownComponentTest : public ::testing::TestWithParam<const char*> {};

TEST_P(UnknownComponentTest, IsAnInvalidValueNamingTheWord)
{
    const std::string word = GetParam();
    try {
        // As a separate argument, so that even the empty word reaches the validator.
        parse({"--mail-component=imap", "--mail-component", word});
        FAIL() << "accepted " << word;
    } catch (const po::invalid_option_value& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("unknown component " + word + "'"))
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Words, UnknownComponentTest,
                         ::testing::Values("IMAP", "", "Mta", "al", "imap ", " pop3", "pop3,imap",
                                           "smtp=1"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return "case" + std::to_string(info.index);
                         });

} // namespace
