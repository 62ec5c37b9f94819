// database_helper.cc - postmap runs that add, remove and replace lookup-table records.
#include "mail/postfix/database_helper.h"

#include <sys/wait.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include "mail/postfix/postmap_run.h"
#include "mail/postfix/table_build.h"
#include "ostra/lock.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

// checkTable - refuse an empty table identifier before postmap sees it.
void checkTable(const std::string& table)
{
    if (table.empty())
        throw std::invalid_argument("empty lookup table identifier");
}

// judgeRemoval - a removal fails only on a signal or on an error line of postmap.
void judgeRemoval(const PostmapRun& run)
{
    const int status = run.status();
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 0 || checkOutput(run.errors())))
        return;
    throw PostfixDatabaseError(run.errors());
}

// isErrorWord - whether p starts with one of the words of a failed tool run.
bool isErrorWord(const char* p)
{
    static const char* const words[] = {"panic:", "fatal:", "error:"};
    for (const char* w : words) {
        if (std::strncmp(p, w, 6) == 0)
            return true;
    }
    return false;
}

// lineIsError - whether one line of tool output reports a panic, fatal error or error.
bool lineIsError(const std::string& line)
{
    const std::string::size_type colon = line.find(':');
    if (colon == std::string::npos || colon + 1 >= line.size())
        return false;
    const std::string::size_type word = line.find_first_not_of(' ', colon + 1);
    if (word == std::string::npos || word + 1 >= line.size())
        return false;
    if (line.find(':', word + 1) == std::string::npos)
        return false;
    return isErrorWord(line.c_str() + word);
}

} // namespace

// tableSourcePath - the identifier after the first ":", or all of it.
std::string tableSourcePath(const std::string& table)
{
    const std::string::size_type colon = table.find(':');
    return colon == std::string::npos ? table : table.substr(colon + 1);
}

// checkOutput - true unless a line of errorText reports a panic, fatal error or error.
bool checkOutput(const std::string& errorText)
{
    std::string::size_type begin = 0;
    while (begin < errorText.size()) {
        std::string::size_type end = errorText.find('\n', begin);
        if (end == std::string::npos)
            end = errorText.size();
        if (lineIsError(errorText.substr(begin, end - begin)))
            return false;
        begin = end + 1;
    }
    return true;
}

// addRecord - merge one record into a table.
void DatabaseHelper::addRecord(const std::string& table, const std::string& key,
                               const std::string& value)
{
    const RecordVector records(1, Record(key, value));
    addRecords(table, records);
}

// removeRecord - postmap -d with the key on the command line.
void DatabaseHelper::removeRecord(const std::string& table, const std::string& key)
{
    checkTable(table);
    // No record has an empty key, so there is nothing to remove.
    if (key.empty())
        return;
    // On the command line "-" would mean "keys from standard input".
    if (key == "-") {
        const KeyVector keys(1, key);
        removeRecords(table, keys);
        return;
    }
    const MKLock lock(tableSourcePath(table));
    PostmapRun run({"-d", key, table});
    if (!run.run())
        judgeRemoval(run);
}

// runAdd - postmap -r -i with the record lines on standard input.
void DatabaseHelper::runAdd(const std::string& table, const InputProducer& producer)
{
    checkTable(table);
    // A rewrite compiles its dump over the table: changes made in place
    // meanwhile would be lost, so they wait for its lock.
    const MKLock lock(tableSourcePath(table));
    PostmapRun run({"-r", "-i", table});
    if (!run.input(producer).run())
        throw PostfixConfigurationError(run.failureText());
}

// runRemove - postmap -d - with the key lines on standard input.
void DatabaseHelper::runRemove(const std::string& table, const InputProducer& producer)
{
    checkTable(table);
    const MKLock lock(tableSourcePath(table));
    PostmapRun run({"-d", "-", table});
    if (!run.input(producer).run())
        judgeRemoval(run);
}

// runReplace - build the new table beside the old one under the table's lock.
void DatabaseHelper::runReplace(const std::string& table, const InputProducer& producer)
{
    checkTable(table);
    MKLock lock(tableSourcePath(table));
    // Destroyed before the lock: the new table's files never outlive it.
    TableBuild build(table);
    ProducerBuffer line;
    bool more = true;
    while (more) {
        line.clear();
        more = producer(line);
        build.source().write(line.data(), line.size());
    }
    build.install({"-r"});
}

// addChange - one record, applied at once or held.
void BatchDatabaseHelper::addChange(const std::string& table, const std::string& key,
                                    const std::string& value)
{
    const RecordVector records(1, Record(key, value));
    addChanges(table, records);
}

// commit - apply the held additions, then the held removals, table by table.
void BatchDatabaseHelper::commit()
{
    for (const auto& entry : additions_) {
        if (incremental_)
            DatabaseHelper::addRecords(entry.first, entry.second);
        else
            DatabaseHelper::replaceRecords(entry.first, entry.second);
    }
    additions_.clear();
    for (const auto& entry : removals_)
        DatabaseHelper::removeRecords(entry.first, entry.second);
    removals_.clear();
}

// pendingAdditions - the held additions of a table, created on first use.
RecordList& BatchDatabaseHelper::pendingAdditions(const std::string& table)
{
    try {
        return additions_[table];
    } catch (const std::bad_alloc&) {
        throw PostfixDatabaseError("unable to form record cache");
    }
}

// pendingRemovals - the held removals of a table, created on first use.
KeyList& BatchDatabaseHelper::pendingRemovals(const std::string& table)
{
    try {
        return removals_[table];
    } catch (const std::bad_alloc&) {
        throw PostfixDatabaseError("unable to form record cache");
    }
}

} // namespace postfix
} // namespace mail
} // namespace ostra
