// table_fixture.h - lookup tables seeded and read back with the real postmap, in the sandbox.
#ifndef MX_TESTS_MAIL_POSTFIX_TABLE_FIXTURE_H
#define MX_TESTS_MAIL_POSTFIX_TABLE_FIXTURE_H

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <errno.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/postfix/database_helper.h"
#include "ostra/lock.h"
#include "systest.h"

namespace tabletest {

using ostra::mail::postfix::tableSourcePath;

const char TABLE_DIR[] = "/var/spool/postfix/ostra";
const char POSTMAP[] = "/usr/sbin/postmap";

// quote - single-quote s for the shell.
inline std::string quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// exists - whether path names anything.
inline bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// TableTest - a fixture that refuses to run outside the sandbox and provides the table directory.
class TableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        ASSERT_EQ(0, mxtest::run(std::string("mkdir -p ") + TABLE_DIR).status);
        realPostmap_ = POSTMAP;
    }

    // postmap - the real tool, also while a stand-in occupies its place.
    const std::string& postmap() const { return realPostmap_; }

    // seed - build a table from record lines with the real tool; no source file is left.
    void seed(const std::string& table, const std::string& lines)
    {
        const std::string source = tableSourcePath(table);
        mxtest::writeFile(source, lines);
        const mxtest::RunResult r = mxtest::run(postmap() + " " + quote(table));
        ASSERT_EQ(0, r.status) << r.err;
        ASSERT_EQ(0, ::unlink(source.c_str()));
    }

    // dump - the table's records as sorted "key value" lines.
    std::vector<std::string> dump(const std::string& table)
    {
        const mxtest::RunResult r = mxtest::run(postmap() + " -s " + quote(table));
        EXPECT_EQ(0, r.status) << r.err;
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        std::string line;
        while (std::getline(in, line)) {
            std::replace(line.begin(), line.end(), '\t', ' ');
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }

    // query - the value of key, or "(absent)".
    std::string query(const std::string& table, const std::string& key)
    {
        const mxtest::RunResult r =
            mxtest::run(postmap() + " -q " + quote(key) + " " + quote(table));
        if (r.status == 1 && r.out.empty())
            return "(absent)";
        EXPECT_EQ(0, r.status) << r.err;
        return r.out.substr(0, r.out.find('\n'));
    }

    // lockIsFree - whether the table's rewrite lock can be taken at once.
    static bool lockIsFree(const std::string& table)
    {
        lock_struct_t* lock = mk_nonblock_lock(tableSourcePath(table).c_str(), 1);
        const bool taken = lock && is_locked(lock);
        if (lock)
            rm_lock(lock);
        return taken;
    }

    // installStandIn - put a shell script in postmap's place; the real tool stays usable here.
    void installStandIn(const std::string& body)
    {
        const std::string dir = std::string(std::getenv("TMPDIR")) + "/real";
        const std::string copy = dir + "/postmap";
        if (!exists(copy)) {
            const mxtest::RunResult r =
                mxtest::run("mkdir -p " + quote(dir) + " && cp -p " + POSTMAP + " " + quote(copy));
            ASSERT_EQ(0, r.status) << r.err;
        }
        realPostmap_ = copy;
        ASSERT_EQ(0, ::unlink(POSTMAP));
        mxtest::writeFile(POSTMAP, "#!/bin/sh\nREAL=" + quote(copy) + "\n" + body, 0755);
    }

private:
    std::string realPostmap_;
};

// waitChild - the exit status of a forked test child, or 128 + signal.
inline int waitChild(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace tabletest

#endif
