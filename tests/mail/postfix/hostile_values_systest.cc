// hostile_values_systest.cc - values the panel passes on from its users, a
// lock directory made by another local user, a file named by an option, and
// what children inherit: through the real mxadmin, postmap, postconf,
// SQLite and panel database server.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "world.h"

namespace {

// x.com (alias y.com) has o'brien and john (mail alias jj); another
// customer's other.com has ceo.
const char PANEL[] = "INSERT INTO domains (id, name) VALUES (1, 'x.com'), (2, 'other.com');"
                     "INSERT INTO domainaliases (id, name, dom_id) VALUES (1, 'y.com', 1);"
                     "INSERT INTO mail (id, mail_name, dom_id) VALUES (1, 'o''brien', 1),"
                     " (2, 'john', 1), (3, 'ceo', 2);"
                     "INSERT INTO mail_aliases (id, mn_id, alias) VALUES (1, 2, 'jj');";

// sh - a shell line (mxadmin on PATH) that must succeed; its output.
std::string sh(const std::string& line)
{
    const mxtest::RunResult r = mxtest::shell(line);
    EXPECT_EQ(0, r.status) << line << "\n" << r.err;
    return r.out;
}

struct Case {
    std::string args;
    const char* expected; // in the diagnostics, or in the snapshot after
};

const Case REFUSED[] = {
    {"--add-domain --domain-name=\"x'or'1'='1\"", "invalid domain name"},
    {"--remove-domain --domain-name='a b.com'", "invalid domain name"},
    {"--turn-on-domain --domain-name='a.com\nb.com'", "invalid domain name"},
    {"--set-reject --domain-name=a/b.com", "invalid domain name"},
    {"--set-bounce --domain-name=a_b.com", "invalid domain name"},
    {"--add-mailname --domain-name=\"x'or'1'='1\" --mailname=ceo", "invalid domain name"},
    {"--add-domain-alias --domain-name=x.com --domain-alias-name=\"y'.com\" --set-reject",
     "invalid domain name"},
    {"--set-catchall --domain-name=x.com --email=a@b.com,c@d.com", "invalid e-mail address"},
    {"--add-redirect --domain-name=x.com --mailname=john --redirect-email='a@b.com c@d.com'",
     "invalid e-mail address"},
    {"--set-domain-key --domain-name='a.com,b c.com' --file-name=/etc/hostname",
     "invalid domain name 'b c.com'"},
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
    {"--add-alias --domain-name=x.com --mailname=john --alias=a,root", "invalid mail alias"},
};

TEST(HostileValues, RefusedWithNothingWritten)
{
    mxtest::resetWorld(PANEL);
    const std::vector<std::string> before = mxtest::snapshot();
    for (const Case& c : REFUSED) {
        const mxtest::RunResult r = mxtest::shell("mxadmin " + c.args);
        EXPECT_EQ(1, r.status) << c.args << "\n" << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.expected)) << c.args << "\n" << r.err;
        EXPECT_EQ("", mxtest::changes(before, mxtest::snapshot())) << c.args;
    }
}

const Case ACCEPTED[] = {
    {"--add-domain --domain-name=Bücher.DE", "virtual_domains xn--bcher-kva.de xn--bcher-kva.DE/"},
    {"--add-domain --domain-name=x.com", "virtual_domains x.com x.com/"},
    {"--add-mailname --domain-name=x.com --mailname=\"o'brien\"",
     "virtual o'brien@y.com o'brien@x.com"},
    {"--add-redirect --domain-name=x.com --mailname=\"o'brien\" --redirect-email=o.b+x@Bücher.DE",
     "&o.b+x@xn--bcher-kva.DE"},
    {"--add-badmailfrom --domain-name=Spam-1.Example", "blacklists spam-1.example REJECT"},
    {"--set-domain-key --domain-name=Bücher.DE,a.com --file-name=$TMPDIR/key",
     "dkey xn--bcher-kva.de/default f440 root:popuser KEY"},
    {"--add-whitelist --ip-address=10.1.0.0 --netmask=16", "10.1.0.0/16"},
    {"--set-maps-protection --maps-zones=zen.example,bl.example=127.0.0.2",
     "reject_rbl_client bl.example=127.0.0.2"},
    {"--update-spf --spf-rules='include:a.example ip4:10.0.0.0/8'",
     "spfrules f644 root:root include:a.example ip4:10.0.0.0/8"},
};

