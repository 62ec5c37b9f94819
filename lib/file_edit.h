// file_edit.h - the line edits of file_strings, without its lock (private).
#ifndef OSTRA_LIB_FILE_EDIT_H
#define OSTRA_LIB_FILE_EDIT_H

namespace ostra {
namespace detail {

// file_edit_valid - whether cmd and set name an edit this facility knows.
bool file_edit_valid(int cmd, int set);

// file_edit - the edit of file_strings; the caller holds the file's lock. 0 or 1.
int file_edit(const char* filename, const char* strs[], int cmd, int set);

} // namespace detail
} // namespace ostra

#endif
