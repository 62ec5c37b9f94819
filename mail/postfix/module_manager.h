// module_manager.h - master.cf services and the file of services set aside.
#ifndef MAIL_POSTFIX_MODULE_MANAGER_H
#define MAIL_POSTFIX_MODULE_MANAGER_H

#include <memory>
#include <set>
#include <string>

#include <boost/logic/tribool.hpp>

#include "mail/postfix/mastercf.h"

namespace ostra {

class MKLock;

namespace mail {
namespace postfix {

// SmtpdModule - the built-in "smtp" service, handing mail to the proxy filter.
struct SmtpdModule : ModuleInfo {
    SmtpdModule();
};

// SmtpsdModule - the built-in "smtps" service: smtp in TLS wrapper mode.
struct SmtpsdModule : ModuleInfo {
    SmtpsdModule();
};

// SubmissionModule - the built-in "submission" service for authenticated clients.
struct SubmissionModule : ModuleInfo {
    SubmissionModule();
};

// ModuleManager - the live master.cf and the set-aside services, edited in memory
// between one load and one store. Disabling moves an entry's exact text aside;
// enabling moves it back. From a load to the end of the next store the manager
// holds the run lock, so that another run cannot store between them and have
// its change written over by this run's older copy.
class ModuleManager {
public:
    // The set-aside file of disabled services.
    static const char DISABLED_PATH[];

    // getInstance - the process-wide instance on config_directory's master.cf.
    static ModuleManager& getInstance();

    // A manager of masterCf and disabledPath; nothing is loaded yet. Without
    // runLock (only for files no other run shares) no lock is taken on load.
    // Two managers of one master.cf must not be loaded in one process at once:
    // the second would wait for the first's run lock for ever.
    ModuleManager(const std::string& masterCf, const std::string& disabledPath,
                  bool runLock = true);
    ~ModuleManager();
    ModuleManager(const ModuleManager&) = delete;
    ModuleManager& operator=(const ModuleManager&) = delete;

    // loadModules - take the run lock, read master.cf and, when it exists, the
    // set-aside file; nothing when already loaded unless force.
    void loadModules(bool force = false);
    // storeModules - write what changed (everything with force), the file that gained
    // an entry first, then release the run lock; true when master.cf was written.
    bool storeModules(bool force = false);

    // addModule - add or replace the built entry live (enabled) or set aside, removing it
    // from the other content.
    void addModule(const ModuleInfo& info, bool enabled);
    // enableModule - move an entry back to master.cf; true when it is live now;
    // std::out_of_range "no such module <name>" when it is nowhere.
    bool enableModule(const std::string& name, ModuleType type);
    // disableModule - move a live entry aside; false when it was not live.
    bool disableModule(const std::string& name, ModuleType type);
    // hasModule - true: live; false: set aside; indeterminate: either.
    bool hasModule(const std::string& name, ModuleType type,
                   boost::logic::tribool where = boost::logic::indeterminate) const;
    // getModule - record and text from where hasModule looks (live first for indeterminate);
    // std::out_of_range "no such module <name>".
    MasterCfContent::ModuleRef
    getModule(const std::string& name, ModuleType type,
              boost::logic::tribool where = boost::logic::indeterminate) const;
    // removeModule - remove the entry from both contents.
    void removeModule(const std::string& name, ModuleType type);

    // loadMasterCf - parse one file into content; PostfixConfigurationError
    // "unable to open <path>" or "unable to parse <path>".
    static void loadMasterCf(const std::string& path, MasterCfContent& content);
    // storeMasterCf - write one file under its lock through a renamed temporary file, mode 0644.
    static void storeMasterCf(const std::string& path, const MasterCfContent& content);

    const std::string& masterCfPath() const { return masterCf_; }
    const std::string& disabledPath() const { return disabledPath_; }
    // runLockPath - the key of the run lock; the file locks of the two files are
    // taken inside it, never the other way round.
    std::string runLockPath() const { return masterCf_ + ".edit"; }

private:
    // requireLoaded - std::logic_error unless loadModules has succeeded.
    void requireLoaded() const;
    // disabledContent - the set-aside content, created empty when there is none.
    MasterCfContent& disabledContent();
    // noteMove - key went the way of to; a move back the way of back cancels out.
    static void noteMove(std::set<ModuleKey>& to, std::set<ModuleKey>& back, const ModuleKey& key);
    // storeAll - the writes of storeModules, in the order that never leaves a moved
    // entry in neither file.
    bool storeAll(bool force);

    std::unique_ptr<MasterCfContent> live_;
    std::unique_ptr<MasterCfContent> disabled_;
    bool liveChanged_;
    bool disabledChanged_;
    std::string masterCf_;
    std::string disabledPath_;
    bool lockRuns_;
    std::unique_ptr<MKLock> runLock_; // held from a load to the end of a store
    // Entries moved since the load: live to set aside, and set aside to live.
    std::set<ModuleKey> movedAside_, movedLive_;
};

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
