// world.cc - reset, snapshot and case tables over the sandbox's mail server.
#include "world.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "mail/lib/mail_authenticate.h"

namespace mxtest {

const char* const TABLES = "/var/spool/postfix/ostra";
const char* const MAIL_ROOT = "/var/qmail/mailnames";
const char* const AUTH_DB = "/var/spool/postfix/ostra/passwd.db";
const char* const INIT_LOG = "/run/mxtest-init.log";

const char* const PANEL =
    "INSERT INTO Limits (id, limit_name, value) VALUES (1, 'mbox_quota', '3000');"
    "INSERT INTO domains (id, name, limits_id) VALUES (1, 'example.com', 1), (2, 'other.com', "
    "NULL);"
    "INSERT INTO domainaliases (id, name, dom_id) VALUES (1, 'alias1.com', 1),"
    " (2, 'alias2.com', 1), (3, 'other-alias.com', 2);"
    "INSERT INTO mail (id, mail_name, dom_id, mbox_quota) VALUES (1, 'info', 1, '-1'),"
    " (2, 'sales', 1, '500'), (4, 'ceo', 2, '-1');"
    "INSERT INTO mail_aliases (id, mn_id, alias) VALUES (1, 1, 'i1'), (2, 1, 'i2'), (3, 4, "
    "'boss');";

namespace {

const char* const TABLE_NAMES[] = {"virtual_domains", "vmailbox", "virtual", "aliases",
                                   "blacklists"};
const char* const STANDARD[] = {"postmaster", "mailer-daemon", "root",
                                "anonymous",  "drweb",         "kluser"};
const char* const HOME_DIRS[] = {"",
                                 "/@attachments",
                                 "/Maildir",
                                 "/Maildir/tmp",
                                 "/Maildir/new",
                                 "/Maildir/cur",
                                 "/Maildir/.Spam",
                                 "/Maildir/.Spam/tmp",
                                 "/Maildir/.Spam/new",
                                 "/Maildir/.Spam/cur"};

// Trees the commands write, by the label their lines carry.
const struct {
    const char* label;
    const char* root;
} TREES[] = {{"tree", "/var/qmail/mailnames"},
             {"dkey", "/etc/domainkeys"},
             {"spf", "/etc/hsp-spf"},
             {"courier", "/etc/courier-imap"},
             {"handlers", "/usr/local/hsp/handlers"}};

const char INIT_STANDIN[] = "#!/bin/sh\necho \"${0##*/} $*\" >>/run/mxtest-init.log\n";

// checkedShell - a shell line that must succeed.
RunResult checkedShell(const std::string& line)
{
    RunResult r = shell(line);
    if (r.status != 0)
        throw std::runtime_error(line + ": exit " + std::to_string(r.status) + ": " + r.err +
                                 r.out);
    return r;
}

// escaped - bytes as C escapes where they would break a line.
std::string escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

// ownerName - "user:group" of a stat.
std::string ownerName(const struct stat& st)
{
    struct passwd* pw = getpwuid(st.st_uid);
    struct group* gr = getgrgid(st.st_gid);
    return (pw ? std::string(pw->pw_name) : std::to_string(st.st_uid)) + ":" +
           (gr ? std::string(gr->gr_name) : std::to_string(st.st_gid));
}

// entryLine - "label rel typemode owner [content]" of one path.
std::string entryLine(const std::string& label, const std::string& path, const std::string& rel,
                      bool content)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return label + " " + rel + " vanished";
    char mode[8];
    snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
    std::string line = label + " " + rel + " ";
    if (S_ISDIR(st.st_mode))
        return line + "d" + mode + " " + ownerName(st);
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        return line + "l -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    if (!S_ISREG(st.st_mode))
        return line + "s" + mode + " " + ownerName(st);
    line += std::string("f") + mode + " " + ownerName(st);
    if (content && st.st_size > 2048)
        return line + " <" + std::to_string(st.st_size) + " bytes>";
    if (content && st.st_size > 0)
        return line + " " + escaped(readFile(path));
    return line;
}

// walk - the lines of a tree below root, depth first, links not followed.
// Handler directories end in six random characters: they read as "*".
void walk(const std::string& label, const std::string& root, const std::string& rel,
          std::vector<std::string>& lines)
{
    static const std::regex handlerName("(\\b[0-9]+-[^/ ]+-)[A-Za-z0-9]{6}\\b");
    for (const std::string& name : entries(rel.empty() ? root : root + "/" + rel)) {
        std::string sub = rel.empty() ? name : rel + "/" + name;
        std::string path = root + "/" + sub;
        lines.push_back(std::regex_replace(entryLine(label, path, sub, true), handlerName, "$1*"));
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            walk(label, root, sub, lines);
    }
}

// fileLines - "label line" for each line of a file that passes keep.
void fileLines(const std::string& label, const std::string& path, bool skipComments,
               std::vector<std::string>& lines)
{
    if (!fileExists(path))
        return;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || (skipComments && line[0] == '#'))
            continue;
        lines.push_back(label + " " + line);
    }
}

