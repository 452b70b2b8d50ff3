// POSIX file helpers: sizes, folders, copies, deletion, writes that survive partial
// transfers, and the write-beside-then-rename replacement of a file.
#include "File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace kestrun {
namespace {

constexpr std::size_t COPY_CHUNK_BYTES = 1 << 20;
constexpr mode_t NEW_FILE_MODE = 0666; // narrowed by the umask, as for any created file

// realpath() with no length limit on the result; empty when the path does not resolve.
std::string ResolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

ssize_t ReadSome(int fd, void* data, std::size_t size) {
    ssize_t got = 0;
    do {
        got = ::read(fd, data, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

// Feeds everything from src's current position to its end to put(data, size).
template <typename Put> bool PumpContents(int src, Put put) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[COPY_CHUNK_BYTES]);
    if (!buffer) {
        return false;
    }
    for (;;) {
        const ssize_t got = ReadSome(src, buffer.get(), COPY_CHUNK_BYTES);
        if (got <= 0) {
            return got == 0;
        }
        if (!put(buffer.get(), static_cast<std::size_t>(got))) {
            return false;
        }
    }
}

// dst does not exist yet: it is made under its own name with the source's permission
// bits, and removed again if the copy fails part way.
bool CopyToNewFile(int src, mode_t srcMode, const std::string& dst, bool* existed) {
    const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, srcMode & 0777);
    if (out < 0) {
        *existed = errno == EEXIST;
        return false;
    }
    const bool copied = PumpContents(
        src, [out](const char* data, std::size_t size) { return WriteAll(out, data, size); });
    // close() is where some file systems report the write errors they deferred.
    const bool closed = ::close(out) == 0;
    if (!copied || !closed) {
        ::unlink(dst.c_str());
        return false;
    }
    return true;
}

} // namespace

bool FileSize32(const std::string& path, uint32_t* size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    ::close(fd);
    if (ok) {
        *size = static_cast<uint32_t>(st.st_size);
    }
    return ok;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CopyFileReplacing(const std::string& src, const std::string& dst) {
    const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (::fstat(in, &st) == 0 && S_ISREG(st.st_mode)) {
        bool existed = false;
        ok = CopyToNewFile(in, st.st_mode, dst, &existed);
        if (!ok && existed) {
            // An existing dst keeps its bytes until the whole copy stands beside it.
            FileReplacement replacement;
            ok = ::lseek(in, 0, SEEK_SET) == 0 && replacement.Open(dst) &&
                 PumpContents(in,
                              [&replacement](const char* data, std::size_t size) {
                                  return replacement.Write(data, size);
                              }) &&
                 replacement.Commit();
        }
    }
    ::close(in);
    return ok;
}

bool DeleteFileIfAny(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

int CreateFileForWriting(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, NEW_FILE_MODE);
}

void CloseFile(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

namespace {

// Hands data to put(bytes, count, bytesDone) until all of it is taken, retrying
// interrupted calls; false on an error or when nothing more is taken.
template <typename Put> bool PutAll(const void* data, std::size_t size, Put put) {
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = put(p + done, size - done, done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool WriteAll(int fd, const void* data, std::size_t size) {
    return PutAll(data, size,
                  [fd](const char* p, std::size_t n, std::size_t) { return ::write(fd, p, n); });
}

bool WriteAllAt(int fd, uint64_t offset, const void* data, std::size_t size) {
    // On Linux, pwrite() to a file opened for appending ignores the offset and appends.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_APPEND) != 0 || offset > uint64_t(INT64_MAX) - size) {
        return false;
    }
    return PutAll(data, size, [fd, offset](const char* p, std::size_t n, std::size_t done) {
        return ::pwrite(fd, p, n, static_cast<off_t>(offset + done));
    });
}

bool DescriptorSize32(int fd, uint32_t* size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    *size = static_cast<uint32_t>(st.st_size);
    return true;
}

bool DescriptorSize(int fd, uint64_t* size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

int OpenForReadWrite(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadFull(int fd, void* data, std::size_t size) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t got = ReadSome(fd, p, size);
        if (got <= 0) {
            return false;
        }
        p += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

void CloseFileInBackground(int fd) {
    if (fd < 0) {
        return;
    }
    try {
        std::thread([fd] { ::close(fd); }).detach();
    } catch (const std::system_error&) {
        ::close(fd); // no thread to be had: close it here after all
    }
}

void AdviseSequentialRead(int fd) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

FileReplacement::~FileReplacement() {
    Discard();
}

bool FileReplacement::Open(const std::string& target) {
    Discard();
    // The link's target is replaced, so the temporary file must live in the target's
    // folder: rename() cannot cross file systems, and the link itself stays as it is.
    std::string resolved = ResolvedPath(target);
    if (resolved.empty()) {
        return false;
    }
    // rename() needs only the folder's permission; the file's own must be asked for, and
    // only a plain file may be swapped for a new one.
    const int probe = ::open(resolved.c_str(), O_RDWR | O_CLOEXEC);
    if (probe < 0) {
        return false;
    }
    struct stat st {};
    const bool regular = ::fstat(probe, &st) == 0 && S_ISREG(st.st_mode);
    ::close(probe);
    if (!regular) {
        return false;
    }
    std::string name = resolved.substr(0, resolved.rfind('/') + 1) + ".kestrun-XXXXXX.tmp";
    const int fd = ::mkostemps(name.data(), 4, O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    target_ = std::move(resolved);
    temp_ = std::move(name);
    fd_ = fd;
    return true;
}

bool FileReplacement::Write(const void* data, std::size_t size) {
    return fd_ >= 0 && WriteAll(fd_, data, size);
}

bool FileReplacement::Commit() {
    if (fd_ < 0) {
        return false;
    }
    // The target as it is now, should its permissions have changed since Open.
    struct stat st {};
    if (::stat(target_.c_str(), &st) != 0) {
        Discard();
        return false;
    }
    // Owner first: a change of owner clears set-user-ID bits that fchmod then restores.
    // Only a privileged process may give a file away; otherwise the replacement stays
    // owned by whoever runs the program, which is no reason to fail.
    [[maybe_unused]] const bool ownerKept = ::fchown(fd_, st.st_uid, st.st_gid) == 0;
    if (::fchmod(fd_, st.st_mode & 07777) != 0) {
        Discard();
        return false;
    }
    // No fsync, to stay near the speed of a plain copy: rename() swaps the names atomically
    // for every program either way. close() still reports the write errors a file system
    // deferred (disk full on some of them).
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) {
        Discard();
        return false;
    }
    temp_.clear();
    return true;
}

void FileReplacement::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
    target_.clear();
}

} // namespace kestrun
