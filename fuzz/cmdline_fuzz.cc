// cmdline_fuzz.cc - the option parsing of every command handler on arbitrary
// argument vectors, without running any command.
//
// The input is a NUL-separated argument vector whose first word names the
// command (an unknown word picks one by its first byte). The link wraps two
// symbols (see CMakeLists.txt):
//   - standardOptionsParse: the real parser runs, its outcome is checked, and
//     then an exception unwinds the handler before it can reach a manager;
//   - exit: the help and usage-error paths end in exit(), which becomes an
//     exception while an input runs, so one process serves every input.
// Only handlers that parse their options before anything else are called; the
// legacy and help commands do nothing else and are left out.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mail/postfix/dispatch.h"
#include "mail/postfix/options_helper.h"

using ostra::mail::postfix::mxadmin_commands::CommandHandler;
using ostra::mail::postfix::mxadmin_commands::ProgramOptionsHelper;

// The mangled name of standardOptionsParse, as the linker wraps it.
#define PARSE_SYMBOL                                                                               \
    _ZN5ostra4mail7postfix16mxadmin_commands20standardOptionsParseERNS2_20ProgramOptionsHelperEiPPc
#define CAT(a, b) CAT2(a, b)
#define CAT2(a, b) a##b

extern "C" void CAT(__real_, PARSE_SYMBOL)(ProgramOptionsHelper& helper, int argc, char** argv);
extern "C" [[noreturn]] void __real_exit(int status);

namespace {

// check - stop the run with a message when a property fails.
void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

// Thrown in place of exit() while an input runs.
struct UsageExit {
    int status;
};

// Thrown when the options were accepted, before the handler goes on.
struct OptionsAccepted {};

// Every command whose handler parses its options first: the whole command
// table less the legacy single-purpose commands and the general help.
const char* const PARSING_COMMANDS[] = {
    "--add-mailname",
    "--remove-mailname",
    "--rename-mailname",
    "--add-mailbox",
    "--remove-mailbox",
    "--get-mailbox-size",
    "--set-password",
    "--set-mailbox-disk-quota",
    "--add-redirect",
    "--remove-redirect",
    "--set-autoresponder",
    "--reset-autoresponder",
    "--add-alias",
    "--remove-alias",
    "--add-domain",
    "--remove-domain",
    "--turn-on-domain",
    "--turn-off-domain",
    "--set-domain-disk-quota",
    "--add-badmailfrom",
    "--remove-badmailfrom",
    "--set-bounce",
    "--set-catchall",
    "--set-reject",
    "--unset-reject",
    "--add-whitelist",
    "--remove-whitelist",
    "--set-maps-protection",
    "--set-accounts-format",
    "--features",
    "--set-max-letter-size",
    "--get-max-letter-size",
    "--get-mailbox-size-limit",
    "--list-attachments",
    "--add-attachment",
    "--remove-attachment",
    "--update-spf",
    "--add-domain-alias",
    "--del-domain-alias",
    "--rename-domain-alias",
    "--add-handler",
    "--update-handler",
    "--remove-handler",
    "--disable-handler",
    "--enable-handler",
    "--check-handler",
    "--set-domain-key",
    "--remove-domain-key",
    "--set-mail-params",
    "--start-service",
    "--stop-service",
    "--restart-service",
    "--reload-service",
    "--status-service",
};
const std::size_t COMMANDS = sizeof PARSING_COMMANDS / sizeof PARSING_COMMANDS[0];

std::vector<CommandHandler> handlers;

// State of the input being run.
bool running = false;
bool parsed = false;

// The standard streams while an input runs: kept, not printed.
std::ostringstream capturedOut, capturedErr;

// expectedMissing - the mandatory option the parser must report: the first
// absent one, walking from the most recently declared.
std::string expectedMissing(const ProgramOptionsHelper& helper)
{
    for (const std::string& name : helper.mandatory)
        if (helper.variables.count(name) == 0)
            return "mandatory option \"--" + name + "\" is not specified\n";
    return std::string();
}

// checkHelp - the command help: title, synopsis, options, the help switch last.
void checkHelp(const ProgramOptionsHelper& helper, const std::string& out)
{
    const std::string head = helper.title + "\nUsage: " + helper.synopsis + "\n";
    check(out.compare(0, head.size(), head) == 0, "help starts with title and synopsis");
    const std::string caption = "Allowed options to " + helper.title + ":";
    check(out.find(caption, head.size()) != std::string::npos, "help lists the options");
    check(out.find("displays this help message") != std::string::npos, "help lists --help");
}

} // namespace

