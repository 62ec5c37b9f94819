// hostile_values_systest.cc - values the panel passes on from its users, a
// lock directory made by another local user, a key file named by an option,
// and what children inherit: through the real mxadmin, postmap, postconf,
// SQLite and panel database server.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "mail/lib/mail_authenticate.h"
#include "systest.h"

namespace {

const char AUTH_DB[] = "/var/spool/postfix/ostra/passwd.db";
const char VIRTUAL[] = "hash:/var/spool/postfix/ostra/virtual";
// Everything a command may write.
const char WRITTEN[] = "/var/spool/postfix/ostra /etc/postfix /etc/domainkeys /etc/hsp-spf "
                       "/var/qmail /usr/local/hsp/handlers";
// x.com (alias y.com) has o'brien and john (mail alias jj); another
// customer's other.com has ceo.
const char PANEL[] = "INSERT INTO domains (id, name) VALUES (1, 'x.com'), (2, 'other.com');"
                     "INSERT INTO domainaliases (id, name, dom_id) VALUES (1, 'y.com', 1);"
                     "INSERT INTO mail (id, mail_name, dom_id) VALUES (1, 'o''brien', 1),"
                     " (2, 'john', 1), (3, 'ceo', 2);"
                     "INSERT INTO mail_aliases (id, mn_id, alias) VALUES (1, 2, 'jj');";

// sh - a shell command that must succeed; its output.
std::string sh(const std::string& command)
{
    const mxtest::RunResult r = mxtest::run(command);
    EXPECT_EQ(0, r.status) << command << "\n" << r.err;
    return r.out;
}

// mx - mxadmin with shell-quoted arguments, after a shell prefix (umask,
// variables); main.cf back-dated for the next postconf.
mxtest::RunResult mx(const std::string& args, const std::string& prefix = "")
{
    const mxtest::RunResult r = mxtest::run(prefix + " " MXADMIN_BIN " " + args);
    mxtest::backdate("/etc/postfix/main.cf");
    return r;
}

// state - path, mode, owner and content of everything written.
std::string state()
{
    const std::string find = std::string("find ") + WRITTEN;
    return mxtest::run(find + " -printf '%p %m %u:%g\\n' | sort; " + find +
                       " -type f -exec md5sum {} + | sort")
        .out;
}

// users - every authentication row as name@domain.
std::string users()
{
    return sh(std::string("sqlite3 ") + AUTH_DB +
              " \"SELECT u.name || '@' || d.name FROM users u JOIN domains d"
              " ON d.id = u.dom_id ORDER BY 1\"");
}

class HostileValues : public ::testing::Test {
protected:
    void SetUp() override
    {
        sh("mkdir -p /var/qmail/mailnames /etc/domainkeys /etc/hsp-spf /var/spool/postfix/ostra"
           " && cd /var/spool/postfix/ostra && for t in virtual_domains vmailbox virtual aliases"
           " blacklists; do : >$t && postmap hash:$t && rm $t; done");
        mxtest::installScript("/etc/init.d/postfix", "exit 0\n");
        ASSERT_EQ(0, mailAuthDBCreate(AUTH_DB));
    }
    static void withPanel()
    {
        mxtest::startMariaDB();
        mxtest::sql(PANEL);
    }
};

struct Case {
    std::string args;
    const char* expected; // in the error output, or in what was written
};

const Case REFUSED[] = {
    {"--add-domain --domain-name=\"x'or'1'='1\"", "invalid domain name"},
    {"--remove-domain --domain-name='a b.com'", "invalid domain name"},
    {"--turn-on-domain --domain-name='a.com\nb.com'", "invalid domain name"},
    {"--set-reject --domain-name=a/b.com", "invalid domain name"},
    {"--set-bounce --domain-name=a_b.com", "invalid domain name"},
    {"--add-domain --domain-name=a.com.", "invalid domain name"},
    {"--add-mailname --domain-name=\"x'or'1'='1\" --mailname=ceo", "invalid domain name"},
    {"--add-domain-alias --domain-name=x.com --domain-alias-name=\"y'.com\" --set-reject",
     "invalid domain name"},
    {"--set-catchall --domain-name=x.com --email=a@b_c.com", "invalid e-mail address"},
    {"--set-catchall --domain-name=x.com --email=a@b.com,c@d.com", "invalid e-mail address"},
    {"--add-redirect --domain-name=x.com --mailname=john --redirect-email='a@b.com c@d.com'",
     "invalid e-mail address"},
    {"--set-domain-key --domain-name='a.com,b c.com' --file-name=/etc/hostname",
     "invalid domain name 'b c.com'"},
    {"--remove-domain-key --domain-name=a.com,x_y", "invalid domain name 'x_y'"},
    {"--list-attachments --domain-name=\"a'b\" --mail-all", "invalid domain name"},
    {"--add-handler --handler-name=f --handler-type=recipient-domain --handler-type-name='a.com, "
     "b_c.com' --executable=/bin/true --context=c --hook=before-local --priority=10",
     "invalid domain name 'b_c.com'"},
    {"--add-badmailfrom --domain-name='spam.example OK'", "invalid domain name"},
    {"--add-badmailfrom --domain-name='a.example\ngood.example'", "invalid domain name"},
    {"--add-whitelist --ip-address='0.0.0.0/0 10.0.0.0' --netmask=8", "invalid IPv4 address"},
    {"--add-whitelist --ip-address='10.1.1.1\nrelayhost = x' --netmask=32", "invalid IPv4 address"},
    {"--set-maps-protection --maps-zones='zen.example\nrelayhost=x'", "invalid MAPS zone"},
    {"--update-spf --spf-rules='a\nb'", "invalid SPF value"},
    {"--add-mailname --domain-name=x.com --mailname='a b'", "invalid mail name"},
    {"--add-mailname --domain-name=x.com --mailname=a,root", "invalid mail name"},
    {"--remove-mailname --domain-name=x.com --mailname='a\nb'", "invalid mail name"},
    {"--add-alias --domain-name=x.com --mailname=john --alias=a,root", "invalid mail alias"},
};

TEST_F(HostileValues, RefusedWithNothingWritten)
{
    mxtest::installScript("/etc/init.d/postfix", "echo \"$1\" >>/tmp/reloads\n");
    const std::string before = state();
    for (const Case& c : REFUSED) {
        const mxtest::RunResult r = mx(c.args);
        EXPECT_EQ(1, r.status) << c.args << "\n" << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.expected)) << c.args << "\n" << r.err;
        EXPECT_EQ(before, state()) << c.args;
    }
    EXPECT_FALSE(mxtest::fileExists("/tmp/reloads"));
}

