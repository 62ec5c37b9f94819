// reliability_paths_systest.cc - names that become path components (domain,
// mail name, alias, attachment name, handler template, hook, priority and
// type value) given as "..", ".", "", "a/b", an absolute path or a climb out
// of the tree: every command must refuse them with a message and exit status
// 1, and change nothing on disk - no file created, written or removed
// anywhere, not only outside the program's trees.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/soak/soak_fixture.h"

namespace {

// Hostile values; "{}" in a case's arguments stands for each in turn.
const char* const HOSTILE[] = {
    "..", ".", "", "evil/x", "/tmp/evil-abs", "../evil-up", "../../../../tmp/evil-deep"};

// Taken - which hostile values a command may take as a name: none; every
// non-empty one (a mail alias is a table key first, and an address may hold
// "/"); only "." and ".." (a handler template is the middle of one
// directory name, so these stay inside it); or only "" (an empty piece of a
// list is skipped).
enum class Taken { None, NonEmpty, Dots, Empty };

// PathCase - one command with one option taking the hostile value.
struct PathCase {
    const char* args;
    Taken taken;
    // Exit status 0 is defined for a name that matches nothing (a handler
    // looked for and not found is only a warning).
    bool notFoundIsSuccess;
    // The valid element of a list is handled on its own: what it changes
    // below this path is no fault.
    const char* validElementTree = nullptr;
};

const char UPLOAD[] = "/run/upload.bin";
const char KEY_FILE[] = "/run/upload.key";

const PathCase DOMAIN_CASES[] = {
    {"--add-domain --domain-name={}", Taken::None, false},
    {"--remove-domain --domain-name={}", Taken::None, false},
    {"--turn-on-domain --domain-name={}", Taken::None, false},
    {"--turn-off-domain --domain-name={}", Taken::None, false},
    {"--set-domain-disk-quota --domain-name={} --disk-quota=1000", Taken::None, false},
};

const PathCase ALIAS_DOMAIN_CASES[] = {
    {"--add-domain-alias --domain-name=example.com --domain-alias-name={} --set-reject",
     Taken::None, false},
    {"--add-domain-alias --domain-name={} --domain-alias-name=alias.example --set-reject",
     Taken::None, false},
    {"--del-domain-alias --domain-name=example.com --domain-alias-name={}", Taken::None, false},
    {"--rename-domain-alias --domain-name=example.com --old-domain-alias-name={} "
     "--new-domain-alias-name=alias2.example --set-reject",
     Taken::None, false},
    {"--rename-domain-alias --domain-name=example.com --old-domain-alias-name=alias.example "
     "--new-domain-alias-name={} --set-reject",
     Taken::None, false},
    {"--set-catchall --domain-name={} --email=x@elsewhere.example", Taken::None, false},
    {"--set-bounce --domain-name={}", Taken::None, false},
    {"--set-reject --domain-name={}", Taken::None, false},
    {"--unset-reject --domain-name={}", Taken::None, false},
    {"--set-domain-key --domain-name={} --file-name=/run/upload.key", Taken::None, false},
    {"--remove-domain-key --domain-name={}", Taken::None, false},
    {"--set-domain-key --domain-name=example.com,{} --file-name=/run/upload.key", Taken::Empty,
     false, "/etc/domainkeys"},
    {"--remove-domain-key --domain-name=example.com,{}", Taken::Empty, false, "/etc/domainkeys"},
};

const PathCase MAILNAME_CASES[] = {
    {"--add-mailname --domain-name=example.com --mailname={}", Taken::None, false},
    {"--add-mailname --domain-name={} --mailname=info", Taken::None, false},
    {"--remove-mailname --domain-name=example.com --mailname={}", Taken::None, false},
    {"--rename-mailname --domain-name=example.com --old-mailname=info --new-mailname={}",
     Taken::None, false},
    {"--rename-mailname --domain-name=example.com --old-mailname={} --new-mailname=office",
     Taken::None, false},
    {"--add-mailbox --domain-name=example.com --mailname={}", Taken::None, false},
    {"--remove-mailbox --domain-name=example.com --mailname={}", Taken::None, false},
    {"--set-password --domain-name=example.com --mailname={}", Taken::None, false},
    {"--set-mailbox-disk-quota --domain-name=example.com --mailname={} --disk-quota=1000",
     Taken::None, false},
};

const PathCase ADDRESS_CASES[] = {
    {"--get-mailbox-size --domain-name=example.com --mailname={}", Taken::None, false},
    {"--get-mailbox-size --domain-name={} --mailname=info", Taken::None, false},
    {"--add-alias --domain-name=example.com --mailname={} --alias=al", Taken::None, false},
    {"--add-alias --domain-name=example.com --mailname=info --alias={}", Taken::NonEmpty, false},
    {"--remove-alias --domain-name=example.com --mailname=info --alias={}", Taken::NonEmpty, false},
    {"--add-redirect --domain-name=example.com --mailname={} --redirect-email=x@elsewhere.example",
     Taken::None, false},
    {"--remove-redirect --domain-name=example.com --mailname={} "
     "--redirect-email=x@elsewhere.example",
     Taken::None, false},
    {"--set-autoresponder --domain-name=example.com --mailname={}", Taken::None, false},
    {"--set-autoresponder --domain-name={} --mailname=info", Taken::None, false},
    {"--reset-autoresponder --domain-name=example.com --mailname={}", Taken::None, false},
    {"--set-autoresponder --domain-name=example.com --mailname=info,{}", Taken::Empty, false},
    {"--set-autoresponder --domain-name=example.com,{} --mailname=info", Taken::Empty, false},
};

const PathCase ATTACHMENT_CASES[] = {
    {"--add-attachment --domain-name=example.com --mailname=info --file-name=/run/upload.bin "
     "--attachment-file-name={}",
     Taken::None, false},
    {"--add-attachment --domain-name=example.com --mailname={} --file-name=/run/upload.bin "
     "--attachment-file-name=a.txt",
     Taken::None, false},
    {"--add-attachment --domain-name={} --mailname=info --file-name=/run/upload.bin "
     "--attachment-file-name=a.txt",
     Taken::None, false},
    {"--remove-attachment --domain-name=example.com --mailname=info --attachment-file-name={}",
     Taken::None, false},
    {"--list-attachments --domain-name=example.com --mailname={}", Taken::None, false},
    {"--list-attachments --domain-name={} --mail-all", Taken::None, false},
};

const PathCase HANDLER_CASES[] = {
    {"--add-handler --handler-name={} --handler-type=recipient "
     "--handler-type-name=info@example.com --executable=/bin/true --context=c "
     "--hook=before-local --priority=10",
     Taken::Dots, false},
    {"--add-handler --handler-name=filter --handler-type=recipient "
     "--handler-type-name=info@example.com --executable=/bin/true --context=c --hook={} "
     "--priority=10",
     Taken::None, false},
    {"--add-handler --handler-name=filter --handler-type=recipient "
     "--handler-type-name=info@example.com --executable=/bin/true --context=c "
     "--hook=before-local --priority={}",
     Taken::None, false},
    {"--add-handler --handler-name=filter --handler-type=recipient-domain "
     "--handler-type-name={} --executable=/bin/true --context=c --hook=before-local "
     "--priority=10",
     Taken::None, false},
    {"--add-handler --handler-name=filter --handler-type={} --handler-type-name=info@example.com "
     "--executable=/bin/true --context=c --hook=before-local --priority=10",
     Taken::None, false},
    {"--enable-handler --handler-name=filter --handler-type=recipient "
     "--handler-type-name=info@example.com --hook={}",
     Taken::None, true},
};

// Group - the cases one sandbox runs.
struct Group {
    const char* name;
    const PathCase* begin;
    const PathCase* end;
};

void PrintTo(const Group& g, std::ostream* os)
{
    *os << g.name;
}

#define MX_GROUP(name, cases)                                                                      \
    {                                                                                              \
        name, std::begin(cases), std::end(cases)                                                   \
    }
const Group GROUPS[] = {
    MX_GROUP("Domains", DOMAIN_CASES),         MX_GROUP("AliasDomainsAndKeys", ALIAS_DOMAIN_CASES),
    MX_GROUP("Mailnames", MAILNAME_CASES),     MX_GROUP("AddressesAndSizes", ADDRESS_CASES),
    MX_GROUP("Attachments", ATTACHMENT_CASES), MX_GROUP("Handlers", HANDLER_CASES),
};
#undef MX_GROUP

// substitute - the arguments with the value, shell-quoted, in place of "{}".
std::string substitute(const std::string& args, const std::string& value)
{
    std::string out;
    std::istringstream words(args);
    std::string word;
    while (words >> word) {
        size_t at = word.find("{}");
        if (at != std::string::npos)
            word = word.substr(0, at) + value + word.substr(at + 2);
        out += (out.empty() ? "" : " ") + mxtest::shellQuote(word);
    }
    return out;
}

// diskState - every path of the sandbox's changed trees and of the spool,
// with size and modification time for files; lock files left out, since
// taking a lock creates its file.
std::map<std::string, std::string> diskState()
{
    std::set<std::string> paths;
    const std::string upper = std::getenv("SANDBOX_UPPER");
    soak::listTree(upper, paths, 64);
    soak::listTree("/var/spool/postfix", paths, 64);
    std::map<std::string, std::string> state;
    for (const std::string& p : paths) {
        if (p.find("/lock/files/") != std::string::npos ||
            p.find("/run/mysqld") != std::string::npos)
            continue;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            continue;
        state[p] = S_ISDIR(st.st_mode)
                       ? "dir"
                       : std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) +
                             "." + std::to_string(st.st_mtim.tv_nsec);
    }
    return state;
}

