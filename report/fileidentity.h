#pragma once

#include <QString>

#include <cstdint>

struct stat;

// What identifies a file's content without reading it: device, inode, size and modification time.
// A dump is removed only while it still has the identity it had when it was packed.
struct FileIdentity {
    bool valid = false; // a regular file was found
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = -1;
    std::int64_t mtimeNs = 0;

    // Equal only when both are valid: an unknown file is never the same as another.
    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
    // The file at path, through a symbolic link.
    static FileIdentity of(const QString& path);
    // The file lstat() or fstat() described; valid when it is a regular file.
    static FileIdentity of(const struct stat& info);
};
