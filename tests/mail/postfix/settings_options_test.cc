// settings_options_test.cc - the --netmask and --account-format value types
// through the options parser, and the RBL rewrite of the client restrictions.
#include "mail/postfix/settings_options.h"

#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>
#include <gtest/gtest.h>

#include "mail/postfix/settings_manager.h"

namespace po = boost::program_options;
using namespace ostra::mail::postfix;
using namespace ostra::mail::postfix::mxadmin_commands;

namespace {

// parse - parse "--<option> <word>..." for an option of type T into the map.
template <class T> po::variables_map parse(const std::vector<std::string>& args)
{
    po::options_description options;
    options.add_options()("netmask", po::value<IPv4Mask>(),
                          "netmask")("account-format", po::value<ShortnameFormat>(), "format");
    std::vector<const char*> argv{"--command"};
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    po::variables_map vm;
    po::store(
        po::command_line_parser(static_cast<int>(argv.size()), const_cast<char**>(argv.data()))
            .options(options)
            .run(),
        vm);
    return vm;
}

struct MaskCase {
    const char* word;
    int bits; // -1: rejected as invalid value, -2: conversion error
};

void PrintTo(const MaskCase& c, std::ostream* out)
{
    *out << "'" << c.word << "'";
}

class IPv4MaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(IPv4MaskTest, ParsesPrefixLength)
{
    const MaskCase c = GetParam();
    // The value as the next argument: "--netmask=" alone is a syntax error.
    const std::vector<std::string> args{"--netmask", c.word};
    if (c.bits >= 0) {
        EXPECT_EQ(c.bits, parse<IPv4Mask>(args)["netmask"].as<IPv4Mask>().value);
    } else if (c.bits == -1) {
        try {
            parse<IPv4Mask>(args);
            ADD_FAILURE() << "accepted";
        } catch (const po::invalid_option_value& e) {
            EXPECT_NE(std::string::npos,
                      std::string(e.what()).find(std::string("'") + c.word + "'"))
                << e.what();
        }
    } else {
        EXPECT_THROW(parse<IPv4Mask>(args), boost::bad_lexical_cast);
    }
}

INSTANTIATE_TEST_SUITE_P(Words, IPv4MaskTest,
                         ::testing::Values(MaskCase{"0", 0}, MaskCase{"8", 8}, MaskCase{"32", 32},
                                           MaskCase{"33", -1}, MaskCase{"65535", -1},
                                           MaskCase{"abc", -2}, MaskCase{"", -2},
                                           MaskCase{"24 ", -2}, MaskCase{"65536", -2},
                                           MaskCase{"2.5", -2}));

TEST(IPv4Mask, SecondOccurrenceIsRejected)
{
    EXPECT_THROW(parse<IPv4Mask>({"--netmask=8", "--netmask=16"}), po::multiple_occurrences);
}

TEST(ShortnameFormat, WordsAreExactAndCaseSensitive)
{
    EXPECT_EQ(ShortnameFormat::COMPOUND,
              parse<ShortnameFormat>({"--account-format=compound"})["account-format"]
                  .as<ShortnameFormat>()
                  .value);
    EXPECT_EQ(ShortnameFormat::BOTH,
              parse<ShortnameFormat>({"--account-format", "both"})["account-format"]
                  .as<ShortnameFormat>()
                  .value);
    for (const char* bad : {"Compound", "BOTH", "simple", "", "compound "})
        EXPECT_THROW(parse<ShortnameFormat>({"--account-format", bad}), po::invalid_option_value)
            << "'" << bad << "'";
    EXPECT_THROW(parse<ShortnameFormat>({"--account-format=compound", "--account-format=compound"}),
                 po::multiple_occurrences);
}

struct RblCase {
    const char* name;
    std::string current;
    std::vector<std::string> zones;
    std::string expected;
};

void PrintTo(const RblCase& c, std::ostream* out)
{
    *out << c.name;
}

class RblRestrictionsTest : public ::testing::TestWithParam<RblCase> {};

TEST_P(RblRestrictionsTest, ReplacesRblChecksOnly)
{
    const RblCase& c = GetParam();
    EXPECT_EQ(c.expected, SettingsManager::rblRestrictions(c.current, c.zones));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RblRestrictionsTest,
    ::testing::Values(
        RblCase{"NothingAtAll", "", {}, ""},
        RblCase{"ZonesIntoEmptyValue",
                "",
                {"bl.example.org", "dnsbl.example.net"},
                "reject_rbl_client bl.example.org, reject_rbl_client dnsbl.example.net"},
        RblCase{"OldChecksReplacedOthersKeptInOrder",
                "permit_mynetworks, reject_rbl_client old.example.org,reject_unknown_client",
                {"new.example.org", "two.example.org"},
                "permit_mynetworks, reject_unknown_client, reject_rbl_client new.example.org, "
                "reject_rbl_client two.example.org"},
        RblCase{"NoZonesRemovesEveryCheck",
                "reject_rbl_client a.example.org, reject_rbl_client b.example.org",
                {},
                ""},
        RblCase{"EmptyPiecesAndBlanksDropped",
                " ,, permit ,,\treject_rbl_client z.example.org ,",
                {"", "x.example.org", ""},
                "permit, reject_rbl_client x.example.org"},
        RblCase{
            "AnyElementNamingTheCheckGoes", "check_x reject_rbl_clientfoo, permit", {}, "permit"},
        RblCase{"ZonesNeitherDeduplicatedNorValidated",
                "",
                {"a", "a", "not a zone"},
                "reject_rbl_client a, reject_rbl_client a, reject_rbl_client not a zone"}));

} // namespace