// changes - what differs between two disk states, one line each.
std::string changes(const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after)
{
    std::string text;
    for (const auto& a : after) {
        auto b = before.find(a.first);
        if (b == before.end())
            text += "  new " + a.first + "\n";
        else if (b->second != a.second && a.second != "dir")
            text += "  written " + a.first + "\n";
    }
    for (const auto& b : before)
        if (!after.count(b.first))
            text += "  removed " + b.first + "\n";
    return text;
}

class PathTest : public ::testing::TestWithParam<Group> {
protected:
    void SetUp() override
    {
        soak::setUpWorld();
        const std::string d = "--domain-name=example.com";
        for (const std::string& args :
             {"--add-mailname " + d + " --mailname=info",
              "--add-domain-alias " + d + " --domain-alias-name=alias.example --set-reject"}) {
            mxtest::RunResult r = mxtest::mxadmin(args, "");
            ASSERT_EQ(0, r.status) << args << ": " << r.err;
        }
        mxtest::RunResult r = mxtest::run("HSP_PASSWORD=pw " + std::string(MXADMIN_BIN) +
                                          " --add-mailbox " + d + " --mailname=info");
        ASSERT_EQ(0, r.status) << r.err;
        mxtest::writeFile(UPLOAD, "attachment\n");
        mxtest::writeFile(KEY_FILE, "key\n");
    }
};

