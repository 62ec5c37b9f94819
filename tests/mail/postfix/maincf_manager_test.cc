// maincf_manager_test.cc - the list rules of the main.cf edits, without postconf.
#include "mail/postfix/maincf_manager.h"

#include <gtest/gtest.h>

#include <string>

using namespace ostra::mail::postfix::maincf;

namespace {

struct HasCase {
    std::string value, element;
    bool found;
};

class ListHas : public ::testing::TestWithParam<HasCase> {};

TEST_P(ListHas, SplitsAtEveryBlankTabAndComma)
{
    EXPECT_EQ(GetParam().found, listHas(GetParam().value, GetParam().element))
        << "[" << GetParam().value << "] [" << GetParam().element << "]";
}

INSTANTIATE_TEST_SUITE_P(
    MainCf, ListHas,
    ::testing::Values(HasCase{"", "a", false}, HasCase{"a", "a", true}, HasCase{"a, b", "b", true},
                      HasCase{"a,b\tc d", "c", true}, HasCase{"a,b\tc d", "d", true},
                      HasCase{"ab, c", "a", false}, HasCase{"A", "a", false},
                      HasCase{"10.0.0.0/8", "10.0.0.0", false},
                      // A keyword and its argument are two pieces to this rule.
                      HasCase{"check_client_access hash:/x", "hash:/x", true},
                      HasCase{"check_client_access hash:/x", "check_client_access hash:/x",
                              false}));

struct EditCase {
    const char* label;
    std::string value, element;
    bool written;
    std::string result;
};

class CompoundAppend : public ::testing::TestWithParam<EditCase> {};

TEST_P(CompoundAppend, AppendsOnceAndNormalisesSeparators)
{
    const EditCase& c = GetParam();
    std::string result = "untouched";
    EXPECT_EQ(c.written, compoundAppend(c.value, c.element, result)) << c.label;
    EXPECT_EQ(c.written ? c.result : "untouched", result) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    MainCf, CompoundAppend,
    ::testing::Values(
        EditCase{"empty list", "", "check_client_access hash:/t", true,
                 "check_client_access hash:/t"},
        EditCase{"appended with separators normalised",
                 "permit_mynetworks ,reject_unauth_destination,,  ", "check_client_access hash:/t",
                 true, "permit_mynetworks, reject_unauth_destination, check_client_access hash:/t"},
        EditCase{"already present", "permit_mynetworks, check_client_access hash:/t",
                 "check_client_access hash:/t", false, ""},
        EditCase{"already present with blanks around it",
                 "permit_mynetworks,   check_client_access hash:/t  ,reject",
                 "check_client_access hash:/t", false, ""},
        EditCase{"element given with blanks is matched trimmed", "a, check_client_access hash:/t",
                 " check_client_access hash:/t ", false, ""},
        EditCase{"same keyword, other argument", "check_client_access hash:/t",
                 "check_client_access hash:/u", true,
                 "check_client_access hash:/t, check_client_access hash:/u"},
        EditCase{"words without a comma stay one element",
                 "permit_mynetworks reject_unauth_destination", "reject_rbl_client z", true,
                 "permit_mynetworks reject_unauth_destination, reject_rbl_client z"},
        EditCase{"new element is appended as given", "a", "k  v", true, "a, k  v"}));

class ListRemove : public ::testing::TestWithParam<EditCase> {};

TEST_P(ListRemove, DropsEveryOccurrence)
{
    const EditCase& c = GetParam();
    std::string result = "untouched";
    EXPECT_EQ(c.written, listRemove(c.value, c.element, result)) << c.label;
    EXPECT_EQ(c.written ? c.result : "untouched", result) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    MainCf, ListRemove,
    ::testing::Values(EditCase{"middle element", "a, b, c", "b", true, "a, c"},
                      EditCase{"two occurrences", "b,a b\tc,,b", "b", true, "a, c"},
                      EditCase{"absent element", "a, b", "c", false, ""},
                      EditCase{"prefix is not the element", "ab, b2", "b", false, ""},
                      EditCase{"only element", "b", "b", true, ""},
                      EditCase{"runs of separators count as one", "a ,\t, b,  c", "c", true,
                               "a, b"},
                      EditCase{"separators at the ends make no element", ", a, b,", "a", true, "b"},
                      EditCase{"empty list", "", "a", false, ""}));

struct ReplacementCase {
    const char* firstIp;
    std::string replacement;
};

class MynetworksReplacement : public ::testing::TestWithParam<ReplacementCase> {};

TEST_P(MynetworksReplacement, LoopbackNetworkPlusFirstOtherAddress)
{
    EXPECT_EQ(GetParam().replacement, mynetworksReplacement(GetParam().firstIp));
}

INSTANTIATE_TEST_SUITE_P(
    MainCf, MynetworksReplacement,
    ::testing::Values(ReplacementCase{nullptr, "127.0.0.0/8"}, ReplacementCase{"", "127.0.0.0/8"},
                      ReplacementCase{"127.0.0.1", "127.0.0.0/8"},
                      ReplacementCase{"127.1.2.3", "127.0.0.0/8"},
                      ReplacementCase{"10.1.2.3", "127.0.0.0/8, 10.1.2.3/32"},
                      ReplacementCase{"12.0.0.1", "127.0.0.0/8, 12.0.0.1/32"}));

struct NormaliseCase {
    const char* label;
    std::string value, defaults;
    std::string result;
};

class NormaliseMynetworks : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(NormaliseMynetworks, ComputedDefaultNeverWrittenBack)
{
    const NormaliseCase& c = GetParam();
    EXPECT_EQ(c.result, normaliseMynetworks(c.value, c.defaults, "127.0.0.0/8, 192.0.2.1/32"))
        << c.label;
}

const std::string D = "127.0.0.0/8 [::ffff:127.0.0.0]/104 [::1]/128 192.0.2.0/24";

INSTANTIATE_TEST_SUITE_P(
    MainCf, NormaliseMynetworks,
    ::testing::Values(NormaliseCase{"value is the default", D, D, "127.0.0.0/8, 192.0.2.1/32"},
                      NormaliseCase{"default first, more after", D + ", 10.0.0.0/8", D,
                                    "127.0.0.0/8, 192.0.2.1/32, 10.0.0.0/8"},
                      NormaliseCase{"default later: text before it kept", "10.0.0.0/8, " + D, D,
                                    "10.0.0.0/8, 127.0.0.0/8, 192.0.2.1/32"},
                      NormaliseCase{"default absent", "10.0.0.0/8", D, "10.0.0.0/8"},
                      NormaliseCase{"part of the default only", "127.0.0.0/8", D, "127.0.0.0/8"},
                      NormaliseCase{"empty default hides nothing", "10.0.0.0/8", "", "10.0.0.0/8"},
                      NormaliseCase{"empty value and default", "", "", ""}));

} // namespace
