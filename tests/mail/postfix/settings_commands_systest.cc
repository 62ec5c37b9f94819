// settings_commands_systest.cc - the server-wide settings commands as the
// panel runs them: main.cf read back with the real postconf, the black list
// with the real postmap, Courier files edited, and stand-in init scripts of
// Postfix and Courier-IMAP recording the reloads and restarts.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "systest.h"

namespace {

const std::string MAIN_CF = "/etc/postfix/main.cf";
const std::string COURIER_DIR = "/etc/courier-imap/";
const char* const COURIER_FILES[] = {"imapd", "imapd-ssl", "pop3d", "pop3d-ssl"};
const std::string POSTFIX_CALLS = "/tmp/postfix.calls";
const std::string COURIER_CALLS = "/tmp/courier.calls";
const std::string COURIER_SCRIPT = "/etc/init.d/courier-imap";
const std::string BLACKLISTS = "hash:/var/spool/postfix/ostra/blacklists";

const std::string NO_RELAY = "check_client_access pcre:/var/spool/postfix/ostra/no_relay.re";
const std::string POPLOCK = "hash:/var/spool/postfix/ostra/poplock";
const std::string NOT_SUPPORTED = "Fatal error: ostra::NotSupportedError(short account-format "
                                  "is not supported for Postfix isn't supported)\n";

class SettingsCommandsSysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "system tests write fixed paths; run them through tests/support/sandbox.sh";
        ASSERT_EQ(0, mxtest::run("rm -rf " + COURIER_DIR + " " + POSTFIX_CALLS + " " +
                                 COURIER_CALLS + " /etc/hsp")
                         .status);
        mxtest::makeDirs("/var/spool/postfix/ostra");
        mxtest::installScript("/etc/init.d/postfix", "echo \"$1\" >>" + POSTFIX_CALLS + "\n");
        installCourier(0);
        useMainCf("");
        mxtest::makeDirs(COURIER_DIR);
        writeCourier("");
    }

    // useMainCf - main.cf with exactly text, old enough for postconf not to pause.
    static void useMainCf(const std::string& text)
    {
        mxtest::writeFile(MAIN_CF, text);
        mxtest::backdate(MAIN_CF);
    }
    static void installCourier(int status)
    {
        mxtest::installScript(COURIER_SCRIPT, "echo \"$1\" >>" + COURIER_CALLS + "\nexit " +
                                                  std::to_string(status) + "\n");
    }
    static void writeCourier(const std::string& text)
    {
        for (const char* f : COURIER_FILES)
            mxtest::writeFile(COURIER_DIR + f, text);
    }
    // expectCourier - every Courier file holds text.
    static void expectCourier(const std::string& text)
    {
        for (const char* f : COURIER_FILES)
            EXPECT_EQ(text, mxtest::readFile(COURIER_DIR + f)) << f;
    }
    static std::string calls(const std::string& path)
    {
        return mxtest::fileExists(path) ? mxtest::readFile(path) : "";
    }

    // mx - run the program; main.cf is back-dated afterwards so that the
    // read-backs and the next command do not wait for it to cool down.
    static mxtest::RunResult mx(const std::string& args)
    {
        mxtest::RunResult r = mxtest::mxadmin(args);
        mxtest::backdate(MAIN_CF);
        return r;
    }
    // ok - run a command that must succeed quietly.
    static void ok(const std::string& args)
    {
        const mxtest::RunResult r = mx(args);
        EXPECT_EQ(0, r.status) << args << "\n" << r.err;
        EXPECT_EQ("", r.out) << args;
    }
};

