// maildirpp_usage_test.cc - quota rule, "maildirsize" text and Maildir++ usage
// counting, on private directories.
#include "mail/lib/mbox_quota.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <random>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "testsupport.h"

namespace fs = boost::filesystem;
using mxtest::TempDir;
using mxtest::writeFile;

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

namespace {

// makeMaildir - an empty Maildir with its three directories.
std::string makeMaildir(const TempDir& dir, const std::string& name = "Maildir")
{
    std::string md = dir.file(name);
    for (const char* sub : {"", "/cur", "/new", "/tmp"})
        fs::create_directories(md + sub);
    return md;
}

// setMtime - give a path a fixed modification time.
void setMtime(const std::string& path, time_t when)
{
    struct timeval tv[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(0, utimes(path.c_str(), tv)) << path;
}

struct QuotaCase {
    long long quota;
    long long attachments;
    long long written;
    int overflow;
};

class EffectiveQuota : public testing::TestWithParam<QuotaCase> {};

TEST_P(EffectiveQuota, FollowsTheRule)
{
    const QuotaCase& c = GetParam();
    int overflow = -1;
    EXPECT_EQ(c.written, maildirpp_effective_quota(c.quota, c.attachments, &overflow));
    EXPECT_EQ(c.overflow, overflow);
}

INSTANTIATE_TEST_SUITE_P(Cases, EffectiveQuota,
                         testing::Values(QuotaCase{900, 300, 600, 0}, // attachments are subtracted
                                         QuotaCase{0, 0, 1, 0},       // 0 would mean no limit: full
                                         QuotaCase{-1, 500, 0, 0},    // no limit stays no limit
                                         QuotaCase{-5000, 0, 0, 0},   //
                                         QuotaCase{300, 300, 1, 0},   // equal: full, no warning
                                         QuotaCase{200, 300, 1, 1},   // bigger: full, warning
                                         QuotaCase{1, 0, 1, 0},       //
                                         QuotaCase{LLONG_MAX, 0, LLONG_MAX, 0}));

TEST(MaildirsizeFormat, TwoLinesOfFixedShape)
{
    char buf[128];
    int n = maildirsize_format(buf, sizeof buf, 600, 0, 1234, 7);
    ASSERT_GT(n, 0);
    std::string text(buf, static_cast<size_t>(n));
    EXPECT_EQ("600S,0C\n        1234           7\n", text);
    std::string second = text.substr(text.find('\n') + 1);
    EXPECT_EQ(25u, second.size()); // 24 characters and the newline
}

TEST(MaildirsizeFormat, ExtremesFitAndShortBuffersFail)
{
    char buf[128];
    int n = maildirsize_format(buf, sizeof buf, LLONG_MAX, ULLONG_MAX, LLONG_MIN, ULLONG_MAX);
    ASSERT_GT(n, 0);
    EXPECT_LE(n, 99);
    EXPECT_EQ("9223372036854775807S,18446744073709551615C\n"
              "-922337203685477580818446744073709551615\n",
              std::string(buf, static_cast<size_t>(n)));

    char small[10];
    errno = 0;
    EXPECT_EQ(-1, maildirsize_format(small, sizeof small, 600, 0, 0, 0));
    EXPECT_EQ(EINVAL, errno);
}

struct NameCase {
    const char* name;
    int found;
    long long size;
};

class NameSize : public testing::TestWithParam<NameCase> {};

TEST_P(NameSize, ReadsTheFirstUsableField)
{
    const NameCase& c = GetParam();
    long long size = -7;
    EXPECT_EQ(c.found, maildirpp_name_size(c.name, &size)) << c.name;
    EXPECT_EQ(c.found ? c.size : -7, size) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NameSize,
    testing::Values(NameCase{"1700000000.M1P2.host,S=1000:2,S", 1, 1000},
                    NameCase{"1700000000.M1P2.host,S=500", 1, 500},
                    NameCase{"1700000000.M1P2.host", 0, 0},
                    NameCase{"1700000000.M1P2.host,S=:2,S", 0, 0},  // no digits
                    NameCase{"1700000000.M1P2.host,S=12a", 0, 0},   // not at the end
                    NameCase{"x,S=10,W=20:2,S", 0, 0},              // followed by ','
                    NameCase{"x,S=5x,S=6:2,S", 1, 6},               // first usable wins
                    NameCase{"x,S=3,S=4", 1, 4},                    //
                    NameCase{"x,S=99999999999999999999,S=7", 1, 7}, // overflow skipped
                    NameCase{"x,S=99999999999999999999", 0, 0},     //
                    NameCase{"x,S=9223372036854775807", 1, LLONG_MAX}, NameCase{"x,S=0", 1, 0}));

// repeatLines - a well-formed file of at least minLength bytes.
std::string repeatLines(size_t minLength)
{
    std::string text = "0S,0C\n";
    while (text.size() < minLength)
        text += "1 1\n";
    return text;
}

struct ParseCase {
    const char* label;
    std::string text;
    int trusted;
    long long size;
    unsigned long long count;
};

class ParseMaildirsize : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseMaildirsize, TrustsOnlyWellFormedFiles)
{
    const ParseCase& c = GetParam();
    long long size = -1;
    unsigned long long count = 99;
    EXPECT_EQ(c.trusted, maildirsize_parse(c.text.data(), c.text.size(), &size, &count));
    if (c.trusted) {
        EXPECT_EQ(c.size, size);
        EXPECT_EQ(c.count, count);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseMaildirsize,
    testing::Values(ParseCase{"DefinitionOnly", "600S,0C\n", 1, 0, 0},
                    ParseCase{"OwnFormat", "600S,0C\n        1234           7\n", 1, 1234, 7},
                    ParseCase{"Sums", "0S,0C\n100 2\n-30 1\n\t+5\t1\n", 1, 75, 4},
                    ParseCase{"CountMinusOne", "600S,0C\n100 2\n-100 -1\n", 0, 0, 0},
                    ParseCase{"CountZero", "600S,0C\n100 0\n", 0, 0, 0},
                    ParseCase{"NoNewline", "600S,0C", 0, 0, 0},
                    ParseCase{"LastLineUnfinished", "600S,0C\n100 2\n50 1", 0, 0, 0},
                    ParseCase{"SizeAtMaximum", "600S,0C\n9223372036854775807 1\n", 0, 0, 0},
                    ParseCase{"SizeOverflows", "600S,0C\n99999999999999999999 1\n", 0, 0, 0},
                    ParseCase{"SizeAtMinimum", "600S,0C\n-9223372036854775808 1\n", 0, 0, 0},
                    ParseCase{"CountOverflows", "600S,0C\n1 18446744073709551615\n", 0, 0, 0},
                    ParseCase{"ThreeFields", "600S,0C\n1 2 3\n", 0, 0, 0},
                    ParseCase{"NoSeparator", "600S,0C\n12\n", 0, 0, 0},
                    ParseCase{"TrailingBlank", "600S,0C\n1 2 \n", 0, 0, 0},
                    ParseCase{"EmptyLine", "600S,0C\n1 2\n\n", 0, 0, 0},
                    ParseCase{"Words", "600S,0C\nabc def\n", 0, 0, 0},
                    ParseCase{"TooLarge", repeatLines(5120), 0, 0, 0}),
    [](const testing::TestParamInfo<ParseCase>& info) { return info.param.label; });

TEST(MaildirsizeParse, JustBelowTheSizeLimitIsRead)
{
    std::string text = repeatLines(5120 - 4);
    ASSERT_LT(text.size(), 5120u);
    long long size = 0;
    unsigned long long count = 0;
    ASSERT_EQ(1, maildirsize_parse(text.data(), text.size(), &size, &count));
    EXPECT_EQ(static_cast<long long>((text.size() - 6) / 4), size);
}

TEST(MaildirppScan, CountsCurAndNewOfTheMaildirAndItsFolders)
{
    TempDir dir;
    std::string md = makeMaildir(dir);
    writeFile(md + "/cur/1.M1.host,S=1000:2,S", "x");
    writeFile(md + "/cur/2.M2.host,S=500", "yy");
    writeFile(md + "/cur/3.M3.host:2,", std::string(321, 'z'));
    writeFile(md + "/new/4.M4.host", std::string(17, 'n'));
    writeFile(md + "/tmp/5.M5.host,S=100000", "not counted");
    // A folder is counted, Trash and tmp are not.
    fs::create_directories(md + "/.Sent/cur");
    fs::create_directories(md + "/.Sent/tmp");
    writeFile(md + "/.Sent/cur/6.M6.host,S=40:2,S", "");
    writeFile(md + "/.Sent/tmp/7.M7.host,S=99999", "");
    fs::create_directories(md + "/.Trash/cur");
    writeFile(md + "/.Trash/cur/8.M8.host,S=77777:2,S", "");
    // Neither a plain file nor a link to a folder is a folder.
    writeFile(md + "/.notafolder", "x");
    fs::create_symlink(md + "/.Sent", md + "/.Link");
    // maildirsize and other files in the Maildir itself are not messages.
    writeFile(md + "/maildirsize", "1S,0C\n");

    long long size = -1;
    unsigned long long count = 0;
    time_t newest = 0;
    ASSERT_EQ(1, maildirpp_scan(md.c_str(), &size, &count, &newest));
    EXPECT_EQ(1000 + 500 + 321 + 17 + 40, size);
    EXPECT_EQ(5u, count);
}

TEST(MaildirppScan, NewestTimeComesFromTheCountedDirectories)
{
    TempDir dir;
    std::string md = makeMaildir(dir);
    fs::create_directories(md + "/.Sent/cur");
    fs::create_directories(md + "/.Trash/new");
    setMtime(md + "/cur", 1000000000);
    setMtime(md + "/new", 1000000100);
    setMtime(md + "/tmp", 1900000000);        // not counted
    setMtime(md + "/.Trash/new", 1900000000); // not counted
    setMtime(md + "/.Sent/cur", 1000000200);
    setMtime(md, 1900000000); // the Maildir itself is not counted

    long long size;
    unsigned long long count;
    time_t newest = 0;
    ASSERT_EQ(1, maildirpp_scan(md.c_str(), &size, &count, &newest));
    EXPECT_EQ(1000000200, newest);
    EXPECT_EQ(0, size);
    EXPECT_EQ(0u, count);
}

TEST(MaildirppScan, MissingFoldersAddNothingAndAMissingMaildirFails)
{
    TempDir dir;
    fs::create_directories(dir.file("Maildir/.Drafts"));
    long long size = -1;
    unsigned long long count = 9;
    time_t newest = 5;
    ASSERT_EQ(1, maildirpp_scan(dir.file("Maildir").c_str(), &size, &count, &newest));
    EXPECT_EQ(0, size);
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, newest);

    EXPECT_EQ(0, maildirpp_scan(dir.file("absent").c_str(), &size, &count, &newest));
}

// TenThousandMessages: names with and without sizes across folders, against a
// count kept while the messages were written and one made by a separate walk.
TEST(MaildirppScan, TenThousandMessagesMatchAnIndependentCount)
{
    TempDir dir;
    std::string md = makeMaildir(dir);
    const char* folders[] = {"", "/.Sent", "/.Archive.2023", "/.Trash"};
    for (const char* f : folders)
        for (const char* sub : {"/cur", "/new", "/tmp"})
            fs::create_directories(md + f + sub);

    std::mt19937 rng(20240601);
    long long expectedSize = 0;
    unsigned long long expectedCount = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string folder = folders[rng() % 4];
        std::string sub = (rng() % 5 == 0) ? "/new" : (rng() % 10 == 0 ? "/tmp" : "/cur");
        size_t bodyLength = rng() % 300;
        std::string name = std::to_string(1700000000 + i) + ".M" + std::to_string(i) + "P1.host";
        long long named = -1;
        if (rng() % 2 == 0) {
            named = static_cast<long long>(rng() % 5000000);
            name += ",S=" + std::to_string(named);
        }
        if (sub == "/cur")
            name += ":2,S";
        writeFile(md + folder + sub + "/" + name, std::string(bodyLength, 'm'));
        if (folder != "/.Trash" && sub != "/tmp") {
            expectedSize += named >= 0 ? named : static_cast<long long>(bodyLength);
            ++expectedCount;
        }
    }

