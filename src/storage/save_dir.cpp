#include "storage/save_dir.h"
// Placeholder until the save directory lands.
namespace tovrin {
std::string ResolveSaveDir(const std::string&) { return "Received Files/"; }
void MakeDirectories(const std::string&) {}
std::string DirectoryPart(const std::string& path) { return path; }
}  // namespace tovrin
