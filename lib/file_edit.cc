// file_edit.cc - add or remove lines of a small list file, replacing it by rename.
#include "file_edit.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ostra/file_util.h"
#include "ostra/log.h"
#include "sys_util.h"

using ostra::detail::retry_eintr;

namespace {

// Lines are read in pieces of at most 4095 bytes; longer lines count as several.
const int LINE_PIECE = 4096;

// StdioFile - a FILE* closed at scope exit unless closed explicitly.
class StdioFile {
public:
    explicit StdioFile(FILE* file = nullptr) : file_(file) {}
    ~StdioFile()
    {
        if (file_ != nullptr) {
            int saved = errno;
            fclose(file_);
            errno = saved;
        }
    }
    StdioFile(const StdioFile&) = delete;
    StdioFile& operator=(const StdioFile&) = delete;

    FILE* get() const { return file_; }
    void reset(FILE* file)
    {
        close();
        file_ = file;
    }
    // close - fclose now; 0, or EOF with errno set.
    int close()
    {
        FILE* file = file_;
        file_ = nullptr;
        return file != nullptr ? fclose(file) : 0;
    }

private:
    FILE* file_;
};

// open_stream - open path with open(2) flags and wrap it for stdio; null on failure.
FILE* open_stream(const char* path, int flags, const char* mode)
{
    int fd = retry_eintr([&] { return open(path, flags | O_CLOEXEC, 0644); });
    if (fd < 0)
        return nullptr;
    FILE* file = fdopen(fd, mode);
    if (file == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return file;
}

// ends_with_newline - whether s ends in a newline.
bool ends_with_newline(const char* s)
{
    size_t len = strlen(s);
    return len > 0 && s[len - 1] == '\n';
}

// TmpListFile - the "%s.tmp" rewrite of a list file, removed unless renamed.
class TmpListFile {
public:
    explicit TmpListFile(const char* filename) : target_(filename), path_(target_ + ".tmp") {}
    ~TmpListFile()
    {
        if (!renamed_) {
            int saved = errno;
            file_.close();
            unlink(path_.c_str());
            errno = saved;
        }
    }
    TmpListFile(const TmpListFile&) = delete;
    TmpListFile& operator=(const TmpListFile&) = delete;

    // open - create or truncate the file; false after logging.
    bool open()
    {
        file_.reset(open_stream(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, "w"));
        if (file_.get() == nullptr) {
            messlog2(0, 0, "Unable to open file %s: %s\n", path_.c_str(), strerror(errno));
            return false;
        }
        return true;
    }

    // put - write text as it is; a failure ends the program.
    void put(const char* text)
    {
        if (fputs(text, file_.get()) == EOF) {
            int saved = errno;
            file_.close();
            unlink(path_.c_str());
            errno = saved;
            messlog2(1, 0, "cannot write a line to %s.tmp", target_.c_str());
        }
    }

    // put_line - write text, adding a newline unless it ends with one.
    void put_line(const char* text)
    {
        put(text);
        if (!ends_with_newline(text))
            put("\n");
    }

    // keep_attributes - give the rewrite the replaced file's owner, group and mode.
    void keep_attributes(const struct stat& st)
    {
        int fd = fileno(file_.get());
        if (fchown(fd, st.st_uid, st.st_gid) != 0)
            messlog2(0, 0, "file_str: ERROR: Unable to chown file %s: %s", target_.c_str(),
                     strerror(errno));
        if (fchmod(fd, st.st_mode & 07777) != 0)
            messlog2(0, 0, "file_str: ERROR: Unable to chmod file %s: %s", target_.c_str(),
                     strerror(errno));
    }

    // commit - close and rename over the target; false after logging.
    bool commit()
    {
        if (file_.close() != 0) {
            messlog2(0, 0, "Unable to close file %s: %s\n", path_.c_str(), strerror(errno));
            return false;
        }
        if (rename(path_.c_str(), target_.c_str()) != 0) {
            messlog2(0, 0, "Unable to rename file %s: %s\n", path_.c_str(), strerror(errno));
            return false;
        }
        renamed_ = true;
        return true;
    }

private:
    std::string target_;
    std::string path_;
    StdioFile file_;
    bool renamed_ = false;
};

// content_length - the length of a line piece without its newline.
size_t content_length(const char* s)
{
    size_t len = strlen(s);
    return len > 0 && s[len - 1] == '\n' ? len - 1 : len;
}

// equals_line - the string, less a newline of its own, is the line less its newline.
bool equals_line(const char* line, const char* s)
{
    size_t len = content_length(line);
    return content_length(s) == len && strncmp(line, s, len) == 0;
}

// matches_line - prefix (set 0), suffix (1) or substring (2) match.
// An empty string matches nothing, so that it cannot empty the whole file.
bool matches_line(const char* line, const char* s, int set)
{
    size_t slen = strlen(s);
    if (slen == 0)
        return false;
    switch (set) {
    case FILE_STR_MATCH_PREFIX:
        return strncmp(line, s, slen) == 0;
    case FILE_STR_MATCH_SUFFIX: {
        size_t len = content_length(line);
        return len >= slen && memcmp(line + len - slen, s, slen) == 0;
    }
    default:
        return strstr(line, s) != nullptr;
    }
}

// selected - whether line is selected by any string of strs for the command.
bool selected(const char* line, const char* strs[], int cmd, int set)
{
    for (const char** s = strs; *s != nullptr; ++s)
        if (cmd == FILE_STR_REMOVE ? equals_line(line, *s) : matches_line(line, *s, set))
            return true;
    return false;
}

// append_lines - add the lines at the end of the file, in place.
int append_lines(const char* filename, const char* strs[])
{
    StdioFile out(open_stream(filename, O_RDWR | O_APPEND | O_CREAT, "a"));
    if (out.get() == nullptr) {
        messlog2(0, 0, "Unable to open file %s: %s\n", filename, strerror(errno));
        return 1;
    }
    // A last line without its newline would merge with the first added line.
    struct stat st;
    char last = '\n';
    int fd = fileno(out.get());
    bool ok = true;
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        ok = fputc('\n', out.get()) != EOF;
    for (const char** s = strs; ok && *s != nullptr; ++s) {
        ok = fputs(*s, out.get()) != EOF;
        if (ok && !ends_with_newline(*s))
            ok = fputc('\n', out.get()) != EOF;
    }
    if (!ok)
        messlog2(1, 0, "cannot write a line to %s", filename);
    if (out.close() != 0) {
        messlog2(0, 0, "Unable to close file %s: %s\n", filename, strerror(errno));
        return 1;
    }
    return 0;
}

// rewrite - write the file anew through "%s.tmp": first the lines to add (if
// any), then the old lines, less those the command removes.
int rewrite(const char* filename, bool existed, const struct stat& st, const char* strs[], int cmd,
            int set)
{
    StdioFile in;
    if (existed) {
        in.reset(fopen(filename, "re"));
        if (in.get() == nullptr) {
            messlog2(0, 0, "Unable to open file %s: %s\n", filename, strerror(errno));
            return 1;
        }
    }
    TmpListFile tmp(filename);
    if (!tmp.open())
        return 1;
    if (cmd == FILE_STR_ADD)
        for (const char** s = strs; *s != nullptr; ++s)
            tmp.put_line(*s);
    if (existed) {
        char line[LINE_PIECE];
        while (fgets(line, sizeof line, in.get()) != nullptr)
            if (cmd == FILE_STR_ADD || !selected(line, strs, cmd, set))
                tmp.put(line);
        if (ferror(in.get())) {
            messlog2(0, 0, "Unable to read file %s: %s\n", filename, strerror(errno));
            return 1;
        }
        in.close();
        tmp.keep_attributes(st);
    }
    return tmp.commit() ? 0 : 1;
}

} // namespace

namespace ostra {
namespace detail {

// file_edit_valid - the commands, and the set values each one knows.
bool file_edit_valid(int cmd, int set)
{
    switch (cmd) {
    case FILE_STR_ADD:
        return set == FILE_STR_PREPEND || set == FILE_STR_APPEND;
    case FILE_STR_REMOVE:
        return true;
    case FILE_STR_REMOVE_MATCHING:
        // No caller passes another match kind; one is refused rather than guessed.
        return set == FILE_STR_MATCH_PREFIX || set == FILE_STR_MATCH_SUFFIX ||
               set == FILE_STR_MATCH_SUBSTRING;
    default:
        return false;
    }
}

// file_edit - stat the file, then add or remove lines as cmd says.
int file_edit(const char* filename, const char* strs[], int cmd, int set)
{
    if (filename == nullptr || strs == nullptr || !file_edit_valid(cmd, set))
        return 1;
    struct stat st;
    bool existed = stat(filename, &st) == 0;
    if (!existed && errno != ENOENT) {
        messlog2(0, 0, "file_str: Unable to stat file %s: %s\n", filename, strerror(errno));
        return 1;
    }
    if (cmd == FILE_STR_ADD && set == FILE_STR_APPEND)
        return append_lines(filename, strs);
    if (cmd == FILE_STR_REMOVE && !existed)
        return 1;
    if (cmd == FILE_STR_REMOVE_MATCHING && !existed) {
        // Nothing to remove from; like an unreadable file, and nothing is created.
        messlog2(0, 0, "Unable to open file %s: %s\n", filename, strerror(ENOENT));
        return 1;
    }
    return rewrite(filename, existed, st, strs, cmd, set);
}

} // namespace detail
} // namespace ostra
