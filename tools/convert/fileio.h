// File access for the converter: native paths (wide on Windows, so that any
// file name works whatever the ANSI code page), whole-file reads, and the output
// file that only appears under its final name once it is complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/convert/owned.h"

namespace conv {

#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
using Path = std::basic_string<PathChar>;

// UTF-8 for messages, and back (on POSIX both are the identity).
std::string toUtf8(const Path& p);
Path fromUtf8(const std::string& s);

// Extension after the last dot of the last component, lower-case ASCII, without
// the dot; empty when there is none.
std::string extensionLower(const Path& p);
// The folder part of p (without trailing separator); "." when p has none.
Path parentDir(const Path& p);

// Reads the whole file. Throws ConvertError{kExitInput} naming the file.
std::vector<uint8_t> readWholeFile(const Path& p);

bool fileExists(const Path& p);
bool isDirectory(const Path& p);
// True when a and b name the same existing file (hard links and different
// spellings of one path included).
bool sameFile(const Path& a, const Path& b);
// Copies the modification time of `from` to `to`; false on failure.
bool copyModificationTime(const Path& from, const Path& to);
bool removeFile(const Path& p);

// A stdio stream that is closed when its owner goes (unless closed first by
// hand, through release(), to see whether the close failed).
inline void closeStream(FILE* f) { std::fclose(f); }
using Stream = Owned<closeStream>;

// The output under construction: a temporary file next to the final path (same
// folder, so the final rename stays on one volume). Destroying an OutFile that
// was not committed closes and deletes the temporary file, so a failed
// conversion leaves nothing behind. Every failing operation throws
// ConvertError{kExitOutput} naming the final path.
class OutFile {
public:
    explicit OutFile(const Path& finalPath);
    ~OutFile();
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;

    void write(const void* data, size_t size);
    // Reading back and seeking are there for writers that patch what they wrote
    // (TIFF directories, for one).
    size_t read(void* data, size_t size);
    void seek(int64_t offset, int whence);  // whence: SEEK_SET, SEEK_CUR, SEEK_END
    int64_t tell();
    int64_t size();
    void flush();
    FILE* stream() { return fp_.get(); }

    // Closes the temporary file and renames it onto the final path, replacing an
    // existing file there.
    void commit();

    const Path& finalPath() const { return final_; }
    const Path& tempPath() const { return temp_; }

private:
    [[noreturn]] void fail(const char* what) const;
    Path final_;
    Path temp_;
    Stream fp_;
    bool committed_ = false;
};

}  // namespace conv
