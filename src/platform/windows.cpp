#include "platform/Platform.h"

#include "platform/WindowsHandle.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

namespace platform {

namespace {

bool hasAttribute(const std::string& path, DWORD attribute) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & attribute) != 0;
}

// A file that did not exist before; whatever lay at the name is removed, not written through.
UniqueHandle createFreshFile(const std::string& path) {
  DeleteFileA(path.c_str());
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  return UniqueHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

bool writeAll(HANDLE file, const std::string& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(contents.size() - done, 1u << 20));
    if (!WriteFile(file, contents.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

}  // namespace

MakeDirResult makeDirectory(const std::string& path) {
  // Default security; a name that exists already is what a second install meets.
  if (CreateDirectoryA(path.c_str(), nullptr)) return MakeDirResult::Created;
  return GetLastError() == ERROR_ALREADY_EXISTS ? MakeDirResult::AlreadyExists : MakeDirResult::Failed;
}

std::optional<std::uint32_t> fileSizeLow32(const std::string& path) {
  // A folder in the package's place is no package: it has no size to report.
  if (isDirectory(path)) return std::nullopt;
  // All ones is also the low part of a real size (4 GiB less one byte, say): only the
  // error code tells a failure apart, and a success need not clear it.
  SetLastError(NO_ERROR);
  const DWORD size = GetCompressedFileSizeA(path.c_str(), nullptr);
  if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return std::nullopt;
  return static_cast<std::uint32_t>(size);
}

std::optional<std::uint64_t> freeBytes(const std::string& path) {
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

bool isDirectory(const std::string& path) { return hasAttribute(path, FILE_ATTRIBUTE_DIRECTORY); }

// Junctions and symbolic links are both reparse points; neither may redirect an install.
bool isSymlink(const std::string& path) { return hasAttribute(path, FILE_ATTRIBUTE_REPARSE_POINT); }

void allowOwnerWrite(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesA(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

// Windows keeps no permission bits beyond read-only, and a build's files stay writable
// so that the next update can replace them, so the stored mode is not applied.
void setFileMode(const std::string&, unsigned) {}

// Windows flushes one file at a time, through a handle opened for writing; flushing the
// whole volume would need administrator rights. NTFS logs the new names themselves, and
// the version file's write-through move that follows flushes that log. Sharing is left
// wide open so that a virus scanner reading a new file does not fail the update.
std::optional<std::string> flushToDisk(const std::string&, const std::vector<std::string>& files) {
  constexpr DWORD anyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  for (const std::string& path : files) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, anyShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const UniqueHandle handle(file == INVALID_HANDLE_VALUE ? nullptr : file);
    if (!handle || !FlushFileBuffers(handle.get())) return path;
  }
  return std::nullopt;
}

bool replaceFileAtomically(const std::string& path, const std::string& contents) {
  const std::string temporary = path + ".new";
  UniqueHandle file = createFreshFile(temporary);
  if (!file) return false;
  const bool written = writeAll(file.get(), contents) && FlushFileBuffers(file.get());
  file.reset();
  if (!written || !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

// NTFS logs the removal in its journal; Windows gives a player no way to flush a folder.
bool removeFileDurably(const std::string& path) {
  return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

// A plain rename does not replace an existing file here.
bool renameReplacing(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// Others may read the package while it is open (a virus scanner), but not write it. It may
// be renamed, which the launcher does once the last byte has arrived.
std::FILE* openForDownload(const std::string& path) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "r+b");
  if (file == nullptr) _close(fd);
  return file;
}

bool truncateFile(std::FILE* file) {
  return std::fflush(file) == 0 && _chsize_s(_fileno(file), 0) == 0 && std::fseek(file, 0, SEEK_SET) == 0;
}

// The copied handle keeps the original's sharing: nobody else writes the file meanwhile.
std::FILE* reopenForReading(std::FILE* file) {
  if (std::fflush(file) != 0) return nullptr;
  const int fd = _dup(_fileno(file));
  if (fd < 0) return nullptr;
  std::FILE* copy = _fdopen(fd, "rb");
  if (copy == nullptr) _close(fd);
  return copy;
}

// A byte-range lock rather than an open without sharing: a virus scanner or a backup
// program that opens the lock file must not make the launcher think another one runs.
FolderLock::FolderLock(const std::string& lockFile) {
  constexpr DWORD anyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileA(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE, anyShare, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED whole{};
  if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
    state_ = State::Held;
    handle_ = reinterpret_cast<std::intptr_t>(file);
    return;
  }
  state_ = GetLastError() == ERROR_LOCK_VIOLATION ? State::HeldByAnother : State::Unavailable;
  CloseHandle(file);
}

FolderLock::~FolderLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

namespace {

// Maps the whole of an open file; the mapping handle is kept until the view goes.
bool mapWhole(HANDLE file, std::uint64_t size, bool writable, std::intptr_t& mapping, unsigned char*& data) {
  if (size == 0) return true;
  HANDLE map = CreateFileMappingA(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY, 0, 0, nullptr);
  if (!map) return false;
  mapping = reinterpret_cast<std::intptr_t>(map);
  data = static_cast<unsigned char*>(MapViewOfFile(map, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0));
  return data != nullptr;
}

}  // namespace

std::optional<MappedFile> MappedFile::openForReading(const std::string& path) {
  MappedFile file;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  file.file_ = reinterpret_cast<std::intptr_t>(handle);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle, &size)) return std::nullopt;
  file.size_ = static_cast<std::uint64_t>(size.QuadPart);
  if (!mapWhole(handle, file.size_, false, file.mapping_, file.data_)) return std::nullopt;
  return file;
}

std::optional<MappedFile> MappedFile::createForWriting(const std::string& path, std::uint64_t size) {
  MappedFile file;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  file.file_ = reinterpret_cast<std::intptr_t>(handle);
  file.size_ = size;
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) return std::nullopt;
  if (!mapWhole(handle, size, true, file.mapping_, file.data_)) return std::nullopt;
  return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(other.size_),
      file_(std::exchange(other.file_, -1)),
      mapping_(std::exchange(other.mapping_, 0)) {}

MappedFile::~MappedFile() {
  if (data_) UnmapViewOfFile(data_);
  if (mapping_) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
  if (file_ != -1) CloseHandle(reinterpret_cast<HANDLE>(file_));
}

bool MappedFile::flush() {
  return (!data_ || FlushViewOfFile(data_, 0)) && FlushFileBuffers(reinterpret_cast<HANDLE>(file_));
}

// The command interpreter changes into the game's folder and starts the program there
// only if the change worked.
std::string gameStartCommand(const char* installDir) {
  std::ostringstream command;
  command << "cd " << installDir << "\\details && \"Quarvel.exe\"";
  return command.str();
}

int runCommand(const std::string& command) { return std::system(command.c_str()); }

bool copyFileDurably(const std::string& from, const std::string& to) {
  if (!CopyFileA(from.c_str(), to.c_str(), FALSE)) return false;
  return !flushToDisk("", {to}).has_value();
}

// NTFS logs new names in its journal, and every move above writes through.
bool flushFolder(const std::string&) { return true; }


std::string lastErrorText() {
  const DWORD code = GetLastError();  // before FormatMessage, which sets its own
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<char*>(&text), 0, nullptr);
  std::string words = length ? std::string(text, length) : "error " + std::to_string(code);
  LocalFree(text);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) words.pop_back();
  return words;
}

// The version Windows itself reports: GetVersionEx answers what the manifest declares.
std::string systemDescription() {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const auto rtlGetVersion =
      reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
  if (!rtlGetVersion || rtlGetVersion(&version) != 0) return "Windows";
  return "Windows " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) +
         " (build " + std::to_string(version.dwBuildNumber) + ")";
}

}  // namespace platform
