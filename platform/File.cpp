// POSIX file helpers: opening only regular files, sizes, free space, folders, copies,
// deletion, writes that survive partial transfers, and the replacement of a file by a new
// version that has no name until it is complete.
#include "File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace kestrun {
namespace {

constexpr std::size_t COPY_CHUNK_BYTES = 1 << 20;
constexpr mode_t NEW_FILE_MODE = 0666; // narrowed by the umask, as for any created file
// A replacement's mode until Commit gives it the target's: nobody else may read it meanwhile.
constexpr mode_t PRIVATE_FILE_MODE = 0600;
constexpr int NAME_ATTEMPTS = 16;

FileProblem ProblemOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return FileProblem::None;
    }
    if (S_ISDIR(mode)) {
        return FileProblem::Folder;
    }
    if (S_ISFIFO(mode)) {
        return FileProblem::Fifo;
    }
    if (S_ISSOCK(mode)) {
        return FileProblem::Socket;
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return FileProblem::Device;
    }
    return FileProblem::Unreadable;
}

FileProblem ProblemOfError(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return FileProblem::NotFound;
    case EACCES:
    case EPERM:
        return FileProblem::NoAccess;
    case EISDIR:
        return FileProblem::Folder;
    default:
        return FileProblem::Unreadable;
    }
}

bool IsNoSpace(int error) {
    return error == ENOSPC || error == EDQUOT;
}

// The child's part of LinkOver: the first free hidden name, then the rename; its exit
// status is 0 or the errno of the failure. Only system calls: the child shares the
// parent's memory.
[[noreturn]] void LinkAndRenameThenExit(const char* self, const char* const* names, int count,
                                        const char* target) {
    for (int i = 0; i < count; ++i) {
        if (::linkat(AT_FDCWD, self, AT_FDCWD, names[i], AT_SYMLINK_FOLLOW) == 0) {
            if (::rename(names[i], target) == 0) {
                ::_exit(0);
            }
            const int error = errno;
            ::unlink(names[i]);
            ::_exit(error);
        }
        if (errno != EEXIST) {
            ::_exit(errno);
        }
    }
    ::_exit(EEXIST);
}

// The folder a path's file lives in, as open() takes it: "a/b.srt" -> "a", "b.srt" -> ".".
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "FOLDER/.kestrun-1a2b3c4d.tmp": short, so that a long target name never pushes it past
// the file-name limit; made with O_EXCL or linkat, which never reuse someone else's file.
std::string HiddenName(const std::string& folder) {
    static std::atomic<uint64_t> state{
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<uint64_t>(::getpid()) << 32)};
    // One step of splitmix64 per name: distinct names for the threads of one process.
    uint64_t z = state.fetch_add(0x9e3779b97f4a7c15ULL) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    char name[32];
    std::snprintf(name, sizeof name, "/.kestrun-%08llx.tmp",
                  static_cast<unsigned long long>(z & 0xffffffffu));
    return folder + name;
}

// Names the unnamed file fd and puts it over target: link() never replaces a file, so it is
// linked under a hidden name and renamed from there. A kill between those two calls, which
// journalling file systems make last a tenth of a millisecond, would leave the hidden name
// behind; so a child process makes them, which a kill of this one does not reach. vfork:
// the child borrows this process's memory instead of copying its page tables. Returns 0,
// or the errno of the failure.
int LinkOver(int fd, const std::string& folder, const std::string& target) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd); // the child's own table
    std::string names[NAME_ATTEMPTS];
    const char* namePointers[NAME_ATTEMPTS];
    for (int i = 0; i < NAME_ATTEMPTS; ++i) {
        names[i] = HiddenName(folder);
        namePointers[i] = names[i].c_str();
    }
    const pid_t child = ::vfork();
    if (child == 0) {
        LinkAndRenameThenExit(self.c_str(), namePointers, NAME_ATTEMPTS, target.c_str());
    }
    if (child < 0) {
        return errno;
    }
    int status = 0;
    pid_t reaped = 0;
    do {
        reaped = ::waitpid(child, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    // The target's file says whether it worked, even where someone else reaped the child.
    struct stat mine {};
    struct stat placed {};
    if (::fstat(fd, &mine) == 0 && ::stat(target.c_str(), &placed) == 0 &&
        mine.st_dev == placed.st_dev && mine.st_ino == placed.st_ino) {
        return 0;
    }
    return reaped == child && WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status)
                                                                            : EIO;
}

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

int OpenRegularFile(const std::string& path, bool write, FileProblem* problem) {
    FileProblem found = FileProblem::None;
    int fd = -1;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        found = ProblemOfError(errno);
    } else if (found = ProblemOfMode(st.st_mode); found == FileProblem::None) {
        // Not blocking, should the name have become a FIFO since the look.
        fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            found = ProblemOfError(errno);
        } else {
            const int flags = ::fcntl(fd, F_GETFL);
            found = ::fstat(fd, &st) != 0 || flags < 0 ? FileProblem::Unreadable
                                                       : ProblemOfMode(st.st_mode);
            // From here on a read waits for its data as on any file.
            if (found == FileProblem::None && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
                found = FileProblem::Unreadable;
            }
            if (found != FileProblem::None) {
                ::close(fd);
                fd = -1;
            }
        }
    }
    if (problem != nullptr) {
        *problem = found;
    }
    return fd;
}

