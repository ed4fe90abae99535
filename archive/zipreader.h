#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads back the entries of an archive the ZIP writer made (stored or deflated, ZIP64 where
// needed), from its central directory. For a report whose archive is known, a mail can carry
// some of its entries without going back to the files they came from.
//
// Extracts every entry from the index first on into folder, each as a new file named after the
// entry (created exclusively, 0600). An entry whose name is not a plain file name (empty, a path
// separator, a leading dot) is skipped. Returns the paths written, in archive order; false when
// the archive is not a readable ZIP archive or an entry does not inflate to its recorded size.
bool ZipExtractEntries(int fd, std::uint64_t archiveSize, std::size_t firstIndex, const std::string& folder,
                       std::vector<std::string>& written);
