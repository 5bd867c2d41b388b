#include "tools/convert/fileio.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <system_error>
#include <type_traits>

#include "tools/convert/image.h"
#include "tools/convert/last_resort.h"

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#endif

namespace fs = std::filesystem;

namespace conv {

#ifdef _WIN32
std::string toUtf8(const Path& p) {
    if (p.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, p.data(), int(p.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, p.data(), int(p.size()), s.data(), n, nullptr, nullptr);
    return s;
}
Path fromUtf8(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    Path p(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), p.data(), n);
    return p;
}
static FILE* openStream(const Path& p, const wchar_t* mode) { return _wfopen(p.c_str(), mode); }
#define CONV_MODE(m) L##m
#else
std::string toUtf8(const Path& p) { return p; }
Path fromUtf8(const std::string& s) { return s; }
static FILE* openStream(const Path& p, const char* mode) { return std::fopen(p.c_str(), mode); }
#define CONV_MODE(m) m
#endif

static bool isSeparator(PathChar c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/';
#else
    return c == '/';
#endif
}

std::string extensionLower(const Path& p) {
    size_t i = p.size();
    while (i > 0 && !isSeparator(p[i - 1]) && p[i - 1] != PathChar('.')) --i;
    if (i == 0 || p[i - 1] != PathChar('.')) return {};
    std::string ext;
    for (size_t k = i; k < p.size(); ++k) {
        PathChar c = p[k];
        if (c >= PathChar('A') && c <= PathChar('Z')) c = PathChar(c - 'A' + 'a');
        if (static_cast<std::make_unsigned_t<PathChar>>(c) > 0x7f) return {};  // no format has a non-ASCII extension
        ext.push_back(char(c));
    }
    return ext;
}

Path parentDir(const Path& p) {
    size_t i = p.size();
    while (i > 0 && !isSeparator(p[i - 1])) --i;
    if (i == 0) return Path(1, PathChar('.'));
    size_t end = i - 1;
    if (end == 0) return p.substr(0, 1);  // the root "/"
#ifdef _WIN32
    if (end == 2 && p[1] == L':') return p.substr(0, 3);  // "C:\"
#endif
    return p.substr(0, end);
}

std::vector<uint8_t> readWholeFile(const Path& p) {
    const Stream f(openStream(p, CONV_MODE("rb")));
    if (!f) {
        std::error_code ec;
        bool exists = fs::exists(fs::path(p), ec);
        throw ConvertError{kExitInput, toUtf8(p) + (exists ? ": cannot be opened for reading"
                                                            : ": no such file")};
    }
    std::vector<uint8_t> data;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) data.insert(data.end(), buf, buf + n);
    if (std::ferror(f.get())) throw ConvertError{kExitInput, toUtf8(p) + ": read error"};
    return data;
}

bool fileExists(const Path& p) {
    std::error_code ec;
    return fs::exists(fs::path(p), ec);
}

bool isDirectory(const Path& p) {
    std::error_code ec;
    return fs::is_directory(fs::path(p), ec);
}

bool sameFile(const Path& a, const Path& b) {
    std::error_code ec;
    bool same = fs::equivalent(fs::path(a), fs::path(b), ec);
    return !ec && same;
}

bool copyModificationTime(const Path& from, const Path& to) {
    std::error_code ec;
    auto t = fs::last_write_time(fs::path(from), ec);
    if (ec) return false;
    fs::last_write_time(fs::path(to), t, ec);
    return !ec;
}

bool removeFile(const Path& p) {
    std::error_code ec;
    return fs::remove(fs::path(p), ec);
}

// ---- OutFile ----

static Path tempNameFor(const Path& finalPath, unsigned salt) {
    size_t i = finalPath.size();
    while (i > 0 && !isSeparator(finalPath[i - 1])) --i;
    std::string tail;
#ifndef _WIN32
    tail = ".";  // hidden while it is being written
#endif
    tail.append(toUtf8(finalPath.substr(i)));
    tail.append(".");
    tail.append(std::to_string(salt));
    tail.append(".part");
    if (i == 0) return fromUtf8(tail);
    return finalPath.substr(0, i) + fromUtf8(tail);
}

// Creates the file only if it does not exist yet, so two converters writing into
// one folder never share a temporary file.
static FILE* createExclusive(const Path& p) {
#ifdef _WIN32
    HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (fd < 0) { CloseHandle(h); return nullptr; }
    FILE* f = _fdopen(fd, "w+b");
    if (!f) _close(fd);
    return f;
#else
    return std::fopen(p.c_str(), "wx+b");
#endif
}

OutFile::OutFile(const Path& finalPath) : final_(finalPath) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    unsigned base = rd() ^ unsigned(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 16 && !fp_; ++attempt) {
        temp_ = tempNameFor(final_, (base + counter++) % 1000000);
        fp_.reset(createExclusive(temp_));
    }
    if (!fp_) {
        Path dir = parentDir(final_);
        if (!isDirectory(dir))
            throw ConvertError{kExitOutput, toUtf8(final_) + ": the output folder does not exist"};
        throw ConvertError{kExitOutput, toUtf8(final_) + ": cannot create a file in the output folder"};
    }
    std::setvbuf(fp_.get(), nullptr, _IOFBF, 1 << 18);
    lastResortWriting(temp_);
}

OutFile::~OutFile() {
    lastResortWritten();
    if (committed_) return;
    fp_.reset();
    removeFile(temp_);
}

void OutFile::fail(const char* what) const {
    throw ConvertError{kExitOutput, toUtf8(final_) + ": " + what};
}

void OutFile::write(const void* data, size_t size) {
    if (size && std::fwrite(data, 1, size, fp_.get()) != size) fail("write failed (disk full?)");
}

size_t OutFile::read(void* data, size_t size) { return std::fread(data, 1, size, fp_.get()); }

void OutFile::seek(int64_t offset, int whence) {
#ifdef _WIN32
    int r = _fseeki64(fp_.get(), offset, whence);
#else
    int r = fseeko(fp_.get(), off_t(offset), whence);
#endif
    if (r != 0) fail("seek failed");
}

int64_t OutFile::tell() {
#ifdef _WIN32
    return _ftelli64(fp_.get());
#else
    return int64_t(ftello(fp_.get()));
#endif
}

int64_t OutFile::size() {
    int64_t here = tell();
    seek(0, SEEK_END);
    int64_t end = tell();
    seek(here, SEEK_SET);
    return end;
}

void OutFile::flush() {
    if (std::fflush(fp_.get()) != 0) fail("write failed (disk full?)");
}

void OutFile::commit() {
    flush();
    if (std::fclose(fp_.release()) != 0) fail("write failed (disk full?)");
    std::error_code ec;
    fs::rename(fs::path(temp_), fs::path(final_), ec);
    if (ec) fail("cannot replace the existing file");
    committed_ = true;
}

}  // namespace conv
