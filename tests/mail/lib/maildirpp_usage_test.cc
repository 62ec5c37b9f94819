// maildirpp_usage_test.cc - the quota written for a mailbox, the "maildirsize"
// format and the rules for trusting one, and Maildir++ usage counts.
#include "mail/lib/mbox_quota.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "testsupport.h"

namespace fs = boost::filesystem;
using mxtest::writeFile;
using std::string;
using namespace std::string_literals;

// fstatat - removes a message whose name holds "vanishing" just before it is
// examined, as a concurrent expunge would between listing and examining.
extern "C" int fstatat(int dirfd, const char* path, struct stat* st, int flags)
{
    using Real = int (*)(int, const char*, struct stat*, int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fstatat"));
    if (strstr(path, "vanishing") != nullptr)
        unlinkat(dirfd, path, 0);
    return real(dirfd, path, st, flags);
}

// nanosleep - counts the pauses between attempts instead of waiting them out.
int pauses = 0;
extern "C" int nanosleep(const struct timespec*, struct timespec*)
{
    ++pauses;
    return 0;
}

namespace {

TEST(Maildirsize, EffectiveQuota)
{
    // quota, attachments, written, warning
    const long long cases[][4] = {{900, 300, 600, 0}, {0, 0, 1, 0},
                                  {-1, 500, 0, 0},    {300, 300, 1, 0},
                                  {200, 300, 1, 1},   {LLONG_MAX, 0, LLONG_MAX, 0}};
    for (const auto& c : cases) {
        int overflow = -1;
        EXPECT_EQ(c[2], maildirpp_effective_quota(c[0], c[1], &overflow)) << c[0] << " " << c[1];
        EXPECT_EQ(c[3], overflow) << c[0] << " " << c[1];
    }
}

TEST(Maildirsize, FormatOfTwoLines)
{
    char buf[128];
    EXPECT_EQ(33, maildirsize_format(buf, sizeof buf, 600, 0, 1234, 7));
    EXPECT_STREQ("600S,0C\n        1234           7\n", buf);
    EXPECT_EQ(76, maildirsize_format(buf, sizeof buf, LLONG_MAX, ULLONG_MAX, LLONG_MIN, 0));
    errno = 0;
    EXPECT_EQ(-1, maildirsize_format(buf, 33, 600, 0, 1234, 7)); // no room for the NUL
    EXPECT_EQ(EINVAL, errno);
}

TEST(Maildirsize, SizeFromTheMessageName)
{
    // The first ",S=" whose digits end the name or meet a ":" and fit 64 bits; "-": none.
    string sizes;
    for (const char* name : {"1.M1.h,S=1000:2,S", "1.M1.h,S=500", "1.M1.h", "x,S=:2,S", "x,S=12a",
                             "x,S=10,W=20:2,S", "x,S=5x,S=6:2,S", "x,S=3,S=4", "x,S=0",
                             "x,S=99999999999999999999,S=7", "x,S=9223372036854775807"}) {
        long long size = -1;
        sizes += maildirpp_name_size(name, &size) ? std::to_string(size) + " " : "- ";
    }
    EXPECT_EQ("1000 500 - - - - 6 4 0 7 9223372036854775807 ", sizes);
}

// lines - a well-formed file of n = 6 + 4k bytes: the definition and k lines "1 1".
string lines(size_t n)
{
    string text = "0S,0C\n";
    while (text.size() < n)
        text += "1 1\n";
    return text;
}

TEST(Maildirsize, ParsedOnlyWhenWellFormed)
{
    const struct {
        string text;
        long long size;
        unsigned long long count;
    } trusted[] = {{"600S,0C\n", 0, 0},
                   {"600S,0C\n        1234           7\n", 1234, 7},
                   {"0S,0C\n100 2\n-30 1\n\t+5\t1\n", 75, 4},
                   {lines(5118), 1278, 1278}}; // just below the limit
    for (const auto& c : trusted) {
        long long size = -1;
        unsigned long long count = 0;
        ASSERT_EQ(1, maildirsize_parse(c.text.data(), c.text.size(), &size, &count)) << c.text;
        EXPECT_EQ(c.size, size) << c.text;
        EXPECT_EQ(c.count, count) << c.text;
    }
    // Too large, a count of 0 or -1, a line without its line feed (it may still be
    // being written), a value at or beyond the limits, a sum beyond them, another shape.
    for (const string& text :
         {lines(5122), "600S,0C\n100 2\n-100 -1\n"s, "600S,0C\n100 0\n"s, "600S,0C"s,
          "600S,0C\n100 2\n50 1"s, "0S,0C\n9223372036854775807 1\n"s,
          "0S,0C\n-9223372036854775808 1\n"s, "0S,0C\n99999999999999999999 1\n"s,
          "0S,0C\n1 18446744073709551615\n"s,
          "0S,0C\n9223372036854775806 1\n9223372036854775806 1\n"s,
          "0S,0C\n1 18446744073709551614\n1 18446744073709551614\n"s, "0S,0C\n1 2 3\n"s,
          "0S,0C\n12\n"s, "0S,0C\n1 2 \n"s, "0S,0C\n1 2\n\n"s, "0S,0C\nabc def\n"s}) {
        long long size = -1;
        unsigned long long count = 0;
        EXPECT_EQ(0, maildirsize_parse(text.data(), text.size(), &size, &count)) << text;
    }
}

// Maildir - a Maildir with messages of every kind the count must tell apart.
class Maildir : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* d : {"cur", "new", "tmp", ".Sent/cur", ".Sent/tmp", ".Trash/cur"})
            fs::create_directories(md_ + "/" + d);
        writeFile(md_ + "/cur/1.M1.h,S=1000:2,S", "x");
        writeFile(md_ + "/cur/2.M2.h:2,", string(321, 'z'));
        writeFile(md_ + "/new/3.M3.h", string(17, 'n'));
        writeFile(md_ + "/cur/4.M4.vanishing:2,S", string(1000, 'v'));
        writeFile(md_ + "/.Sent/cur/5.M5.h,S=40:2,S", "");
        writeFile(md_ + "/tmp/6.M6.h,S=100000", "");
        writeFile(md_ + "/.Sent/tmp/7.M7.h,S=99999", "");
        writeFile(md_ + "/.Trash/cur/8.M8.h,S=77777:2,S", "");
        writeFile(md_ + "/.notafolder", "x");
        fs::create_symlink(md_ + "/.Sent", md_ + "/.Link");
        // Only the counted folders' times count.
        const std::pair<const char*, time_t> times[] = {
            {"cur", 1000000000}, {"new", 1000000100},        {".Sent/cur", 1000000200},
            {"tmp", 1900000000}, {".Trash/cur", 1900000000}, {".", 1900000000}};
        for (const auto& t : times) {
            struct timeval tv[2] = {{t.second, 0}, {t.second, 0}};
            utimes((md_ + "/" + t.first).c_str(), tv);
        }
    }

    mxtest::TempDir dir_;
    const string md_ = dir_.file("Maildir");
    long long size_ = -1;
    unsigned long long count_ = 0;
};