TEST(HostileValues, OrdinaryValuesStillWork)
{
    mxtest::resetWorld(PANEL);
    sh("echo KEY >$TMPDIR/key && mkdir -p /etc/hsp-spf");
    for (const Case& c : ACCEPTED) {
        const mxtest::RunResult r = mxtest::shell("mxadmin " + c.args);
        EXPECT_EQ(0, r.status) << c.args << "\n" << r.err;
        std::string seen;
        for (const std::string& line : mxtest::snapshot())
            seen += line + "\n";
        EXPECT_NE(std::string::npos, seen.find(c.expected)) << c.args << "\n" << seen;
    }
}

TEST(HostileValues, QuotedMailNamesReachOnlyTheirOwnRows)
{
    mxtest::resetWorld(PANEL);
    mxtest::setup(R"(
        mxadmin --add-domain --domain-name=x.com
        mxadmin --add-domain --domain-name=other.com
        mxadmin --add-mailname --domain-name=x.com --mailname=john
        mxadmin --add-mailname --domain-name=other.com --mailname=ceo
        HSP_PASSWORD=pw mxadmin --add-mailbox --domain-name=x.com --mailname=john
        HSP_PASSWORD=pw mxadmin --add-mailbox --domain-name=other.com --mailname=ceo
        mxadmin --add-alias --domain-name=x.com --mailname=john --alias=jj)");
    const std::vector<std::string> before = mxtest::snapshot();
    // Only o'brien's own records and credentials, in x.com and its alias y.com.
    mxtest::setup(R"(
        mxadmin --add-mailname --domain-name=x.com --mailname="o'brien"
        HSP_PASSWORD=pw mxadmin --add-mailbox --domain-name=x.com --mailname="o'brien")");
    const std::string added = mxtest::changes(before, mxtest::snapshot());
    for (const char* line :
         {"+auth user o'brien@x.com pw - 0\n", "+auth user o'brien@y.com pw - 0\n",
          "+virtual o'brien@x.com o'brien@x.com\n", "+virtual o'brien@y.com o'brien@x.com\n",
          "+vmailbox o'brien@x.com x.com/o'brien/Maildir/\n"})
        EXPECT_NE(std::string::npos, added.find(line)) << added;
    EXPECT_EQ(std::string::npos, ("\n" + added).find("\n-")) << added;
    // Removing it, and a name whose quotes would widen the lookup of mail
    // aliases to every customer's, leaves every other row alone.
    mxtest::setup(R"(
        mxadmin --remove-mailname --domain-name=x.com --mailname="o'brien"
        mxadmin --remove-mailname --domain-name=x.com --mailname="x'OR'1'='1'OR'a'='b")");
    const std::string left = mxtest::changes(before, mxtest::snapshot());
    EXPECT_EQ(std::string::npos, left.find("auth user")) << left;
}

const Case LOCK_DIRS[] = {
    // how /run/lock/files is made; "" when it must serve (made root's, 0755)
    {"true", ""},
    {"setpriv --reuid=nobody --regid=nogroup --clear-groups mkdir $D", "Refusing lock directory"},
    {"mkdir -m 775 $D", "Refusing lock directory \"/var/lock/files\": it must be a directory owned "
                        "by root and writable by no one else."},
    {"mkdir -m 1777 $D", "Refusing lock directory"},
    {"ln -s /etc $D", "Refusing lock directory"},
    // A sound directory, but the lock files are links: never followed.
    {"mkdir -m 755 $D", "Too many levels of symbolic links"},
};

TEST(HostileValues, LockDirectoryIsRootsAlone)
{
    for (const Case& c : LOCK_DIRS) {
        mxtest::resetWorld();
        // Links named like the lock files of main.cf, made by the directory's owner.
        sh("D=/run/lock/files; rm -rf $D; " + c.args +
           "; echo precious >/etc/precious; chmod 600 /etc/precious; for p in main.cf "
           "main.cf.edit; do h=$(printf /etc/postfix/$p | md5sum | cut -c1-32); [ ! -d $D ] || "
           "ln -s /etc/precious $D/$h; done; chown -h --reference=$D $D/* 2>/dev/null; true");
        const std::vector<std::string> before = mxtest::snapshot();
        const mxtest::RunResult r =
            mxtest::shell("umask 000; mxadmin --add-whitelist --ip-address=10.2.0.0 --netmask=16");
        EXPECT_EQ("precious\n600\n", sh("cat /etc/precious; stat -c %a /etc/precious")) << c.args;
        if (*c.expected == '\0') {
            EXPECT_EQ(0, r.status) << c.args << "\n" << r.err;
            EXPECT_EQ("755 root:root\n", sh("stat -c '%a %U:%G' /run/lock/files"));
            continue;
        }
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find(c.expected)) << c.args << "\n" << r.err;
        EXPECT_EQ("", mxtest::changes(before, mxtest::snapshot())) << c.args;
    }
}

