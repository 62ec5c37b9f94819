// dispatch_test.cc - the command table: every word bound to its handler, and
// what the dispatcher does before it hands over.
#include "mail/postfix/dispatch.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <stdexcept>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mail/lib/mail_auth_db.h"
#include "mail/postfix/mxadmin_commands.h"

using namespace ostra::mail::postfix::mxadmin_commands;

namespace {

// Every word the program accepts and the handler it must reach.
const CommandMap expectedTable = {
    {"--add-mailname", addMailname},
    {"--remove-mailname", removeMailname},
    {"--rename-mailname", renameMailname},
    {"--add-mailbox", addMailbox},
    {"--remove-mailbox", removeMailbox},
    {"--get-mailbox-size", getMailboxSize},
    {"--set-password", setPassword},
    {"--set-mailbox-disk-quota", setMailboxDiskQuota},
    {"--add-redirect", addRedirect},
    {"--remove-redirect", removeRedirect},
    {"--set-autoresponder", addAutoresponder},
    {"--reset-autoresponder", removeAutoresponder},
    {"--add-alias", addAlias},
    {"--remove-alias", removeAlias},
    {"--add-domain", addDomain},
    {"--remove-domain", removeDomain},
    {"--turn-on-domain", enableDomain},
    {"--turn-off-domain", disableDomain},
    {"--set-domain-disk-quota", setDomainDiskQuota},
    {"--add-badmailfrom", addBadMailFrom},
    {"--remove-badmailfrom", removeBadMailFrom},
    {"--set-bounce", setBounce},
    {"--set-catchall", setCatchAll},
    {"--set-reject", setReject},
    {"--unset-reject", removeReject},
    {"--add-whitelist", addWhiteList},
    {"--remove-whitelist", removeWhiteList},
    {"--set-maps-protection", setMapsProtection},
    {"--set-accounts-format", setAccountsFormat},
    {"--features", printFeatures},
    {"--set-max-letter-size", setMaxLetterSize},
    {"--get-max-letter-size", getMaxLetterSize},
    {"--get-mailbox-size-limit", getMailboxLimit},
    {"--list-attachments", listAttachments},
    {"--add-attachment", addAttachment},
    {"--remove-attachment", removeAttachment},
    {"--update-spf", updateSPF},
    {"--add-domain-alias", addDomainAlias},
    {"--del-domain-alias", removeDomainAlias},
    {"--rename-domain-alias", renameDomainAlias},
    {"--add-handler", addHandler},
    {"--update-handler", updateHandler},
    {"--remove-handler", removeHandler},
    {"--disable-handler", disableHandler},
    {"--enable-handler", enableHandler},
    {"--check-handler", checkHandler},
    {"--set-domain-key", setDomainKey},
    {"--remove-domain-key", removeDomainKey},
    {"--set-mail-params", setMailParams},
    {"--start-service", startService},
    {"--stop-service", stopService},
    {"--restart-service", restartService},
    {"--reload-service", reloadService},
    {"--status-service", statusService},
    {"-p", startSMTPD},
    {"--start-smtpd", startSMTPD},
    {"-o", stopSMTPD},
    {"--stop-smtpd", stopSMTPD},
    {"-r", restartSMTPD},
    {"--restart-smtpd", restartSMTPD},
    {"-s", statusMTA},
    {"--status-smtpd", statusMTA},
    {"-l", startMTA},
    {"--start-qmail-send", startMTA},
    {"-m", stopMTA},
    {"--stop-qmail-send", stopMTA},
    {"-i", startIMAP},
    {"--start-maild", startIMAP},
    {"-t", stopIMAP},
    {"--stop-maild", stopIMAP},
    {"-z", restartIMAP},
    {"--restart-maild", restartIMAP},
    {"-e", statusIMAP},
    {"--status-maild", statusIMAP},
    {"-a", enableSubmission},
    {"--enable-message-submission", enableSubmission},
    {"-b", disableSubmission},
    {"--disable-message-submission", disableSubmission},
    {"--help-commands", usageCommandsCmd},
    {"--help-legacy", usageLegacyCmd},
    {"-h", usageShortCmd},
    {"--help", usageShortCmd},
};

TEST(CommandTable, BindsEveryWordToItsHandler)
{
    CommandMap table = commandTable();
    EXPECT_EQ(82u, table.size());
    for (const auto& entry : expectedTable) {
        auto found = table.find(entry.first);
        ASSERT_NE(table.end(), found) << entry.first;
        EXPECT_EQ(entry.second, found->second) << entry.first;
    }
    for (const auto& entry : table)
        EXPECT_EQ(1u, expectedTable.count(entry.first)) << "unexpected word " << entry.first;
}

TEST(CommandTable, NoCaseFoldingOrAbbreviation)
{
    CommandMap table = commandTable();
    for (const char* word : {"--ADD-DOMAIN", "--add-dom", "add-domain", "--add-domain ", "-S", "-H",
                             "--help-command", "-", "--", ""})
        EXPECT_EQ(0u, table.count(word)) << word;
}

TEST(CommandMapAssigner, LaterRegistrationReplacesEarlier)
{
    CommandMapAssigner builder;
    CommandMapAssigner& same = builder("--x", addDomain)("--y", removeDomain)("--x", setReject);
    EXPECT_EQ(&builder, &same);
    ASSERT_EQ(2u, builder.table().size());
    EXPECT_EQ(&setReject, builder.table().at("--x"));
    EXPECT_EQ(&removeDomain, builder.table().at("--y"));
}

// pathAfterDispatch - the auth database path a child sees after dispatching a failing command.
std::string pathAfterDispatch(const char* word, const char* option)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    std::cout.flush();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        mailAuthDBSelectStyle(MAIL_AUTH_DB_QMAIL_STYLE);
        char a0[] = "mxadmin";
        std::string w(word), o(option);
        char* argv[] = {a0, &w[0], &o[0], nullptr};
        try {
            do_main(3, argv);
        } catch (const std::exception&) {
        }
        const char* path = mailAuthDBPath();
        ssize_t ignored = write(fds[1], path, strlen(path));
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) != 0) {
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return got;
}

TEST(Dispatch, SelectsThePostfixAuthDatabaseBeforeTheHandler)
{
    // --shortnames makes the command fail before it touches anything.
    EXPECT_EQ("/var/spool/postfix/ostra/passwd.db",
              pathAfterDispatch("--set-mail-params", "--shortnames"));
}

} // namespace
