#include "package/Signature.h"

#include "version/VersionInfo.h"

#include <sodium.h>

#include <algorithm>
#include <ctime>
#include <fstream>

namespace signing {
namespace {

constexpr std::string_view untrustedPrefix = "untrusted comment: ", trustedPrefix = "trusted comment: ";
// A legacy signature (minisign -l) carries the key's own algorithm name.
constexpr std::array<unsigned char, 2> keyAlgorithm{'E', 'd'}, prehashedAlgorithm{'E', 'D'};
constexpr std::size_t publicKeySize = 2 + 8 + 32, signatureSize = 2 + 8 + 64;

// libsodium picks its implementations once; every entry point makes sure that happened.
bool sodiumReady() { return sodium_init() >= 0; }

// The exact decoding of a base64 text of known length; anything else gives nothing.
template <std::size_t N>
std::optional<std::array<unsigned char, N>> decodeExactly(std::string_view base64) {
  std::array<unsigned char, N> bytes;
  std::size_t length = 0;
  const char* end = nullptr;
  if (!sodiumReady() || sodium_base642bin(bytes.data(), N, base64.data(), base64.size(), nullptr, &length, &end,
                                          sodium_base64_VARIANT_ORIGINAL) != 0)
    return std::nullopt;
  if (length != N || end != base64.data() + base64.size()) return std::nullopt;
  return bytes;
}

std::string encode(const unsigned char* bytes, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t feed = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, feed);
    while (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(std::min(feed + 1, text.size()));
  }
  return lines;
}

// The block whose four lines start at lines[i]; empty unless each has its form.
std::optional<Signature> parseBlock(const std::vector<std::string_view>& lines, std::size_t i,
                                    const std::array<unsigned char, 2>& algorithm = prehashedAlgorithm) {
  if (i + 4 > lines.size() || !lines[i].starts_with(untrustedPrefix) || !lines[i + 2].starts_with(trustedPrefix))
    return std::nullopt;
  const auto bytes = decodeExactly<signatureSize>(lines[i + 1]);
  const auto global = decodeExactly<64>(lines[i + 3]);
  // The older "Ed" form signs the whole file, which would have to be read once more.
  if (!bytes || !global || !std::equal(algorithm.begin(), algorithm.end(), bytes->begin()))
    return std::nullopt;
  Signature signature;
  std::copy_n(bytes->begin() + 2, 8, signature.keyId.begin());
  std::copy_n(bytes->begin() + 10, 64, signature.signature.begin());
  signature.trustedComment = lines[i + 2].substr(trustedPrefix.size());
  signature.globalSignature = *global;
  return signature;
}

bool vouchesForComment(const Signature& signature, const PublicKey& key) {
  std::string signedText(signature.signature.begin(), signature.signature.end());
  signedText += signature.trustedComment;
  return crypto_sign_verify_detached(signature.globalSignature.data(),
                                     reinterpret_cast<const unsigned char*>(signedText.data()), signedText.size(),
                                     key.key.data()) == 0;
}

}  // namespace

std::optional<PublicKey> parsePublicKey(std::string_view base64) {
  const auto bytes = decodeExactly<publicKeySize>(base64);
  if (!bytes || !std::equal(keyAlgorithm.begin(), keyAlgorithm.end(), bytes->begin())) return std::nullopt;
  PublicKey key;
  std::copy_n(bytes->begin() + 2, 8, key.id.begin());
  std::copy_n(bytes->begin() + 10, 32, key.key.begin());
  return key;
}

std::vector<PublicKey> parsePublicKeys(std::string_view list) {
  std::vector<PublicKey> keys;
  while (!list.empty()) {
    const std::size_t comma = std::min(list.find(','), list.size());
    if (const auto key = parsePublicKey(list.substr(0, comma))) keys.push_back(*key);
    list.remove_prefix(std::min(comma + 1, list.size()));
  }
  return keys;
}

std::string keyIdText(const KeyId& id) {
  std::string text;
  for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
    text += "0123456789ABCDEF"[*byte >> 4];
    text += "0123456789ABCDEF"[*byte & 15];
  }
  return text;
}

namespace {

bool holdsLegacySignature(std::string_view text) {
  const std::vector<std::string_view> lines = splitLines(text);
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (parseBlock(lines, i, keyAlgorithm)) return true;
  return false;
}

}  // namespace

std::vector<Signature> parseSignatures(std::string_view text) {
  const std::vector<std::string_view> lines = splitLines(text);
  std::vector<Signature> signatures;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto signature = parseBlock(lines, i)) {
      signatures.push_back(std::move(*signature));
      i += 3;
    }
  }
  return signatures;
}

std::string formatSignature(const Signature& signature, std::string_view untrustedComment) {
  std::array<unsigned char, signatureSize> bytes;
  std::copy(prehashedAlgorithm.begin(), prehashedAlgorithm.end(), bytes.begin());
  std::copy(signature.keyId.begin(), signature.keyId.end(), bytes.begin() + 2);
  std::copy(signature.signature.begin(), signature.signature.end(), bytes.begin() + 10);
  if (!sodiumReady()) return {};
  std::string text(untrustedPrefix);
  text.append(untrustedComment).append("\n").append(encode(bytes.data(), bytes.size())).append("\n");
  text.append(trustedPrefix).append(signature.trustedComment).append("\n");
  return text + encode(signature.globalSignature.data(), signature.globalSignature.size()) + "\n";
}

