// hostile_home_systest.cc - a mail home its user controls never makes the
// program touch anything outside the mail tree. popuser owns the homes and
// can plant links (and FIFOs) in them, or swap a directory with a link while
// a command runs; a root-only victim tree outside must stay as it was, file
// for file, owner for owner, and the command must refuse with a clear
// message or take the link for absent.
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>
#include <string>

#include "world.h"

namespace {

const std::string DOM = std::string(mxtest::MAIL_ROOT) + "/example.com";
const std::string HOME = DOM + "/john";
const std::string VICTIM = "/var/lib/victim";
const char REFUSED[] = "symbolic link refused";
const char SECRET[] = "777777"; // every size inside the victim

const char ADD[] = "--add-mailname --domain-name=example.com --mailname=john --disk-quota=1000";
const char RM[] = "--remove-mailname --domain-name=example.com --mailname=john";
const char REN[] = "--rename-mailname --domain-name=example.com --old-mailname=john "
                   "--new-mailname=jim";
const char RMDOM[] = "--remove-domain --domain-name=example.com";
const char QUOTA[] =
    "--set-mailbox-disk-quota --domain-name=example.com --mailname=john --disk-quota=1000";
const char SIZE[] = "--get-mailbox-size --domain-name=example.com --mailname=john";
const char FWD[] = "--add-redirect --domain-name=example.com --mailname=john "
                   "--redirect-email=boss@example.org";
const char ATT[] = "--add-attachment --domain-name=example.com --mailname=john "
                   "--file-name=/var/lib/upload --attachment-file-name=a";
const char RMATT[] =
    "--remove-attachment --domain-name=example.com --mailname=john --attachment-file-name=a";
const char LIST[] = "--list-attachments --fullname --domain-name=example.com --mailname=john";
const char LISTALL[] = "--list-attachments --mail-all --domain-name=example.com";
const char DOMQUOTA[] = "--set-domain-disk-quota --domain-name=example.com --disk-quota=1000";

// sh - run a shell command that has to succeed; as popuser when asked.
std::string sh(const std::string& command, bool popuser = false)
{
    const mxtest::RunResult r =
        mxtest::shell(popuser ? "setpriv --reuid=popuser --regid=popuser --clear-groups sh -c " +
                                    mxtest::shellQuote(command)
                              : command);
    if (r.status != 0)
        throw std::runtime_error(command + ": exit " + std::to_string(r.status) + ": " + r.err);
    return r.out;
}

// tree - every path below top with its type, mode, owner, size and link
// target, then a digest of every file's content: equal means untouched.
std::string tree(const std::string& top)
{
    return sh("cd " + top + " && find . -printf '%p %y %m %u:%g %s %l\\n' | LC_ALL=C sort && " +
              "find . -type f -exec sha1sum {} + | LC_ALL=C sort");
}

// Swapper - a popuser process exchanging two names in dir (renameat2
// RENAME_EXCHANGE) as fast as it can, until destroyed.
class Swapper {
public:
    Swapper(const std::string& dir, const char* a, const char* b) : pid_(fork())
    {
        if (pid_ != 0)
            return;
        struct passwd* pw = getpwnam("popuser");
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        if (pw == nullptr || fd < 0 || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
            setuid(pw->pw_uid) != 0)
            _exit(2);
        while (syscall(SYS_renameat2, fd, a, fd, b, RENAME_EXCHANGE) == 0) {
        }
        _exit(1);
    }
    ~Swapper()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Swapper(const Swapper&) = delete;
    Swapper& operator=(const Swapper&) = delete;

private:
    pid_t pid_;
};

class HostileHome : public testing::Test {
protected:
    void SetUp() override
    {
        mxtest::resetWorld("INSERT INTO domains (id, name) VALUES (1, 'example.com');"
                           "INSERT INTO mail (id, mail_name, dom_id) VALUES (1, 'john', 1);");
        sh("mxadmin --add-domain --domain-name=example.com");
        // The mail root and its parent as an installation leaves them.
        sh(std::string("chmod 755 /var/qmail ") + mxtest::MAIL_ROOT);
        mxtest::writeFile("/var/lib/upload", "uploaded\n", 0644);
        victim_ = tree(buildVictim());
    }

    // buildVictim - a root-only tree shaped like a domain directory, with
    // files of SECRET bytes and a message of SECRET bytes by its name.
    static std::string buildVictim()
    {
        const std::string j = VICTIM + "/john";
        sh("rm -rf " + VICTIM + " && mkdir -p " + j + "/Maildir/cur " + j + "/Maildir/new " + j +
           "/Maildir/tmp " + j + "/@attachments && cd " + j + " && truncate -s " + SECRET +
           " .qmail Maildir/maildirsize @attachments/a && : >Maildir/cur/1.M1.h,S=" + SECRET +
           ":2,S && chmod -R go= " + VICTIM);
        return VICTIM;
    }

    // freshHome - the domain directory and john's home shaped as the program
    // makes them, then part (relative to the domain directory) replaced by a
    // link to target, or by a FIFO for "fifo:" part; popuser plants in the
    // home, root in the domain directory, where popuser cannot write.
    static void freshHome(std::string part, const std::string& target)
    {
        sh("rm -rf " + DOM + " && mkdir -p " + HOME + "/Maildir/cur " + HOME + "/Maildir/new " +
           HOME + "/Maildir/tmp " + HOME + "/@attachments && cd " + HOME +
           " && echo '| true' >.qmail && echo x >@attachments/a && chown -R popuser:popuser . && "
           "chmod -R 700 . && chown root:popuser .. && chmod 750 ..");
        const bool fifo = part.compare(0, 5, "fifo:") == 0;
        if (fifo)
            part = part.substr(5);
        const std::string path = DOM + (part.empty() ? "" : "/" + part);
        sh("rm -rf " + path + (fifo ? " && mkfifo " : " && ln -s " + target + " ") + path,
           part.find('/') != std::string::npos);
    }

