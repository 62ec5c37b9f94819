// ifaceinfo_systest.cc - the interface list in the sandbox's own network namespace.
#include "mail/postfix/ifaceinfo.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "systest.h"

namespace {

struct Interface {
    std::string name, ip, mask, mac;
    bool operator==(const Interface& o) const
    {
        return name == o.name && ip == o.ip && mask == o.mask && mac == o.mac;
    }
};

std::ostream& operator<<(std::ostream& out, const Interface& i)
{
    return out << i.name << " " << i.ip << " " << i.mask << " [" << i.mac << "]";
}

// interfaces - the list up to its zeroed record, checking in_addr against the text.
std::vector<Interface> interfaces()
{
    std::vector<Interface> out;
    struct ifaceinfo* list = get_ifaceinfo();
    EXPECT_NE(nullptr, list);
    if (list == nullptr)
        return out;
    for (struct ifaceinfo* i = list; i->name[0] != '\0'; ++i) {
        struct in_addr addr;
        addr.s_addr = i->in_addr;
        EXPECT_EQ(std::string(i->ip), inet_ntoa(addr)) << i->name;
        out.push_back(Interface{i->name, i->ip, i->mask, i->mac});
    }
    free_ifaceinfo(list);
    return out;
}

class IfaceinfoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* sandbox = std::getenv("SANDBOX");
        ASSERT_TRUE(sandbox && std::string(sandbox) == "1")
            << "this test adds interfaces; run it through tests/support/sandbox.sh";
    }
};

TEST_F(IfaceinfoTest, LoopbackAlone)
{
    EXPECT_EQ((std::vector<Interface>{{"lo", "127.0.0.1", "255.0.0.0", "00:00:00:00:00:00"}}),
              interfaces());
}

TEST_F(IfaceinfoTest, KernelOrderHardwareAddressAndAliases)
{
    ASSERT_EQ(0, mxtest::run("ip link add v0 type veth peer name v1 && "
                             "ip addr add 192.0.2.10/24 dev v0 && "
                             "ip addr add 198.51.100.7/16 dev v0 label v0:1")
                     .status);
    // /sys shows the host's namespace; ask ip for the veth end's address.
    const std::string mac =
        mxtest::run("ip -o link show v0 | sed 's|.*link/ether \\([^ ]*\\).*|\\1|' | tr -d '\\n'")
            .out;
    ASSERT_EQ(17u, mac.size()) << mac;
    EXPECT_EQ((std::vector<Interface>{{"lo", "127.0.0.1", "255.0.0.0", "00:00:00:00:00:00"},
                                      {"v0", "192.0.2.10", "255.255.255.0", mac},
                                      {"v0:1", "198.51.100.7", "255.255.0.0", ""}}),
              interfaces());
}

TEST_F(IfaceinfoTest, ManyInterfacesOutgrowTheFirstBuffer)
{
    // Each entry takes 40 bytes: twenty of them need several doublings from 64 bytes.
    ASSERT_EQ(0, mxtest::run("ip link add v0 type veth peer name v1 && for i in $(seq 1 20); do "
                             "ip addr add 10.0.0.$i/32 dev v0 label v0:$i || exit 1; done")
                     .status);
    std::vector<Interface> list = interfaces();
    ASSERT_EQ(21u, list.size());
    EXPECT_EQ("v0:20", list.back().name);
    EXPECT_EQ("10.0.0.20", list.back().ip);
    EXPECT_EQ("255.255.255.255", list.back().mask);
}

} // namespace
