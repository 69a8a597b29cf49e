#pragma once
// Publisher signatures in minisign's format, so that studios sign with that tool or ours
// and anyone can check a build with "minisign -V": Ed25519 over the BLAKE2b-512 of the
// file (the "ED" form), plus a second signature that binds a trusted comment to the first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct crypto_generichash_blake2b_state;

namespace signing {

using KeyId = std::array<unsigned char, 8>;
using Digest = std::array<unsigned char, 64>;
using Ed25519Signature = std::array<unsigned char, 64>;

struct PublicKey {
  KeyId id{};
  std::array<unsigned char, 32> key{};
};

// One signature block: "untrusted comment: ...", the signature, "trusted comment: ...",
// the global signature.
struct Signature {
  KeyId keyId{};
  Ed25519Signature signature{};  // over the file's digest
  std::string trustedComment;
  Ed25519Signature globalSignature{};  // over signature followed by trustedComment
};

// A signature whose trusted comment one of the publisher's keys vouches for.
struct TrustedSignature {
  PublicKey key;
  Ed25519Signature signature{};
  std::string trustedComment = {};
};

// The value of the trusted comment's first tab-separated field "name:VALUE"; none when it has
// no such field.
std::optional<std::string_view> commentField(std::string_view comment, std::string_view name);
// The same field read as a whole decimal number of seconds since 1970 ("timestamp", "expires").
std::optional<std::int64_t> commentTime(std::string_view comment, std::string_view name);
// The signature with the latest "timestamp", what the publisher said last about its file; null
// for none.
const TrustedSignature* newestOf(const std::vector<TrustedSignature>& signatures);
// Its "timestamp": when the publisher last signed the file they vouch for.
std::optional<std::int64_t> signedTime(const std::vector<TrustedSignature>& signatures);
// "2026-12-08 11:50:02 UTC", for the log file.
std::string utcText(std::int64_t seconds);

// The base64 line of a ".pub" file ("RW..."); empty unless it is an Ed25519 key.
std::optional<PublicKey> parsePublicKey(std::string_view base64);
// Comma-separated base64 lines; a malformed one is left out.
std::vector<PublicKey> parsePublicKeys(std::string_view list);
// As minisign prints it: the eight bytes as one little-endian number in hex, "E21522AFABBA7912".
std::string keyIdText(const KeyId& id);

// Every well-formed "ED" block in text, in order; lines may end in CR LF.
std::vector<Signature> parseSignatures(std::string_view text);
// The block's four lines as minisign writes them, each ended by a line feed.
std::string formatSignature(const Signature& signature, std::string_view untrustedComment);

// True when one of the trusted comment's tab-separated fields is "file:" + fileName.
bool namesFile(const Signature& signature, std::string_view fileName);

// Every signature in text that a key of keys made, whose trusted comment that key vouches
// for and names fileName. More than one may stand there: an older one for a build
// published again, or one by each key while a key is being replaced.
std::vector<TrustedSignature> findPublisherSignatures(std::string_view text, std::string_view fileName,
                                                      const std::vector<PublicKey>& keys);
bool signsDigest(const TrustedSignature& signature, const Digest& digest);
bool signsDigest(const std::vector<TrustedSignature>& signatures, const Digest& digest);  // any of them
// Why findPublisherSignatures finds nothing in text, in words for the log file.
std::string refusalReason(std::string_view text, std::string_view fileName, const std::vector<PublicKey>& keys);

// BLAKE2b-512 of a file fed piece by piece, as it arrives.
class FileHasher {
 public:
  FileHasher();
  ~FileHasher();
  FileHasher(const FileHasher&) = delete;
  FileHasher& operator=(const FileHasher&) = delete;

  void update(const void* data, std::size_t size);
  void restart();  // forgets what it was fed, for a file written again from its first byte
  Digest finish();

 private:
  std::unique_ptr<crypto_generichash_blake2b_state> state_;  // complete only in the source file
};

// The BLAKE2b-512 of a whole file; empty when it cannot be read.
std::optional<Digest> digestOfFile(const std::string& path);

// At most limit bytes of what follows the first line of a file: where a version file
// carries its signatures. Empty when the file cannot be read.
std::string linesAfterFirst(const std::string& path, std::size_t limit = 4096);

}  // namespace signing
