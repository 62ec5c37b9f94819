// commands_attachment.cc - the attachment store commands: add, remove, list.
#include "mail/postfix/mxadmin_commands.h"

#include <iostream>
#include <string>

#include "mail/lib/attachments.h"
#include "mail/postfix/command_util.h"
#include "mail/postfix/options_helper.h"
#include "ostra/uerr.h"

namespace po = boost::program_options;

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

namespace {

// attachmentDomain - the domain-name option in its ASCII form, checked.
std::string attachmentDomain(const ProgramOptionsHelper& helper)
{
    return asciiDomainOption(helper);
}

} // namespace

// listAttachments - the --list-attachments command.
int listAttachments(int argc, char** argv)
{
    ProgramOptionsHelper helper("list attachments",
                                "--list-attachments [--in-blocks] [--fullname] "
                                "--domain-name=<domain_name> (--mailname=<mail_name>|--mail-all)");
    // clang-format off
    helper.addOptions()
        ("in-blocks", "report in blocks rather than bytes (false by default)")
        ("fullname", "report full attachment paths (false by default)")
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mail-all", "report attachments for all mailnames (false by default)")
        ("mailname", po::value<std::string>(), "mailname");
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    bool one = helper.variables.count("mailname") != 0;
    bool all = helper.variables.count("mail-all") != 0;
    if (one && all) {
        uerr << "you should not use --mailname and --mail-all together" << std::endl;
        helper.usage(1, std::cout);
    }
    if (!one && !all) {
        uerr << "neither --mailname nor --mail-all are specified" << std::endl;
        helper.usage(1, std::cout);
    }
    int inBlocks = helper.variables.count("in-blocks") != 0;
    int fullName = helper.variables.count("fullname") != 0;
    std::string domain = attachmentDomain(helper);
    int result = one ? list_attachments(stringOption(helper, "mailname").c_str(), domain.c_str(),
                                        inBlocks, fullName)
                     : list_all_attachments(domain.c_str(), inBlocks, fullName);
    return result == 0 ? 0 : 1;
}

// addAttachment - the --add-attachment command.
int addAttachment(int argc, char** argv)
{
    ProgramOptionsHelper helper("add an attachment",
                                "--add-attachment --domain-name=<domain_name> "
                                "--mailname=<mail_name> --file-name=<full_file_name> "
                                "--attachment-file-name=<attachment_file_name>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true)
        ("file-name", po::value<std::string>(), "uploaded file name", true)
        ("attachment-file-name", po::value<std::string>(), "attachment file name", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    std::string domain = attachmentDomain(helper);
    int result = add_attachment(stringOption(helper, "mailname").c_str(), domain.c_str(),
                                stringOption(helper, "file-name").c_str(),
                                stringOption(helper, "attachment-file-name").c_str());
    return result == 0 ? 0 : 1;
}

// removeAttachment - the --remove-attachment command.
int removeAttachment(int argc, char** argv)
{
    ProgramOptionsHelper helper("remove an attachment",
                                "--remove-attachment --domain-name=<domain_name> "
                                "--mailname=<mail_name> "
                                "--attachment-file-name=<attachment_file_name>");
    // clang-format off
    helper.addOptions()
        ("domain-name", po::value<std::string>(), "domain name", true)
        ("mailname", po::value<std::string>(), "mailname", true)
        ("attachment-file-name", po::value<std::string>(), "attachment file name", true);
    // clang-format on
    standardOptionsParse(helper, argc, argv);
    std::string domain = attachmentDomain(helper);
    int result = remove_attachment(stringOption(helper, "mailname").c_str(), domain.c_str(),
                                   stringOption(helper, "attachment-file-name").c_str());
    return result == 0 ? 0 : 1;
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra
