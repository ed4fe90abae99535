#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// The ZIP writer: standard ZIP archives (Deflate, ZIP64 where sizes need it, UTF-8 entry
// names), whatever extension the path has. One handle belongs to one thread at a time.
//
// The archive is written as a stream to a temporary file beside the target (its name is the
// target's with a ".XXXXXX" suffix, locked with flock while written) and renamed over the target
// by CloseZipZ, so a failed archive never leaves a half-written file at the target path. Each
// entry is read from its source file while ZipAdd runs, piece by piece, up to the size the source
// had when ZipAdd opened it.

struct HZIP__;
using HZIP = HZIP__*;
using ZRESULT = std::uint32_t;

constexpr ZRESULT ZR_OK = 0x00000000;      // success
constexpr ZRESULT ZR_NOTFOUND = 0x00000500; // a source file is missing, unreadable or not a file
constexpr ZRESULT ZR_WRITE = 0x00000400;   // the archive could not be written or completed
constexpr ZRESULT ZR_READ = 0x00000600;    // a source file could not be read to its end
constexpr ZRESULT ZR_ARGS = 0x00010000;    // a null handle or a null argument
constexpr ZRESULT ZR_FAILED = 0x00070000;  // the archive library refused the operation

// Creates or replaces the archive at path, without encryption (password is not used). Returns null
// when the archive cannot be created; ZipAdd and CloseZipZ accept a null handle and report ZR_ARGS.
HZIP CreateZip(const wchar_t* path, const char* password);

// Adds sourcePath under nameInZip (replacing an entry of that name). A source that is missing
// or cannot be opened leaves the archive as it was and gives ZR_NOTFOUND.
ZRESULT ZipAdd(HZIP zip, const wchar_t* nameInZip, const wchar_t* sourcePath);

// The same, reading at most maxBytes of the source, however far it has grown: the archive stays
// within a size computed beforehand.
ZRESULT ZipAddUpTo(HZIP zip, const wchar_t* nameInZip, const wchar_t* sourcePath, std::uint64_t maxBytes);

// For an archive that is read while it is written: a new read-only descriptor of the archive file
// (the same file after CloseZipZ has named it), or -1. The caller closes it.
int ZipOpenReader(HZIP zip);
// Calls progress with the archive's size after every write to it.
void ZipSetProgress(HZIP zip, std::function<void(std::uint64_t written)> progress);
// The most an archive of entries with these name lengths (bytes) and sizes can take, so that a
// reader knows the size before the archive is made.
std::uint64_t ZipSizeBound(const std::vector<std::pair<std::size_t, std::uint64_t>>& entries);

// Completes the archive and releases the handle (also on failure). ZR_OK only when the archive
// file is complete at its path. error, when given, gets the errno of the failure (0 if none).
ZRESULT CloseZipZ(HZIP zip, int* error = nullptr);
// The errno of the failed read (ZR_READ) or write (ZR_WRITE) of the last ZipAdd; 0 if none.
int ZipErrno(HZIP zip);

// Abandons the archive and releases the handle: nothing is written, the path stays as it was.
void DiscardZip(HZIP zip);