    // A second, separate count over the tree as it is on disk.
    long long walkedSize = 0;
    unsigned long long walkedCount = 0;
    for (fs::recursive_directory_iterator it(md), end; it != end; ++it) {
        const fs::path& p = it->path();
        std::string parent = p.parent_path().filename().string();
        std::string folder = p.parent_path().parent_path().filename().string();
        if (!fs::is_regular_file(p) || (parent != "cur" && parent != "new") || folder == ".Trash")
            continue;
        std::string name = p.filename().string();
        size_t at = name.find(",S=");
        walkedSize += at == std::string::npos
                          ? static_cast<long long>(fs::file_size(p))
                          : std::stoll(name.substr(at + 3, name.find(':', at) - at - 3));
        ++walkedCount;
    }
    ASSERT_EQ(expectedCount, walkedCount);
    ASSERT_EQ(expectedSize, walkedSize);

    long long size = 0;
    unsigned long long count = 0;
    time_t newest = 0;
    ASSERT_EQ(1, maildirpp_scan(md.c_str(), &size, &count, &newest));
    EXPECT_EQ(expectedSize, size);
    EXPECT_EQ(expectedCount, count);

    // Without a trusted "maildirsize" the usage query scans the same way.
    writeFile(md + "/maildirsize", "0S,0C\n10 -1\n");
    size = 0;
    count = 0;
    ASSERT_EQ(1, get_maildirpp_usage(md.c_str(), &size, &count));
    EXPECT_EQ(expectedSize, size);
    EXPECT_EQ(expectedCount, count);
}

