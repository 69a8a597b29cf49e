#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// The few operating system services the launcher needs, one implementation per platform.
namespace platform {

enum class MakeDirResult { Created, AlreadyExists, Failed };

// Creates one directory level with default permissions. A name that already exists
// (directory or not) reports AlreadyExists, as the installer treats both alike.
MakeDirResult makeDirectory(const std::string& path);

// Size of a file in bytes, low 32 bits only; empty when it cannot be read.
std::optional<std::uint32_t> fileSizeLow32(const std::string& path);

// Free bytes on the file system holding path; empty when unknown.
std::optional<std::uint64_t> freeBytes(const std::string& path);

bool isDirectory(const std::string& path);

// True when path itself (not what it points at) is a symbolic link.
bool isSymlink(const std::string& path);

// Lets the owner write an existing file again, so that an update can replace a file
// that was left read-only.
void allowOwnerWrite(const std::string& path);

// Gives a written file the permission bits stored in a package.
void setFileMode(const std::string& path, unsigned mode);

// Puts the data of the given files, written below dir, on the disk. Empty when done,
// else the file (or dir) whose data the system failed to write.
std::optional<std::string> flushToDisk(const std::string& dir, const std::vector<std::string>& files);

// Replaces path with contents so that a crash or a power cut leaves either the old or
// the new file, and the new one only once it is on the disk under its name.
bool replaceFileAtomically(const std::string& path, const std::string& contents);

// Removes path and then makes the removal durable: the folder's entry is flushed too.
// True when the file is gone (also when it was never there).
bool removeFileDurably(const std::string& path);

// Renames from over to, replacing a file already there on every system.
bool renameReplacing(const std::string& from, const std::string& to);

// Opens path for a download that is read back through the same open file afterwards,
// creating it when missing and keeping what an earlier attempt left (a "r+b" that
// creates). Other programs may read or rename it but, where the system allows it
// (Windows), not write it while it is open; the stream is at the file's start.
std::FILE* openForDownload(const std::string& path);

// Cuts an open file to no bytes and puts the stream at its start.
bool truncateFile(std::FILE* file);

// A second stream over the same open file, through a copy of its descriptor (which shares
// the file position: the first stream is not read meanwhile), so that it can be given a
// buffer before its first read; null on failure.
std::FILE* reopenForReading(std::FILE* file);

// A lock on the working folder, held from construction to destruction. The system drops
// it when the process ends, however it ends, so a lock file left behind blocks nobody.
class FolderLock {
 public:
  enum class State { Held, HeldByAnother, Unavailable };  // Unavailable: the lock file cannot be opened
  explicit FolderLock(const std::string& lockFile);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  State state() const { return state_; }

 private:
  State state_ = State::Unavailable;
  std::intptr_t handle_ = -1;  // a file descriptor, or a Windows handle
};

// A file mapped into memory: the installed file a delta is decoded against, or the new
// file it is decoded into. Its pages belong to the file, not to the process's heap, so
// a file of any size costs no memory of the launcher's own.
class MappedFile {
 public:
  static std::optional<MappedFile> openForReading(const std::string& path);
  // Creates or truncates path to size bytes, mapped for writing.
  static std::optional<MappedFile> createForWriting(const std::string& path, std::uint64_t size);
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&&) = delete;
  ~MappedFile();
  unsigned char* data() const { return data_; }  // null for an empty file
  std::uint64_t size() const { return size_; }
  bool flush();  // puts the written pages and the file on the disk

 private:
  MappedFile() = default;
  unsigned char* data_ = nullptr;
  std::uint64_t size_ = 0;
  std::intptr_t file_ = -1, mapping_ = 0;  // a descriptor; or the Windows file and mapping handles
};

// The proxy the player's own settings name for url: its address for libcurl (empty: connect
// directly), the hosts that go around it (libcurl's no-proxy list), and where the setting
// was found, for the log file.
struct Proxy {
  std::string address, bypass, source;
};
Proxy systemProxyFor(const std::string& url);

// True where the system's TLS layer may finish a handshake without checking the server's
// certificate (Wine's Schannel), so that the program checks it before sending a request.
extern const bool checksCertificateAfterHandshake;

// What is wrong with the server certificate of a finished TLS handshake (libcurl's
// pointer to the session) for host, in words; empty when the system's trust store
// vouches for it.
std::optional<std::string> serverCertificateProblem(void* tlsSession, const std::string& host);

// The launcher's own program file, as the system started it; empty when unknown.
std::string ownProgramPath();

// How a program run by runProgram ended: its exit status, or that it never started (in the
// system's words), or that it was ended for taking longer than it was given.
struct ProgramOutcome {
  enum End { Ended, NotStarted, TimedOut } end = NotStarted;
  int status = -1;
  std::string systemWords;
};

// Runs program with one argument, in folder, and waits at most timeout for it to end.
ProgramOutcome runProgram(const std::string& program, const std::string& argument, const std::string& folder,
                          std::chrono::milliseconds timeout);

// Copies from to to (replacing it), with from's permission bits, and puts the copy on the
// disk before returning true.
bool copyFileDurably(const std::string& from, const std::string& to);

// Puts next at target and keeps target's file until then at previous (replacing what lay
// there); when target did not exist, previous is left absent. Each name holds a whole file
// at every moment where the system allows it (a rename over the old name); Windows cannot
// replace a running program, so there target's file is first renamed aside. A file held by
// another program (a virus scanner) is waited for a few times. False leaves target as it was.
bool swapIntoPlace(const std::string& next, const std::string& target, const std::string& previous);

// Puts the names in folder on the disk (a no-op where the system offers no way to).
bool flushFolder(const std::string& folder);

// Ends this process at once, as a kill would: no destructor, no buffer, no handler runs.
[[noreturn]] void endAbruptly();

// The system's words for the last failed call of this thread ("No space left on device").
std::string lastErrorText();

// The operating system's name and version, for the log file.
std::string systemDescription();

// The command that starts the game's program in its own directory below installDir.
std::string gameStartCommand(const char* installDir);

// Runs a command through the command interpreter and waits for it; its exit status.
int runCommand(const std::string& command);

}  // namespace platform
