// commands_handler.cc - the mail handler commands: add, update, remove,
// enable, disable and check handlers of one template for one or more type
// values, or the template's single global handler.
#include "mail/postfix/mxadmin_commands.h"

#include <stdlib.h>

#include <iostream>
#include <string>
#include <vector>

#include "mail/handlers/lib/handlers.h"
#include "mail/lib/string_list.h"
#include "mail/postfix/command_util.h"
#include "mail/postfix/options_helper.h"
#include "ostra/idn.h"
#include "ostra/log.h"
#include "ostra/uerr.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

const char* const TYPE_HELP =
    "handler type (global|sender|recipient|sender-domain|recipient-domain)";
const char* const HOOK_HELP = "hook point (before-queue|before-local|before-remote)";
const char* const COMMON_SYNOPSIS =
    " --handler-name=<name> "
    "--handler-type=(global|sender|recipient|sender-domain|recipient-domain) "
    "[--handler-type-name=<mailname>]";
const char* const HOOK_SYNOPSIS = " --hook=(before-queue|before-local|before-remote)";

// CStrOwner - a malloc()ed string of the handler store, freed at scope exit.
struct CStrOwner {
    explicit CStrOwner(char* s) : s(s) {}
    ~CStrOwner() { free(s); }
    CStrOwner(const CStrOwner&) = delete;
    CStrOwner& operator=(const CStrOwner&) = delete;
    char* s;
};

// HandlerCommand - the parsed options of one handler command.
class HandlerCommand {
public:
    // HandlerCommand - declare the options (full: add and update) and parse argv.
    HandlerCommand(const std::string& title, const std::string& synopsis, bool full, int argc,
                   char** argv)
        : helper_(title, synopsis)
    {
        // clang-format off
        OptionAppender add = helper_.addOptions();
        add("handler-name", po::value<std::string>(), "handler name", true)
           ("handler-type", po::value<std::string>(), TYPE_HELP, true)
           ("handler-type-name", po::value<std::string>(), "handler type name");
        if (full)
            add("executable", po::value<std::string>(), "executable", true)
               ("context", po::value<std::string>(), "context", true);
        add("hook", po::value<std::string>(), HOOK_HELP, true);
        if (full)
            add("priority", po::value<std::string>(), "handler priority", true);
        // clang-format on
        standardOptionsParse(helper_, argc, argv);
        name = value("handler-name");
        givenType = value("handler-type");
        hook = value("hook");
        global = givenType == "global";
        // The store compares stored types exactly, and stores the table's form.
        const char* canonical = handler_type_canonical(givenType.c_str());
        type = canonical != nullptr ? canonical : givenType;
        if (helper_.variables.count("handler-type-name"))
            typeName = value("handler-type-name");
        else if (!global)
            throw MissingMandatoryOption("handler-type-name");
        hasTypeName = helper_.variables.count("handler-type-name") != 0;
        // Domain type values become queue directory names and are matched
        // as domains: each must be one, though it is stored as given.
        if (hasTypeName && (type == "sender-domain" || type == "recipient-domain"))
            for (const std::string& domain : listItems(typeName, ", "))
                checkDomainName(idn::toAscii(domain));
    }

    // value - a string option's value, empty when absent.
    std::string value(const char* option) const
    {
        return helper_.variables.count(option) ? helper_.variables[option].as<std::string>()
                                               : std::string();
    }

    // typeValues - the type values list: split at runs of commas and blanks.
    std::vector<std::string> typeValues() const
    {
        StringList pieces(string_split(typeName.c_str(), ", "));
        std::vector<std::string> values;
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (*pieces.at(i) != '\0')
                values.push_back(pieces.at(i));
        }
        // An empty list would make the command succeed without doing anything.
        if (values.empty()) {
            uerr << "no value in --handler-type-name" << std::endl;
            helper_.usage(1, std::cout);
        }
        return values;
    }

    // find - the handler of one type value, with the warning when there is none.
    char* find(const std::string& typeValue) const
    {
        char* found = get_handler_name(name.c_str(), type.c_str(), typeValue.c_str(), hook.c_str());
        if (found == nullptr)
            ostra_log(4, "Handler %s for %s %s does not exist in queue %s", name.c_str(),
                      givenType.c_str(), typeValue.c_str(), hook.c_str());
        return found;
    }

    std::string name;
    std::string givenType;
    std::string type;
    std::string typeName;
    std::string hook;
    bool global = false;
    bool hasTypeName = false;

private:
    ProgramOptionsHelper helper_;
};

// fullSynopsis - the synopsis of the add and update commands.
std::string fullSynopsis(const char* command)
{
    return std::string(command) + COMMON_SYNOPSIS + " --executable=<handler> --context=<context>" +
           HOOK_SYNOPSIS + " --priority=<number>";
}

