// attachment_commands_systest.cc - the attachment store commands on a mail
// home's "@attachments": files, modes and listings.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "systest.h"

using mxtest::fileExists;
using mxtest::fileMode;
using mxtest::mxadmin;
using mxtest::readFile;
using mxtest::RunResult;
using mxtest::shellQuote;
using mxtest::writeFile;

namespace {

const std::string ROOT = "/var/qmail/mailnames";
const std::string STORE = ROOT + "/x.com/john/@attachments";

class AttachmentCommands : public testing::Test {
protected:
    void SetUp() override
    {
        mxtest::makeDirs(STORE, 0700);
        upload_ = std::string(getenv("TMPDIR")) + "/upload";
        writeFile(upload_, std::string(1000, 'u'), 0600);
    }

    static RunResult addAs(const std::string& name, const std::string& file,
                           const std::string& mailname = "john")
    {
        return mxadmin("--add-attachment --domain-name=x.com --mailname=" + shellQuote(mailname) +
                       " --file-name=" + shellQuote(file) +
                       " --attachment-file-name=" + shellQuote(name));
    }

    static RunResult remove(const std::string& name)
    {
        return mxadmin("--remove-attachment --domain-name=x.com --mailname=john "
                       "--attachment-file-name=" +
                       shellQuote(name));
    }

    std::string upload_;
};

TEST_F(AttachmentCommands, AddCopiesTheUploadWithMode0644)
{
    RunResult r = addAs("report.pdf", upload_);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(std::string(1000, 'u'), readFile(STORE + "/report.pdf"));
    EXPECT_EQ(0644, fileMode(STORE + "/report.pdf"));
    EXPECT_EQ("root:root", mxtest::fileOwner(STORE + "/report.pdf"));
    EXPECT_EQ(std::string(1000, 'u'), readFile(upload_));
}

TEST_F(AttachmentCommands, AddingUnderAnExistingNameReplacesIt)
{
    writeFile(STORE + "/a.txt", std::string(5000, 'o'), 0600);
    writeFile(upload_, "new", 0640);
    RunResult r = addAs("a.txt", upload_);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("new", readFile(STORE + "/a.txt"));
    EXPECT_EQ(0644, fileMode(STORE + "/a.txt"));
}

TEST_F(AttachmentCommands, AddWithAUnicodeDomainUsesItsAsciiForm)
{
    mxtest::makeDirs(ROOT + "/xn--bcher-kva.de/anna/@attachments", 0700);
    RunResult r = mxadmin("--add-attachment --domain-name=bücher.de --mailname=anna "
                          "--file-name=" +
                          shellQuote(upload_) + " --attachment-file-name=f");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(fileExists(ROOT + "/xn--bcher-kva.de/anna/@attachments/f"));
}

TEST_F(AttachmentCommands, NamesLeavingTheStoreAreRefused)
{
    for (std::string bad : {"../escape", "sub/file", ".", "..", ""}) {
        RunResult r = addAs(bad, upload_);
        EXPECT_EQ(1, r.status) << "'" << bad << "'";
        // An empty value is already refused by the option parser.
        if (!bad.empty()) {
            EXPECT_NE(std::string::npos, r.err.find("Invalid attachment file name '" + bad + "'"))
                << r.err;
        }
        r = remove(bad);
        EXPECT_EQ(1, r.status) << "'" << bad << "'";
    }
    EXPECT_FALSE(fileExists(ROOT + "/x.com/john/escape"));
    EXPECT_TRUE(fileExists(STORE));
    RunResult r = addAs("f", upload_, "../john");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Invalid mail name '../john'")) << r.err;
}

// Tabs and line ends would break the listing the panel reads; no control
// character may enter a name, and one that is there is not listed.
TEST_F(AttachmentCommands, NamesWithControlCharactersAreRefusedAndNotListed)
{
    for (std::string bad : {"a\tb", "a\nb", "a\x1b[2Jb", "a\x7f", "\x01"}) {
        RunResult r = addAs(bad, upload_);
        EXPECT_EQ(1, r.status) << shellQuote(bad);
        EXPECT_NE(std::string::npos, r.err.find("control characters are not allowed"))
            << shellQuote(bad) << ": " << r.err;
    }
    EXPECT_TRUE(mxtest::entries(STORE).empty());
    writeFile(STORE + "/x\t5\nforged", "planted");
    RunResult r = mxadmin("--list-attachments --domain-name=x.com --mailname=john");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
}

TEST_F(AttachmentCommands, OverLongPathsAreErrorsNotCut)
{
    // Each part is acceptable; together they do not fit a path buffer.
    std::string mailname(4080, 'm');
    RunResult r = addAs("f", upload_, mailname);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("is too long")) << r.err;
    r = mxadmin("--list-attachments --domain-name=x.com --mailname=" + mailname);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("is too long")) << r.err;
    r = mxadmin("--remove-attachment --domain-name=x.com --mailname=john "
                "--attachment-file-name=" +
                std::string(4080, 'f'));
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("is too long")) << r.err;
}

