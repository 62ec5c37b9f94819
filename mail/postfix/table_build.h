// table_build.h - a new copy of a lookup table, compiled beside the table and
// renamed over it: readers, and a run killed at any point, see the old table
// or the new one, never one half built.
#ifndef MAIL_POSTFIX_TABLE_BUILD_H
#define MAIL_POSTFIX_TABLE_BUILD_H

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ostra/tmpfile.h"

namespace ostra {
namespace mail {
namespace postfix {

// TableBuild - the source "<path>.new" of a table's next content and the
// database "<path>.new.db" compiled from it. Left-overs of a killed run
// under those names are overwritten by the next build, never installed.
// The caller holds the table's lock from before the content is read until
// the build is destroyed.
class TableBuild {
public:
    // Opens the new source file, truncated.
    explicit TableBuild(const std::string& table);
    // Deletes the new source file, and the new database unless installed.
    ~TableBuild();
    TableBuild(const TableBuild&) = delete;
    TableBuild& operator=(const TableBuild&) = delete;

    // source - the stream the new content is written to.
    std::ostream& source();
    // install - close the source, compile it with postmap and the options,
    // flush the result to disk with the owner and mode of the table it
    // replaces, and rename it over that table.
    void install(const std::vector<std::string>& options);

private:
    std::string table_;    // "type:path"
    std::string database_; // the table's compiled file
    std::string newTable_; // "type:path.new"
    std::string newDatabase_;
    std::unique_ptr<AutocleanOFStream> source_;
    bool installed_;
};

// tableDatabasePath - the compiled file of a table: its source path and the
// suffix its type's compiler adds.
std::string tableDatabasePath(const std::string& table);

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
