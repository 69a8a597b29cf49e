#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// Replaces path with contents so that a crash leaves either the old or the new file.
bool replaceFileAtomically(const std::string& path, const std::string& contents);

// The command that starts the game's program in its own directory below installDir.
std::string gameStartCommand(const char* installDir);

// Runs a command through the command interpreter and waits for it.
void runCommand(const std::string& command);

}  // namespace platform
