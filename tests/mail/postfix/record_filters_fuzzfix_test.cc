// record_filters_fuzzfix_test.cc - the domain filters compare names byte by byte
// to their end: an embedded NUL does not cut the comparison short.
#include <string>

#include <gtest/gtest.h>

#include "mail/postfix/record_filters.h"

namespace db = ostra::mail::postfix::database;

namespace {

// Same length, same bytes up to a NUL, different after it.
const std::string DOMAIN_NAME("\0old.example", 12);
const std::string OTHER_NAME("\0new.example", 12);

TEST(DomainFiltersWithNul, NotInDomainKeepsANameThatDiffersAfterANul)
{
    const db::NotInDomainFilter filter(DOMAIN_NAME);
    std::string s = OTHER_NAME;
    EXPECT_TRUE(filter(s));
    s = "info@" + OTHER_NAME;
    EXPECT_TRUE(filter(s));
    EXPECT_EQ(s, "info@" + OTHER_NAME);
    // The same bytes, in any ASCII case, are still the domain.
    s = std::string("\0OLD.example", 12);
    EXPECT_FALSE(filter(s));
    s = "info@" + DOMAIN_NAME;
    EXPECT_FALSE(filter(s));
}

TEST(DomainFiltersWithNul, ReplaceDomainPartLeavesANameThatDiffersAfterANul)
{
    const std::string newName = "renamed.example";
    const db::ReplaceDomainPart filter(DOMAIN_NAME, newName);
    std::string s = OTHER_NAME;
    EXPECT_TRUE(filter(s));
    EXPECT_EQ(s, OTHER_NAME);
    s = "info@" + OTHER_NAME;
    EXPECT_TRUE(filter(s));
    EXPECT_EQ(s, "info@" + OTHER_NAME);
    s = "info@" + DOMAIN_NAME;
    EXPECT_TRUE(filter(s));
    EXPECT_EQ(s, "info@renamed.example");
}

} // namespace
