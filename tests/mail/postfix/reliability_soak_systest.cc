// reliability_soak_systest.cc - many runs of the program at once for a while,
// on one domain's tables, on main.cf and on master.cf, each run's successful
// changes recorded; afterwards every file must read back and hold every change
// that no later run undid, as the final dumps show.
//
// Each worker owns what it changes (its own mail names, aliases, networks or
// master.cf service), so its changes can be replayed alone to the state it
// expects; the catch-all is shared and judged by the last-writer rule. No
// change may be lost: not a table record, a white-list entry, an RBL list or a
// master.cf toggle. The
// size of the run comes from MX_SOAK_WORKERS (default 8) and MX_SOAK_SECONDS
// (default 10); tests/soak/soak.sh runs the long form.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include "tests/soak/soak_fixture.h"

namespace {

using soak::Clock;
using soak::Job;
using soak::Records;

const char PASSWORD_ENV[] = "HSP_PASSWORD=soak-secret";

// address - m "@" the domain.
std::string address(const std::string& m)
{
    return m + "@" + soak::DOMAIN;
}

// mailboxPath - the vmailbox value of a mail name.
std::string mailboxPath(const std::string& m)
{
    return std::string(soak::DOMAIN) + "/" + m + "/Maildir/";
}

// Role - what a worker does.
enum class Role { Domain, Whitelist, Maps, Service };

// DomainModel - the mail names a domain worker made, and the table records
// they must have.
struct DomainModel {
    std::map<std::string, bool> names; // mail name -> has a mailbox with credentials
    Records vmailbox, virt;
    int counter = 0;

    // rename - o@d becomes n@d in keys and values, as a mail name rename does.
    void rename(const std::string& o, const std::string& n)
    {
        names[n] = names[o];
        names.erase(o);
        Records vm;
        for (const auto& r : vmailbox)
            vm[r.first == address(o) ? address(n) : r.first] =
                r.second == mailboxPath(o) ? mailboxPath(n) : r.second;
        vmailbox.swap(vm);
        Records v;
        for (const auto& r : virt)
            v[r.first == address(o) ? address(n) : r.first] =
                r.second == address(o) ? address(n) : r.second;
        virt.swap(v);
    }
};

// Service toggles: which master.cf service a worker switches, and how.
struct ServiceToggle {
    const char* service;
    std::vector<std::string> on, off;
};

const ServiceToggle TOGGLES[] = {
    {"submission", {"-a"}, {"-b"}},
    {"smtps",
     {"--start-service", "--mail-component=smtps"},
     {"--stop-service", "--mail-component=smtps"}},
    {"smtp",
     {"--start-service", "--mail-component=smtp"},
     {"--stop-service", "--mail-component=smtp"}},
};

// Worker - one slot of concurrent runs and what it has done so far.
struct Worker {
    Role role;
    int index = 0; // among the workers of its role
    Job job;
    bool running = false;
    std::function<void()> onSuccess;
    std::string kind;
    int runs = 0;

