// dispatch.h - the command table, the general help texts and the dispatcher.
#ifndef MAIL_POSTFIX_DISPATCH_H
#define MAIL_POSTFIX_DISPATCH_H

#include <iosfwd>
#include <map>
#include <string>

// do_main - run the command named by argv[1]; its handler's result is the exit status.
int do_main(int argc, char** argv);

// The help commands: ignore their arguments, print to standard output, exit 0.
int usageShortCmd(int argc, char** argv);
int usageCommandsCmd(int argc, char** argv);
int usageLegacyCmd(int argc, char** argv);

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

typedef int (*CommandHandler)(int argc, char** argv);
typedef std::map<std::string, CommandHandler> CommandMap;

// CommandMapAssigner - builds a command table in one chained expression.
class CommandMapAssigner {
public:
    // operator() - bind name to handler, replacing an earlier binding.
    CommandMapAssigner& operator()(const std::string& name, CommandHandler handler);
    const CommandMap& table() const { return table_; }

private:
    CommandMap table_;
};

// commandTable - a fresh copy of the complete command table.
CommandMap commandTable();

// usageShort - the four-line summary, then exit(exitCode).
[[noreturn]] void usageShort(int exitCode, std::ostream& out);
// usageCommands - every command with its description, then exit(exitCode).
[[noreturn]] void usageCommands(int exitCode, std::ostream& out);
// usageLegacy - every command with synopsis and description, then exit(exitCode).
[[noreturn]] void usageLegacy(int exitCode, std::ostream& out);

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