TEST_F(Maildir, ScanCountsCurAndNewOfTheMaildirAndItsFolders)
{
    time_t newest = 0;
    ASSERT_EQ(1, maildirpp_scan(md_.c_str(), &size_, &count_, &newest));
    EXPECT_EQ(1000 + 321 + 17 + 40, size_);
    EXPECT_EQ(4u, count_);
    EXPECT_EQ(1000000200, newest);
    EXPECT_EQ(0, maildirpp_scan(dir_.file("absent").c_str(), &size_, &count_, &newest));
}

TEST_F(Maildir, UsageFromATrustedMaildirsizeOrElseTheFolders)
{
    const string before = fs::current_path().string();
    writeFile(md_ + "/maildirsize", "600S,0C\n700 3\n20 1\n");
    ASSERT_EQ(1, get_maildirpp_usage(md_.c_str(), &size_, &count_));
    EXPECT_EQ(720, size_);
    writeFile(md_ + "/maildirsize", "600S,0C\n700 3\n100 -1\n");
    ASSERT_EQ(1, get_maildirpp_usage(md_.c_str(), &size_, &count_));
    EXPECT_EQ(1378, size_);
    EXPECT_EQ(4u, count_);
    EXPECT_EQ(0, get_maildirpp_usage(dir_.file("absent").c_str(), &size_, &count_));
    EXPECT_EQ(before, fs::current_path().string());

    // A tree's size: the path and everything below it, links not followed.
    const string top = md_ + "/.Sent";
    fs::create_symlink(dir_.path(), top + "/up");
    writeFile(top + "/vanishing", string(5000, 'v'));
    long long bytes = 0, blocks = 0;
    for (const char* p :
         {"", "/cur", "/tmp", "/cur/5.M5.h,S=40:2,S", "/tmp/7.M7.h,S=99999", "/up"}) {
        struct stat st;
        ASSERT_EQ(0, lstat((top + p).c_str(), &st)) << p;
        bytes += st.st_size;
        blocks += st.st_blocks * 512;
    }
    EXPECT_EQ(bytes, get_dir_size(top.c_str(), 0));
    EXPECT_EQ(blocks, get_dir_size(top.c_str(), 1));
    EXPECT_EQ(-1, get_dir_size(dir_.file("absent").c_str(), 0));
}

TEST_F(Maildir, WriteReplacesTheFileAndBackdatesItWhenFoldersChanged)
{
    const string before = fs::current_path().string();
    umask(022);
    fs::remove(md_ + "/cur/4.M4.vanishing:2,S");
    ASSERT_EQ(1, write_maildirpp_maildirsize(md_.c_str(), getuid(), getgid(), 600, 0));
    EXPECT_EQ("600S,0C\n        1378           4\n", mxtest::readFile(md_ + "/maildirsize"));
    struct stat st;
    ASSERT_EQ(0, stat((md_ + "/maildirsize").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_GT(st.st_mtime, time(nullptr) - 600) << "nothing changed after the count";
    EXPECT_EQ(1u, mxtest::entries(md_ + "/tmp").size()) << "temporary file left behind";
    EXPECT_EQ(before, fs::current_path().string());

    fs::remove_all(md_ + "/cur"); // the recheck cannot examine "cur"
    ASSERT_EQ(1, write_maildirpp_maildirsize(md_.c_str(), getuid(), getgid(), 0, 0));
    EXPECT_EQ("0S,0C\n          57           2\n", mxtest::readFile(md_ + "/maildirsize"));
    ASSERT_EQ(0, stat((md_ + "/maildirsize").c_str(), &st));
    EXPECT_EQ(1000000200 - 960, st.st_mtime);

    // Five attempts with a pause after each, then EAGAIN; nothing is left behind.
    fs::remove_all(md_ + "/tmp");
    pauses = 0;
    errno = 0;
    EXPECT_EQ(0, write_maildirpp_maildirsize(md_.c_str(), getuid(), getgid(), 1, 0));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(5, pauses);
    EXPECT_FALSE(fs::exists(md_ + "/tmp"));
    EXPECT_EQ(0, write_maildirpp_maildirsize(dir_.file("absent").c_str(), 0, 0, 1, 0));
    EXPECT_EQ(before, fs::current_path().string());
}

} // namespace