TEST_F(HostileValues, OrdinaryValuesStillWork)
{
    withPanel();
    sh("echo KEY >$TMPDIR/key");
    const Case accepted[] = {
        {"--add-domain --domain-name=Bücher.DE", "xn--bcher-kva.de\txn--bcher-kva.DE/"},
        {"--add-domain --domain-name=x.com", "x.com\tx.com/"},
        {"--add-mailname --domain-name=x.com --mailname=\"o'brien\"",
         "o'brien@y.com\to'brien@x.com"},
        {"--add-redirect --domain-name=x.com --mailname=\"o'brien\" "
         "--redirect-email=o.b+x@Bücher.DE",
         "&o.b+x@xn--bcher-kva.DE"},
        {"--add-badmailfrom --domain-name=Spam-1.Example", "spam-1.example\tREJECT"},
        {"--set-domain-key --domain-name=Bücher.DE,a.com --file-name=$TMPDIR/key",
         "/etc/domainkeys/xn--bcher-kva.de/default 440 root:popuser"},
        {"--add-whitelist --ip-address=10.1.0.0 --netmask=16", "10.1.0.0/16"},
        {"--set-maps-protection --maps-zones=zen.example,bl.example=127.0.0.2",
         "reject_rbl_client bl.example=127.0.0.2"},
        {"--update-spf --spf-rules='include:a.example ip4:10.0.0.0/8'",
         "include:a.example ip4:10.0.0.0/8"},
    };
    for (const Case& c : accepted) {
        const mxtest::RunResult r = mx(c.args);
        EXPECT_EQ(0, r.status) << c.args << "\n" << r.err;
        const std::string seen =
            state() + sh("cd /var/spool/postfix/ostra && for t in virtual_domains virtual "
                         "blacklists; do postmap -s hash:$t; done; postconf -n; cat "
                         "/var/qmail/mailnames/*/*/.qmail /etc/hsp-spf/* 2>/dev/null; true");
        EXPECT_NE(std::string::npos, seen.find(c.expected)) << c.args << "\n" << seen;
    }
}

