// string_list.h - scope owner of a null-terminated string list of the plain
//                 functions (freed with free_array).
#ifndef MAIL_LIB_STRING_LIST_H
#define MAIL_LIB_STRING_LIST_H

#include <stddef.h>

#include "ostra/str_util.h"

// StringList - owns a char** list; empty when null.
class StringList {
public:
    explicit StringList(char** list = nullptr) : list_(list) {}
    ~StringList() { reset(); }
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;

    // out - where a function stores a new list; the old one is freed first.
    char*** out()
    {
        reset();
        return &list_;
    }
    // release - hand the list over to the caller.
    char** release()
    {
        char** list = list_;
        list_ = nullptr;
        return list;
    }
    void reset()
    {
        if (list_ != nullptr)
            free_array(list_);
        list_ = nullptr;
    }
    size_t size() const
    {
        size_t n = 0;
        while (list_ != nullptr && list_[n] != nullptr)
            ++n;
        return n;
    }
    const char* at(size_t i) const { return list_[i]; }

private:
    char** list_;
};

#endif