// shortSynopsis - the synopsis of the other commands.
std::string shortSynopsis(const char* command)
{
    return std::string(command) + COMMON_SYNOPSIS + HOOK_SYNOPSIS;
}

// applyAction - enable, disable or remove one handler; the store's result.
int applyAction(const char* handler, int action)
{
    if (action == HOOK_DELETE)
        return mail_handler_remove(handler);
    return control_handler_queue(handler, nullptr, action);
}

// switchHandler - the shared body of enable, disable and remove.
int switchHandler(const char* title, const char* command, int action, int argc, char** argv)
{
    HandlerCommand cmd(title, shortSynopsis(command), false, argc, argv);
    if (cmd.global) {
        CStrOwner found(
            get_handler_name(cmd.name.c_str(), cmd.type.c_str(), nullptr, cmd.hook.c_str()));
        if (found.s == nullptr)
            return action == HOOK_ENABLE ? 1 : 0;
        return applyAction(found.s, action) != 0 ? 1 : 0;
    }
    if (cmd.typeName == "all")
        return mass_control_handler_queue(cmd.name.c_str(), action) != 0 ? 1 : 0;
    int status = 0;
    for (const std::string& typeValue : cmd.typeValues()) {
        CStrOwner found(cmd.find(typeValue));
        if (found.s != nullptr && applyAction(found.s, action) != 0)
            status = 1;
    }
    return status;
}

} // namespace

// addHandler - the --add-handler command.
int addHandler(int argc, char** argv)
{
    HandlerCommand cmd("add a mail-handler", fullSynopsis("--add-handler"), true, argc, argv);
    std::string executable = cmd.value("executable");
    std::string context = cmd.value("context");
    std::string priority = cmd.value("priority");
    if (cmd.global)
        return mail_handler_add(cmd.name.c_str(), cmd.type.c_str(), nullptr, executable.c_str(),
                                context.c_str(), cmd.hook.c_str(), priority.c_str(),
                                HOOK_ENABLE) != 0
                   ? 1
                   : 0;
    int status = 0;
    for (const std::string& typeValue : cmd.typeValues()) {
        CStrOwner found(get_handler_name(cmd.name.c_str(), cmd.type.c_str(), typeValue.c_str(),
                                         cmd.hook.c_str()));
        if (found.s != nullptr)
            continue;
        if (mail_handler_add(cmd.name.c_str(), cmd.type.c_str(), typeValue.c_str(),
                             executable.c_str(), context.c_str(), cmd.hook.c_str(),
                             priority.c_str(), HOOK_ENABLE) != 0)
            status = 1;
    }
    return status;
}

// updateHandler - the --update-handler command.
int updateHandler(int argc, char** argv)
{
    HandlerCommand cmd("update a given mail-handler", fullSynopsis("--update-handler"), true, argc,
                       argv);
    std::string executable = cmd.value("executable");
    std::string context = cmd.value("context");
    std::string priority = cmd.value("priority");
    if (cmd.global)
        return mail_handler_update(cmd.name.c_str(), cmd.type.c_str(), nullptr, executable.c_str(),
                                   context.c_str(), cmd.hook.c_str(), priority.c_str()) != 0
                   ? 1
                   : 0;
    int status = 0;
    for (const std::string& typeValue : cmd.typeValues()) {
        CStrOwner found(cmd.find(typeValue));
        if (found.s == nullptr)
            continue;
        if (mail_handler_update(cmd.name.c_str(), cmd.type.c_str(), typeValue.c_str(),
                                executable.c_str(), context.c_str(), cmd.hook.c_str(),
                                priority.c_str()) != 0)
            status = 1;
    }
    return status;
}

// removeHandler - the --remove-handler command.
int removeHandler(int argc, char** argv)
{
    return switchHandler("remove a mail-handler", "--remove-handler", HOOK_DELETE, argc, argv);
}

// disableHandler - the --disable-handler command.
int disableHandler(int argc, char** argv)
{
    return switchHandler("disable a mail-handler", "--disable-handler", HOOK_DISABLE, argc, argv);
}

// enableHandler - the --enable-handler command.
int enableHandler(int argc, char** argv)
{
    return switchHandler("enable a mail-handler", "--enable-handler", HOOK_ENABLE, argc, argv);
}

// checkHandler - the --check-handler command: exit status 1 when the handler
// exists, 0 when it does not.
int checkHandler(int argc, char** argv)
{
    HandlerCommand cmd("check a mail-handler", shortSynopsis("--check-handler"), false, argc, argv);
    CStrOwner found(get_handler_name(cmd.name.c_str(), cmd.type.c_str(),
                                     cmd.hasTypeName ? cmd.typeName.c_str() : nullptr,
                                     cmd.hook.c_str()));
    return found.s != nullptr ? 1 : 0;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
