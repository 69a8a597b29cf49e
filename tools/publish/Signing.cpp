#include "Signing.h"

#include "Refusal.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

// The layout of the secret key file's second line, once decoded.
constexpr std::size_t algorithmAt = 0, kdfAt = 2, checksumAlgorithmAt = 4, saltAt = 6, opsLimitAt = 38,
                      memLimitAt = 46, keyIdAt = 54, secretAt = 62, checksumAt = 126, secretKeyFileSize = 158;
constexpr std::size_t protectedSize = secretKeyFileSize - keyIdAt;  // key id, secret key and checksum

std::string fileQuoted(const std::filesystem::path& file) { return "'" + file.string() + "'"; }

std::uint64_t littleEndian64(const unsigned char* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// The second line of a minisign key file; the first is its untrusted comment.
std::string keyLine(const std::filesystem::path& file, const std::string& what) {
  std::ifstream in(file, std::ios::binary);
  std::string comment, line;
  if (!in) throw Refusal("cannot read the " + what + " " + fileQuoted(file));
  std::getline(in, comment);
  std::getline(in, line);
  if (!comment.starts_with("untrusted comment: ") || line.size() > 1024)
    throw Refusal(fileQuoted(file) + " is not a minisign " + what);
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

std::string terminalPassword() {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) throw Refusal("the secret key is protected by a password: set QUARVEL_SIGN_PASSWORD or run in a terminal");
  std::fputs("Password for the secret key: ", tty);
  std::fflush(tty);
  termios saved{};
  const bool quiet = ::tcgetattr(::fileno(tty), &saved) == 0;
  termios silent = saved;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (quiet) ::tcsetattr(::fileno(tty), TCSANOW, &silent);
  char buffer[1024] = {};
  const bool read = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (quiet) ::tcsetattr(::fileno(tty), TCSANOW, &saved);
  std::fputs("\n", tty);
  std::fclose(tty);
  std::string password(buffer, std::strcspn(buffer, "\r\n"));
  sodium_memzero(buffer, sizeof buffer);
  if (!read) throw Refusal("no password was given for the secret key");
  return password;
}

std::string password() {
  if (const char* given = std::getenv("QUARVEL_SIGN_PASSWORD")) return given;
  return terminalPassword();
}

// Undoes the password's protection: the key id, the secret key and its checksum are
// XORed with an scrypt stream drawn from the password and the file's salt.
void unprotect(unsigned char* bytes, const std::filesystem::path& file) {
  // The file decides how much memory scrypt takes; minisign itself writes 1 GiB.
  if (littleEndian64(bytes + memLimitAt) > (std::uint64_t{1} << 30) || littleEndian64(bytes + opsLimitAt) > (std::uint64_t{1} << 27))
    throw Refusal(fileQuoted(file) + " asks for more work or memory to unlock than minisign's keys; it is damaged");
  std::string secret = password();
  unsigned char stream[protectedSize];
  const int failed = crypto_pwhash_scryptsalsa208sha256(
      stream, sizeof stream, secret.data(), secret.size(), bytes + saltAt, littleEndian64(bytes + opsLimitAt),
      static_cast<std::size_t>(littleEndian64(bytes + memLimitAt)));
  sodium_memzero(secret.data(), secret.size());
  if (failed != 0) throw Refusal("cannot derive the key of " + fileQuoted(file) + " (too little memory?)");
  for (std::size_t i = 0; i < protectedSize; ++i) bytes[keyIdAt + i] ^= stream[i];
  sodium_memzero(stream, sizeof stream);
}

// "minisign -G -W" leaves the checksum of a key without password zero, and minisign
// does not check it then; any other checksum must match.
bool checksumMatches(const unsigned char* bytes, bool passwordProtected) {
  static constexpr unsigned char unset[32] = {};
  if (!passwordProtected && std::memcmp(bytes + checksumAt, unset, sizeof unset) == 0) return true;
  unsigned char covered[2 + 8 + 64], checksum[32];
  std::memcpy(covered, bytes + algorithmAt, 2);
  std::memcpy(covered + 2, bytes + keyIdAt, 8 + 64);
  crypto_generichash(checksum, sizeof checksum, covered, sizeof covered, nullptr, 0);
  sodium_memzero(covered, sizeof covered);
  return sodium_memcmp(checksum, bytes + checksumAt, sizeof checksum) == 0;
}

}  // namespace

SigningKey SigningKey::load(const std::filesystem::path& file) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
  const std::string line = keyLine(file, "secret key");
  unsigned char bytes[secretKeyFileSize];
  std::size_t length = 0;
  const char* end = nullptr;
  const bool decoded = sodium_base642bin(bytes, sizeof bytes, line.data(), line.size(), nullptr, &length, &end,
                                         sodium_base64_VARIANT_ORIGINAL) == 0;
  if (!decoded || length != sizeof bytes || end != line.data() + line.size() ||
      std::memcmp(bytes + algorithmAt, "Ed", 2) != 0 || std::memcmp(bytes + checksumAlgorithmAt, "B2", 2) != 0)
    throw Refusal(fileQuoted(file) + " is not a minisign secret key (a public key, or a damaged file?)");
  const bool passwordProtected = std::memcmp(bytes + kdfAt, "Sc", 2) == 0;
  if (passwordProtected)
    unprotect(bytes, file);
  else if (bytes[kdfAt] != 0 || bytes[kdfAt + 1] != 0)
    throw Refusal(fileQuoted(file) + " is protected in a way this tool does not know");
  const bool intact = checksumMatches(bytes, passwordProtected);
  SigningKey key;
  std::memcpy(key.id_.data(), bytes + keyIdAt, 8);
  std::memcpy(key.secret_.data(), bytes + secretAt, 64);
  sodium_memzero(bytes, sizeof bytes);
  if (!intact) throw Refusal("wrong password for " + fileQuoted(file) + ", or the file is damaged");
  return key;
}

SigningKey::~SigningKey() { sodium_memzero(secret_.data(), secret_.size()); }

std::string SigningKey::sign(const std::filesystem::path& file, const std::string& fileName,
                             const std::string& moreFields, std::optional<std::int64_t> signedAt) const {
  const auto digest = signing::digestOfFile(file.string());
  if (!digest) throw std::runtime_error("cannot read " + fileQuoted(file));

  signing::Signature signature;
  signature.keyId = id_;
  crypto_sign_detached(signature.signature.data(), nullptr, digest->data(), digest->size(), secret_.data());
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  signature.trustedComment =
      "timestamp:" + std::to_string(signedAt.value_or(now.count())) + "\tfile:" + fileName + "\thashed" + moreFields;
  std::string global(signature.signature.begin(), signature.signature.end());
  global += signature.trustedComment;
  crypto_sign_detached(signature.globalSignature.data(), nullptr, reinterpret_cast<const unsigned char*>(global.data()),
                       global.size(), secret_.data());
  return signing::formatSignature(signature, "signature from quarvel-publish");
}

signing::PublicKey SigningKey::publicKey() const {
  signing::PublicKey key{id_, {}};
  std::copy_n(secret_.begin() + 32, 32, key.key.begin());  // an Ed25519 secret key ends in its public key
  return key;
}

signing::PublicKey readPublicKey(const std::string& keyOrFile) {
  const bool file = std::filesystem::is_regular_file(keyOrFile);
  const auto key = signing::parsePublicKey(file ? keyLine(keyOrFile, "public key") : keyOrFile);
  if (!key) throw Refusal(fileQuoted(keyOrFile) + " is not a minisign public key");
  return *key;
}
