#include "storage/storage.h"
// Placeholder until the storage layer lands.
namespace tovrin {
int OpenForWrite(const std::string&) { return -1; }
int OpenForRead(const std::string&) { return -1; }
int32_t Seek(int, int32_t, int) { return -1; }
int Read(int, void*, int) { return -1; }
int Write(int, const void*, int) { return -1; }
void Close(int) {}
bool IsDirectory(const std::string&) { return false; }
bool MakeDirectory(const std::string&) { return false; }
std::string CurrentDirectory() { return "/"; }
}  // namespace tovrin
