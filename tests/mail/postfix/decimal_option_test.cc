// decimal_option_test.cc - numeric option values refuse words that are not
// decimal before converting them, and refuse every word exactly as the plain
// option value types do.
#include "mail/postfix/decimal_option.h"

#include <string>
#include <typeinfo>
#include <vector>

#include <boost/program_options.hpp>
#include <gtest/gtest.h>

#include "mail/postfix/settings_options.h"

namespace po = boost::program_options;
using namespace ostra::mail::postfix::mxadmin_commands;

namespace {

// outcome - what parsing "--n" with the words makes of them: the value read
// back, or the dynamic type and text of the exception.
template <class T>
std::string outcome(po::value_semantic* value, const std::vector<std::string>& words,
                    std::string (*show)(const T&))
{
    po::options_description options;
    options.add_options()("n", value, "number");
    std::vector<std::string> args{"--command"};
    for (const std::string& w : words) {
        args.push_back("--n");
        args.push_back(w);
    }
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    try {
        po::variables_map vm;
        po::store(
            po::command_line_parser(static_cast<int>(argv.size()), const_cast<char**>(argv.data()))
                .options(options)
                .run(),
            vm);
        return "value " + show(vm["n"].as<T>());
    } catch (const std::exception& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
}

std::string showShort(const short& v)
{
    return std::to_string(v);
}

std::string showMask(const IPv4Mask& v)
{
    return std::to_string(v.value);
}

std::string shortOutcome(po::value_semantic* value, const std::vector<std::string>& words)
{
    return outcome<short>(value, words, showShort);
}

std::string maskOutcome(po::value_semantic* value, const std::vector<std::string>& words)
{
    return outcome<IPv4Mask>(value, words, showMask);
}

TEST(IsDecimalWord, OneSignAtMostThenDigitsOnly)
{
    const struct {
        const char* word;
        bool decimal;
    } cases[] = {
        {"0", true},
        {"32", true},
        {"+7", true},
        {"-1", true},
        {"007", true},
        {"99999999999999999999", true},
        {"", false},
        {"-", false},
        {"+", false},
        {"1x", false},
        {" 5", false},
        {"5 ", false},
        {"--5", false},
        {"+-5", false},
        {"0x10", false},
        {"1e3", false},
        {"1.5", false},
        {"\xff\xff\xff\xff"
         "13964",
         false},
        {"5\n", false},
        {"\xd9\xa3", false}, // a non-ASCII digit
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.decimal, isDecimalWord(c.word)) << "'" << c.word << "'";
    EXPECT_FALSE(isDecimalWord(std::string("1\0"
                                           "2",
                                           3)));
}

// Words, one list per option occurrence, that Boost's plain conversion reads
// without harm: the checked value types must come to the same result.
const std::vector<std::vector<std::string>> ASCII_WORDS = {
    {"1x"},      {"99999999999999999999"},
    {"-"},       {""},
    {" 5"},      {"5 "},
    {"abc"},     {"+7"},
    {"-0"},      {"0"},
    {"32"},      {"33"},
    {"32767"},   {"-32768"},
    {"32768"},   {"-1"},
    {"65535"},   {"65536"},
    {"--5"},     {"0x10"},
    {"1e3"},     {"2.5"},
    {"5", "1x"}, {"1x", "5"},
    {"5", "6"},
};

TEST(DecimalValue, ShortRefusesAndAcceptsAsThePlainShortDoes)
{
    for (const auto& words : ASCII_WORDS)
        EXPECT_EQ(shortOutcome(po::value<short>(), words),
                  shortOutcome(decimalValue<short>(), words))
            << "'" << words.front() << "'";
}

TEST(DecimalValue, MaskRefusesAndAcceptsAsThePlainMaskDoes)
{
    for (const auto& words : ASCII_WORDS)
        EXPECT_EQ(maskOutcome(po::value<IPv4Mask>(), words),
                  maskOutcome(decimalValueVia<IPv4Mask, unsigned short>(), words))
            << "'" << words.front() << "'";
}

TEST(DecimalValue, WhatTheCheckedTypesMakeOfTypicalWords)
{
    const std::string invalid = typeid(boost::wrapexcept<po::invalid_option_value>).name();
    // The mask's own check of its range throws without the wrapper.
    const std::string tooLarge = typeid(po::invalid_option_value).name();
    const std::string conversion = typeid(boost::wrapexcept<boost::bad_lexical_cast>).name();
    const std::string badCast = conversion + ": bad lexical cast: source type value could not be "
                                             "interpreted as target";
    const struct {
        const char* word;
        std::string asShort;
        std::string asMask;
    } cases[] = {
        {"300", "value 300", tooLarge + ": the argument ('300') for option '--n' is invalid"},
        // A sign is read; the negative number wraps round and is too large.
        {"-32768", "value -32768",
         tooLarge + ": the argument ('-32768') for option '--n' is invalid"},
        {"+24", "value 24", "value 24"},
        {"1x", invalid + ": the argument ('1x') for option '--n' is invalid", badCast},
        {"99999999999999999999",
         invalid + ": the argument ('99999999999999999999') for option '--n' is invalid", badCast},
        // Bytes above 127, which Boost's own conversion multiplies into an int overflow.
        {"\xff\xff\xff\xff"
         "13964",
         invalid + ": the argument ('\xff\xff\xff\xff"
                   "13964') for option '--n' is invalid",
         badCast},
        {"\xff\xff\xff\xff\xff\xff\xff\xff"
         "1",
         invalid + ": the argument ('\xff\xff\xff\xff\xff\xff\xff\xff"
                   "1') for option '--n' is "
                   "invalid",
         badCast},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.asShort, shortOutcome(decimalValue<short>(), {c.word})) << c.word;
        EXPECT_EQ(c.asMask, maskOutcome(decimalValueVia<IPv4Mask, unsigned short>(), {c.word}))
            << c.word;
    }
}

TEST(DecimalValue, DefaultValueStillApplies)
{
    po::options_description options;
    options.add_options()("n", decimalValue<short>()->default_value(-1, "-1"), "number");
    const char* argv[] = {"--command"};
    po::variables_map vm;
    po::store(po::command_line_parser(1, const_cast<char**>(argv)).options(options).run(), vm);
    EXPECT_EQ(-1, vm["n"].as<short>());
}

} // namespace
