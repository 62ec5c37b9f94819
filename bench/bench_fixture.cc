// bench_fixture.cc - a mail server of a given number of mail names, for the command benchmarks.
//
// Usage (inside tests/support/sandbox.sh): bench_fixture COUNT DIR [--consistent]
//
// Writes into DIR the record lines of the lookup tables (virtual_domains,
// vmailbox, virtual, aliases; compile them with postmap) and panel.sql, the
// panel database rows; creates the mail authentication database at its
// Postfix location with the same accounts. The data:
//   - "bench.example", the domain the commands work on: mail names box0 to
//     box9, each with the mail aliases boxN-a and boxN-b, the alias domains
//     alias1.example and alias2.example, and a catch-all to box0;
//   - COUNT further mail names, user0 to user99 in each of the domains
//     dom0.example, dom1.example, ...; every tenth has a mail alias, and each
//     domain has a "team" list of two of its names and one of bench.example.
// Every domain has the six standard addresses. With --consistent the server
// is exactly what the commands would have made of the panel: every domain
// has an alias domain (domN-alias.example), and there are no lists and no
// catch-all, which the panel does not describe.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/lib/mail_authenticate.h"

namespace {

const char TARGET[] = "bench.example";
const char* const TARGET_ALIASES[] = {"alias1.example", "alias2.example"};
const int TARGET_NAMES = 10;
const int NAMES_PER_DOMAIN = 100;
const char* const STANDARD[] = {"postmaster", "mailer-daemon", "root",
                                "anonymous",  "drweb",         "kluser"};

// Domain - one mail domain with its mail names and their aliases.
struct Domain {
    std::string name;
    std::vector<std::string> aliasDomains;
    std::vector<std::string> mailNames;
    std::vector<std::vector<std::string>> mailAliases; // per mail name
};

// domains - the whole server, the target domain first.
std::vector<Domain> domains(long count, bool consistent)
{
    std::vector<Domain> all(1);
    Domain& target = all[0];
    target.name = TARGET;
    target.aliasDomains.assign(TARGET_ALIASES, TARGET_ALIASES + 2);
    for (int i = 0; i < TARGET_NAMES; ++i) {
        const std::string m = "box" + std::to_string(i);
        target.mailNames.push_back(m);
        target.mailAliases.push_back({m + "-a", m + "-b"});
    }
    for (long first = 0; first < count; first += NAMES_PER_DOMAIN) {
        Domain d;
        d.name = "dom" + std::to_string(first / NAMES_PER_DOMAIN) + ".example";
        if (consistent)
            d.aliasDomains.push_back("dom" + std::to_string(first / NAMES_PER_DOMAIN) +
                                     "-alias.example");
        for (long i = 0; i < NAMES_PER_DOMAIN && first + i < count; ++i) {
            d.mailNames.push_back("user" + std::to_string(i));
            d.mailAliases.push_back(i % 10 == 0
                                        ? std::vector<std::string>{"alias" + std::to_string(i)}
                                        : std::vector<std::string>());
        }
        all.push_back(d);
    }
    return all;
}

// Out - an output file that must be written completely.
class Out {
public:
    explicit Out(const std::string& path) : path_(path), out_(path.c_str()) {}
    ~Out() noexcept(false)
    {
        if (!out_.flush())
            throw std::runtime_error("cannot write " + path_);
    }
    std::ofstream& operator*() { return out_; }

private:
    std::string path_;
    std::ofstream out_;
};

// writeTables - the record lines of the four tables.
void writeTables(const std::vector<Domain>& all, const std::string& dir, bool consistent)
{
    Out domainsOut(dir + "/virtual_domains"), mailboxes(dir + "/vmailbox"),
        virtuals(dir + "/virtual"), aliases(dir + "/aliases");
    for (const Domain& d : all) {
        *domainsOut << d.name << " " << d.name << "/\n";
        std::vector<std::string> names(1, d.name);
        for (const std::string& alias : d.aliasDomains) {
            *virtuals << alias << " 1\n";
            names.push_back(alias);
        }
        for (const std::string& n : names) {
            for (const char* s : STANDARD)
                *virtuals << s << "@" << n << " " << s << "@localhost.localdomain\n";
        }
        for (size_t i = 0; i < d.mailNames.size(); ++i) {
            const std::string address = d.mailNames[i] + "@" + d.name;
            *mailboxes << address << " " << d.name << "/" << d.mailNames[i] << "/Maildir/\n";
            *virtuals << address << " " << address << "\n";
            for (const std::string& n : names) {
                if (n != d.name)
                    *virtuals << d.mailNames[i] << "@" << n << " " << address << "\n";
                for (const std::string& a : d.mailAliases[i])
                    *virtuals << a << "@" << n << " " << address << "\n";
            }
        }
        if (consistent)
            continue;
        if (d.name == TARGET) {
            for (const std::string& n : names)
                *virtuals << "@" << n << " box0@" << TARGET << "\n";
        } else if (d.mailNames.size() >= 2) {
            *virtuals << "team@" << d.name << " " << d.mailNames[0] << "@" << d.name << ", "
                      << d.mailNames[1] << "@" << d.name << ", box3@" << TARGET << "\n";
        }
    }
}

// Batch - multi-row INSERT statements of at most a thousand rows each; each
// batch collects its own statement, since several fill at the same time.
class Batch {
public:
    Batch(std::ofstream& out, const std::string& head) : out_(out), head_(head) {}
    ~Batch() { flush(); }
    void row(const std::string& values)
    {
        statement_ += (rows_ == 0 ? head_ + " VALUES " : ",") + ("(" + values + ")");
        if (++rows_ == 1000)
            flush();
    }

private:
    void flush()
    {
        if (rows_ > 0)
            out_ << statement_ << ";\n";
        statement_.clear();
        rows_ = 0;
    }
    std::ofstream& out_;
    std::string head_;
    std::string statement_;
    int rows_ = 0;
};

// quoted - an SQL string literal (the fixture's names need no escaping).
std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

// writePanelSql - the panel database rows.
void writePanelSql(const std::vector<Domain>& all, const std::string& dir)
{
    Out file(dir + "/panel.sql");
    std::ofstream& out = *file;
    out << "USE hsp;\n";
    long mailId = 0, aliasDomainId = 0;
    Batch domainRows(out, "INSERT INTO domains (id, name)");
    Batch aliasDomainRows(out, "INSERT INTO domainaliases (id, name, dom_id)");
    Batch mailRows(out, "INSERT INTO mail (id, mail_name, dom_id)");
    Batch aliasRows(out, "INSERT INTO mail_aliases (mn_id, alias)");
    for (size_t d = 0; d < all.size(); ++d) {
        const std::string domId = std::to_string(d + 1);
        domainRows.row(domId + "," + quoted(all[d].name));
        for (const std::string& alias : all[d].aliasDomains)
            aliasDomainRows.row(std::to_string(++aliasDomainId) + "," + quoted(alias) + "," +
                                domId);
        for (size_t i = 0; i < all[d].mailNames.size(); ++i) {
            const std::string id = std::to_string(++mailId);
            mailRows.row(id + "," + quoted(all[d].mailNames[i]) + "," + domId);
            for (const std::string& a : all[d].mailAliases[i])
                aliasRows.row(id + "," + quoted(a));
        }
    }
}

// Sql - one statement on the authentication database, run for many rows.
class Sql {
public:
    Sql(sqlite3* db, const char* text) : db_(db)
    {
        if (sqlite3_prepare_v2(db, text, -1, &statement_, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~Sql() { sqlite3_finalize(statement_); }
    // run - bind the texts in order and step once.
    void run(const std::vector<std::string>& texts)
    {
        sqlite3_reset(statement_);
        for (size_t i = 0; i < texts.size(); ++i)
            sqlite3_bind_text(statement_, static_cast<int>(i + 1), texts[i].c_str(), -1,
                              SQLITE_TRANSIENT);
        if (sqlite3_step(statement_) != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db_));
    }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// exec - run statements on the authentication database.
void exec(sqlite3* db, const char* text)
{
    if (sqlite3_exec(db, text, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

// writeAuthDb - every mail name and mail alias an account, in each domain and alias domain.
void writeAuthDb(const std::vector<Domain>& all)
{
    if (mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE) != 0)
        throw std::runtime_error("cannot create the mail authentication database");
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(mailAuthDBPath(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error(std::string("cannot open ") + mailAuthDBPath());
    }
    try {
        exec(db, "BEGIN");
        {
            Sql domain(db, "INSERT INTO domains (name) VALUES (?)");
            Sql user(db, "INSERT INTO users (dom_id, name, userPassword) SELECT id, ?, ? "
                         "FROM domains WHERE name = ?");
            for (const Domain& d : all) {
                std::vector<std::string> names(1, d.name);
                names.insert(names.end(), d.aliasDomains.begin(), d.aliasDomains.end());
                for (const std::string& n : names) {
                    domain.run({n});
                    for (size_t i = 0; i < d.mailNames.size(); ++i) {
                        user.run({d.mailNames[i], "secret", n});
                        for (const std::string& a : d.mailAliases[i])
                            user.run({a, "secret", n});
                    }
                }
            }
        }
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    sqlite3_close(db);
}

} // namespace

int main(int argc, char** argv)
{
    const bool consistent = argc == 4 && std::string(argv[3]) == "--consistent";
    if (argc != 3 && !consistent) {
        std::cerr << "usage: bench_fixture COUNT DIR [--consistent]" << std::endl;
        return 2;
    }
    const char* sandbox = std::getenv("SANDBOX");
    if (!sandbox || std::string(sandbox) != "1") {
        std::cerr << "bench_fixture writes fixed paths: run it through tests/support/sandbox.sh"
                  << std::endl;
        return 2;
    }
    try {
        const std::vector<Domain> all = domains(std::atol(argv[1]), consistent);
        writeTables(all, argv[2], consistent);
        writePanelSql(all, argv[2]);
        mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
        writeAuthDb(all);
    } catch (const std::exception& e) {
        std::cerr << "bench_fixture: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