const Case KEY_FILES[] = {
    // how $K is made; "" when it must serve
    {"ln -s /etc/precious $K", "': a symbolic link"},
    {"mkfifo $K", "': not a regular file"},
    {"mkdir $K", "': not a regular file"},
    {"echo KEY >$K.2 && ln $K.2 $K", "': a file with several links"},
    {"echo KEY >$K && chmod 600 $K", "': not readable by popuser"},
    {"echo KEY >$K", ""},
};

TEST(HostileValues, KeyFileIsOneRegularFileReadOnce)
{
    mxtest::resetWorld();
    const std::string key = std::string(getenv("TMPDIR")) + "/upload.key";
    for (const Case& c : KEY_FILES) {
        sh("rm -rf /etc/domainkeys " + key + "; echo precious >/etc/precious; K=" + key + "; " +
           c.args);
        const mxtest::RunResult r = mxtest::shell(
            "timeout 10 mxadmin --set-domain-key --domain-name=a.com --file-name=" + key);
        EXPECT_EQ("precious\n", sh("cat /etc/precious")) << c.args;
        if (*c.expected == '\0') {
            EXPECT_EQ(0, r.status) << c.args << "\n" << r.err;
            EXPECT_EQ("KEY\n", sh("cat /etc/domainkeys/a.com/default; ! test -e " + key));
            continue;
        }
        EXPECT_EQ(1, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find("No source file '" + key + c.expected))
            << c.args << "\n"
            << r.err;
        sh("! test -e /etc/domainkeys/a.com && test -e " + key);
    }
    // A file of root's outside a shared temporary directory is no upload to delete.
    sh("echo KEY >/var/lib/key && mxadmin --set-domain-key --domain-name=a.com "
       "--file-name=/var/lib/key && test -e /var/lib/key");
}

// A postmap and an init script that record their descriptors and environment.
const char RECORDER[] = "ls /proc/$$/fd >/tmp/seen/$$.fds\nenv >/tmp/seen/$$.env\n";

TEST(HostileValues, ChildrenGetNoPasswordAndNoDescriptor)
{
    mxtest::resetWorld(PANEL);
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
        sh(std::string("HSP_PASSWORD=clear HSP_CRYPTED_PASSWORD=crypt mxadmin ") + args);
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
    // Standard streams the caller closed are /dev/null: no lock file or table
    // source takes their place to receive diagnostics.
    mxtest::installScript("/usr/sbin/postmap",
                          "readlink /proc/$PPID/fd/0 /proc/$PPID/fd/1 /proc/$PPID/fd/2 "
                          ">/tmp/seen/stdio\nexec /usr/sbin/postmap.real \"$@\"\n");
    sh("mxadmin --add-domain --domain-name=y.com <&- >&- 2>&-");
    EXPECT_EQ("/dev/null\n/dev/null\n/dev/null\n", mxtest::readFile("/tmp/seen/stdio"));
    // The commands that read a password still got it, the clear one first.
    EXPECT_EQ("clear\n", sh(std::string("sqlite3 ") + mxtest::AUTH_DB +
                            " 'SELECT DISTINCT userPassword FROM users'"));
}

// modesUnder - the snapshot after a series of commands run under umask.
std::string modesUnder(const std::string& umask)
{
    mxtest::resetWorld(PANEL);
    sh("echo k >$TMPDIR/key && mkdir -p /etc/hsp-spf");
    for (const char* args :
         {"--add-domain --domain-name=x.com",
          "--add-mailname --domain-name=x.com --mailname=john --disk-quota=1000",
          "--rename-mailname --domain-name=x.com --old-mailname=john --new-mailname=jack",
          "--add-badmailfrom --domain-name=spam.example", "--update-spf --spf-rules=a",
          "--set-domain-key --domain-name=x.com --file-name=$TMPDIR/key"})
        sh("umask " + umask + "; mxadmin " + args);
    std::string all;
    for (const std::string& line : mxtest::snapshot())
        all += line + "\n";
    return all;
}

TEST(HostileValues, FileModesDoNotDependOnTheCallersUmask)
{
    const std::string usual = modesUnder("022");
    EXPECT_NE(std::string::npos, usual.find("spf spfrules f644 root:root a")) << usual;
    EXPECT_EQ(usual, modesUnder("000"));
}

} // namespace
