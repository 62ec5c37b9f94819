// hsp_conf_systest.cc - lookups in the real host configuration file location.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/hsp_conf.h"
#include "systest.h"

namespace {

// The process reads the file once, so the whole sequence is one test case.
TEST(HspConf, DefaultsWhileMissingThenReadOnceAndKept)
{
    ASSERT_NE(nullptr, getenv("SANDBOX")) << "changes /etc/hsp: run inside the sandbox only";
    unlink(HSP_CONF_PATH);

    EXPECT_EQ(nullptr, hspConfGet("OSTRA_MAILNAMES_D"));
    EXPECT_EQ(nullptr, hspConfGetByIndex(HSP_CONF_OSTRA_MAILNAMES_D));
    EXPECT_STREQ("/var/qmail/mailnames", hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D));
    EXPECT_STREQ("apache2", hspConfGetDefaultByIndex(HSP_CONF_HTTPD_SERVICE));

    // A failed read is tried again on the next lookup.
    mkdir("/etc/hsp", 0755);
    mxtest::writeFile(HSP_CONF_PATH, "# host paths\n"
                                     "OSTRA_MAILNAMES_D   /srv/mail   # mail homes\n"
                                     "HTTPD_SERVICE\thttpd#service\n"
                                     "BROKEN=1\n"
                                     "CUSTOM_D /opt/a b\n");
    EXPECT_STREQ("/srv/mail", hspConfGet("OSTRA_MAILNAMES_D"));
    EXPECT_STREQ("/srv/mail", hspConfGetByIndex(HSP_CONF_OSTRA_MAILNAMES_D));
    EXPECT_STREQ("/srv/mail", hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D));
    EXPECT_STREQ("httpd", hspConfGetDefaultByIndex(HSP_CONF_HTTPD_SERVICE));
    EXPECT_STREQ("/", hspConfGetDefaultByIndex(HSP_CONF_COURIER_IMAP_ROOT_D));
    EXPECT_EQ(nullptr, hspConfGetByIndex(HSP_CONF_COURIER_IMAP_ROOT_D));
    EXPECT_STREQ("/opt/a b", hspConfGet("CUSTOM_D"));
    EXPECT_EQ(nullptr, hspConfGet("BROKEN"));

    // Once read, the file is not read again in the same run.
    mxtest::writeFile(HSP_CONF_PATH, "OSTRA_MAILNAMES_D /elsewhere\nCUSTOM_D changed\n");
    EXPECT_STREQ("/srv/mail", hspConfGetDefaultByIndex(HSP_CONF_OSTRA_MAILNAMES_D));
    EXPECT_STREQ("/opt/a b", hspConfGet("CUSTOM_D"));
}

} // namespace
