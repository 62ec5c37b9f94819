// manager_fixture.h - the domain and mail name manager tests' sandbox: the
// four tables they write, seeded with the real postmap; a postmap stand-in
// that records each run (arguments and fed lines) and fails chosen runs; and
// snapshots of all tables for whole-table comparisons.
#ifndef MX_TESTS_MAIL_POSTFIX_MANAGER_FIXTURE_H
#define MX_TESTS_MAIL_POSTFIX_MANAGER_FIXTURE_H

#include <cstdlib>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "mail/postfix/database_helper.h"
#include "systest.h"

namespace managertest {

typedef std::map<std::string, std::string> Records;
// Tables by their short name ("virtual", "vmailbox", ...).
typedef std::map<std::string, Records> Snapshot;

const char TABLE_DIR[] = "/var/spool/postfix/ostra/";
const char POSTMAP[] = "/usr/sbin/postmap";
const char REAL_POSTMAP[] = "/usr/sbin/postmap.real";
const char* const TABLES[] = {"virtual_domains", "vmailbox", "virtual", "aliases"};
const char MAIL_ROOT[] = "/var/qmail/mailnames";

// The stand-in: logs "args" (table identifiers shortened to their last path
// element) and "< line" for each fed line while REC/on exists; fails, with a
// fatal line like the real tool's, the runs whose "args" plus fed lines match
// the glob in REC/fail after letting REC/skip of them through.
const char STAND_IN[] = R"SH(rec=$1
shift
input=
case " $* " in
*" -i "* | *" - "*)
    cat >"$rec/in"
    input=yes
    ;;
esac
subject=$(printf '%s' "$*" | sed 's|hash:/var/spool/postfix/ostra/||g')
if [ -e "$rec/on" ]; then
    printf '%s\n' "$subject" >>"$rec/log"
    if [ -n "$input" ]; then sed 's/^/< /' "$rec/in" >>"$rec/log"; fi
fi
if [ -n "$input" ]; then
    subject="$subject
$(cat "$rec/in")"
fi
if [ -e "$rec/fail" ]; then
    pattern=$(cat "$rec/fail")
    case $subject in
    $pattern)
        skip=$(cat "$rec/skip")
        if [ "$skip" -gt 0 ]; then
            echo $((skip - 1)) >"$rec/skip"
        else
            echo "postmap: fatal: injected failure" >&2
            exit 1
        fi
        ;;
    esac
fi
if [ -n "$input" ]; then exec /usr/sbin/postmap.real "$@" <"$rec/in"; fi
exec /usr/sbin/postmap.real "$@"
)SH";

// ManagerTest - empty tables, the recording stand-in, and the means to read them back.
class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        rec_ = std::string(std::getenv("TMPDIR")) + "/postmap-rec";
        mxtest::makeDirs(rec_);
        mxtest::makeDirs(TABLE_DIR);
        shell(std::string("mv ") + POSTMAP + " " + REAL_POSTMAP);
        mxtest::installScript(POSTMAP, "#!/bin/sh\nset -- " + mxtest::shellQuote(rec_) +
                                           " \"$@\"\n" + STAND_IN);
        for (const char* table : TABLES)
            seed(table, Records());
    }

    // shell - run a command line that must succeed.
    static mxtest::RunResult shell(const std::string& command)
    {
        const mxtest::RunResult r = mxtest::run(command);
        EXPECT_EQ(0, r.status) << command << ": " << r.err;
        return r;
    }

    // table - the identifier of a table by its short name.
    static std::string table(const std::string& name)
    {
        return "hash:" + std::string(TABLE_DIR) + name;
    }

    // seed - make records a table's whole content; no source file is left.
    void seed(const std::string& name, const Records& records)
    {
        std::string lines;
        for (const auto& r : records)
            lines += r.first + " " + r.second + "\n";
        const std::string source = TABLE_DIR + name;
        mxtest::writeFile(source, lines);
        shell(std::string(REAL_POSTMAP) + " " + mxtest::shellQuote(table(name)) + " && rm " +
              mxtest::shellQuote(source));
    }

    // dump - a table's records as postmap reads them back.
    Records dump(const std::string& name) { return mxtest::postmapDump(table(name)); }

    // snapshot - every table the managers write.
    Snapshot snapshot()
    {
        Snapshot all;
        for (const char* name : TABLES)
            all[name] = dump(name);
        return all;
    }

    // record - log the postmap runs from now on.
    void record()
    {
        shell("rm -f " + mxtest::shellQuote(rec_ + "/log"));
        mxtest::writeFile(rec_ + "/on", "");
    }

    // recorded - stop logging; the runs since record(), one "args" line each
    // followed by the fed lines, each as "< line".
    std::string recorded()
    {
        shell("rm -f " + mxtest::shellQuote(rec_ + "/on"));
        return mxtest::fileExists(rec_ + "/log") ? mxtest::readFile(rec_ + "/log") : "";
    }

    // failRuns - from now on fail the runs matching the glob, after skip of them.
    void failRuns(const std::string& glob, int skip = 0)
    {
        mxtest::writeFile(rec_ + "/skip", std::to_string(skip) + "\n");
        mxtest::writeFile(rec_ + "/fail", glob);
    }

    // stopFailing - let every run through again.
    void stopFailing() { shell("rm -f " + mxtest::shellQuote(rec_ + "/fail")); }

    // listDir - the entry names of a directory, sorted, one per line.
    static std::string listDir(const std::string& path)
    {
        return shell("LC_ALL=C ls -A " + mxtest::shellQuote(path)).out;
    }

private:
    std::string rec_;
};

// The fatal line of the stand-in, as the table errors carry it.
const char INJECTED[] = "postmap: fatal: injected failure\n";

// standardAddresses - the records a domain's six standard addresses make.
inline Records standardAddresses(const std::string& domain)
{
    Records r;
    for (const char* local :
         {"postmaster", "mailer-daemon", "root", "anonymous", "drweb", "kluser"})
        r[std::string(local) + "@" + domain] = std::string(local) + "@localhost.localdomain";
    return r;
}

// merged - the union of record sets (later sets win).
inline Records merged(std::initializer_list<Records> sets)
{
    Records out;
    for (const Records& s : sets)
        for (const auto& r : s)
            out[r.first] = r.second;
    return out;
}

} // namespace managertest

#endif
