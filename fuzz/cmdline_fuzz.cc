// cmdline_fuzz.cc - the option parsing of every command that parses options, on
// arbitrary argument vectors, without running any command.
//
// The input is a NUL-separated argument vector whose first word names the
// command (an unknown word picks one by the first byte). The link wraps two
// symbols (see CMakeLists.txt): standardOptionsParse, whose real self runs and
// is then judged, and which stops the handler with an exception before it can
// reach a manager; and exit, which the help and usage-error paths end in and
// which becomes an exception while an input runs.
#include <cstring>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mail/postfix/dispatch.h"
#include "mail/postfix/options_helper.h"

#include "fuzz_check.h"

using namespace ostra::mail::postfix::mxadmin_commands;

// The mangled name of standardOptionsParse, as the linker wraps it.
#define PARSE_SYMBOL                                                                               \
    _ZN5ostra4mail7postfix16mxadmin_commands20standardOptionsParseERNS2_20ProgramOptionsHelperEiPPc
#define CAT(a, b) CAT2(a, b)
#define CAT2(a, b) a##b

extern "C" void CAT(__real_, PARSE_SYMBOL)(ProgramOptionsHelper& helper, int argc, char** argv);
extern "C" [[noreturn]] void __real_exit(int status);

namespace {

struct UsageExit {
    int status;
};
struct OptionsAccepted {};

std::vector<std::pair<std::string, CommandHandler>> commands;
bool running = false, parsed = false;
std::ostringstream capturedOut, capturedErr; // the standard streams while an input runs

} // namespace

extern "C" void CAT(__wrap_, PARSE_SYMBOL)(ProgramOptionsHelper& helper, int argc, char** argv)
{
    check(running && !parsed, "one parse per command");
    parsed = true;
    try {
        CAT(__real_, PARSE_SYMBOL)(helper, argc, argv);
    } catch (const UsageExit& e) {
        check(e.status == 0 ? helper.variables.count("help") == 1 : e.status == 1,
              "exit 0 for help, 1 for a usage error");
        check(e.status == 0 || !capturedErr.str().empty(), "a usage error is reported");
        throw;
    }
    check(helper.variables.count("help") == 0, "help never returns");
    for (const std::string& name : helper.mandatory)
        check(helper.variables.count(name) == 1, "accepted options include the mandatory ones");
    throw OptionsAccepted();
}

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (running)
        throw UsageExit{status};
    __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Not the help commands, nor the legacy commands (those with a one-letter name too).
    std::set<CommandHandler> skip = {usageShortCmd, usageCommandsCmd, usageLegacyCmd};
    const CommandMap table = commandTable();
    for (const auto& entry : table)
        if (entry.first.size() == 2)
            skip.insert(entry.second);
    for (const auto& entry : table)
        if (entry.first.size() > 2 && skip.count(entry.second) == 0)
            commands.push_back(entry);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> words;
    for (std::size_t begin = 0; begin <= size && words.size() < 64;) {
        const void* nul = std::memchr(data + begin, '\0', size - begin);
        const std::size_t end = nul ? static_cast<const std::uint8_t*>(nul) - data : size;
        words.emplace_back(reinterpret_cast<const char*>(data + begin), end - begin);
        begin = end + 1;
    }
    std::size_t command = size > 0 ? data[0] % commands.size() : 0;
    for (std::size_t i = 0; i < commands.size(); ++i)
        if (words[0] == commands[i].first)
            command = i;
    if (words[0] != commands[command].first)
        words.insert(words.begin(), commands[command].first);
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
    std::string refusal;
    try {
        commands[command].second(static_cast<int>(words.size()), argv.data());
        returned = true;
    } catch (const OptionsAccepted&) {
    } catch (const UsageExit&) {
    } catch (const std::exception& e) {
        refusal = e.what(); // a validator's own error passes through the parser
    }
    running = false;
    std::cout.rdbuf(out);
    std::cerr.rdbuf(err);
    check(!returned, "a command never gets past its option parsing here");
    check(parsed || refusal.find("not implemented") != std::string::npos,
          "every command parses its options before anything else");
    return 0;
}
