// File operations the worker needs, in the desktop's terms: sizes in their lower 32 bits,
// copy with replace, delete that tolerates a missing file, and a file that replaces
// another only once it has been written in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace kestrun {

// Why a path cannot be read as a file. A FIFO, socket or device would block the reader, or
// never end; a folder has no bytes to read.
enum class FileProblem { None, NotFound, NoAccess, Folder, Fifo, Socket, Device, Unreadable };

// Opens a regular file (symbolic links followed) for reading, or with write as well for
// reading and writing, never blocking: anything else is refused before it is opened. The
// descriptor is not inherited by child processes. -1 on failure, with the reason in
// *problem when given.
int OpenRegularFile(const std::string& path, bool write, FileProblem* problem = nullptr);

// FileProblem::None when path names a regular file this process may read, else the reason.
FileProblem RegularFileProblem(const std::string& path);

// The whole size of a regular file that can be opened for reading; otherwise the reason.
FileProblem RegularFileSize(const std::string& path, uint64_t* size);

// True when the path is a regular file that can be opened for reading; its size's lower
// 32 bits go to *size.
bool FileSize32(const std::string& path, uint32_t* size);

// Bytes an unprivileged user may still write to the file system holding folder.
bool FreeBytes(const std::string& folder, uint64_t* bytes);

// True when path names an existing folder (symbolic links followed).
bool IsFolder(const std::string& path);

// Copies src to dst, replacing dst. False on any failure, with no partial copy left
// behind: a new dst is removed again, an existing one keeps its bytes.
bool CopyFileReplacing(const std::string& src, const std::string& dst);

// Deletes the file; true when it is gone afterwards (also when it never existed).
bool DeleteFileIfAny(const std::string& path);

// Renames from over to, replacing a file already there in one step; false, with both left
// as they were, on failure.
bool RenameReplacing(const std::string& from, const std::string& to);

// Creates (or truncates) a file for reading and writing that no child process inherits.
// Returns its descriptor, or -1.
int CreateFileForWriting(const std::string& path);
void CloseFile(int fd);

// Writes all of data at the descriptor's current position; false on any short write.
bool WriteAll(int fd, const void* data, std::size_t size);

// Writes all of data at offset, leaving the descriptor's position where it was.
bool WriteAllAt(int fd, uint64_t offset, const void* data, std::size_t size);

// The lower 32 bits of the size of the open file.
bool DescriptorSize32(int fd, uint32_t* size);

// The whole size of the open file.
bool DescriptorSize(int fd, uint64_t* size);

// Opens an existing regular file for reading and writing, not inherited by child
// processes; -1 on failure (missing, not a regular file, or not writable by this user).
int OpenForReadWrite(const std::string& path, FileProblem* problem = nullptr);

// Exactly size bytes from the current position; false on an error or an early end.
bool ReadFull(int fd, void* data, std::size_t size);

// Tells the system the file will be read once from start to end.
void AdviseSequentialRead(int fd);

// Closes fd on a short-lived thread of its own. The last close of a file that has just
// been replaced frees its blocks and cached pages, which for a large file takes longer
// than writing its replacement did; nobody needs to wait for that.
void CloseFileInBackground(int fd);

// Closes its descriptor when it goes out of scope.
class ScopedFile {
public:
    explicit ScopedFile(int fd) : fd_(fd) {}
    ~ScopedFile() { CloseFile(fd_); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    int fd() const { return fd_; }
    // Gives the descriptor up: the caller closes it.
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A new version of an existing file, written beside it and put in its place by Commit.
// Until then the original keeps its bytes; a replacement that is never committed is
// removed. Where the file system allows, the new bytes go to a file without a name until
// Commit, so that a process killed at any moment leaves no temporary file behind; elsewhere
// they go to a hidden temporary name. A symbolic link's target is what gets replaced, and
// the new file takes over the target's permission bits (and owner, where the program may
// set it).
class FileReplacement {
public:
    FileReplacement() = default;
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // False when target cannot be opened for writing (as the in-place rewrite would
    // need) or no temporary file can be made beside it.
    bool Open(const std::string& target);
    bool Write(const void* data, std::size_t size);
    // Flushes and renames over the target. False, and the target unchanged, on failure.
    bool Commit();
    // After a failure: it was for want of space on the target's file system.
    bool NoSpace() const { return noSpace_; }

    // As Open, for a file whose name is replaced as it stands (a link included) or made if
    // missing: the new file keeps the permissions it was made with, the umask's.
    bool OpenName(const std::string& path);

private:
    bool Create(const std::string& folder, unsigned mode);
    void Discard();
    // ok, noting a failure for want of space.
    bool Failed(bool ok);
    std::string target_;
    std::string folder_;
    std::string temp_; // empty while the new file has no name
    int fd_ = -1;
    bool keepAttributes_ = false;
    bool noSpace_ = false;
};

// Puts data in place of the file at path (made if missing) with no temporary file left
// behind whenever the process is killed, as FileReplacement. False, with a short reason
// in *error, on failure; the former file then keeps its bytes.
bool ReplaceFileContents(const std::string& path, std::string_view data, std::string* error);

} // namespace kestrun