TEST_F(SettingsCommandsSysTest, SetMailParamsWithoutOptionsClosesRelayAndDropsPoplock)
{
    useMainCf("mynetworks = 127.0.0.0/8, " + POPLOCK +
              ", 10.0.0.0/8\n"
              "smtpd_sasl_auth_enable = yes\n"
              "smtpd_recipient_restrictions = permit_sasl_authenticated, permit_mynetworks, "
              "reject\n");
    writeCourier("RELAYCLIENT=\nPOPAUTH=1\nSHORTNAMES=1\nPOPLOCK_TIME=600\n");
    ok("--set-mail-params");
    EXPECT_EQ("no", mxtest::postconf("smtpd_sasl_auth_enable"));
    EXPECT_EQ("permit_mynetworks, " + NO_RELAY + ", reject_unauth_destination",
              mxtest::postconf("smtpd_recipient_restrictions"));
    EXPECT_EQ("127.0.0.0/8, 10.0.0.0/8", mxtest::postconf("mynetworks"));
    expectCourier("POPLOCK_TIME=600\n");
    EXPECT_EQ("restart\n", calls(COURIER_CALLS));
    EXPECT_EQ("reload\n", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, SetMailParamsWithSmtpAndPopAuthTwice)
{
    for (int run = 0; run < 2; ++run) {
        ok("--set-mail-params --smtpauth --popauth --poplock-time=300");
        EXPECT_EQ("yes", mxtest::postconf("smtpd_sasl_auth_enable"));
        EXPECT_EQ("permit_mynetworks, " + NO_RELAY +
                      ", permit_sasl_authenticated, reject_unauth_destination",
                  mxtest::postconf("smtpd_recipient_restrictions"));
        // Postfix's computed default gives way to the loopback network.
        EXPECT_EQ("127.0.0.0/8, " + POPLOCK, mxtest::postconf("mynetworks")) << "run " << run;
        expectCourier("POPAUTH=1\nPOPLOCK_TIME=300\n");
    }
    EXPECT_EQ("restart\nrestart\n", calls(COURIER_CALLS));
    EXPECT_EQ("reload\nreload\n", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, SetMailParamsOpenRelayLeavesAuthenticationAlone)
{
    const std::string networks = "127.0.0.0/8, " + POPLOCK;
    useMainCf("mynetworks = " + networks + "\nsmtpd_sasl_auth_enable = yes\n");
    ok("--set-mail-params --relayclient --smtpauth");
    EXPECT_EQ("permit, " + NO_RELAY + ", reject", mxtest::postconf("smtpd_recipient_restrictions"));
    EXPECT_EQ("yes", mxtest::postconf("smtpd_sasl_auth_enable"));
    EXPECT_EQ(networks, mxtest::postconf("mynetworks"));
    expectCourier("RELAYCLIENT=\n");
}

TEST_F(SettingsCommandsSysTest, SetMailParamsRefusesShortNamesBeforeChangingAnything)
{
    writeCourier("SHORTNAMES=1\n");
    const mxtest::RunResult r = mx("--set-mail-params --relayclient --shortnames");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(NOT_SUPPORTED, r.err);
    EXPECT_EQ("", mxtest::readFile(MAIN_CF));
    expectCourier("SHORTNAMES=1\n");
    EXPECT_EQ("", calls(COURIER_CALLS));
    EXPECT_EQ("", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, SetMailParamsStopsWhenCourierCannotRestart)
{
    ASSERT_EQ(0, std::remove(COURIER_SCRIPT.c_str()));
    const mxtest::RunResult r = mx("--set-mail-params --smtpauth");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Unable to find start/stop script for 'courier-imap'"))
        << r.err;
    // The Courier files were already edited; Postfix is not touched.
    expectCourier("");
    EXPECT_EQ("", mxtest::readFile(MAIN_CF));
    EXPECT_EQ("", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, HostConfigurationMovesCourierRootAndCanSuppressRestarts)
{
    mxtest::makeDirs("/etc/hsp");
    mxtest::writeFile("/etc/hsp/hsp.conf",
                      "COURIER_IMAP_ROOT_D /srv/courier\nNO_RESTART_DAEMON 1\n");
    mxtest::makeDirs("/srv/courier/etc/courier-imap");
    for (const char* f : COURIER_FILES)
        mxtest::writeFile("/srv/courier/etc/courier-imap/" + std::string(f), "SHORTNAMES=1\n");
    writeCourier("SHORTNAMES=1\n");
    ok("--set-accounts-format --account-format=compound");
    for (const char* f : COURIER_FILES)
        EXPECT_EQ("", mxtest::readFile("/srv/courier/etc/courier-imap/" + std::string(f))) << f;
    expectCourier("SHORTNAMES=1\n");
    EXPECT_EQ("", calls(COURIER_CALLS));
}

TEST_F(SettingsCommandsSysTest, AccountsFormat)
{
    writeCourier("SHORTNAMES=1\nPOPAUTH=1\n");
    ok("--set-accounts-format --account-format=compound");
    expectCourier("POPAUTH=1\n");
    EXPECT_EQ("restart\n", calls(COURIER_CALLS));

    mxtest::RunResult r = mx("--set-accounts-format --account-format=both");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(NOT_SUPPORTED, r.err);

    r = mx("--set-accounts-format --account-format=Compound");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("the argument ('Compound') for option '--account-format' is invalid\n", r.err);
    EXPECT_NE(std::string::npos, r.out.find("Usage: --set-accounts-format")) << r.out;

    // The Courier routine's -1 is the exit status.
    installCourier(1);
    r = mx("--set-accounts-format --account-format=compound");
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("restart\nrestart\n", calls(COURIER_CALLS));
    EXPECT_EQ("", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, WhiteList)
{
    useMainCf("mynetworks = 127.0.0.1/8, 10.0.0.0/8\n");
    ok("--add-whitelist --ip-address=192.0.2.0 --netmask=24");
    ok("--add-whitelist --ip-address 192.0.2.0 --netmask 24");
    ok("--add-whitelist --ip-address=198.51.100.7 --netmask=32");
    EXPECT_EQ("127.0.0.1/8, 10.0.0.0/8, 192.0.2.0/24, 198.51.100.7/32",
              mxtest::postconf("mynetworks"));

    ok("--remove-whitelist --ip-address=10.0.0.0 --netmask=8");
    EXPECT_EQ("127.0.0.1/8, 192.0.2.0/24, 198.51.100.7/32", mxtest::postconf("mynetworks"));
    const std::string before = mxtest::readFile(MAIN_CF);
    ok("--remove-whitelist --ip-address=127.0.0.1 --netmask=8");
    EXPECT_EQ(before, mxtest::readFile(MAIN_CF)) << "loopback networks stay";
    EXPECT_EQ("reload\nreload\nreload\nreload\nreload\n", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, WhiteListOptionErrorsChangeNothing)
{
    const struct {
        const char* args;
        const char* error;
        int status;
    } cases[] = {
        {"--add-whitelist --ip-address=10.0.0.0 --netmask=33",
         "the argument ('33') for option '--netmask' is invalid\n", 1},
        {"--remove-whitelist --ip-address=10.0.0.0 --netmask=-1",
         "the argument ('-1') for option '--netmask' is invalid\n", 1},
        {"--add-whitelist --ip-address=10.0.0.0",
         "mandatory option \"--netmask\" is not specified\n", 1},
        {"--add-whitelist --ip-address=10.0.0.0 --netmask=8 --netmask=8",
         "option '--netmask' cannot be specified more than once\n", 1},
        {"--add-whitelist --ip-address=10.0.0.0 --netmask=eight",
         "Fatal error: boost::wrapexcept<boost::bad_lexical_cast>(bad lexical cast: source type "
         "value could not be interpreted as target)\n",
         1},
    };
    for (const auto& c : cases) {
        const mxtest::RunResult r = mx(c.args);
        EXPECT_EQ(c.status, r.status) << c.args;
        EXPECT_EQ(c.error, r.err) << c.args;
    }
    EXPECT_EQ("", mxtest::readFile(MAIN_CF));
    EXPECT_EQ("", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, MapsProtection)
{
    useMainCf("smtpd_client_restrictions = permit_mynetworks, reject_rbl_client old.example.org,"
              " reject_unknown_reverse_client_hostname\n");
    ok("--set-maps-protection --maps-zones=zen.example.org,bl.example.net");
    EXPECT_EQ("permit_mynetworks, reject_unknown_reverse_client_hostname, "
              "reject_rbl_client zen.example.org, reject_rbl_client bl.example.net",
              mxtest::postconf("smtpd_client_restrictions"));
    ok("--set-maps-protection --maps-zones=a.example --maps-zones=" +
       mxtest::shellQuote("b.example\tc.example, d.example"));
    EXPECT_EQ("permit_mynetworks, reject_unknown_reverse_client_hostname, "
              "reject_rbl_client a.example, reject_rbl_client b.example, "
              "reject_rbl_client c.example, reject_rbl_client d.example",
              mxtest::postconf("smtpd_client_restrictions"));
    ok("--set-maps-protection");
    EXPECT_EQ("permit_mynetworks, reject_unknown_reverse_client_hostname",
              mxtest::postconf("smtpd_client_restrictions"));
    EXPECT_EQ("reload\nreload\nreload\n", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, LetterAndMailboxSizes)
{
    useMainCf("mailbox_size_limit = 51200000\nmessage_size_limit = 1000\n");
    mxtest::RunResult r = mx("--get-max-letter-size");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("1000\n", r.out);
    EXPECT_EQ("51200000\n", mx("--get-mailbox-size-limit").out);

    ok("--set-max-letter-size --size=2048");
    EXPECT_EQ("2048\n", mx("--get-max-letter-size").out);
    ok("--set-max-letter-size --size=0");
    EXPECT_EQ("51200000", mxtest::postconf("message_size_limit"));
    ok("--set-max-letter-size --size=-5");
    EXPECT_EQ("-5", mxtest::postconf("message_size_limit"));
    EXPECT_EQ("reload\nreload\nreload\n", calls(POSTFIX_CALLS));

    r = mx("--set-max-letter-size --size=10M");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("the argument ('10M') for option '--size' is invalid\n", r.err);
    r = mx("--set-max-letter-size");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("mandatory option \"--size\" is not specified\n", r.err);
    EXPECT_EQ("-5", mxtest::postconf("message_size_limit"));
    EXPECT_EQ("reload\nreload\nreload\n", calls(POSTFIX_CALLS));
}

TEST_F(SettingsCommandsSysTest, NonNumericLimitIsAConversionError)
{
    useMainCf("message_size_limit = 10M\n");
    const mxtest::RunResult r = mx("--get-max-letter-size");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out.substr(0, r.out.find("Fatal error")));
    EXPECT_NE(std::string::npos,
              r.err.find("Fatal error: boost::wrapexcept<boost::bad_lexical_cast>"))
        << r.err;
}

TEST_F(SettingsCommandsSysTest, BlackList)
{
    ok("--add-badmailfrom --domain-name=Spam.Example.COM");
    ok("--add-badmailfrom --domain-name=bücher.example");
    EXPECT_EQ((std::map<std::string, std::string>{{"spam.example.com", "REJECT"},
                                                  {"xn--bcher-kva.example", "REJECT"}}),
              mxtest::postmapDump(BLACKLISTS));
    ok("--remove-badmailfrom --domain-name=bücher.example");
    ok("--remove-badmailfrom --domain-name=never-listed.example");
    EXPECT_EQ((std::map<std::string, std::string>{{"spam.example.com", "REJECT"}}),
              mxtest::postmapDump(BLACKLISTS));
    EXPECT_EQ("", calls(POSTFIX_CALLS)) << "the black list needs no reload";
    EXPECT_EQ("", mxtest::readFile(MAIN_CF));

    const mxtest::RunResult r = mx("--add-badmailfrom");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("mandatory option \"--domain-name\" is not specified\n", r.err);
}

TEST_F(SettingsCommandsSysTest, FeaturesReport)
{
    const std::string expected = "$features['MailName_SetName'] = true;\n"
                                 "$features['MailName_SetDomain'] = true;\n"
                                 "$features['MailName_Quota'] = true;\n"
                                 "$features['MailName_SetQuota'] = true;\n"
                                 "$features['MailName_Size'] = true;\n"
                                 "$features['MailName_Password'] = true;\n"
                                 "$features['MailName_SetPassword'] = true;\n"
                                 "$features['MailName_Postbox'] = true;\n"
                                 "$features['MailName_SetPostbox'] = true;\n"
                                 "$features['MailName_Forward'] = true;\n"
                                 "$features['MailName_MultiForward'] = true;\n"
                                 "$features['MailName_SetForward'] = true;\n"
                                 "$features['MailName_AutoResponder'] = true;\n"
                                 "$features['MailName_SetAutoResponder'] = true;\n"
                                 "$features['MailName_Aliases'] = true;\n"
                                 "$features['Domain_SetName'] = true;\n"
                                 "$features['Domain_Enable'] = true;\n"
                                 "$features['Domain_SetEnable'] = true;\n"
                                 "$features['Domain_Quota'] = true;\n"
                                 "$features['Domain_SetQuota'] = true;\n"
                                 "$features['Domain_Bounce'] = true;\n"
                                 "$features['Domain_SetBounce'] = true;\n"
                                 "$features['Domain_Catch'] = true;\n"
                                 "$features['Domain_SetCatch'] = true;\n"
                                 "$features['Domain_Reject'] = true;\n"
                                 "$features['Common_BadMail'] = true;\n"
                                 "$features['Common_MaxLetterSize'] = true;\n"
                                 "$features['Common_SetMaxLetterSize'] = true;\n"
                                 "$features['Relay'] = true;\n"
                                 "$features['Relay_Set'] = true;\n"
                                 "$features['Relay_Open'] = true;\n"
                                 "$features['Relay_Closed'] = true;\n"
                                 "$features['Relay_AuthorizationIsRequired'] = true;\n"
                                 "$features['Relay_AuthType_None'] = true;\n"
                                 "$features['Relay_AuthType_POP3_SMTP'] = true;\n"
                                 "$features['Relay_AuthType_POP3'] = false;\n"
                                 "$features['Relay_AuthType_SMTP'] = true;\n"
                                 "$features['Relay_POP3_LockTime'] = true;\n"
                                 "$features['Relay_WhiteList'] = true;\n"
                                 "$features['Relay_WhiteList_Mask'] = true;\n"
                                 "$features['Relay_BlackList'] = true;\n"
                                 "$features['Relay_WhiteList_BlackList'] = true;\n"
                                 "$features['MapsProtection'] = true;\n"
                                 "$features['SetMapsProtection'] = true;\n"
                                 "$features['AccountsFormat_Simple'] = false;\n"
                                 "$features['AccountsFormat_Compound'] = true;\n"
                                 "$features['AccountsFormat_Both'] = false;\n"
                                 "$features['AccountsFormat_Set'] = true;\n"
                                 "$features['Mail_Send'] = true;\n"
                                 "$features['Mail_Attachments'] = true;\n"
                                 "$features['Mail_Forward'] = true;\n"
                                 "$features['SMTP_Server'] = \"Postfix\";\n"
                                 "$features['IMAP_POP3_Server'] = \"Courier-IMAP\";\n"
                                 "$features['SMTP_Server_package'] = \"postfix\";\n"
                                 "$features['IMAP_POP3_Server_package'] = \"courier-imap\";\n"
                                 "$features['Message_Submission'] = true;\n"
                                 "$features['Message_Submission_all_IP'] = true;\n"
                                 "$features['Message_Submission_Dedicated_IP'] = false;\n";
    const mxtest::RunResult r = mx("--features");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(expected, r.out);
}

TEST_F(SettingsCommandsSysTest, EveryCommandHasItsOwnHelp)
{
    const struct {
        const char* command;
        const char* head;
    } cases[] = {
        {"--set-mail-params",
         "set mail server parameters\nUsage: --set-mail-params [--relayclient] [--smtpauth] "
         "[--popauth] [--poplock-time=<time_in_seconds>] [--shortnames]\n"},
        {"--set-max-letter-size",
         "set maximal letter size\nUsage: --set-max-letter-size --size=<size_in_bytes>\n"},
        {"--add-whitelist", "add a network to whitelist\nUsage: --add-whitelist "
                            "--ip-address=<ip_address> --netmask=<netmask>\n"},
        {"--remove-whitelist", "remove a network from whitelist\nUsage: --remove-whitelist "
                               "--ip-address=<ip_address> --netmask=<netmask>\n"},
        {"--set-maps-protection", "set MAPS protection\nUsage: --set-maps-protection "
                                  "[--maps-zones=<zone1,zone2,...,zoneN>]\n"},
        {"--add-badmailfrom",
         "add a badmailfrom\nUsage: --add-badmailfrom --domain-name=<domain>\n"},
        {"--remove-badmailfrom",
         "remove a badmailfrom\nUsage: --remove-badmailfrom --domain-name=<domain>\n"},
        {"--set-accounts-format",
         "set accounts format\nUsage: --set-accounts-format --account-format=\"compound\"\n"},
        {"--update-spf", "update SPF rules\nUsage: --update-spf [--spf-behavior=spf_behavior] "
                         "[--spf-rules=spf_rules] [--spf-guess=spf_guess] [--spf-exp=<spf_exp>]\n"},
    };
    for (const auto& c : cases) {
        const mxtest::RunResult r = mxtest::mxadmin(std::string(c.command) + " --help");
        EXPECT_EQ(0, r.status) << c.command;
        EXPECT_EQ(c.head, r.out.substr(0, std::string(c.head).size())) << c.command;
    }
    const std::string params = mxtest::mxadmin("--set-mail-params -h").out;
    EXPECT_NE(std::string::npos,
              params.find("--poplock-time arg (=-1) POP3 authorization validity"))
        << params;
    EXPECT_NE(std::string::npos, mxtest::mxadmin("--set-accounts-format -h")
                                     .out.find("Accounts format (currently only compound "
                                               "supported) \n                        (mandatory)"));
}

} // namespace
