#include "platform/Platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

namespace platform {

MakeDirResult makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return MakeDirResult::Created;
  return errno == EEXIST ? MakeDirResult::AlreadyExists : MakeDirResult::Failed;
}

std::optional<std::uint32_t> fileSizeLow32(const std::string& path) {
  struct stat info {};
  // A folder in the package's place is no package: it has no size to report.
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(info.st_size) & 0xFFFFFFFFu);
}

std::optional<std::uint64_t> freeBytes(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isSymlink(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

void allowOwnerWrite(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0)
    ::chmod(path.c_str(), (info.st_mode & 07777) | S_IWUSR);
}

void setFileMode(const std::string& path, unsigned mode) { ::chmod(path.c_str(), static_cast<mode_t>(mode)); }

namespace {

bool writeAll(int fd, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Flushes whatever was written on the file system that holds path: files, or the
// names in a folder when path is that folder.
bool syncPath(const std::string& path, bool wholeFileSystem) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = (wholeFileSystem ? ::syncfs(fd) : ::fsync(fd)) == 0;
  return ::close(fd) == 0 && synced;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// One syncfs of the install folder's file system rather than an fsync per file: the
// same gigabyte of data either way, but 2,000 small files would cost 2,000 journal
// commits (measured in bench/RESULTS.md).
std::optional<std::string> flushToDisk(const std::string& dir, const std::vector<std::string>&) {
  // No folder: an empty package wrote nothing.
  if (!isDirectory(dir) || syncPath(dir, true)) return std::nullopt;
  return dir;
}

bool replaceFileAtomically(const std::string& path, const std::string& contents) {
  const std::string temporary = path + ".new";
  // A fresh file every time: whatever lies at the temporary name, a link included, is
  // removed rather than written through.
  ::unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = writeAll(fd, contents) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int failure = errno;  // for lastErrorText, past the clean-up
    ::unlink(temporary.c_str());
    errno = failure;
    return false;
  }
  // The new name lives in the folder: until the folder is flushed, a power cut can bring
  // the old file back.
  return syncPath(folderOf(path), false);
}

bool removeFileDurably(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  return syncPath(folderOf(path), false);
}

bool renameReplacing(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

// Nothing keeps another program from writing the file by name here; one that could has
// the player's rights and could as well write into the install folder itself.
std::FILE* openForDownload(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, "r+b");
  if (file == nullptr) ::close(fd);
  return file;
}

bool truncateFile(std::FILE* file) {
  return std::fflush(file) == 0 && ::ftruncate(::fileno(file), 0) == 0 && std::fseek(file, 0, SEEK_SET) == 0;
}

std::FILE* reopenForReading(std::FILE* file) {
  if (std::fflush(file) != 0) return nullptr;
  const int fd = ::fcntl(::fileno(file), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  std::FILE* copy = ::fdopen(fd, "rb");
  if (copy == nullptr) ::close(fd);
  return copy;
}

// flock rather than fcntl locks: those are dropped when any descriptor of the file in the
// process is closed, and they do not keep two launchers of one process apart (tests).
FolderLock::FolderLock(const std::string& lockFile) {
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    state_ = State::Held;
    handle_ = fd;
    return;
  }
  state_ = errno == EWOULDBLOCK ? State::HeldByAnother : State::Unavailable;
  ::close(fd);
}

FolderLock::~FolderLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::optional<MappedFile> MappedFile::openForReading(const std::string& path) {
  MappedFile file;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  file.file_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  file.size_ = static_cast<std::uint64_t>(info.st_size);
  if (file.size_ == 0) return file;
  void* data = ::mmap(nullptr, file.size_, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return std::nullopt;
  file.data_ = static_cast<unsigned char*>(data);
  return file;
}

std::optional<MappedFile> MappedFile::createForWriting(const std::string& path, std::uint64_t size) {
  MappedFile file;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return std::nullopt;
  file.file_ = fd;
  file.size_ = size;
  // Space taken now rather than page by page: a disk that fills while the mapping is
  // written would end the process with SIGBUS instead of an error to report.
  if (const int failed = size ? ::posix_fallocate(fd, 0, static_cast<off_t>(size)) : 0; failed != 0) {
    if (failed != EOPNOTSUPP && failed != EINVAL) return errno = failed, std::nullopt;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return std::nullopt;
  }
  if (size == 0) return file;
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return std::nullopt;
  file.data_ = static_cast<unsigned char*>(data);
  return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(other.size_), file_(std::exchange(other.file_, -1)) {}

MappedFile::~MappedFile() {
  if (data_) ::munmap(data_, size_);
  if (file_ >= 0) ::close(static_cast<int>(file_));
}

bool MappedFile::flush() {
  return (!data_ || ::msync(data_, size_, MS_SYNC) == 0) && ::fsync(static_cast<int>(file_)) == 0;
}

// OpenSSL checks the chain, the dates and the host name against the system's CA bundle
// during the handshake itself.
const bool checksCertificateAfterHandshake = false;
std::optional<std::string> serverCertificateProblem(void*, const std::string&) { return std::nullopt; }

// The shell's equivalent of the Windows command: change into the game's directory,
// then start its program there, only if the change worked.
std::string gameStartCommand(const char* installDir) {
  std::ostringstream command;
  command << "cd " << installDir << "/details && \"./Quarvel.exe\"";
  return command.str();
}

int runCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);  // as the shell reports a signal
}

bool copyFileDurably(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat status{};
  ::unlink(to.c_str());
  const int out = ::fstat(in, &status) == 0
                      ? ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, status.st_mode & 0777)
                      : -1;
  std::string chunk(1 << 16, '\0');
  bool copied = out >= 0;
  for (ssize_t got = 0; copied && (got = ::read(in, chunk.data(), chunk.size())) != 0;)
    copied = got > 0 && writeAll(out, chunk.substr(0, static_cast<std::size_t>(got)));
  copied = copied && ::fchmod(out, status.st_mode & 0777) == 0 && ::fsync(out) == 0;
  const int failure = errno;
  ::close(in);
  if (out >= 0 && ::close(out) != 0) copied = false;
  errno = failure;
  return copied;
}

bool flushFolder(const std::string& folder) { return syncPath(folder, false); }


std::string lastErrorText() { return std::strerror(errno); }

std::string systemDescription() {
  utsname system{};
  if (::uname(&system) != 0) return "an unknown system";
  return std::string(system.sysname) + " " + system.release + " " + system.machine;
}

}  // namespace platform