    DomainModel domain;                // Role::Domain
    std::vector<std::string> networks; // Role::Whitelist: entries added
    std::vector<std::string> zones;    // Role::Maps: the RBL elements last set
    bool serviceLive = false;          // Role::Service: the state last set
    int lost = 0;                      // changes found undone while running
};

// CatchallRun - a successful --set-catchall and when it ran.
struct CatchallRun {
    std::string target;
    Clock::time_point begin, end;
};

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        soak::setUpWorld();
        seed_ = static_cast<unsigned>(soak::envNumber("MX_SOAK_SEED", std::random_device()()));
        rng_.seed(seed_);
    }

    // uniform - a number in [0, 1).
    double uniform() { return std::uniform_real_distribution<double>(0, 1)(rng_); }

    // pick - one key of a non-empty map, at random.
    template <class Map> std::string pick(const Map& m)
    {
        auto it = m.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, m.size() - 1)(rng_));
        return it->first;
    }

    // addMailname - a run that adds a new mail name of the worker.
    void addMailname(Worker& w, std::vector<std::string>& args)
    {
        DomainModel& d = w.domain;
        const std::string m = "w" + std::to_string(w.index) + "n" + std::to_string(d.counter++);
        args = {"--add-mailname", std::string("--domain-name=") + soak::DOMAIN, "--mailname=" + m};
        w.kind = "add-mailname";
        w.onSuccess = [&d, m] {
            d.names[m] = false;
            d.vmailbox[address(m)] = mailboxPath(m);
            d.virt[address(m)] = address(m);
        };
    }

    // nextDomainRun - choose an operation that the worker's model allows.
    void nextDomainRun(Worker& w, std::vector<std::string>& args, std::vector<std::string>& env)
    {
        DomainModel& d = w.domain;
        const std::string domainOpt = std::string("--domain-name=") + soak::DOMAIN;
        std::map<std::string, bool> boxes, bare;
        for (const auto& n : d.names)
            (n.second ? boxes : bare)[n.first] = true;
        const double r = uniform();
        if (d.names.size() < 2) {
            addMailname(w, args);
            return;
        }
        if (!bare.empty() && r < 0.7) {
            const std::string m = pick(bare);
            args = {"--add-mailbox", domainOpt, "--mailname=" + m};
            env = {PASSWORD_ENV};
            w.kind = "add-mailbox";
            w.onSuccess = [&d, m] { d.names[m] = true; };
            return;
        }
        const double s = uniform();
        if (s < 0.15 && d.names.size() < 8) {
            addMailname(w, args);
            return;
        }
        if (boxes.empty() || s < 0.25) {
            const std::string target = "c" + std::to_string(w.index) + "x" +
                                       std::to_string(d.counter++) + "@elsewhere.example";
            args = {"--set-catchall", domainOpt, "--email=" + target};
            w.kind = "set-catchall";
            w.onSuccess = [this, &w, target] {
                catchalls_.push_back({target, w.job.begin(), w.job.end()});
            };
            return;
        }
        const std::string m = pick(boxes);
        if (s < 0.45) {
            const std::string a = "w" + std::to_string(w.index) + "a" + std::to_string(d.counter++);
            args = {"--add-alias", domainOpt, "--mailname=" + m, "--alias=" + a};
            w.kind = "add-alias";
            w.onSuccess = [&d, m, a] { d.virt[address(a)] = address(m); };
        } else if (s < 0.8) {
            const std::string n = "w" + std::to_string(w.index) + "n" + std::to_string(d.counter++);
            args = {"--rename-mailname", domainOpt, "--old-mailname=" + m, "--new-mailname=" + n};
            env = {PASSWORD_ENV};
            w.kind = "rename-mailname";
            w.onSuccess = [&d, m, n] { d.rename(m, n); };
        } else {
            args = {"--remove-mailname", domainOpt, "--mailname=" + m};
            w.kind = "remove-mailname";
            w.onSuccess = [&d, m] {
                d.names.erase(m);
                d.vmailbox.erase(address(m));
                d.virt.erase(address(m));
            };
        }
    }

    // mainCf - the parameters of main.cf as the file holds them now.
    static Records mainCf() { return soak::mainCfValues(mxtest::readFile(soak::MAIN_CF)); }

    // rblElements - the RBL elements of smtpd_client_restrictions.
    static std::vector<std::string> rblElements(const Records& values)
    {
        std::vector<std::string> rbl;
        auto it = values.find("smtpd_client_restrictions");
        if (it == values.end())
            return rbl;
        std::vector<std::string> words = soak::listElements(it->second);
        for (size_t i = 0; i + 1 < words.size(); ++i)
            if (words[i] == "reject_rbl_client")
                rbl.push_back(words[i + 1]);
        return rbl;
    }

    // checkOwnState - between its runs nobody else may undo a worker's own
    // main.cf or master.cf change; count what was undone and take it as lost.
    void checkOwnState(Worker& w)
    {
        if (w.role == Role::Whitelist) {
            auto values = mainCf();
            std::vector<std::string> now = soak::listElements(values["mynetworks"]);
            std::vector<std::string> kept;
            for (const std::string& n : w.networks) {
                if (std::find(now.begin(), now.end(), n) != now.end())
                    kept.push_back(n);
                else
                    ++w.lost;
            }
            w.networks.swap(kept);
        } else if (w.role == Role::Maps) {
            std::vector<std::string> now = rblElements(mainCf());
            if (now != w.zones) {
                ++w.lost;
                w.zones = now;
            }
        } else if (w.role == Role::Service) {
            soak::Services s = soak::loadServices();
            ASSERT_TRUE(s.ok) << s.error;
            const bool live = s.live.count(TOGGLES[w.index].service) != 0;
            if (live != w.serviceLive) {
                ++w.lost;
                w.serviceLive = live;
            }
        }
    }

    // startNext - the worker's next run.
    void startNext(Worker& w)
    {
        std::vector<std::string> args, env;
        const std::string tag = std::to_string(w.index) + "x" + std::to_string(w.runs);
        switch (w.role) {
        case Role::Domain:
            nextDomainRun(w, args, env);
            break;
        case Role::Whitelist: {
            const int j = w.runs;
            const std::string ip = "10." + std::to_string(w.index + 1) + "." +
                                   std::to_string(j / 250) + "." + std::to_string(j % 250 + 1);
            args = {"--add-whitelist", "--ip-address=" + ip, "--netmask=32"};
            w.kind = "add-whitelist";
            w.onSuccess = [&w, ip] { w.networks.push_back(ip + "/32"); };
            break;
        }
        case Role::Maps: {
            const std::string a = "z" + tag + "a.example", b = "z" + tag + "b.example";
            args = {"--set-maps-protection", "--maps-zones=" + a + "," + b};
            w.kind = "set-maps-protection";
            w.onSuccess = [&w, a, b] { w.zones = {a, b}; };
            break;
        }
        case Role::Service: {
            const ServiceToggle& t = TOGGLES[w.index];
            const bool on = !w.serviceLive;
            args = on ? t.on : t.off;
            w.kind = std::string(on ? "enable " : "disable ") + t.service;
            w.onSuccess = [&w, on] { w.serviceLive = on; };
            break;
        }
        }
        w.job.start(args, env,
                    std::string(std::getenv("TMPDIR")) + "/worker" +
                        std::to_string(&w - &workers_[0]));
        w.running = true;
        ++w.runs;
    }

    // makeWorkers - the mix for a number of workers: two or three master.cf
    // togglers, two or three white-list writers and one RBL writer on
    // main.cf, and domain workers for the rest; or domain workers only.
    void makeWorkers(int count, bool domainsOnly)
    {
        const int services = domainsOnly ? 0 : count >= 12 ? 3 : 2;
        const int whitelists = domainsOnly ? 0 : count >= 12 ? 3 : 2;
        const int maps = domainsOnly ? 0 : 1;
        const int domains = count - services - whitelists - maps;
        ASSERT_GE(domains, 1) << "too few workers for the mix";
        workers_.resize(count);
        int i = 0;
        for (int k = 0; k < domains; ++k, ++i)
            workers_[i].role = Role::Domain, workers_[i].index = k;
        for (int k = 0; k < whitelists; ++k, ++i)
            workers_[i].role = Role::Whitelist, workers_[i].index = k;
        for (int k = 0; k < maps; ++k, ++i)
            workers_[i].role = Role::Maps, workers_[i].index = k;
        soak::Services s = soak::loadServices();
        ASSERT_TRUE(s.ok) << s.error;
        for (int k = 0; k < services; ++k, ++i) {
            workers_[i].role = Role::Service, workers_[i].index = k;
            workers_[i].serviceLive = s.live.count(TOGGLES[k].service) != 0;
        }
    }

    // soak - run the workers for the configured time and judge the result.
    void soakRun(const std::string& title, bool domainsOnly);

    unsigned seed_ = 0;
    std::mt19937 rng_;
    std::vector<Worker> workers_;
    std::vector<CatchallRun> catchalls_;
};

