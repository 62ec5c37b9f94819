// courier_params_test.cc - the variable edit of one Courier configuration file.
#include "mail/lib/courier_params.h"

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"

using namespace std::string_literals;

namespace {

// Request - EnvChange records built from strings, with the end record.
class Request {
public:
    Request& add(const std::string& var, const char* value)
    {
        items_.push_back({var, ENV_ADD, value != nullptr, value ? value : ""});
        return *this;
    }
    Request& del(const std::string& var)
    {
        items_.push_back({var, ENV_DEL, false, ""});
        return *this;
    }
    // changes - the array; valid while the request lives and is not changed.
    const EnvChange* changes()
    {
        records_.clear();
        for (const Item& i : items_)
            records_.push_back({i.var.c_str(), i.action, i.hasValue ? i.value.c_str() : nullptr});
        records_.push_back({nullptr, ENV_ADD, nullptr});
        return records_.data();
    }

private:
    struct Item {
        std::string var;
        int action;
        bool hasValue;
        std::string value;
    };
    std::vector<Item> items_;
    std::vector<EnvChange> records_;
};

struct EditCase {
    const char* name;
    std::string before;
    Request request;
    std::string after;
};

// What the mail settings ask for with relaying on and nothing else (poplock time untouched).
Request relayOnly()
{
    return Request().add("RELAYCLIENT", "").del("POPAUTH").del("SHORTNAMES");
}

std::vector<EditCase> editCases()
{
    return {
        {"FirstAssignmentReplacedLaterDroppedMissingAppended",
         "RELAYCLIENT=x\nFOO=1\nRELAYCLIENT=y\n",
         Request().add("RELAYCLIENT", "").add("POPAUTH", "1"), "RELAYCLIENT=\nFOO=1\nPOPAUTH=1\n"},
        {"RelayOnlyKeepsPoplockTime",
         "POPAUTH=1\n# comment\nSHORTNAMES=1\nPOPLOCK_TIME=60\nSHORTNAMES=0\n", relayOnly(),
         "# comment\nPOPLOCK_TIME=60\nRELAYCLIENT=\n"},
        {"PoplockZeroRemovesEveryAssignment", "POPLOCK_TIME=60\nA=1\nPOPLOCK_TIME=90\n",
         Request().del("POPLOCK_TIME"), "A=1\n"},
        {"PoplockPositiveReplacesFirstDropsLater", "POPLOCK_TIME=60\nA=1\nPOPLOCK_TIME=90\n",
         Request().add("POPLOCK_TIME", "300"), "POPLOCK_TIME=300\nA=1\n"},
        {"IndentedLowerCaseAndLongerNamesAreNotAssignments",
         "  POPAUTH=1\npopauth=1\nPOPAUTHX=1\nPOPAUTH\nPOPAUTH =1\n", Request().del("POPAUTH"),
         "  POPAUTH=1\npopauth=1\nPOPAUTHX=1\nPOPAUTH\nPOPAUTH =1\n"},
        {"LineEndAddedBeforeAppendedAssignment", "A=1", Request().add("B", "2"), "A=1\nB=2\n"},
        {"LastLineWithoutLineEndReplaced", "A=1\nPOPAUTH=0", Request().add("POPAUTH", "1"),
         "A=1\nPOPAUTH=1\n"},
        {"LastLineWithoutLineEndDropped", "A=1\nPOPAUTH=0", Request().del("POPAUTH"), "A=1\n"},
        {"EmptyFileGetsAdditionsInRequestOrder", "", Request().add("B", "2").del("C").add("A", "1"),
         "B=2\nA=1\n"},
        {"NullValueIsEmpty", "RELAYCLIENT=1\n", Request().add("RELAYCLIENT", nullptr),
         "RELAYCLIENT=\n"},
        {"OtherBytesCopiedUnchanged", "X=a\0b\n\nY=\"q r\"\r\nA=1\r\n"s, Request().add("A", "2"),
         "X=a\0b\n\nY=\"q r\"\r\nA=2\n"s},
        {"VeryLongLineCopied", "LONG=" + std::string(10000, 'v') + "\nA=1\n", Request().del("A"),
         "LONG=" + std::string(10000, 'v') + "\n"},
        {"FirstRecordOfAVariableDecides", "A=old\n", Request().del("A").add("A", "new"), "A=new\n"},
        {"AddAfterDeleteOfSameVariableNotAppendedAgain", "", Request().add("A", "1").del("A"),
         "A=1\n"},
    };
}

// PrintTo - name the case in failure messages.
void PrintTo(const EditCase& c, std::ostream* out)
{
    *out << c.name;
}

class EditEnvFileTest : public ::testing::TestWithParam<EditCase> {};

TEST_P(EditEnvFileTest, RewritesFile)
{
    EditCase c = GetParam();
    mxtest::TempDir dir;
    const std::string path = dir.file("imapd");
    mxtest::writeFile(path, c.before, 0644);
    ASSERT_EQ(0, edit_env_file(path.c_str(), c.request.changes()));
    EXPECT_EQ(c.after, mxtest::readFile(path));
}

INSTANTIATE_TEST_SUITE_P(Cases, EditEnvFileTest, ::testing::ValuesIn(editCases()),
                         [](const ::testing::TestParamInfo<EditCase>& info) {
                             return std::string(info.param.name);
                         });

// entries - the names in a directory, sorted.
std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (struct dirent* e = d != nullptr ? readdir(d) : nullptr)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    if (d != nullptr)
        closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(EditEnvFile, ReplacementHasMode0600AndNoTemporaryFileStays)
{
    mxtest::TempDir dir;
    const std::string path = dir.file("pop3d");
    mxtest::writeFile(path, "A=1\n", 0644);
    ASSERT_EQ(0, edit_env_file(path.c_str(), Request().add("A", "2").changes()));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{"pop3d"}, entries(dir.path()));
}

TEST(EditEnvFile, MissingFileIsSkippedWithMessageAndNotCreated)
{
    mxtest::TempDir dir;
    const std::string path = dir.file("imapd-ssl");
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, edit_env_file(path.c_str(), Request().add("A", "1").changes()));
    EXPECT_EQ("Unable to open " + path + ": No such file or directory\n",
              testing::internal::GetCapturedStderr());
    EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(EditEnvFile, ReadErrorFailsAndLeavesNoTemporaryFile)
{
    mxtest::TempDir dir;
    // A directory opens for reading but cannot be read as a file.
    const std::string path = dir.file("imapd");
    ASSERT_EQ(0, mkdir(path.c_str(), 0755));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, edit_env_file(path.c_str(), Request().add("A", "1").changes()));
    EXPECT_EQ("Unable to write temporary file content for " + path + ": Is a directory\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(std::vector<std::string>{"imapd"}, entries(dir.path()));
}

TEST(EditEnvFile, OnlyTheFirst31RecordsTakeEffect)
{
    mxtest::TempDir dir;
    const std::string path = dir.file("imapd");
    mxtest::writeFile(path, "V31=old\nV0=old\n");
    Request request;
    for (int i = 0; i < 32; ++i)
        request.add("V" + std::to_string(i), "new");
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, edit_env_file(path.c_str(), request.changes()));
    EXPECT_EQ("Too many variables specified, tail is ignored\n",
              testing::internal::GetCapturedStderr());
    std::string expected = "V31=old\nV0=new\n";
    for (int i = 1; i < 31; ++i)
        expected += "V" + std::to_string(i) + "=new\n";
    EXPECT_EQ(expected, mxtest::readFile(path));
}

} // namespace
