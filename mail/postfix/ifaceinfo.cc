/* ifaceinfo.cc - the host's IPv4 interfaces from SIOCGIFCONF, with netmask and hardware address. */
#include "mail/postfix/ifaceinfo.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ostra/eintr.h"
#include "ostra/log.h"

namespace {

const int LOG_ERROR = 3;

/* ioctl_retry - ioctl, retried while interrupted. */
int ioctl_retry(int fd, unsigned long request, void* arg)
{
    return ostra::retry_eintr([&] { return ioctl(fd, request, arg); });
}

/* query_ifconf - the kernel's interface list in a buffer doubled from 64 bytes until it
 * fits; null after logging. The caller frees the buffer. */
char* query_ifconf(int sock, int* length)
{
    for (int size = 64;; size *= 2) {
        char* buf = (char*)malloc(size);
        if (buf == NULL) {
            ostra_log(LOG_ERROR, "unable to query SIOCGIFCONF: %s\n", strerror(ENOMEM));
            return NULL;
        }
        struct ifconf ifc;
        ifc.ifc_len = size;
        ifc.ifc_buf = buf;
        if (ioctl_retry(sock, SIOCGIFCONF, &ifc) < 0) {
            ostra_log(LOG_ERROR, "unable to query SIOCGIFCONF: %s\n", strerror(errno));
            free(buf);
            return NULL;
        }
        /* The kernel stores whole entries only: without room left for one more,
         * the answer may have been cut short, so ask again with more room. */
        if (size - ifc.ifc_len >= (int)sizeof(struct ifreq)) {
            *length = ifc.ifc_len;
            return buf;
        }
        free(buf);
    }
}

/* fill_mask - the interface's netmask, or 255.255.255.255 when it cannot be read. */
void fill_mask(int sock, const struct ifreq* req, struct ifaceinfo* info)
{
    struct ifreq query = *req;
    const char* text = NULL;
    if (ioctl_retry(sock, SIOCGIFNETMASK, &query) == 0) {
        struct sockaddr_in* mask = (struct sockaddr_in*)&query.ifr_netmask;
        text = inet_ntop(AF_INET, &mask->sin_addr, info->mask, sizeof(info->mask));
    }
    if (text == NULL)
        snprintf(info->mask, sizeof(info->mask), "%s", "255.255.255.255");
}

/* fill_mac - the hardware address; empty for an alias, zeros when it cannot be read. */
void fill_mac(int sock, const struct ifreq* req, struct ifaceinfo* info)
{
    if (strchr(info->name, ':') != NULL) {
        info->mac[0] = '\0';
        return;
    }
    unsigned char hw[6] = {0, 0, 0, 0, 0, 0};
    struct ifreq query = *req;
    if (ioctl_retry(sock, SIOCGIFHWADDR, &query) == 0)
        memcpy(hw, query.ifr_hwaddr.sa_data, sizeof(hw));
    else
        ostra_log(LOG_ERROR, "Can't get Mac-addr with SIOCGIFHWADDR\n");
    snprintf(info->mac, sizeof(info->mac), "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2],
             hw[3], hw[4], hw[5]);
}

} // namespace

/* get_ifaceinfo - one record per interface in kernel order, then a zeroed record. */
struct ifaceinfo* get_ifaceinfo(void)
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        ostra_log(LOG_ERROR, "Can't create socket: %s\n", strerror(errno));
        return NULL;
    }
    int length = 0;
    char* buf = query_ifconf(sock, &length);
    if (buf == NULL) {
        close(sock);
        return NULL;
    }
    int count = length / (int)sizeof(struct ifreq);
    struct ifaceinfo* list = (struct ifaceinfo*)calloc(count + 1, sizeof(struct ifaceinfo));
    if (list == NULL) {
        ostra_log(LOG_ERROR, "Can't allocate ifaceinfo buffer from %d elements\n", count + 1);
        free(buf);
        close(sock);
        return NULL;
    }
    const struct ifreq* reqs = (const struct ifreq*)buf;
    for (int i = 0; i < count; i++) {
        struct ifaceinfo* info = &list[i];
        snprintf(info->name, sizeof(info->name), "%s", reqs[i].ifr_name);
        const struct sockaddr_in* addr = (const struct sockaddr_in*)&reqs[i].ifr_addr;
        info->in_addr = addr->sin_addr.s_addr;
        if (inet_ntop(AF_INET, &addr->sin_addr, info->ip, sizeof(info->ip)) == NULL)
            info->ip[0] = '\0';
        fill_mask(sock, &reqs[i], info);
        fill_mac(sock, &reqs[i], info);
    }
    free(buf);
    close(sock);
    return list;
}

/* free_ifaceinfo - release a list from get_ifaceinfo. */
void free_ifaceinfo(struct ifaceinfo* list)
{
    free(list);
}