// soakRun - start every worker, keep each busy until the time is up, then
// compare the files with what the successful runs left.
void SoakTest::soakRun(const std::string& title, bool domainsOnly)
{
    const int count = static_cast<int>(soak::envNumber("MX_SOAK_WORKERS", 8));
    const double length = static_cast<double>(soak::envNumber("MX_SOAK_SECONDS", 10));
    makeWorkers(count, domainsOnly);
    ASSERT_FALSE(HasFatalFailure());

    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline =
        start + std::chrono::milliseconds(static_cast<long>(length * 1000));
    std::map<std::string, std::pair<int, double>> perKind; // runs, seconds
    std::vector<std::string> failures;
    int running = 0;
    for (Worker& w : workers_) {
        startNext(w);
        ++running;
    }
    while (running > 0) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            ASSERT_EQ(EINTR, errno) << "waitpid failed";
            continue;
        }
        auto it = std::find_if(workers_.begin(), workers_.end(),
                               [pid](const Worker& w) { return w.running && w.job.pid() == pid; });
        if (it == workers_.end())
            continue;
        Worker& w = *it;
        w.job.finish(status);
        w.running = false;
        --running;
        perKind[w.kind].first++;
        perKind[w.kind].second += w.job.duration();
        if (w.job.status() == 0)
            w.onSuccess();
        else
            failures.push_back(w.job.command() + ": exit " + std::to_string(w.job.status()) + ": " +
                               w.job.output());
        checkOwnState(w);
        ASSERT_FALSE(HasFatalFailure());
        if (Clock::now() < deadline) {
            startNext(w);
            ++running;
        }
    }
    const double elapsed = soak::seconds(Clock::now() - start);

    // Every table reads back.
    soak::TableDump virt = soak::dumpTable("virtual"), vmailbox = soak::dumpTable("vmailbox");
    ASSERT_TRUE(virt.ok) << virt.error;
    ASSERT_TRUE(vmailbox.ok) << vmailbox.error;
    for (const char* table : soak::TABLES) {
        soak::TableDump d = soak::dumpTable(table);
        EXPECT_TRUE(d.ok) << table << ": " << d.error;
    }

    // Every record a worker's successful runs left must be there, and none
    // of the records they removed may have come back.
    int lostRecords = 0, backRecords = 0;
    std::vector<std::string> examples;
    std::set<std::string> owned;
    for (const Worker& w : workers_) {
        if (w.role != Role::Domain)
            continue;
        const std::string prefix = "w" + std::to_string(w.index);
        for (const auto& pair : {std::make_pair(&w.domain.virt, &virt.records),
                                 std::make_pair(&w.domain.vmailbox, &vmailbox.records)}) {
            for (const auto& r : *pair.first) {
                owned.insert(r.first);
                auto found = pair.second->find(r.first);
                if (found == pair.second->end() || found->second != r.second) {
                    ++lostRecords;
                    examples.push_back("missing " + r.first + " " + r.second);
                }
            }
            for (const auto& r : *pair.second) {
                const std::string local = r.first.substr(0, r.first.find('@'));
                const bool mine = local.compare(0, prefix.size(), prefix) == 0 &&
                                  local.size() > prefix.size() &&
                                  (local[prefix.size()] == 'n' || local[prefix.size()] == 'a');
                if (mine && !pair.first->count(r.first)) {
                    ++backRecords;
                    examples.push_back("unexpected " + r.first + " " + r.second);
                }
            }
        }
    }
    // Records nobody owns: the domain's standard addresses and the catch-all.
    std::set<std::string> standard;
    for (const char* s : {"postmaster", "mailer-daemon", "root", "anonymous", "drweb", "kluser"})
        standard.insert(address(s));
    for (const auto& r : virt.records) {
        if (owned.count(r.first) || r.first == std::string("@") + soak::DOMAIN)
            continue;
        if (standard.count(r.first))
            continue;
        const std::string local = r.first.substr(0, r.first.find('@'));
        if (local.empty() || local[0] != 'w')
            ADD_FAILURE() << "record of no worker in virtual: " << r.first << " " << r.second;
    }
    for (const std::string& s : standard)
        EXPECT_EQ(s.substr(0, s.find('@')) + "@localhost.localdomain", virt.records[s]) << s;

    // The catch-all is that of a run that no other run followed entirely.
    int catchallLost = 0;
    if (!catchalls_.empty()) {
        std::set<std::string> candidates;
        for (const CatchallRun& c : catchalls_) {
            bool followed = false;
            for (const CatchallRun& o : catchalls_)
                followed = followed || o.begin > c.end;
            if (!followed)
                candidates.insert(c.target);
        }
        const std::string final = virt.records[std::string("@") + soak::DOMAIN];
        if (!candidates.count(final)) {
            catchallLost = 1;
            examples.push_back("catch-all " + final + " is not of a last run");
        }
    }

    // Mail homes: exactly the mail names the workers hold.
    std::set<std::string> homes, expectedHomes;
    for (const Worker& w : workers_)
        for (const auto& n : w.domain.names)
            expectedHomes.insert(n.first);
    const std::string root = std::string(soak::MAIL_ROOT) + "/" + soak::DOMAIN;
    for (const std::string& name : mxtest::entries(root))
        if (name[0] != '.')
            homes.insert(name);
    EXPECT_EQ(expectedHomes, homes);

    // main.cf reads back, for Postfix and line by line.
    const mxtest::RunResult postconf = mxtest::run("/usr/sbin/postconf -n");
    EXPECT_EQ(0, postconf.status) << postconf.err;
    EXPECT_EQ("", postconf.err);
    Records values;
    EXPECT_NO_THROW(values = mainCf());
    // What was undone after each worker's last run counts as well.
    for (Worker& w : workers_)
        if (w.role == Role::Whitelist || w.role == Role::Maps || w.role == Role::Service)
            checkOwnState(w);
    int networksAdded = 0, networksLost = 0, mapsLost = 0, serviceLost = 0, serviceToggles = 0;
    for (Worker& w : workers_) {
        if (w.role == Role::Whitelist) {
            networksAdded += w.runs;
            networksLost += w.lost;
        }
        if (w.role == Role::Maps)
            mapsLost += w.lost;
        if (w.role == Role::Service) {
            serviceToggles += w.runs;
            serviceLost += w.lost;
        }
    }

    // master.cf and its set-aside file read back through the program, and
    // every service toggled is in exactly one of them, once.
    soak::Services services = soak::loadServices();
    ASSERT_TRUE(services.ok) << services.error;
    int servicesVanished = 0, servicesDoubled = 0;
    for (const Worker& w : workers_) {
        if (w.role != Role::Service)
            continue;
        const std::string name = TOGGLES[w.index].service;
        const int places = services.live[name] + services.aside[name];
        if (places == 0)
            ++servicesVanished;
        if (places > 1)
            ++servicesDoubled;
    }

    // Nothing half done is left behind, and no lock is held.
    for (const soak::Leftover& l : soak::scanLeftovers())
        ADD_FAILURE() << "left over: " << l.path << " (" << l.kind << ")";
    EXPECT_EQ(std::vector<std::string>(), soak::heldLocks());

    int totalRuns = 0;
    soak::Report report(title);
    report.add("seed", std::to_string(seed_));
    report.add("workers", count);
    report.add("seconds", std::to_string(elapsed));
    for (const auto& k : perKind) {
        totalRuns += k.second.first;
        report.add("runs " + k.first, std::to_string(k.second.first) + " (mean " +
                                          std::to_string(k.second.second / k.second.first) + " s)");
    }
    report.add("runs", totalRuns);
    report.add("failed runs", static_cast<long>(failures.size()));
    report.add("table records lost", lostRecords);
    report.add("table records back after removal", backRecords);
    report.add("catch-all not of a last run", catchallLost);
    report.add("whitelist entries added", networksAdded);
    report.add("whitelist entries lost", networksLost);
    report.add("RBL lists undone", mapsLost);
    report.add("master.cf toggles", serviceToggles);
    report.add("master.cf toggles undone", serviceLost);
    report.add("master.cf services vanished from both files", servicesVanished);
    report.add("master.cf services both live and set aside", servicesDoubled);
    for (size_t i = 0; i < examples.size() && i < 10; ++i)
        report.add("example", examples[i]);

    for (size_t i = 0; i < failures.size() && i < 10; ++i)
        ADD_FAILURE() << "failed run: " << failures[i];
    EXPECT_EQ(0, lostRecords) << "table records written by one run and lost by another";
    EXPECT_EQ(0, backRecords) << "removed table records brought back by another run";
    EXPECT_EQ(0, catchallLost);
    // A list edit holds the main.cf edit lock from its read to its write, and a
    // master.cf change the run lock from its load to its store.
    EXPECT_EQ(0, networksLost) << "white-list entries written by one run and lost by another";
    EXPECT_EQ(0, mapsLost) << "RBL lists undone by another run";
    EXPECT_EQ(0, serviceLost) << "master.cf toggles undone by another run";
    EXPECT_EQ(0, servicesVanished) << "services in neither master.cf file";
    EXPECT_EQ(0, servicesDoubled) << "services both live and set aside";
}

