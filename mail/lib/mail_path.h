/* mail_path.h - checks on names used as components of the mail tree. */
#ifndef MAIL_LIB_MAIL_PATH_H
#define MAIL_LIB_MAIL_PATH_H

/* mail_path_component_ok - 1 when name is usable as one directory name below
 * the mail root: not empty, not "." or "..", without "/". An empty name, "."
 * or ".." would make a removal hit the parent; a "/" would nest one mail home
 * inside another. */
int mail_path_component_ok(const char* name);

#endif