// The wrapped parser: run the real one and judge its outcome.
extern "C" void CAT(__wrap_, PARSE_SYMBOL)(ProgramOptionsHelper& helper, int argc, char** argv)
{
    check(running, "parser called outside an input");
    check(!parsed, "one parse per command");
    parsed = true;
    const std::size_t errBefore = capturedErr.str().size();
    try {
        CAT(__real_, PARSE_SYMBOL)(helper, argc, argv);
    } catch (const UsageExit& e) {
        const std::string err = capturedErr.str().substr(errBefore);
        const std::string out = capturedOut.str();
        if (e.status == 0) {
            check(helper.variables.count("help") == 1, "exit 0 only for help");
            check(err.empty(), "help prints no error");
        } else {
            check(e.status == 1, "a usage error exits with 1");
            check(!err.empty() && err.back() == '\n',
                  "a usage error is reported on standard error");
            check(out.compare(0, err.size(), err) == 0, "the error line comes first on stdout too");
            if (err.compare(0, 17, "mandatory option ") == 0)
                check(err == expectedMissing(helper), "the last declared missing option named");
        }
        checkHelp(helper, e.status == 0 ? out : out.substr(err.size()));
        throw;
    }
    check(helper.variables.count("help") == 0, "help never returns");
    check(expectedMissing(helper).empty(), "accepted options include every mandatory one");
    check(capturedErr.str().size() == errBefore, "accepted options print nothing");
    throw OptionsAccepted();
}

// The wrapped exit: an exception while an input runs, the real one otherwise.
extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (running)
        throw UsageExit{status};
    __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const auto table = ostra::mail::postfix::mxadmin_commands::commandTable();
    for (const char* word : PARSING_COMMANDS) {
        const auto found = table.find(word);
        check(found != table.end(), "every fuzzed command is in the command table");
        handlers.push_back(found->second);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Arguments are the NUL-separated words of the input.
    std::vector<std::string> words;
    std::size_t begin = 0;
    if (size == 0)
        words.emplace_back();
    while (begin <= size && size > 0 && words.size() < 64) {
        const void* nul = std::memchr(data + begin, '\0', size - begin);
        const std::size_t end = nul ? static_cast<const std::uint8_t*>(nul) - data : size;
        words.emplace_back(reinterpret_cast<const char*>(data + begin), end - begin);
        begin = end + 1;
    }
    std::size_t command = COMMANDS;
    for (std::size_t i = 0; i < COMMANDS; ++i)
        if (words[0] == PARSING_COMMANDS[i])
            command = i;
    if (command == COMMANDS) {
        command = size > 0 ? data[0] % COMMANDS : 0;
        words.insert(words.begin(), PARSING_COMMANDS[command]);
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    capturedOut.str(std::string());
    capturedErr.str(std::string());
    std::streambuf* out = std::cout.rdbuf(capturedOut.rdbuf());
    std::streambuf* err = std::cerr.rdbuf(capturedErr.rdbuf());
    running = true;
    parsed = false;
    bool returned = false;
    std::string notBuilt;
    try {
        handlers[command](static_cast<int>(words.size()), argv.data());
        returned = true;
    } catch (const OptionsAccepted&) {
    } catch (const UsageExit&) {
    } catch (const std::exception& e) {
        // A validator's own conversion error passes through the parser; a
        // handler not built yet refuses before parsing.
        if (!parsed)
            notBuilt = e.what();
    }
    running = false;
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    check(!returned, "a command never gets past its option parsing here");
    check(parsed || notBuilt.find("not implemented") != std::string::npos,
          "every command parses its options before anything else");
    return 0;
}