std::optional<std::string_view> commentField(std::string_view comment, std::string_view name) {
  while (true) {
    const std::size_t tab = std::min(comment.find('\t'), comment.size());
    const std::string_view field = comment.substr(0, tab);
    if (field.size() > name.size() && field.starts_with(name) && field[name.size()] == ':')
      return field.substr(name.size() + 1);
    if (tab == comment.size()) return std::nullopt;
    comment.remove_prefix(tab + 1);
  }
}

std::optional<std::int64_t> commentTime(std::string_view comment, std::string_view name) {
  const auto value = commentField(comment, name);
  return value ? decimalNumber(*value) : std::nullopt;
}

const TrustedSignature* newestOf(const std::vector<TrustedSignature>& signatures) {
  const auto newest = std::ranges::max_element(signatures, {}, [](const TrustedSignature& s) {
    return commentTime(s.trustedComment, "timestamp").value_or(-1);
  });
  return newest == signatures.end() ? nullptr : &*newest;
}

std::optional<std::int64_t> signedTime(const std::vector<TrustedSignature>& signatures) {
  const TrustedSignature* newest = newestOf(signatures);
  return newest ? commentTime(newest->trustedComment, "timestamp") : std::nullopt;
}

std::string utcText(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm parts{};
#ifdef _WIN32
  const bool converted = gmtime_s(&parts, &time) == 0;
#else
  const bool converted = gmtime_r(&time, &parts) != nullptr;
#endif
  // A time that the calendar functions refuse (a record written by hand, say) is still named.
  char text[40];
  if (!converted || parts.tm_year > 8000 || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
    return std::to_string(seconds) + " s after 1970";
  return text;
}

bool namesFile(const Signature& signature, std::string_view fileName) {
  return commentField(signature.trustedComment, "file") == fileName;
}

std::vector<TrustedSignature> findPublisherSignatures(std::string_view text, std::string_view fileName,
                                                      const std::vector<PublicKey>& keys) {
  std::vector<TrustedSignature> trusted;
  if (!sodiumReady()) return trusted;
  for (const Signature& signature : parseSignatures(text)) {
    if (!namesFile(signature, fileName)) continue;
    for (const PublicKey& key : keys)
      if (key.id == signature.keyId && vouchesForComment(signature, key)) trusted.push_back({key, signature.signature, signature.trustedComment});
  }
  return trusted;
}

bool signsDigest(const std::vector<TrustedSignature>& signatures, const Digest& digest) {
  return std::ranges::any_of(signatures, [&](const TrustedSignature& s) { return signsDigest(s, digest); });
}

std::string refusalReason(std::string_view text, std::string_view fileName, const std::vector<PublicKey>& keys) {
  const std::vector<Signature> signatures = parseSignatures(text);
  if (signatures.empty())
    return holdsLegacySignature(text) ? "the version file is signed in minisign's legacy mode; sign without -l"
                                      : "the version file carries no signature";
  for (const Signature& signature : signatures) {
    const auto key = std::ranges::find(keys, signature.keyId, &PublicKey::id);
    if (key == keys.end()) continue;
    if (!vouchesForComment(signature, *key)) return "the trusted comment does not match its signature by key " + keyIdText(key->id);
    if (!namesFile(signature, fileName))
      return "the signature by key " + keyIdText(key->id) + " is for '" + signature.trustedComment + "', not for '" +
             std::string(fileName) + "'";
  }
  return "no signature is by a key of this launcher (the first is by key " + keyIdText(signatures.front().keyId) + ")";
}

bool signsDigest(const TrustedSignature& signature, const Digest& digest) {
  return sodiumReady() && crypto_sign_verify_detached(signature.signature.data(), digest.data(), digest.size(),
                                                      signature.key.key.data()) == 0;
}

FileHasher::FileHasher() : state_(std::make_unique<crypto_generichash_blake2b_state>()) {
  // sodium_init cannot fail where the launcher runs (it only picks implementations);
  // should it, no digest would verify, so nothing would be installed.
  sodiumReady();
  restart();
}

void FileHasher::restart() { crypto_generichash_blake2b_init(state_.get(), nullptr, 0, std::tuple_size_v<Digest>); }

FileHasher::~FileHasher() = default;

void FileHasher::update(const void* data, std::size_t size) {
  crypto_generichash_blake2b_update(state_.get(), static_cast<const unsigned char*>(data), size);
}

Digest FileHasher::finish() {
  Digest digest;
  crypto_generichash_blake2b_final(state_.get(), digest.data(), digest.size());
  return digest;
}

std::optional<Digest> digestOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  FileHasher hasher;
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
    hasher.update(buffer.data(), static_cast<std::size_t>(in.gcount()));
  if (in.bad()) return std::nullopt;
  return hasher.finish();
}

std::string linesAfterFirst(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::size_t skipped = 0;
  char c = 0;
  while (in.get(c) && c != '\n')
    if (++skipped > limit) return {};  // a first line this long is no version line
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

}  // namespace signing