TEST_F(HostileValues, QuotedMailNamesReachOnlyTheirOwnRows)
{
    withPanel();
    for (const char* args :
         {"--add-domain --domain-name=x.com", "--add-domain --domain-name=other.com",
          "--add-mailname --domain-name=x.com --mailname=john",
          "--add-mailname --domain-name=other.com --mailname=ceo",
          "--add-mailbox --domain-name=x.com --mailname=john",
          "--add-mailbox --domain-name=other.com --mailname=ceo",
          "--add-alias --domain-name=x.com --mailname=john --alias=jj"})
        ASSERT_EQ(0, mx(args, "HSP_PASSWORD=pw").status) << args;
    std::map<std::string, std::string> records = mxtest::postmapDump(VIRTUAL);
    const std::string before = users();

    // Only o'brien's own records and credentials, in x.com and its alias y.com.
    ASSERT_EQ(0, mx("--add-mailname --domain-name=x.com --mailname=\"o'brien\"").status);
    ASSERT_EQ(
        0,
        mx("--add-mailbox --domain-name=x.com --mailname=\"o'brien\"", "HSP_PASSWORD=pw").status);
    records["o'brien@x.com"] = records["o'brien@y.com"] = "o'brien@x.com";
    EXPECT_EQ(records, mxtest::postmapDump(VIRTUAL));
    EXPECT_EQ(before + "o'brien@x.com\no'brien@y.com\n", users());
    ASSERT_EQ(0, mx("--remove-mailname --domain-name=x.com --mailname=\"o'brien\"").status);
    EXPECT_EQ(before, users());
    // A quote that would widen the lookup of mail aliases to every customer's.
    ASSERT_EQ(
        0, mx("--remove-mailname --domain-name=x.com --mailname=\"x'OR'1'='1'OR'a'='b\"").status);
    EXPECT_EQ(before, users()) << "jj@x.com is john's";
}

const Case LOCK_DIRS[] = {
    // how /run/lock/files is made; "" when it must serve
    {"true", ""},
    {"setpriv --reuid=nobody --regid=nogroup --clear-groups mkdir $D", "Refusing lock directory"},
    {"mkdir -m 775 $D", "Refusing lock directory \"/var/lock/files\": it must be a directory owned "
                        "by root and writable by no one else."},
    {"mkdir -m 1777 $D", "Refusing lock directory"},
    {"ln -s /etc $D", "Refusing lock directory"},
};

TEST_F(HostileValues, LockDirectoryIsRootsAlone)
{
    for (const Case& c : LOCK_DIRS) {
        // Links named like the lock files of main.cf, made by the directory's owner.
        sh("D=/run/lock/files; rm -rf $D; " + c.args +
           "; echo precious >/etc/precious; chmod 600 /etc/precious; for p in main.cf "
           "main.cf.edit; do h=$(printf /etc/postfix/$p | md5sum | cut -c1-32); [ ! -d $D ] || "
           "ln -s /etc/precious $D/$h; done; chown -h --reference=$D $D/* 2>/dev/null; true");
        const std::string before = state();
        const mxtest::RunResult r =
            mx("--add-whitelist --ip-address=10.2.0.0 --netmask=16", "umask 000;");
        EXPECT_EQ("precious\n", mxtest::readFile("/etc/precious")) << c.args;
        EXPECT_EQ(0600, mxtest::fileMode("/etc/precious")) << c.args;
        if (*c.expected == '\0') {
            EXPECT_EQ(0, r.status) << c.args << "\n" << r.err;
            EXPECT_EQ(0755, mxtest::fileMode("/run/lock/files"));
            EXPECT_EQ("root:root", mxtest::fileOwner("/run/lock/files"));
            continue;
        }
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find(c.expected)) << c.args << "\n" << r.err;
        EXPECT_EQ(before, state()) << c.args;
    }
}

const Case KEY_FILES[] = {
    // how $K is made; "" when it must serve
    {"ln -s /etc/precious $K", "': a symbolic link"},
    {"mkfifo $K", "': not a regular file"},
    {"mkdir $K", "': not a regular file"},
    {"echo KEY >$K", ""},
};

