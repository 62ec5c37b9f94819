/* ifaceinfo.h - the host's IPv4 network interfaces, as the kernel lists them. */
#ifndef MAIL_POSTFIX_IFACEINFO_H
#define MAIL_POSTFIX_IFACEINFO_H

#include <stdint.h>

/* ifaceinfo - one interface; a record whose name is empty ends the list. */
struct ifaceinfo {
    char name[32];
    uint32_t in_addr; /* network byte order */
    char ip[40];      /* dotted quad */
    char mask[40];    /* dotted quad; 255.255.255.255 when unknown */
    char mac[32];     /* xx:xx:xx:xx:xx:xx; empty for an alias (name with ":") */
};

/* get_ifaceinfo - a newly allocated list (free_ifaceinfo), or null after logging. */
struct ifaceinfo* get_ifaceinfo(void);

/* free_ifaceinfo - release a list from get_ifaceinfo; null is allowed. */
void free_ifaceinfo(struct ifaceinfo* list);

#endif