TEST(MaildirppScan, MessagesVanishingDuringTheScanAreSkipped)
{
    TempDir dir;
    std::string md = makeMaildir(dir);
    writeFile(md + "/cur/1.M1.host:2,S", std::string(10, 'a'));
    writeFile(md + "/cur/2.M2.vanishing:2,S", std::string(1000, 'v'));
    writeFile(md + "/new/3.M3.vanishing", std::string(1000, 'v'));
    writeFile(md + "/new/4.M4.host,S=20", "");
    long long size = 0;
    unsigned long long count = 0;
    time_t newest;
    ASSERT_EQ(1, maildirpp_scan(md.c_str(), &size, &count, &newest));
    EXPECT_EQ(30, size);
    EXPECT_EQ(2u, count);

    // The same for a tree size: what is gone is not counted.
    std::string top = dir.file("@attachments");
    fs::create_directories(top);
    writeFile(top + "/vanishing", std::string(5000, 'v'));
    struct stat st;
    ASSERT_EQ(0, lstat(top.c_str(), &st));
    EXPECT_EQ(st.st_size, get_dir_size(top.c_str(), 0));
}

class Usage : public testing::Test {
protected:
    void SetUp() override
    {
        md_ = makeMaildir(dir_);
        writeFile(md_ + "/cur/1.M1.host,S=4000:2,S", "");
        writeFile(md_ + "/new/2.M2.host", std::string(96, 'b'));
    }
    long long size_ = -1;
    unsigned long long count_ = 0;
    TempDir dir_;
    std::string md_;
};

TEST_F(Usage, TrustedMaildirsizeIsPreferredOverTheFolders)
{
    writeFile(md_ + "/maildirsize", "600S,0C\n         700           3\n  20 1\n");
    ASSERT_EQ(1, get_maildirpp_usage(md_.c_str(), &size_, &count_));
    EXPECT_EQ(720, size_);
    EXPECT_EQ(4u, count_);
}

TEST_F(Usage, UntrustedOrMissingMaildirsizeLeadsToAScan)
{
    for (const std::string& content :
         {std::string("600S,0C\n700 3\n100 -1\n"), std::string("600S,0C"), repeatLines(5120)}) {
        writeFile(md_ + "/maildirsize", content);
        ASSERT_EQ(1, get_maildirpp_usage(md_.c_str(), &size_, &count_));
        EXPECT_EQ(4096, size_);
        EXPECT_EQ(2u, count_);
    }
    fs::remove(md_ + "/maildirsize");
    ASSERT_EQ(1, get_maildirpp_usage(md_.c_str(), &size_, &count_));
    EXPECT_EQ(4096, size_);
    EXPECT_EQ(2u, count_);
}

TEST_F(Usage, WorkingDirectoryIsKept)
{
    std::string before = fs::current_path().string();
    ASSERT_EQ(1, get_maildirpp_usage(md_.c_str(), &size_, &count_));
    EXPECT_EQ(before, fs::current_path().string());
    EXPECT_EQ(0, get_maildirpp_usage(dir_.file("absent").c_str(), &size_, &count_));
    EXPECT_EQ(before, fs::current_path().string());
}