// tableLines - the records of every lookup table, one shell run for all.
void tableLines(std::vector<std::string>& lines)
{
    std::string script;
    for (const char* t : TABLE_NAMES)
        script += std::string("echo '#") + t + "'; /usr/sbin/postmap -s hash:" + TABLES + "/" + t +
                  " 2>/dev/null || echo '#missing';";
    std::istringstream in(checkedShell(script).out);
    std::string table;
    for (std::string line; std::getline(in, line);) {
        if (line == "#missing") {
            lines.push_back(table + " <unreadable>");
        } else if (!line.empty() && line[0] == '#') {
            table = line.substr(1);
        } else {
            size_t tab = line.find('\t');
            lines.push_back(table + " " + line.substr(0, tab) + " " +
                            (tab == std::string::npos ? "" : line.substr(tab + 1)));
        }
    }
}

// authLines - domains and users of the authentication database.
void authLines(std::vector<std::string>& lines)
{
    if (!fileExists(AUTH_DB))
        return;
    RunResult r = shell(std::string("sqlite3 -separator ' ' ") + AUTH_DB +
                        " \"SELECT 'auth domain', name, status FROM domains;"
                        " SELECT 'auth user', u.name || '@' || d.name,"
                        " ifnull(u.userPassword, '-'), ifnull(u.cmusaslsecretPLAIN, '-'), u.status"
                        " FROM users u LEFT JOIN domains d ON d.id = u.dom_id\"");
    if (r.status != 0) {
        lines.push_back("auth <unreadable>");
        return;
    }
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
}

// removeTree - delete a path and everything below it.
void removeTree(const std::string& path)
{
    boost::system::error_code ignored;
    boost::filesystem::remove_all(path, ignored);
}

// Pristine - what is set aside once per process: the stock master.cf, the
// real Postfix init script and empty compiled tables to copy from.
struct Pristine {
    std::string dir;
    Pristine()
    {
        const char* tmp = getenv("TMPDIR");
        dir = std::string(tmp ? tmp : "/tmp") + "/mxtest-pristine";
        makeDirs(dir, 0755);
        setenv("MXTEST_PRISTINE", dir.c_str(), 1);
        checkedShell("cp /etc/postfix/master.cf " + dir + "/master.cf && cp /etc/init.d/postfix " +
                     dir + "/postfix.init");
        std::string compile = "cd " + dir + " && for t in";
        for (const char* t : TABLE_NAMES)
            compile += std::string(" ") + t;
        compile += "; do : >$t && /usr/sbin/postmap hash:$PWD/$t && rm $t; done";
        checkedShell(compile);
        startMariaDB();
        checkedShell("cp /etc/hsp/.hsp.shadow " + dir + "/hsp.shadow");
    }
};

} // namespace

// resetWorld - remove what commands write, then put back the empty server.
void resetWorld(const std::string& panelSql)
{
    static Pristine pristine;
    for (const auto& t : TREES)
        removeTree(t.root);
    removeTree(TABLES);
    removeTree("/etc/hsp/hsp.conf");
    checkedShell("cp " + pristine.dir + "/hsp.shadow /etc/hsp/.hsp.shadow");
    removeTree("/usr/lib/ostra-9.0");
    removeTree(INIT_LOG);
    makeDirs(MAIL_ROOT, 0755);
    makeDirs(TABLES, 0755);
    makeDirs("/run/lock/files", 0755);
    checkedShell("cp " + pristine.dir + "/*.db " + TABLES + "/ && cp " + pristine.dir +
                 "/master.cf /etc/postfix/master.cf");
    if (mailAuthDBCreate(AUTH_DB) != 0)
        throw std::runtime_error("cannot create the authentication database");
    writeFile("/etc/postfix/main.cf", "");
    backdate("/etc/postfix/main.cf");
    for (const char* script : {"/etc/init.d/postfix", "/etc/init.d/courier-imap"})
        writeFile(script, INIT_STANDIN, 0755);
    sql("DELETE FROM domains; DELETE FROM domainaliases; DELETE FROM mail;"
        " DELETE FROM mail_aliases; DELETE FROM Limits; DELETE FROM misc;" +
        panelSql);
}