TEST_F(AttachmentCommands, ALinkInTheStoreIsNotWrittenThrough)
{
    std::string victim = std::string(getenv("TMPDIR")) + "/victim";
    writeFile(victim, "keep", 0600);
    ASSERT_EQ(0, symlink(victim.c_str(), (STORE + "/a.txt").c_str()));
    RunResult r = addAs("a.txt", upload_);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("keep", readFile(victim));
}

TEST_F(AttachmentCommands, AMissingUploadFailsAndKeepsTheAttachment)
{
    writeFile(STORE + "/a.txt", "old", 0644);
    RunResult r = addAs("a.txt", "/no/such/upload");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(
        std::string::npos,
        r.err.find("Unable to copy the attachment file /no/such/upload to " + STORE + "/a.txt"))
        << r.err;
    EXPECT_EQ("old", readFile(STORE + "/a.txt"));
    r = addAs("a.txt", std::string(getenv("TMPDIR")));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("old", readFile(STORE + "/a.txt"));
}

TEST_F(AttachmentCommands, RemoveDeletesAndAMissingFileCountsAsDeleted)
{
    writeFile(STORE + "/a.txt", "x");
    EXPECT_EQ(0, remove("a.txt").status);
    EXPECT_FALSE(fileExists(STORE + "/a.txt"));
    RunResult r = remove("a.txt");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    mxtest::makeDirs(STORE + "/dir");
    r = remove("dir");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("Unable to delete the attachment file " + STORE + "/dir"))
        << r.err;
}

TEST_F(AttachmentCommands, ListPrintsNameTabSize)
{
    writeFile(STORE + "/a.txt", std::string(1000, 'a'));
    RunResult r = mxadmin("--list-attachments --domain-name=x.com --mailname=john");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("a.txt\t1000\n", r.out);
    r = mxadmin("--list-attachments --fullname --domain-name=x.com --mailname=john");
    EXPECT_EQ(STORE + "/a.txt\t1000\n", r.out);
}

TEST_F(AttachmentCommands, ListInBlocksGivesTheAllocatedSize)
{
    writeFile(STORE + "/one", "1");
    RunResult r = mxadmin("--list-attachments --in-blocks --domain-name=x.com --mailname=john");
    EXPECT_EQ(0, r.status) << r.err;
    ASSERT_EQ(0u, r.out.find("one\t")) << r.out;
    long long size = std::stoll(r.out.substr(4));
    struct stat st;
    ASSERT_EQ(0, stat((STORE + "/one").c_str(), &st));
    EXPECT_EQ(static_cast<long long>(st.st_blocks) * 512, size);
    EXPECT_GT(size, 0);
    EXPECT_EQ(0, size % 512);
}

TEST_F(AttachmentCommands, ListAllSkipsPlainFilesAndSubdirectories)
{
    writeFile(STORE + "/a", "12");
    mxtest::makeDirs(STORE + "/nested");
    writeFile(STORE + "/nested/hidden", "xxx");
    mxtest::makeDirs(ROOT + "/x.com/jane/@attachments");
    writeFile(ROOT + "/x.com/jane/@attachments/b", "123");
    mxtest::makeDirs(ROOT + "/x.com/nostore");
    writeFile(ROOT + "/x.com/stray-file", "zzzz");
    RunResult r = mxadmin("--list-attachments --mail-all --domain-name=x.com");
    EXPECT_EQ(0, r.status) << r.err;
    // Directory order is the filesystem's: compare as a set of lines.
    std::string out = r.out;
    EXPECT_NE(std::string::npos, out.find("a\t2\n")) << out;
    EXPECT_NE(std::string::npos, out.find("b\t3\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("hidden")) << out;
    EXPECT_EQ(std::string::npos, out.find("stray")) << out;
    EXPECT_NE(std::string::npos,
              r.err.find("Unable to open dir " + ROOT + "/x.com/nostore/@attachments"))
        << r.err;
}

TEST_F(AttachmentCommands, MailnameAndMailAllExcludeEachOther)
{
    writeFile(STORE + "/a", "1");
    RunResult r = mxadmin("--list-attachments --mail-all --mailname=john --domain-name=x.com");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("you should not use --mailname and --mail-all together\n", r.err);
    EXPECT_EQ(0u, r.out.find("you should not use --mailname and --mail-all together\n"
                             "list attachments\nUsage: --list-attachments"))
        << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("a\t1"));
    r = mxadmin("--list-attachments --domain-name=x.com");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("neither --mailname nor --mail-all are specified\n", r.err);
}

TEST_F(AttachmentCommands, ListOfAMailNameWithoutStoreFails)
{
    RunResult r = mxadmin("--list-attachments --domain-name=x.com --mailname=nobody");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("Unable to open dir " + ROOT + "/x.com/nobody/@attachments"))
        << r.err;
}

} // namespace