// The whole mix: one domain's tables, main.cf and master.cf at once.
TEST_F(SoakTest, MixedRunsKeepEveryFileWholeAndLoseNoTableRecord)
{
    soakRun("concurrent runs, whole mix", false);
}

// Only the domain's tables: renames rewrite whole tables while other runs
// add and remove records, without main.cf changes slowing every postmap run.
TEST_F(SoakTest, TableRewritesLoseNoRecordOfOtherRuns)
{
    soakRun("concurrent runs, tables only", true);
}

// stillRunning - whether a background run has not ended yet; one that has
// is reaped.
bool stillRunning(Job& job)
{
    int status = 0;
    if (waitpid(job.pid(), &status, WNOHANG) != job.pid())
        return true;
    job.finish(status);
    return false;
}

// While a whole-table rewrite holds a table's lock, runs that add or remove
// records of that table wait for it instead of changing the compiled table
// under the rewrite, which would compile its older dump over them.
TEST_F(SoakTest, TableChangesWaitForTheRewriteLock)
{
    const std::string virtualSource = std::string(soak::TABLE_DIR) + "/virtual";
    const std::string catchall = std::string("@") + soak::DOMAIN;
    soak::must("printf 'al1@example.com info@example.com\\n' | /usr/sbin/postmap -r -i " +
               soak::tableId("virtual"));
    const std::string domainOpt = std::string("--domain-name=") + soak::DOMAIN;
    const std::vector<std::vector<std::string>> runs = {
        {"--set-catchall", domainOpt, "--email=x@elsewhere.example"},    // add
        {"--set-reject", domainOpt},                                     // remove, batch
        {"--remove-alias", domainOpt, "--mailname=info", "--alias=al1"}, // remove, one key
    };
    for (const auto& args : runs) {
        const Records before = soak::dumpTable("virtual").records;
        Job job;
        {
            const ostra::MKLock rewrite(virtualSource);
            job.start(args, {}, std::string(std::getenv("TMPDIR")) + "/locked.out");
            usleep(1500000);
            EXPECT_TRUE(stillRunning(job)) << args[0] << " did not wait for the lock";
            EXPECT_EQ(before, soak::dumpTable("virtual").records) << args[0];
        }
        if (job.pid() > 0)
            job.wait();
        const Records after = soak::dumpTable("virtual").records;
        EXPECT_NE(before, after) << args[0] << " changed nothing: " << job.output();
    }
    const Records final = soak::dumpTable("virtual").records;
    EXPECT_EQ(0u, final.count(catchall));
    EXPECT_EQ(0u, final.count("al1@example.com"));
}