    std::string victim_;
};

struct Case {
    const char* command;
    const char* part;    // below the domain directory; "" is the directory itself
    int status;          // of the command
    const char* message; // in its diagnostics, when not empty
};

// clang-format off
const Case CASES[] = {
    {ADD, "", 1, REFUSED}, {ADD, "john", 1, REFUSED}, {ADD, "john/Maildir", 1, REFUSED},
    {ADD, "john/Maildir/cur", 1, REFUSED}, {ADD, "john/Maildir/tmp", 1, REFUSED},
    {ADD, "john/@attachments", 1, REFUSED}, {ADD, "john/.qmail", 0, ""},
    {ADD, "john/Maildir/maildirsize", 0, ""}, {ADD, "fifo:john/Maildir/maildirsize", 0, ""},
    {RM, "", 1, REFUSED}, {RM, "john", 0, ""}, {RM, "john/Maildir", 0, ""},
    {RM, "john/Maildir/cur", 0, ""}, {RM, "john/@attachments", 0, ""}, {RM, "john/.qmail", 0, ""},
    {REN, "", 1, REFUSED}, {REN, "john", 0, ""},
    {RMDOM, "", 0, ""}, {RMDOM, "john", 0, ""}, {RMDOM, "john/Maildir", 0, ""},
    {QUOTA, "", 1, REFUSED}, {QUOTA, "john", 1, REFUSED}, {QUOTA, "john/Maildir", 1, REFUSED},
    {QUOTA, "john/Maildir/cur", 0, ""}, {QUOTA, "john/Maildir/tmp", 1, REFUSED},
    {QUOTA, "john/Maildir/maildirsize", 0, ""}, {QUOTA, "fifo:john/Maildir/maildirsize", 0, ""},
    {QUOTA, "john/@attachments", 0, ""}, {QUOTA, "john/@attachments/a", 0, ""},
    {SIZE, "", 1, REFUSED}, {SIZE, "john", 1, REFUSED}, {SIZE, "john/Maildir", 1, REFUSED},
    {SIZE, "john/Maildir/cur", 0, ""}, {SIZE, "john/Maildir/maildirsize", 0, ""},
    {SIZE, "fifo:john/Maildir/maildirsize", 0, ""}, {SIZE, "john/@attachments", 0, ""},
    {FWD, "", 1, REFUSED}, {FWD, "john", 1, REFUSED}, {FWD, "john/.qmail", 1, REFUSED},
    {FWD, "fifo:john/.qmail", 1, "not a regular file"},
    {ATT, "", 1, REFUSED}, {ATT, "john", 1, REFUSED}, {ATT, "john/@attachments", 1, REFUSED},
    {ATT, "john/@attachments/a", 1, REFUSED},
    {RMATT, "john/@attachments", 1, REFUSED}, {RMATT, "john/@attachments/a", 0, ""},
    {LIST, "john/@attachments", 1, REFUSED}, {LIST, "john/@attachments/a", 0, ""},
    {LISTALL, "john", 0, ""}, {LISTALL, "john/@attachments", 0, REFUSED},
    {DOMQUOTA, "", 1, REFUSED}, {DOMQUOTA, "john", 1, REFUSED},
    {DOMQUOTA, "john/Maildir", 1, REFUSED},
};
// clang-format on

TEST_F(HostileHome, LinksAndFifosInAHomeNeverReachOutside)
{
    for (const Case& c : CASES) {
        const std::string name = std::string(c.command) + " with " + c.part;
        const std::string part = c.part;
        freshHome(part, VICTIM + (part.empty() ? "" : "/" + part.substr(part.find(':') + 1)));
        // Each run must end on its own: a FIFO must not hang it.
        const mxtest::RunResult r = mxtest::shell("timeout 20 mxadmin " + std::string(c.command));
        EXPECT_EQ(c.status, r.status) << name << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << name << ": " << r.err;
        const std::string quota = HOME + "/Maildir/maildirsize";
        const std::string written =
            sh("test -f " + quota + " -a ! -L " + quota + " && cat " + quota + " || true");
        EXPECT_EQ(std::string::npos, (r.out + written).find(SECRET)) << name << ": " << r.out;
        EXPECT_EQ(victim_, tree(VICTIM)) << name;
        buildVictim();
    }
}

// Runs of the commands that create, fix or remove a whole home, while
// popuser swaps Maildir with a link to the victim's; MX_RACE_RUNS each.
TEST_F(HostileHome, ASwappingPopuserNeverRedirectsARun)
{
    const char* asked = getenv("MX_RACE_RUNS");
    const long runs = asked != nullptr ? atol(asked) : 20;
    for (const char* command : {RM, RMDOM, ADD, QUOTA}) {
        long changed = 0;
        for (long i = 0; i < runs; ++i) {
            freshHome("john/Mlink", VICTIM + "/john/Maildir");
            {
                Swapper swapper(HOME, "Maildir", "Mlink");
                mxtest::shell(std::string("mxadmin ") + command);
            }
            if (tree(VICTIM) != victim_) {
                ++changed;
                buildVictim();
            }
        }
        EXPECT_EQ(0, changed) << command << ": runs that changed the victim";
        std::cout << "popuser swapping Maildir and a link during " << command << ": " << runs
                  << " runs, " << changed << " changed something outside" << std::endl;
    }
}

} // namespace
