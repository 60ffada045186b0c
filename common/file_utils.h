// File-system predicates and whole-file reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// lstat-based: a link to a directory is neither a directory here nor followed.
bool isDirectory(const char* path);
bool isSymlink(const char* path);
// 0 when the path exists (links followed), -1 otherwise.
int fileExists(const char* path);
bool isFilesystemReadOnly(const char* path);
// 0 and the inode of the entry itself, or -1.
int getFileInode(const std::string& path, uint64_t& inode);

// The whole file byte for byte; "" when it cannot be read (logged).
std::string readFileToString(const std::string& path);
// The whole file; "" when it cannot be opened (logged).
std::string readFile(const std::string& path);
// Creates or truncates the file and writes content. False (logged) when the
// file cannot be opened, or the content is not wholly written and closed.
bool writeFile(const std::string& path, const std::string& content);
// Writes the bytes to the descriptor across partial writes and signals;
// stops silently at the first error. Async-signal-safe: no logging.
void writeAll(int fd, const char* data, size_t size);