// startAll - one background run per argument list, all at once.
std::vector<Job> startAll(const std::vector<std::vector<std::string>>& runs, const char* tag)
{
    std::vector<Job> jobs(runs.size());
    for (size_t i = 0; i < runs.size(); ++i)
        jobs[i].start(runs[i], {},
                      std::string(std::getenv("TMPDIR")) + "/" + tag + std::to_string(i));
    return jobs;
}

// Concurrent white-list changes of distinct networks: every addition stays,
// every removal stays removed, however the runs overlap.
TEST_F(SoakTest, ConcurrentWhitelistChangesAllStay)
{
    // Each run waits about a second for main.cf to cool down after the last
    // write, and they now follow one another: a few are enough to overlap.
    const int count = 6;
    std::vector<std::string> networks;
    std::vector<std::vector<std::string>> adds, removes;
    for (int i = 0; i < count; ++i) {
        const std::string ip = "10.9." + std::to_string(i) + ".1";
        networks.push_back(ip + "/32");
        adds.push_back({"--add-whitelist", "--ip-address=" + ip, "--netmask=32"});
        removes.push_back({"--remove-whitelist", "--ip-address=" + ip, "--netmask=32"});
    }
    for (auto& job : startAll(adds, "add")) {
        job.wait();
        EXPECT_EQ(0, job.status()) << job.command() << ": " << job.output();
    }
    std::vector<std::string> now = soak::listElements(mainCf()["mynetworks"]);
    for (const std::string& n : networks)
        EXPECT_NE(now.end(), std::find(now.begin(), now.end(), n)) << n << " lost";
    EXPECT_NE(now.end(), std::find(now.begin(), now.end(), "127.0.0.0/8"));

    // Half of them removed while the other half is added again (no change).
    std::vector<std::vector<std::string>> mixed;
    for (int i = 0; i < count; ++i)
        mixed.push_back(i % 2 ? removes[i] : adds[i]);
    for (auto& job : startAll(mixed, "mixed")) {
        job.wait();
        EXPECT_EQ(0, job.status()) << job.command() << ": " << job.output();
    }
    now = soak::listElements(mainCf()["mynetworks"]);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(i % 2 == 0, std::find(now.begin(), now.end(), networks[i]) != now.end())
            << networks[i];
    EXPECT_EQ(std::vector<std::string>(), soak::heldLocks());
    EXPECT_EQ(0u, soak::scanLeftovers().size());
}

// Concurrent toggles of distinct master.cf services: after each round every
// service is where its last run put it, in exactly one of the two files.
TEST_F(SoakTest, ConcurrentServiceTogglesAllStay)
{
    for (int round = 0; round < 6; ++round) {
        // Even rounds switch everything on (submission is added the first
        // time), odd rounds off again.
        const bool on = round % 2 == 0;
        std::vector<std::vector<std::string>> runs;
        for (const ServiceToggle& t : TOGGLES)
            runs.push_back(on ? t.on : t.off);
        for (auto& job : startAll(runs, "toggle")) {
            job.wait();
            EXPECT_EQ(0, job.status()) << job.command() << ": " << job.output();
        }
        soak::Services s = soak::loadServices();
        ASSERT_TRUE(s.ok) << s.error;
        for (const ServiceToggle& t : TOGGLES) {
            EXPECT_EQ(on ? 1 : 0, s.live[t.service]) << t.service << " in round " << round;
            EXPECT_EQ(on ? 0 : 1, s.aside[t.service]) << t.service << " in round " << round;
        }
    }
    EXPECT_EQ(std::vector<std::string>(), soak::heldLocks());
    EXPECT_EQ(0u, soak::scanLeftovers().size());
}

} // namespace