// snapshot - every line, sorted.
std::vector<std::string> snapshot()
{
    std::vector<std::string> lines;
    // Postfix tools pause while main.cf is younger than a second.
    if (fileExists("/etc/postfix/main.cf"))
        backdate("/etc/postfix/main.cf");
    tableLines(lines);
    for (const std::string& name : entries(TABLES)) {
        bool text = name.size() < 3 || name.compare(name.size() - 3, 3, ".db") != 0;
        lines.push_back(entryLine("spool", std::string(TABLES) + "/" + name, name, text));
    }
    for (const auto& t : TREES)
        walk(t.label, t.root, "", lines);
    authLines(lines);
    fileLines("main.cf", "/etc/postfix/main.cf", true, lines);
    fileLines("master.cf", "/etc/postfix/master.cf", true, lines);
    fileLines("ran", INIT_LOG, false, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// changes - the two set differences, merged in line order.
std::string changes(const std::vector<std::string>& before, const std::vector<std::string>& after)
{
    std::vector<std::pair<std::string, char>> diff;
    std::vector<std::string> gone, added;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(gone));
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    for (const std::string& l : gone)
        diff.emplace_back(l, '-');
    for (const std::string& l : added)
        diff.emplace_back(l, '+');
    std::sort(diff.begin(), diff.end());
    std::string text;
    for (const auto& d : diff)
        text += d.second + d.first + "\n";
    return text;
}

// expand - shorthands into plain lines, then in the order changes() gives.
std::string expand(const std::string& text)
{
    std::vector<std::pair<std::string, char>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        line = line.substr(start);
        char sign = line[0];
        std::istringstream words(line.substr(1));
        std::string word, arg, rest;
        words >> word >> arg;
        std::getline(words >> std::ws, rest);
        if (word == "std") {
            for (const char* s : STANDARD)
                lines.emplace_back("virtual " + std::string(s) + "@" + arg + " " + s +
                                       "@localhost.localdomain",
                                   sign);
        } else if (word == "home") {
            for (const char* d : HOME_DIRS)
                lines.emplace_back("tree " + arg + d + " d700 popuser:popuser", sign);
            lines.emplace_back("tree " + arg + "/.qmail f600 popuser:popuser | true\\n", sign);
        } else if (word == "root") {
            lines.emplace_back("tree " + arg + " d750 root:popuser", sign);
        } else if (word == "handler") {
            // "handler PRIO-TMPL TYPE VALUE HOOK EXECUTABLE CONTEXT": a registry entry.
            std::istringstream more(rest);
            std::string type, value, hook, exec, context;
            more >> type >> value >> hook >> exec >> context;
            std::string dir = "handlers info/" + arg + "-*";
            for (const std::string& l :
                 {dir + " d755 root:root", dir + "/context f644 root:root " + context + "\\n",
                  dir + "/executable l -> " + exec,
                  dir + "/handler-type f644 root:root " + type + "\\n",
                  dir + "/hook f644 root:root " + hook + "\\n"})
                lines.emplace_back(l, sign);
            if (type != "global")
                lines.emplace_back(dir + "/" + type + " f644 root:root " + value + "\\n", sign);
        } else if (word == "quota") {
            lines.emplace_back("tree " + arg + "/Maildir/maildirsize f644 popuser:popuser " + rest +
                                   "\\n           0           0\\n",
                               sign);
        } else {
            lines.emplace_back(line.substr(1), sign);
        }
    }
    // A line both added and removed cancels out: "-home" then "+" one of its
    // lines. A line added twice (two handlers of one name prefix) stays twice.
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i + 1 < lines.size() && lines[i].first == lines[i + 1].first &&
            lines[i].second != lines[i + 1].second) {
            ++i;
            continue;
        }
        out += lines[i].second + lines[i].first + "\n";
    }
    return out;
}

// shell - sh -c with mxadmin's directory first on PATH.
RunResult shell(const std::string& line)
{
    std::string bin = MXADMIN_BIN;
    return run("PATH=" + shellQuote(bin.substr(0, bin.rfind('/'))) + ":$PATH; " + line);
}

// withoutTable - the command between two renames of the panel's table.
std::string withoutTable(const std::string& table, const std::string& command)
{
    const std::string sql = "mariadb --no-defaults --database=hsp -e ";
    return sql + "'RENAME TABLE " + table + " TO gone' && { " + command + "; }; s=$?; " + sql +
           "'RENAME TABLE gone TO " + table + "'; exit $s";
}

// setup - each line must succeed.
void setup(const std::string& lines)
{
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        line = line.substr(start);
        if (line.compare(0, 4, "sql ") == 0)
            sql(line.substr(4));
        else
            checkedShell(line);
    }
}

void runCaseOrThrow(const Case& c, const std::string& panelSql);

// runCase - one row: reset, set up, run, compare.
void runCase(const Case& c, const std::string& panelSql)
{
    SCOPED_TRACE("case \"" + c.name + "\": " + c.command);
    try {
        runCaseOrThrow(c, panelSql);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
}

// runCaseOrThrow - runCase, with harness failures thrown.
void runCaseOrThrow(const Case& c, const std::string& panelSql)
{
    resetWorld(panelSql);
    setup(c.setup);
    std::vector<std::string> before = snapshot();
    RunResult r = shell(c.command);
    std::vector<std::string> after = snapshot();
    // For writing a new case: the changes it made, as the table holds them.
    if (getenv("MXTEST_PRINT") != nullptr)
        printf("== %s: status %d\n%s-- out:\n%s-- err:\n%s", c.name.c_str(), r.status,
               changes(before, after).c_str(), r.out.c_str(), r.err.c_str());
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(expand(c.changes), changes(before, after));
    if (!c.out.empty() && c.out[0] == '~')
        EXPECT_NE(std::string::npos, r.out.find(c.out.substr(1))) << r.out;
    else
        EXPECT_EQ(c.out, r.out);
}

} // namespace mxtest
