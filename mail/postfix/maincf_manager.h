// maincf_manager.h - reading and editing main.cf parameters through postconf.
#ifndef MAIL_POSTFIX_MAINCF_MANAGER_H
#define MAIL_POSTFIX_MAINCF_MANAGER_H

#include <memory>
#include <string>

namespace ostra {

class MKLock;

namespace mail {
namespace postfix {

// MainCfManager - the only way the program reads or changes a main.cf parameter.
// Failures are PostfixConfigurationError with postconf's own error text.
class MainCfManager {
public:
    // getInstance - the process-wide instance, built on first use.
    static MainCfManager& getInstance();

    // getStringValue - the parameter's value (or built-in default), trimmed.
    std::string getStringValue(const std::string& name, bool defaults = false);
    // replaceStringValue - set the parameter to exactly value, under the main.cf lock.
    void replaceStringValue(const std::string& name, const std::string& value);
    // appendStringValue - add element to the list unless it is already there.
    void appendStringValue(const std::string& name, const std::string& element);
    // appendCompoundStringValue - add "keyword argument" to the list unless already there.
    void appendCompoundStringValue(const std::string& name, const std::string& keyword,
                                   const std::string& argument);
    // removeListElement - remove every occurrence of element from the list.
    void removeListElement(const std::string& name, const std::string& element);

    // mainCfPath - config_directory + "/main.cf", the key of the write lock.
    const std::string& mainCfPath() const { return mainCf_; }
    // editLockPath - the key of the lock that spans a whole edit, from its read to its write.
    std::string editLockPath() const { return mainCf_ + ".edit"; }

    // EditLock - the edit lock for its lifetime, so that concurrent runs cannot
    // slip a write between a read and the write built on it. Nests: only the
    // outermost holder in the process takes the lock file. Taken before the
    // main.cf write lock, never after it.
    class EditLock {
    public:
        explicit EditLock(MainCfManager& manager);
        ~EditLock();
        EditLock(const EditLock&) = delete;
        EditLock& operator=(const EditLock&) = delete;

    private:
        MainCfManager& manager_;
    };

private:
    MainCfManager();
    ~MainCfManager();
    MainCfManager(const MainCfManager&) = delete;
    MainCfManager& operator=(const MainCfManager&) = delete;

    std::string mainCf_;
    std::unique_ptr<MKLock> editLock_; // held while editDepth_ > 0
    int editDepth_;
};

// The list rules behind the edits, free of postconf so that they can be checked alone.
namespace maincf {

// listHas - whether element equals a piece of value split at every blank, tab and comma.
bool listHas(const std::string& value, const std::string& element);

// compoundAppend - value's comma-separated elements, trimmed and without empty ones,
// plus element, joined with ", "; false (result untouched) when element is there.
bool compoundAppend(const std::string& value, const std::string& element, std::string& result);

// listRemove - value's elements (split at runs of blanks, tabs and commas) except
// element, joined with ", "; false (result untouched) when element was not there.
bool listRemove(const std::string& value, const std::string& element, std::string& result);

// mynetworksReplacement - "127.0.0.0/8", plus ", <ip>/32" when firstIp is given
// and is not a loopback address.
std::string mynetworksReplacement(const char* firstIp);

// normaliseMynetworks - value with Postfix's computed default replaced by replacement.
std::string normaliseMynetworks(const std::string& value, const std::string& defaults,
                                const std::string& replacement);

} // namespace maincf

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif
