// maincf_manager.cc - main.cf parameters read with "postconf -h" and written with "postconf -e";
// a list edit holds the program's own edit lock from its read to its write.
#include "mail/postfix/maincf_manager.h"

#include <sys/wait.h>

#include <string>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "mail/postfix/database_helper.h"
#include "mail/postfix/ifaceinfo.h"
#include "mail/postfix/postfix_errors.h"
#include "ostra/lock.h"
#include "process/pipe.h"

namespace ostra {
namespace mail {
namespace postfix {

namespace {

const char POSTCONF[] = "/usr/sbin/postconf";
const char MYNETWORKS[] = "mynetworks";
const char LIST_SEPARATOR[] = ", ";

// PostconfRun - one finished postconf run with its two outputs.
struct PostconfRun {
    std::string out;
    std::string err;
    int status = -1;

    // succeeded - exited normally with status 0.
    bool succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
    // failure - the error for a failed run: postconf's own words, or "unknown error".
    PostfixConfigurationError failure() const
    {
        return PostfixConfigurationError(err.empty() ? "unknown error" : err);
    }
};

// runPostconf - run postconf with up to three arguments, collecting both outputs.
PostconfRun runPostconf(const std::string& a1, const std::string& a2 = std::string(),
                        const std::string& a3 = std::string())
{
    using namespace ostra::process;
    Parameters<PipeProcessFlags> params(POSTCONF, a1, a2, a3);
    params.path = POSTCONF;
    Pipe pipe(params);
    PostconfRun run;
    pipe.stdinChannel.set(StreamNull);
    pipe.stdoutChannel.set(StreamPipe, makeStringReceiver(run.out));
    pipe.stderrChannel.set(StreamPipe, makeStringReceiver(run.err));
    run.status = pipe.run();
    return run;
}

// readValue - the configured value (or built-in default) of name, trimmed.
std::string readValue(const std::string& name, bool defaults)
{
    PostconfRun run = defaults ? runPostconf("-h", "-d", name) : runPostconf("-h", name);
    if (!run.succeeded())
        throw run.failure();
    // An unknown name only fails when postconf says so; an empty value is valid.
    if (run.out.empty() && !checkOutput(run.err))
        throw PostfixConfigurationError(run.err);
    boost::algorithm::trim(run.out);
    return run.out;
}

// firstInterfaceAddress - the address of the first interface the kernel lists, or empty.
std::string firstInterfaceAddress()
{
    struct ifaceinfo* list = get_ifaceinfo();
    if (list == nullptr)
        return std::string();
    std::string ip = list[0].name[0] != '\0' ? list[0].ip : "";
    free_ifaceinfo(list);
    return ip;
}

// splitAny - the pieces of value between single separators, empty ones included.
std::vector<std::string> splitAny(const std::string& value, const char* separators)
{
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, value, boost::algorithm::is_any_of(separators));
    return pieces;
}

} // namespace

namespace maincf {

// listHas - whether element equals a piece of value split at every blank, tab and comma.
bool listHas(const std::string& value, const std::string& element)
{
    for (const std::string& piece : splitAny(value, " \t,"))
        if (piece == element)
            return true;
    return false;
}

// compoundAppend - the comma-separated elements, trimmed and non-empty, plus element.
bool compoundAppend(const std::string& value, const std::string& element, std::string& result)
{
    std::vector<std::string> kept;
    if (!value.empty()) {
        const std::string wanted = boost::algorithm::trim_copy(element);
        for (std::string piece : splitAny(value, ",")) {
            boost::algorithm::trim(piece);
            if (piece.empty())
                continue;
            if (piece == wanted)
                return false;
            kept.push_back(piece);
        }
    }
    kept.push_back(element);
    result = boost::algorithm::join(kept, LIST_SEPARATOR);
    return true;
}

// listRemove - the elements between runs of blanks, tabs and commas, except element.
bool listRemove(const std::string& value, const std::string& element, std::string& result)
{
    // Separators at either end make no element: they are not written back.
    std::vector<std::string> kept;
    bool dropped = false;
    for (const std::string& piece : splitAny(value, " \t,")) {
        if (piece.empty())
            continue;
        if (piece == element)
            dropped = true;
        else
            kept.push_back(piece);
    }
    if (!dropped)
        return false;
    result = boost::algorithm::join(kept, LIST_SEPARATOR);
    return true;
}

// mynetworksReplacement - the loopback network plus a non-loopback first address.
std::string mynetworksReplacement(const char* firstIp)
{
    std::string replacement = "127.0.0.0/8";
    if (firstIp != nullptr && *firstIp != '\0' && std::string(firstIp).compare(0, 4, "127.") != 0)
        replacement += std::string(LIST_SEPARATOR) + firstIp + "/32";
    return replacement;
}

// normaliseMynetworks - value with the computed default replaced.
std::string normaliseMynetworks(const std::string& value, const std::string& defaults,
                                const std::string& replacement)
{
    // An empty default hides nothing: the value is kept as read.
    if (defaults.empty())
        return value;
    if (value == defaults)
        return replacement;
    std::string::size_type at = value.find(defaults);
    if (at == std::string::npos)
        return value;
    // Text before the default is kept; only the default itself is replaced.
    return value.substr(0, at) + replacement + value.substr(at + defaults.size());
}

} // namespace maincf

// getInstance - the process-wide instance, built on first use.
MainCfManager& MainCfManager::getInstance()
{
    static MainCfManager instance;
    return instance;
}

// MainCfManager - find main.cf from config_directory, falling back to its default.
MainCfManager::MainCfManager() : editDepth_(0)
{
    std::string directory;
    try {
        directory = getStringValue("config_directory", false);
    } catch (const PostfixConfigurationError&) {
        directory = getStringValue("config_directory", true);
    }
    if (directory.empty())
        throw PostfixConfigurationError("unable to determine Postfix config_directory parameter");
    mainCf_ = directory + "/main.cf";
}

// getStringValue - the value of name; mynetworks comes without the host-dependent default.
std::string MainCfManager::getStringValue(const std::string& name, bool defaults)
{
    std::string value = readValue(name, defaults);
    if (name != MYNETWORKS)
        return value;
    const std::string computed = readValue(MYNETWORKS, true);
    const std::string first = firstInterfaceAddress();
    return maincf::normaliseMynetworks(value, computed,
                                       maincf::mynetworksReplacement(first.c_str()));
}

// ~MainCfManager - out of line, where the lock type is complete.
MainCfManager::~MainCfManager() = default;

// EditLock - take the edit lock unless this process holds it already.
MainCfManager::EditLock::EditLock(MainCfManager& manager) : manager_(manager)
{
    // A second lock file descriptor of one process would wait for the first for ever.
    if (manager_.editDepth_ == 0)
        manager_.editLock_.reset(new MKLock(manager_.editLockPath()));
    ++manager_.editDepth_;
}

// ~EditLock - the outermost holder releases the lock.
MainCfManager::EditLock::~EditLock()
{
    if (--manager_.editDepth_ == 0)
        manager_.editLock_.reset();
}

// replaceStringValue - one "postconf -e name=value" run under the main.cf lock.
void MainCfManager::replaceStringValue(const std::string& name, const std::string& value)
{
    // Also a plain write waits for an edit in progress, which would write over it.
    EditLock edit(*this);
    PostconfRun run;
    {
        MKLock lock(mainCf_);
        run = runPostconf("-e", name + "=" + value);
    }
    if (!run.succeeded())
        throw run.failure();
}

// appendStringValue - add element unless present; mynetworks is written back regardless.
void MainCfManager::appendStringValue(const std::string& name, const std::string& element)
{
    EditLock edit(*this);
    const std::string value = getStringValue(name, false);
    if (maincf::listHas(value, element)) {
        // Stores the normalised form in place of the host-dependent default.
        if (name == MYNETWORKS)
            replaceStringValue(name, value);
        return;
    }
    replaceStringValue(name, value.empty() ? element : value + LIST_SEPARATOR + element);
}

// appendCompoundStringValue - add "keyword argument" unless present, normalising the list.
void MainCfManager::appendCompoundStringValue(const std::string& name, const std::string& keyword,
                                              const std::string& argument)
{
    EditLock edit(*this);
    std::string joined;
    if (maincf::compoundAppend(getStringValue(name, false), keyword + " " + argument, joined))
        replaceStringValue(name, joined);
}

// removeListElement - drop every occurrence of element; nothing is written when absent.
void MainCfManager::removeListElement(const std::string& name, const std::string& element)
{
    EditLock edit(*this);
    std::string joined;
    if (maincf::listRemove(getStringValue(name, false), element, joined))
        replaceStringValue(name, joined);
}

} // namespace postfix
} // namespace mail
} // namespace ostra