FileProblem RegularFileProblem(const std::string& path) {
    FileProblem problem = FileProblem::None;
    CloseFile(OpenRegularFile(path, false, &problem));
    return problem;
}

FileProblem RegularFileSize(const std::string& path, uint64_t* size) {
    FileProblem problem = FileProblem::None;
    const ScopedFile file(OpenRegularFile(path, false, &problem));
    if (file.fd() >= 0 && !DescriptorSize(file.fd(), size)) {
        problem = FileProblem::Unreadable;
    }
    return problem;
}

bool FileSize32(const std::string& path, uint32_t* size) {
    uint64_t whole = 0;
    if (RegularFileSize(path, &whole) != FileProblem::None) {
        return false;
    }
    *size = static_cast<uint32_t>(whole);
    return true;
}

bool FreeBytes(const std::string& folder, uint64_t* bytes) {
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) != 0) {
        return false;
    }
    *bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    return true;
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

int OpenForReadWrite(const std::string& path, FileProblem* problem) {
    return OpenRegularFile(path, true, problem);
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
    noSpace_ = false;
    // The link's target is replaced, so the new file must live in the target's folder:
    // rename() cannot cross file systems, and the link itself stays as it is.
    std::string resolved = ResolvedPath(target);
    if (resolved.empty()) {
        return false;
    }
    // rename() needs only the folder's permission; the file's own must be asked for, and
    // only a plain file may be swapped for a new one.
    const int probe = OpenForReadWrite(resolved);
    if (probe < 0) {
        return false;
    }
    ::close(probe);
    if (!Create(FolderOf(resolved), PRIVATE_FILE_MODE)) {
        return false;
    }
    target_ = std::move(resolved);
    keepAttributes_ = true;
    return true;
}

bool FileReplacement::OpenName(const std::string& path) {
    Discard();
    noSpace_ = false;
    if (!Create(FolderOf(path), NEW_FILE_MODE)) {
        return false;
    }
    target_ = path;
    keepAttributes_ = false;
    return true;
}

bool FileReplacement::Create(const std::string& folder, unsigned mode) {
    folder_ = folder;
#ifdef O_TMPFILE
    // The unnamed file is named at Commit through its /proc link; without /proc it could
    // not be, so the hidden name is taken from the start.
    if (::access("/proc/self/fd", X_OK) == 0) {
        const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
        if (fd >= 0) {
            fd_ = fd;
            return true;
        }
        // The file system (or an older kernel) makes no unnamed files.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return false;
        }
    }
#endif
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        std::string name = HiddenName(folder);
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            fd_ = fd;
            temp_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool FileReplacement::Write(const void* data, std::size_t size) {
    return fd_ >= 0 && Failed(WriteAll(fd_, data, size));
}

bool FileReplacement::Failed(bool ok) {
    if (!ok && IsNoSpace(errno)) {
        noSpace_ = true;
    }
    return ok;
}

bool FileReplacement::Commit() {
    if (fd_ < 0) {
        return false;
    }
    if (keepAttributes_) {
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
    }
    // No fsync, to stay near the speed of a plain copy: rename() swaps the names atomically
    // for every program either way.
    if (temp_.empty()) {
        // ext4 gives a file renamed over another its disk blocks inside rename(); started
        // here, that work is done before the file has any name.
#ifdef SYNC_FILE_RANGE_WRITE
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
        const int error = LinkOver(fd_, folder_, target_);
        if (error != 0) {
            errno = error;
            Failed(false);
            Discard();
            return false;
        }
        // Only file systems without unnamed files (NFS) defer write errors to close(), and
        // this file is already in place: nothing a failure here could undo.
        ::close(fd_);
        fd_ = -1;
        return true;
    }
    // close() is where some file systems report the write errors they deferred (disk full
    // on some of them): the hidden file must pass it before it replaces the target.
    const int fd = fd_;
    fd_ = -1;
    if (!Failed(::close(fd) == 0) || !Failed(::rename(temp_.c_str(), target_.c_str()) == 0)) {
        Discard();
        return false;
    }
    temp_.clear();
    return true;
}

void FileReplacement::Discard() {
    const int error = errno; // the failure's, for the caller to report
    if (fd_ >= 0) {
        ::close(fd_); // an unnamed file is gone with its last descriptor
        fd_ = -1;
    }
    if (!temp_.empty()) {
        ::unlink(temp_.c_str());
        temp_.clear();
    }
    target_.clear();
    folder_.clear();
    errno = error;
}

bool ReplaceFileContents(const std::string& path, std::string_view data, std::string* error) {
    FileReplacement replacement;
    errno = 0;
    if (!replacement.OpenName(path) || !replacement.Write(data.data(), data.size()) ||
        !replacement.Commit()) {
        *error = std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

} // namespace kestrun
