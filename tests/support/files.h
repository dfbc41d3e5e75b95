#pragma once
// Test support: temporary directories and whole-file reads and writes.

#include <string>
#include <sys/types.h>

// A temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Writes contents to path, replacing what was there, and gives it mode.
void writeFile(const std::string &path, const std::string &contents, mode_t mode = 0644);
std::string readFile(const std::string &path);
