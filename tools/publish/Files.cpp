#include "Files.h"

#include "Refusal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// An open file descriptor, closed when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  // Closing can report a failed write that the kernel deferred, so it is checked.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

[[noreturn]] void fail(const std::string& what, const fs::path& path) {
  const int error = errno;  // read before building the message can disturb it
  throw Refusal("cannot " + what + " '" + path.string() + "': " + std::strerror(error));
}

FileDescriptor openOrFail(const fs::path& path, int flags, const char* what) {
  FileDescriptor fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
  if (fd.get() < 0) fail(what, path);
  return fd;
}

void syncDirectory(const fs::path& dir) {
  FileDescriptor fd = openOrFail(dir, O_RDONLY | O_DIRECTORY, "open the folder");
  if (::fsync(fd.get()) != 0) fail("flush the folder", dir);
}

void writeAll(int fd, const std::string& contents, const fs::path& path) {
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write", path);
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

TemporaryFile::~TemporaryFile() {
  if (!kept_) ::unlink(path_.c_str());
}

ScratchFolder::ScratchFolder(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw Refusal("cannot create a temporary folder: " + std::string(std::strerror(errno)));
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

fs::path temporaryNameIn(const fs::path& dir, const std::string& suffix) {
  return dir / (".quarvel-publish-" + std::to_string(::getpid()) + suffix);
}

void finishFile(const fs::path& file) {
  FileDescriptor fd = openOrFail(file, O_RDONLY, "open");
  if (::fchmod(fd.get(), 0644) != 0) fail("set the permissions of", file);
  if (::fsync(fd.get()) != 0) fail("flush", file);
}

void renameDurably(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) fail("rename into", to);
  syncDirectory(to.parent_path());
}

void writeFileDurably(const fs::path& dir, const std::string& name, const std::string& contents) {
  TemporaryFile temporary(temporaryNameIn(dir, ".txt"));
  FileDescriptor fd = openOrFail(temporary.path(), O_WRONLY | O_CREAT | O_EXCL, "create");
  writeAll(fd.get(), contents, temporary.path());
  // The creation mode is cut down by the umask; the web server must still read it.
  if (::fchmod(fd.get(), 0644) != 0) fail("set the permissions of", temporary.path());
  if (::fsync(fd.get()) != 0) fail("flush", temporary.path());
  if (!fd.close()) fail("close", temporary.path());
  renameDurably(temporary.path(), dir / name);
  temporary.keep();
}
