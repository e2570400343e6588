#pragma once

#include <string>

namespace tovrin {

// The save directory from the program's argument text (its arguments joined by single
// spaces): empty gives "<current directory>/Received Files/"; a leading double quote strips
// the first and the last byte; a '/' is appended when missing. A relative result stays
// relative. The result always ends in '/'.
[[nodiscard]] std::string ResolveSaveDir(const std::string& argument_text);

// Creates every directory on the path of a file, outermost first (one MakeDirectory per '/');
// the part after the last '/' is never created. Directories whose path the system cannot
// take (PATH_MAX bytes or more) are not tried, so the work is linear in the path's length
// and at most PATH_MAX / 2 directories are made.
void MakeDirectories(const std::string& path);

// The path up to and including its last '/'; a path without one is returned whole.
[[nodiscard]] std::string DirectoryPart(const std::string& path);

}  // namespace tovrin