// inTrees - whether a path lies in the trees a name may reach, or is a
// directory on the way to one of them.
bool inTrees(const std::string& path)
{
    const std::string upper = std::getenv("SANDBOX_UPPER");
    for (const std::string& tree :
         {std::string("/var/spool/postfix/ostra/"), upper + "/usr/local/hsp/handlers/",
          upper + "/var/qmail/mailnames/"})
        if (path.compare(0, tree.size(), tree) == 0 ||
            tree.compare(0, path.size() + 1, path + "/") == 0)
            return true;
    return false;
}

TEST_P(PathTest, HostileNamesAreRefusedAndChangeNothing)
{
    for (const PathCase* c = GetParam().begin; c != GetParam().end; ++c) {
        for (const char* value : HOSTILE) {
            const std::string args = substitute(c->args, value);
            SCOPED_TRACE(args);
            const std::string v = value;
            const bool taken = (c->taken == Taken::NonEmpty && !v.empty()) ||
                               (c->taken == Taken::Dots && (v == "." || v == "..")) ||
                               (c->taken == Taken::Empty && v.empty());
            const auto before = diskState();
            const mxtest::RunResult r =
                mxtest::run("HSP_PASSWORD=pw " + std::string(MXADMIN_BIN) + " " + args);
            const auto after = diskState();
            if (taken) {
                // The valid element of a list lands in its own tree: a list
                // with a hostile element is refused whole, so this may be its
                // first change there.
                const std::string own =
                    c->validElementTree != nullptr ? mxtest::upperPath(c->validElementTree) : "";
                for (const auto& a : after)
                    if (!before.count(a.first) && !inTrees(a.first) &&
                        (own.empty() || a.first.compare(0, own.size(), own) != 0))
                        ADD_FAILURE() << "outside the trees: " << a.first;
                continue;
            }
            if (!c->notFoundIsSuccess) {
                EXPECT_EQ(1, r.status) << r.out << r.err;
            }
            EXPECT_NE("", r.err) << "no message";
            std::string changed = changes(before, after);
            if (c->validElementTree != nullptr) {
                // Keep only the lines outside the valid element's tree.
                const std::string tree = mxtest::upperPath(c->validElementTree);
                std::istringstream lines(changed);
                std::string line, outside;
                while (std::getline(lines, line))
                    if (line.find(" " + tree) == std::string::npos)
                        outside += line + "\n";
                changed = outside;
            }
            EXPECT_EQ("", changed) << r.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, PathTest, ::testing::ValuesIn(GROUPS),
                         [](const ::testing::TestParamInfo<Group>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
