// mailname_manager.cc - mail names in the lookup tables, mail homes and ".qmail".
#include "mail/postfix/mailname_manager.h"

#include <functional>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "mail/lib/dotqmail.h"
#include "mail/lib/maildirpp_manager.h"
#include "mail/postfix/domain_manager.h"
#include "mail/postfix/record_filters.h"
#include "ostra/uerr.h"

namespace ostra {
namespace mail {
namespace postfix {

const char MailnameManager::doubleErrorHead[] = "CRITICAL ERROR: Unable to properly restore ";
const char MailnameManager::doubleErrorTail[] =
    " used by Ostra.\n"
    "Mail system may be not usable at the moment and it cannot be repaired automatically.\n"
    "Constact Veltronix support to resolve this issue.";
const char MailnameManager::virtualTableName[] = "Postfix Virtual Aliases Database";
const char MailnameManager::vmailboxTableName[] = "Postfix Virtual Mailboxes Database";

namespace {

using database::ElementsFilter;
using database::KeyValueFilter;
using database::ReplaceElementFilterRef;

// MailboxKeys - which of a rename's two addresses the mailbox table held before it.
struct MailboxKeys {
    bool oldSeen = false;
    bool newSeen = false;
};

// WatchedKeyRename - the rename of a key, noting the key it found.
class WatchedKeyRename {
public:
    // Both strings and keys must outlive the filter.
    WatchedKeyRename(const std::string& from, const std::string& to, MailboxKeys& keys)
        : rename_(from, to), from_(from), to_(to), keys_(&keys)
    {
    }
    bool operator()(std::string& key) const
    {
        if (key == from_)
            keys_->oldSeen = true;
        else if (key == to_)
            keys_->newSeen = true;
        return rename_(key);
    }

private:
    ReplaceElementFilterRef rename_;
    const std::string& from_;
    const std::string& to_;
    MailboxKeys* keys_;
};

typedef KeyValueFilter<WatchedKeyRename, ReplaceElementFilterRef> MailboxRenameFilter;
typedef ElementsFilter<ReplaceElementFilterRef> AddressRenameFilter;

// address - local "@" domain.
std::string address(const std::string& local, const std::string& domain)
{
    return local + "@" + domain;
}

// mailboxPath - the "vmailbox" value: relative mail home / "Maildir" / .
std::string mailboxPath(const std::string& domain, const std::string& mailname)
{
    boost::filesystem::path home(
        MaildirManager::getInstance().getMailnameRelativeHome(domain, mailname));
    return (home / "Maildir").string() + "/";
}

// dotQmail - the ".qmail" file of a mail home.
DotQMailManager dotQmail(const std::string& domain, const std::string& mailname)
{
    boost::filesystem::path home(MaildirManager::getInstance().getMailnameHome(domain, mailname));
    return DotQMailManager((home / ".qmail").string());
}

// renameMailboxes - rewrite "vmailbox": the key from -> to, a whole value fromPath -> toPath;
// keys tells which of the two keys the table held.
MailboxKeys renameMailboxes(const std::string& from, const std::string& to,
                            const std::string& fromPath, const std::string& toPath)
{
    MailboxKeys keys;
    DatabaseHelper::filterRecords(tables::VMAILBOX,
                                  MailboxRenameFilter(WatchedKeyRename(from, to, keys),
                                                      ReplaceElementFilterRef(fromPath, toPath)));
    return keys;
}

// renameAddresses - rewrite "virtual": every key and list element from -> to.
void renameAddresses(const std::string& from, const std::string& to)
{
    DatabaseHelper::filterRecords(tables::VIRTUAL,
                                  AddressRenameFilter(ReplaceElementFilterRef(from, to)));
}

// homeRenamedBefore - whether an earlier run of this very rename, killed later on, already
// moved the mail home: the old home is gone and the new one is there.
bool homeRenamedBefore(const MailboxKeys& keys, const std::string& domain,
                       const std::string& oldMailname, const std::string& newMailname)
{
    // Only the new name in the mailbox table tells that run from a rename onto a taken name,
    // which must still fail; renaming a name found nowhere looks alike and changes nothing.
    if (keys.oldSeen || !keys.newSeen)
        return false;
    MaildirManager& maildirs = MaildirManager::getInstance();
    // The error code is set for a missing path too; the status type tells it from other errors.
    boost::system::error_code error;
    const boost::filesystem::file_status oldHome =
        boost::filesystem::symlink_status(maildirs.getMailnameHome(domain, oldMailname), error);
    const boost::filesystem::file_status newHome =
        boost::filesystem::symlink_status(maildirs.getMailnameHome(domain, newMailname), error);
    return oldHome.type() == boost::filesystem::file_not_found &&
           newHome.type() == boost::filesystem::directory_file;
}

// RollBacks - the undo steps of a rename, run newest first when a later step fails.
class RollBacks {
public:
    // arm - remember how to restore the table named tableName.
    void arm(const char* tableName, std::function<void()> undo)
    {
        steps_.push_back(Step{tableName, std::move(undo)});
    }
    // disarm - the rename went through; nothing to undo.
    void disarm() { steps_.clear(); }
    // run - undo in reverse order; a failed undo is reported and the rest still run.
    void run() noexcept
    {
        for (std::vector<Step>::reverse_iterator it = steps_.rbegin(); it != steps_.rend(); ++it) {
            try {
                it->undo();
            } catch (...) {
                uerr << MailnameManager::doubleErrorHead << it->tableName
                     << MailnameManager::doubleErrorTail << std::endl;
            }
        }
        steps_.clear();
    }

private:
    struct Step {
        const char* tableName;
        std::function<void()> undo;
    };
    std::vector<Step> steps_;
};

} // namespace

// MailnameManager::createMailname - home, ".qmail", quota, then the records.
void MailnameManager::createMailname(const std::string& domain, const std::string& mailname,
                                     std::optional<long long> quota)
{
    MaildirManager::getInstance().createMailnameHome(domain, mailname);
    dotQmail(domain, mailname).reset();
    if (quota)
        MaildirPPManager::getInstance().setMailboxQuota(domain, mailname, *quota);
    else
        MaildirPPManager::getInstance().removeMailboxQuota(domain, mailname);
    BatchDatabaseHelper batch;
    createMailnameRecord(batch, domain, mailname);
}

// MailnameManager::createMailnameRecord - mailbox, then m@d and m@D -> m@d in one call.
void MailnameManager::createMailnameRecord(BatchDatabaseHelper& batch, const std::string& domain,
                                           const std::string& mailname)
{
    const std::string target = address(mailname, domain);
    batch.addChange(tables::VMAILBOX, target, mailboxPath(domain, mailname));

    RecordVector records;
    records.push_back(Record(target, target));
    for (const std::string& alias : panelDomainAliases(domain))
        records.push_back(Record(address(mailname, alias), target));
    batch.addChanges(tables::VIRTUAL, records);
}

// MailnameManager::createMailAlias - a@d and a@D -> m@d in one call.
void MailnameManager::createMailAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                      const std::string& mailname, const std::string& alias)
{
    const std::string target = address(mailname, domain);
    RecordVector records;
    records.push_back(Record(address(alias, domain), target));
    for (const std::string& aliasDomain : panelDomainAliases(domain))
        records.push_back(Record(address(alias, aliasDomain), target));
    batch.addChanges(tables::VIRTUAL, records);
}

// MailnameManager::createMailAlias - the same with a batch of its own.
void MailnameManager::createMailAlias(const std::string& domain, const std::string& mailname,
                                      const std::string& alias)
{
    BatchDatabaseHelper batch;
    createMailAlias(batch, domain, mailname, alias);
}

// MailnameManager::removeMailAlias - a@d, then a@D for each alias domain, one run each.
void MailnameManager::removeMailAlias(const std::string& domain, const std::string&,
                                      const std::string& alias)
{
    DatabaseHelper::removeRecord(tables::VIRTUAL, address(alias, domain));
    for (const std::string& aliasDomain : panelDomainAliases(domain))
        DatabaseHelper::removeRecord(tables::VIRTUAL, address(alias, aliasDomain));
}

// MailnameManager::removeMailname - mailbox, alias-domain addresses, own address, then home.
void MailnameManager::removeMailname(const std::string& domain, const std::string& mailname,
                                     OnRemoval mode)
{
    const std::string own = address(mailname, domain);
    DatabaseHelper::removeRecord(tables::VMAILBOX, own);
    for (const std::string& aliasDomain : panelDomainAliases(domain))
        DatabaseHelper::removeRecord(tables::VIRTUAL, address(mailname, aliasDomain));
    DatabaseHelper::removeRecord(tables::VIRTUAL, own);

    switch (mode) {
    case OnRemovalRemove:
        // Best effort; whatever could not be deleted is set aside below.
        try {
            MaildirManager::getInstance().removeMailnameHome(domain, mailname);
        } catch (const std::exception&) {
        }
        MaildirManager::getInstance().backupMailnameHome(domain, mailname);
        break;
    case OnRemovalBackup:
        MaildirManager::getInstance().backupMailnameHome(domain, mailname);
        break;
    case OnRemovalKeep:
        break;
    }
}

// MailnameManager::renameMailname - both tables, then the home; tables restored on failure.
void MailnameManager::renameMailname(const std::string& domain, const std::string& oldMailname,
                                     const std::string& newMailname)
{
    const std::string oldAddress = address(oldMailname, domain);
    const std::string newAddress = address(newMailname, domain);
    const std::string oldPath = mailboxPath(domain, oldMailname);
    const std::string newPath = mailboxPath(domain, newMailname);

    const MailboxKeys keys = renameMailboxes(oldAddress, newAddress, oldPath, newPath);
    RollBacks rollBacks;
    rollBacks.arm(vmailboxTableName,
                  [&] { renameMailboxes(newAddress, oldAddress, newPath, oldPath); });
    try {
        renameAddresses(oldAddress, newAddress);
        rollBacks.arm(virtualTableName, [&] { renameAddresses(newAddress, oldAddress); });
        // A rerun after a kill finishes the job instead of undoing the tables.
        if (!homeRenamedBefore(keys, domain, oldMailname, newMailname))
            MaildirManager::getInstance().renameMailnameHome(domain, oldMailname, newMailname);
    } catch (...) {
        rollBacks.run();
        throw;
    }
    rollBacks.disarm();
}

// MailnameManager::renameMailnameOnDomainAlias - old@alias -> new@alias in "virtual".
void MailnameManager::renameMailnameOnDomainAlias(const std::string& alias,
                                                  const std::string& oldMailname,
                                                  const std::string& newMailname)
{
    renameAddresses(address(oldMailname, alias), address(newMailname, alias));
}

// MailnameManager::enableDelivery - mailbox delivery on in ".qmail".
void MailnameManager::enableDelivery(const std::string& domain, const std::string& mailname)
{
    dotQmail(domain, mailname).enableDelivery();
}

// MailnameManager::disableDelivery - mailbox delivery off in ".qmail".
void MailnameManager::disableDelivery(const std::string& domain, const std::string& mailname)
{
    dotQmail(domain, mailname).disableDelivery();
}

// MailnameManager::addForward - forward to address, at the end of ".qmail".
void MailnameManager::addForward(const std::string& domain, const std::string& mailname,
                                 const std::string& address)
{
    dotQmail(domain, mailname).addRedirect(address, DotQMailManager::End);
}

// MailnameManager::removeForward - no forward to address in ".qmail".
void MailnameManager::removeForward(const std::string& domain, const std::string& mailname,
                                    const std::string& address)
{
    dotQmail(domain, mailname).removeRedirect(address);
}

} // namespace postfix
} // namespace mail
} // namespace ostra
