// mail_auth_read.h - reading the mail authentication database whole, for the
// comparison with the panel database, and registering a domain row alone.
#ifndef MAIL_LIB_MAIL_AUTH_READ_H
#define MAIL_LIB_MAIL_AUTH_READ_H

#include <string>
#include <vector>

#include "mail/lib/auth_db_frame.h"

namespace ostra {
namespace mail {

// AuthDomain - a domain row: its name and status (0 enabled, 1 disabled).
struct AuthDomain {
    std::string name;
    int status;
};

// AuthUser - a user row; absent passwords read as "-" would be ambiguous, so
// each password column says whether it is NULL.
struct AuthUser {
    std::string name;
    bool hasClear;
    std::string clear;
    bool hasCrypted;
    std::string crypted;
    int status;

    bool operator==(const AuthUser& o) const
    {
        return name == o.name && hasClear == o.hasClear && clear == o.clear &&
               hasCrypted == o.hasCrypted && crypted == o.crypted && status == o.status;
    }
};

// AuthReader - one read-only connection for many lookups.
class AuthReader {
public:
    // open - the database named by the mailAuthDB setting; 0, or -1 after logging.
    int open();
    // domains - every domain row; 0, or -1 after logging.
    int domains(std::vector<AuthDomain>& out);
    // users - the users of a domain sorted by name (none when the domain has
    //         no row); 0, or -1 after logging.
    int users(const std::string& domain, std::vector<AuthUser>& out);

private:
    authdb::Database db_;
};

} // namespace mail
} // namespace ostra

// mailAuthSetDomain - the domain's row with the given status, registered when
//                     absent (mailAuthSet registers domains only with a user);
//                     0, or -1 after logging.
int mailAuthSetDomain(const char* domain, int status);

#endif
