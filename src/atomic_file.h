// Files that other programs read while the tool writes them: replaced whole, or grown by whole
// lines.
#ifndef EPDSHOW_ATOMIC_FILE_H
#define EPDSHOW_ATOMIC_FILE_H

#include <string>

// Writes content under a temporary name in the same folder and renames it over path, so that a
// reader finds the old file or the new one, whole. False, with errno set, when it failed.
bool replace_file(const std::string &path, const std::string &content);

// Appends text (a line with its line end) in one write; false, with errno set, when it could not
// be written whole.
bool append_line(const std::string &path, const std::string &text);

#endif
