// module_manager.cc - moving service entries between master.cf and the set-aside file.
#include "mail/postfix/module_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "mail/lib/fs_error.h"
#include "mail/postfix/maincf_manager.h"
#include "mail/postfix/postfix_errors.h"
#include "ostra/eintr.h"
#include "ostra/lock.h"
#include "ostra/tmpfile.h"
#include "process/fd_owner.h"

namespace ostra {
namespace mail {
namespace postfix {

const char ModuleManager::DISABLED_PATH[] = "/var/spool/postfix/ostra/master.cf.disabled";

namespace {

// The content filter every built-in smtpd hands mail to.
const char PROXY_FILTER[] = "-o smtpd_proxy_filter=127.0.0.1:10025";

// notLoaded - the error of any edit before the first load.
std::logic_error notLoaded()
{
    return std::logic_error("modules configuration isn't loaded yet");
}

// readWholeFile - the text of a regular file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& text)
{
    int fd = retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    FdOwner owner(fd);
    struct stat st;
    if (!owner.valid() || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    char buf[8192];
    for (;;) {
        ssize_t got = read(fd, buf, sizeof(buf));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text.append(buf, static_cast<size_t>(got));
    }
}

// configuredMasterCf - config_directory + "/master.cf".
std::string configuredMasterCf()
{
    std::string directory = MainCfManager::getInstance().getStringValue("config_directory", false);
    if (directory.empty())
        throw PostfixConfigurationError("unable to determine Postfix config_directory parameter");
    return directory + "/master.cf";
}

// exists - whether path names any kind of directory entry.
bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

// SmtpdModule - "smtp inet n - n - - smtpd" with the proxy filter.
SmtpdModule::SmtpdModule()
{
    name = "smtp";
    type = ModuleType::inet;
    isPrivate = false;
    command = {"smtpd", PROXY_FILTER};
}

// SmtpsdModule - the smtp service in TLS wrapper mode.
SmtpsdModule::SmtpsdModule()
{
    name = "smtps";
    type = ModuleType::inet;
    isPrivate = false;
    command = SmtpdModule().command;
    command.push_back("-o smtpd_tls_wrappermode=yes");
}

// SubmissionModule - smtpd for authenticated clients over TLS only.
SubmissionModule::SubmissionModule()
{
    name = "submission";
    type = ModuleType::inet;
    isPrivate = false;
    command = {"smtpd",
               "-o smtpd_enforce_tls=yes",
               "-o smtpd_tls_security_level=encrypt",
               "-o smtpd_sasl_auth_enable=yes",
               "-o smtpd_client_restrictions=permit_sasl_authenticated,reject",
               "-o smtpd_sender_restrictions=",
               PROXY_FILTER};
}

// getInstance - the process-wide instance on config_directory's master.cf.
ModuleManager& ModuleManager::getInstance()
{
    static ModuleManager instance(configuredMasterCf(), DISABLED_PATH);
    return instance;
}

// ModuleManager - nothing is loaded until loadModules.
ModuleManager::ModuleManager(const std::string& masterCf, const std::string& disabledPath,
                             bool runLock)
    : liveChanged_(false), disabledChanged_(false), masterCf_(masterCf),
      disabledPath_(disabledPath), lockRuns_(runLock)
{
}

// ~ModuleManager - out of line, where the lock type is complete; releases the run lock.
ModuleManager::~ModuleManager() = default;

// loadModules - master.cf must parse; the set-aside file is read only when present.
void ModuleManager::loadModules(bool force)
{
    if (live_ && !force)
        return;
    // A forced reload inside a held lock keeps it: one process never takes it twice.
    const bool locking = lockRuns_ && !runLock_;
    if (locking)
        runLock_.reset(new MKLock(runLockPath()));
    try {
        std::unique_ptr<MasterCfContent> live(new MasterCfContent);
        loadMasterCf(masterCf_, *live);
        live_ = std::move(live);
        if (exists(disabledPath_)) {
            std::unique_ptr<MasterCfContent> disabled(new MasterCfContent);
            loadMasterCf(disabledPath_, *disabled);
            disabled_ = std::move(disabled);
        }
    } catch (...) {
        if (locking)
            runLock_.reset();
        throw;
    }
    liveChanged_ = false;
    disabledChanged_ = false;
    movedAside_.clear();
    movedLive_.clear();
}

// storeModules - write the changed contents, then let other runs load.
bool ModuleManager::storeModules(bool force)
{
    requireLoaded();
    bool written;
    try {
        written = storeAll(force);
    } catch (...) {
        runLock_.reset();
        throw;
    }
    runLock_.reset();
    return written;
}

// storeAll - a file that gains an entry is renamed into place before the file
// that loses it, so a run killed between the renames leaves the entry in both
// (loading takes each file as it is; enabling or disabling again puts it right).
bool ModuleManager::storeAll(bool force)
{
    const bool live = liveChanged_ || force;
    bool aside = disabled_ && (disabledChanged_ || force);
    if (aside && !movedAside_.empty()) {
        if (!movedLive_.empty()) {
            // Entries went both ways: first a master.cf that has gained its entries
            // and still holds those going aside.
            MasterCfContent both;
            std::string text = live_->text();
            for (const ModuleKey& key : movedAside_)
                text += disabled_->getModule(key.first, key.second).second + "\n";
            if (!parseMasterCf(text, both))
                throw PostfixConfigurationError("unable to parse " + masterCf_);
            storeMasterCf(masterCf_, both);
        }
        storeMasterCf(disabledPath_, *disabled_);
        disabledChanged_ = false;
        aside = false;
    }
    if (live) {
        storeMasterCf(masterCf_, *live_);
        liveChanged_ = false;
    }
    if (aside) {
        storeMasterCf(disabledPath_, *disabled_);
        disabledChanged_ = false;
    }
    movedAside_.clear();
    movedLive_.clear();
    return live;
}

// addModule - the formatted entry goes where enabled says and leaves the other content.
void ModuleManager::addModule(const ModuleInfo& info, bool enabled)
{
    requireLoaded();
    const std::string text = formatModule(info);
    const ModuleKey key(info.name, info.type);
    if (enabled) {
        live_->addModule(info, text);
        liveChanged_ = true;
        if (disabled_ && disabled_->removeModule(info.name, info.type)) {
            disabledChanged_ = true;
            noteMove(movedLive_, movedAside_, key);
        }
    } else {
        disabledContent().addModule(info, text);
        disabledChanged_ = true;
        if (live_->removeModule(info.name, info.type)) {
            liveChanged_ = true;
            noteMove(movedAside_, movedLive_, key);
        }
    }
}

// enableModule - move a set-aside entry to the end of master.cf.
bool ModuleManager::enableModule(const std::string& name, ModuleType type)
{
    requireLoaded();
    if (live_->hasModule(name, type))
        return true;
    if (!disabled_ || !disabled_->hasModule(name, type))
        throw std::out_of_range("no such module " + name);
    MasterCfContent::ModuleRef entry = disabled_->getModule(name, type);
    live_->addModule(entry.first, entry.second);
    disabled_->removeModule(name, type);
    liveChanged_ = true;
    disabledChanged_ = true;
    noteMove(movedLive_, movedAside_, ModuleKey(name, type));
    return true;
}

// disableModule - move a live entry, text and all, to the set-aside content.
bool ModuleManager::disableModule(const std::string& name, ModuleType type)
{
    requireLoaded();
    if (!live_->hasModule(name, type))
        return false;
    MasterCfContent::ModuleRef entry = live_->getModule(name, type);
    disabledContent().addModule(entry.first, entry.second);
    live_->removeModule(name, type);
    liveChanged_ = true;
    disabledChanged_ = true;
    noteMove(movedAside_, movedLive_, ModuleKey(name, type));
    return true;
}

// hasModule - look live, set aside, or in either.
bool ModuleManager::hasModule(const std::string& name, ModuleType type,
                              boost::logic::tribool where) const
{
    requireLoaded();
    const bool live = live_->hasModule(name, type);
    const bool aside = disabled_ && disabled_->hasModule(name, type);
    if (boost::logic::indeterminate(where))
        return live || aside;
    return where ? live : aside;
}

// getModule - record and text from the chosen content.
MasterCfContent::ModuleRef ModuleManager::getModule(const std::string& name, ModuleType type,
                                                    boost::logic::tribool where) const
{
    requireLoaded();
    const MasterCfContent* from;
    if (boost::logic::indeterminate(where))
        from = live_->hasModule(name, type) ? live_.get() : disabled_.get();
    else
        from = where ? live_.get() : disabled_.get();
    if (from == nullptr)
        throw std::out_of_range("no such module " + name);
    return from->getModule(name, type);
}

// removeModule - drop the entry from both contents.
void ModuleManager::removeModule(const std::string& name, ModuleType type)
{
    requireLoaded();
    if (live_->removeModule(name, type))
        liveChanged_ = true;
    if (disabled_ && disabled_->removeModule(name, type))
        disabledChanged_ = true;
    // Gone from both: no order of the writes can lose it.
    movedAside_.erase(ModuleKey(name, type));
    movedLive_.erase(ModuleKey(name, type));
}

// loadMasterCf - the whole file must be a readable regular file the grammar accepts.
void ModuleManager::loadMasterCf(const std::string& path, MasterCfContent& content)
{
    std::string text;
    if (!readWholeFile(path, text))
        throw PostfixConfigurationError("unable to open " + path);
    if (!parseMasterCf(text, content))
        throw PostfixConfigurationError("unable to parse " + path);
}

// storeMasterCf - lock, write a temporary file beside the target, chmod 0644, rename.
void ModuleManager::storeMasterCf(const std::string& path, const MasterCfContent& content)
{
    MKLock lock(path);
    TmpFile tmp(path, true);
    tmp.exceptions(std::ios_base::badbit | std::ios_base::failbit);
    for (const std::string& line : content.lines())
        tmp << line << '\n' << std::flush;
    if (chmod(tmp.path().c_str(), 0644) != 0)
        throw FSError("chmod", tmp.path(), errno);
    tmp.close();
    tmp.autoclean = false;
    if (rename(tmp.path().c_str(), path.c_str()) != 0) {
        const int saved = errno;
        unlink(tmp.path().c_str());
        throw FSError(("rename to " + path).c_str(), tmp.path(), saved);
    }
}

// requireLoaded - edits need a loaded live content.
void ModuleManager::requireLoaded() const
{
    if (!live_)
        throw notLoaded();
}

// noteMove - record a move, or forget one that this move undoes.
void ModuleManager::noteMove(std::set<ModuleKey>& to, std::set<ModuleKey>& back,
                             const ModuleKey& key)
{
    if (back.erase(key) == 0)
        to.insert(key);
}

// disabledContent - the set-aside content, created empty on first need.
MasterCfContent& ModuleManager::disabledContent()
{
    if (!disabled_)
        disabled_.reset(new MasterCfContent);
    return *disabled_;
}

} // namespace postfix
} // namespace mail
} // namespace ostra
