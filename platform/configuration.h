#pragma once

#include <map>
#include <string>

namespace utils {

// A small INI store: "[section]" headers and "key=value" lines. Create it, load a file, read or
// write, save, destroy; one thread at a time. Failures are results, never exceptions.
class Configuration {
public:
    Configuration(const std::string& name, bool createIfMissing);
    virtual ~Configuration();

    // Reads the file at path (UTF-8). Remembers the path for save() even when the file cannot
    // be read; the store is then empty. Lines that are not headers or "key=value" are skipped.
    bool load(const std::string& path);
    // The stored integer, or defaultValue when the key is absent or holds no integer.
    int readInt(const std::string& section, const std::string& key, int defaultValue) const;
    void write(const std::string& section, const std::string& key, int value);
    // Replaces the file atomically (temporary file, then rename): a crash during a save leaves
    // the old file or the new one, never a truncated one. Keeps sections and keys it does not know.
    bool save();

private:
    std::string m_path;
    bool m_createIfMissing;
    std::map<std::string, std::map<std::string, std::string>> m_sections;
};

} // namespace utils
