// Small stateless helpers shared by every subsystem: an interruption-proof sleep, string
// splitting and replacing, and file-system chores (listing, copying, creating, removing).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Sleeps ms milliseconds; a signal does not cut the sleep short. ms <= 0 returns at once.
void SleepMs(int64_t ms);
void SleepSec(int64_t sec);

// Appends the pieces of text between delim to out (out is not cleared). Empty pieces are kept,
// except when delim is a space, so runs of blanks separate words.
void Split(const std::string& text, std::vector<std::string>& out, char delim);

// Replaces every occurrence of from in text by to; the inserted text is not searched again.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);

// Names (not paths) of the entries of dir, in directory order, without "." and "..": all of them
// for an empty pattern, else those beginning with pattern, or with suffix set those whose first
// occurrence of pattern ends the name.
std::vector<std::string> GetFiles(const std::string& dir, const std::string& pattern, bool suffix);

// Copies src to dst byte for byte (dst created or truncated). Nothing is reported.
void CopyFile(const std::string& src, const std::string& dst);

// Creates path and its missing parents with mode. Returns 0 (also when it already exists as a
// directory) or -1 with errno set.
int32_t MakeDirs(const char* path, mode_t mode);

// Removes the directory tree at path; symbolic links are removed, never followed.
void RemoveDir(const std::string& path);
