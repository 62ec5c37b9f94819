// env_test.cc - password hand-over through the environment and the features lines.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>

#include "ostra/env.h"

namespace {

class EnvPasswordTest : public testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear()
    {
        unsetenv("HSP_PASSWORD");
        unsetenv("HSP_CRYPTED_PASSWORD");
    }
    // take - get_env_password's result, password and flag.
    static int take(std::string* password, int* encrypted)
    {
        char* value = nullptr;
        int rc = get_env_password(&value, encrypted);
        if (value != nullptr) {
            *password = value;
            free(value);
        }
        return rc;
    }
};

TEST_F(EnvPasswordTest, PlainPasswordIsTakenOnceAndRemoved)
{
    setenv("HSP_PASSWORD", "s3cret", 1);
    setenv("HSP_CRYPTED_PASSWORD", "$1$abc", 1);
    std::string password;
    int encrypted = -1;
    ASSERT_EQ(0, take(&password, &encrypted));
    EXPECT_EQ("s3cret", password);
    EXPECT_EQ(0, encrypted);
    EXPECT_EQ(nullptr, getenv("HSP_PASSWORD"));
    EXPECT_EQ(nullptr, getenv("HSP_CRYPTED_PASSWORD")); // both go, the unused one kept

    ASSERT_EQ(0, take(&password, &encrypted));
    EXPECT_EQ("$1$abc", password);
    EXPECT_EQ(1, encrypted);
    EXPECT_EQ(nullptr, getenv("HSP_CRYPTED_PASSWORD"));

    EXPECT_EQ(-1, take(&password, &encrypted));
}

TEST_F(EnvPasswordTest, EmptyPlainPasswordFallsBackToTheCryptedOne)
{
    setenv("HSP_PASSWORD", "", 1);
    setenv("HSP_CRYPTED_PASSWORD", "$6$xyz", 1);
    std::string password;
    int encrypted = -1;
    ASSERT_EQ(0, take(&password, &encrypted));
    EXPECT_EQ("$6$xyz", password);
    EXPECT_EQ(1, encrypted);
}

TEST_F(EnvPasswordTest, NothingSetFails)
{
    setenv("HSP_CRYPTED_PASSWORD", "", 1);
    std::string password = "unchanged";
    int encrypted = 7;
    EXPECT_EQ(-1, take(&password, &encrypted));
    EXPECT_EQ("unchanged", password);
    EXPECT_EQ(7, encrypted);
}

struct FeatureCase {
    const char* value;
    const char* line;
};

class PrintFeatureTest : public testing::TestWithParam<FeatureCase> {};

TEST_P(PrintFeatureTest, QuotesAllButBooleans)
{
    testing::internal::CaptureStdout();
    int rc = print_feature("smtp", GetParam().value);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, rc);
    EXPECT_EQ(GetParam().line, out);
}

INSTANTIATE_TEST_SUITE_P(Values, PrintFeatureTest,
                         testing::Values(FeatureCase{"true", "$features['smtp'] = true;\n"},
                                         FeatureCase{"false", "$features['smtp'] = false;\n"},
                                         FeatureCase{"TRUE", "$features['smtp'] = \"TRUE\";\n"},
                                         FeatureCase{"truex", "$features['smtp'] = \"truex\";\n"},
                                         FeatureCase{"", "$features['smtp'] = \"\";\n"},
                                         FeatureCase{"25", "$features['smtp'] = \"25\";\n"}));

} // namespace