TEST(DirSize, AddsTheTreeWithoutFollowingLinks)
{
    TempDir dir;
    std::string top = dir.file("@attachments");
    fs::create_directories(top + "/a/b");
    writeFile(top + "/one", std::string(300, '1'));
    writeFile(top + "/a/two", std::string(5000, '2'));
    writeFile(top + "/a/b/three", "");
    writeFile(dir.file("outside"), std::string(100000, 'o'));
    fs::create_symlink(dir.file("outside"), top + "/link");
    fs::create_symlink(dir.path(), top + "/a/dirlink");

    long long bytes = 0;
    long long blocks = 0;
    for (const std::string& p : {top, top + "/a", top + "/a/b", top + "/one", top + "/a/two",
                                 top + "/a/b/three", top + "/link", top + "/a/dirlink"}) {
        struct stat st;
        ASSERT_EQ(0, lstat(p.c_str(), &st)) << p;
        bytes += st.st_size;
        blocks += static_cast<long long>(st.st_blocks) * 512;
    }
    EXPECT_EQ(bytes, get_dir_size(top.c_str(), 0));
    EXPECT_EQ(blocks, get_dir_size(top.c_str(), 1));
    EXPECT_EQ(300, get_dir_size((top + "/one").c_str(), 0));
    EXPECT_EQ(-1, get_dir_size(dir.file("absent").c_str(), 0));
}

TEST(WriteMaildirsize, WritesDefinitionAndCountedUsage)
{
    TempDir dir;
    std::string md = makeMaildir(dir);
    writeFile(md + "/cur/1.M1.host,S=1500:2,S", "");
    writeFile(md + "/new/2.M2.host", std::string(64, 'x'));
    std::string before = fs::current_path().string();
    mode_t old = umask(022);
    int ok = write_maildirpp_maildirsize(md.c_str(), getuid(), getgid(), 600, 0);
    umask(old);
    ASSERT_EQ(1, ok);
    EXPECT_EQ(before, fs::current_path().string());
    EXPECT_EQ("600S,0C\n        1564           2\n", mxtest::readFile(md + "/maildirsize"));
    struct stat st;
    ASSERT_EQ(0, stat((md + "/maildirsize").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_TRUE(fs::is_empty(md + "/tmp")) << "temporary file left behind";
    // Nothing changed after the count: the file is not back-dated.
    EXPECT_GT(st.st_mtime, time(nullptr) - 600);

    // Replaced as a whole on the next write.
    ASSERT_EQ(1, write_maildirpp_maildirsize(md.c_str(), getuid(), getgid(), 0, 0));
    EXPECT_EQ("0S,0C\n        1564           2\n", mxtest::readFile(md + "/maildirsize"));
}

TEST(WriteMaildirsize, UncheckableFoldersBackdateTheFile)
{
    TempDir dir;
    std::string md = makeMaildir(dir);
    fs::remove(md + "/cur"); // the recheck cannot examine "cur"
    setMtime(md + "/new", 1000000000);
    ASSERT_EQ(1, write_maildirpp_maildirsize(md.c_str(), getuid(), getgid(), 10, 0));
    struct stat st;
    ASSERT_EQ(0, stat((md + "/maildirsize").c_str(), &st));
    EXPECT_EQ(1000000000 - 960, st.st_mtime);
    EXPECT_GT(st.st_atime, time(nullptr) - 600);
}

TEST(WriteMaildirsize, MissingMaildirFailsAndKeepsTheWorkingDirectory)
{
    TempDir dir;
    std::string before = fs::current_path().string();
    EXPECT_EQ(0, write_maildirpp_maildirsize(dir.file("absent").c_str(), getuid(), getgid(), 1, 0));
    EXPECT_EQ(before, fs::current_path().string());
}

// Five attempts, two seconds apart, then EAGAIN; nothing is left behind.
TEST(WriteMaildirsize, GivesUpAfterFiveAttempts)
{
    TempDir dir;
    std::string md = makeMaildir(dir);
    fs::remove(md + "/tmp");
    time_t start = time(nullptr);
    errno = 0;
    EXPECT_EQ(0, write_maildirpp_maildirsize(md.c_str(), getuid(), getgid(), 1, 0));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_GE(time(nullptr) - start, 9);
    EXPECT_FALSE(fs::exists(md + "/maildirsize"));
    EXPECT_FALSE(fs::exists(md + "/tmp"));
}

} // namespace