TEST_F(HostileValues, KeyFileIsOneRegularFileReadOnce)
{
    const std::string key = std::string(getenv("TMPDIR")) + "/upload.key";
    sh("echo precious >/etc/precious");
    for (const Case& c : KEY_FILES) {
        sh("rm -rf /etc/domainkeys/a.com " + key + "; K=" + key + "; " + c.args);
        const mxtest::RunResult r =
            mx("--set-domain-key --domain-name=a.com --file-name=" + key, "timeout 10");
        EXPECT_EQ("precious\n", mxtest::readFile("/etc/precious")) << c.args;
        if (*c.expected == '\0') {
            EXPECT_EQ(0, r.status) << c.args << "\n" << r.err;
            EXPECT_EQ("KEY\n", mxtest::readFile("/etc/domainkeys/a.com/default"));
            EXPECT_FALSE(mxtest::fileExists(key));
            continue;
        }
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find("No source file '" + key + c.expected))
            << c.args << "\n"
            << r.err;
        EXPECT_FALSE(mxtest::fileExists("/etc/domainkeys/a.com")) << c.args;
        EXPECT_TRUE(mxtest::fileExists(key)) << c.args;
    }
}

// A postmap and an init script that record their descriptors and environment.
const char RECORDER[] = "ls /proc/$$/fd >/tmp/seen/$$.fds\nenv >/tmp/seen/$$.env\n";

TEST_F(HostileValues, ChildrenGetNoPasswordAndNoDescriptor)
{
    withPanel();
    sh("mkdir /tmp/seen && mv /usr/sbin/postmap /usr/sbin/postmap.real");
    mxtest::installScript("/usr/sbin/postmap",
                          std::string(RECORDER) + "exec /usr/sbin/postmap.real \"$@\"\n");
    mxtest::installScript("/etc/init.d/postfix", std::string(RECORDER) + "exit 0\n");
    // What the recorder sees with nothing but the shell in between.
    const std::string baseline = sh("/etc/init.d/postfix && cat /tmp/seen/*.fds && rm /tmp/seen/*");
    size_t recorded = 0;
    for (const char* args :
         {"--add-domain --domain-name=x.com", "--add-mailname --domain-name=x.com --mailname=john",
          "--add-mailbox --domain-name=x.com --mailname=john",
          "--rename-mailname --domain-name=x.com --old-mailname=john --new-mailname=jack",
          "--add-whitelist --ip-address=10.0.0.0 --netmask=8"}) {
        const mxtest::RunResult r = mx(args, "HSP_PASSWORD=clear HSP_CRYPTED_PASSWORD=crypt");
        EXPECT_EQ(0, r.status) << args << "\n" << r.err;
        for (const std::string& record : mxtest::entries("/tmp/seen")) {
            const std::string text = mxtest::readFile("/tmp/seen/" + record);
            if (record.find(".fds") != std::string::npos)
                EXPECT_EQ(baseline, text) << args;
            else
                EXPECT_EQ(std::string::npos, text.find("HSP_")) << args << "\n" << text;
            ++recorded;
        }
        sh("rm -f /tmp/seen/*");
    }
    EXPECT_LE(12u, recorded) << "postmap and the init script did not run";
    // The commands that read a password still got it, the clear one first.
    EXPECT_EQ("clear\n",
              sh(std::string("sqlite3 ") + AUTH_DB + " 'SELECT DISTINCT userPassword FROM users'"));
}

// modesUnder - the modes of everything a series of commands writes under umask.
std::string modesUnder(const std::string& umask)
{
    sh("rm -rf /var/qmail/mailnames/x.com /etc/domainkeys/* /etc/hsp-spf/*; echo k >/tmp/key");
    for (const char* args :
         {"--add-domain --domain-name=x.com",
          "--add-mailname --domain-name=x.com --mailname=john --disk-quota=1000",
          "--rename-mailname --domain-name=x.com --old-mailname=john --new-mailname=jack",
          "--add-badmailfrom --domain-name=spam.example", "--update-spf --spf-rules=a",
          "--set-domain-key --domain-name=x.com --file-name=/tmp/key"})
        EXPECT_EQ(0, mx(args, "umask " + umask + ";").status) << args;
    return sh(std::string("find ") + WRITTEN + " -printf '%p %m\\n' | sort");
}

TEST_F(HostileValues, FileModesDoNotDependOnTheCallersUmask)
{
    withPanel();
    const std::string usual = modesUnder("022");
    EXPECT_NE(std::string::npos, usual.find("/etc/hsp-spf/spfrules 644")) << usual;
    EXPECT_EQ(usual, modesUnder("000"));
}

} // namespace
