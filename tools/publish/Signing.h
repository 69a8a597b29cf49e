#pragma once

#include "package/Signature.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// A studio's secret key, read from the file that "minisign -G" (or "-G -W" for one
// without a password) wrote. The key bytes are wiped when it goes.
class SigningKey {
 public:
  // Asks for the password, from QUARVEL_SIGN_PASSWORD or else the terminal, only when
  // the file is protected by one. Throws a Refusal naming what is wrong with the file.
  static SigningKey load(const std::filesystem::path& file);
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;
  SigningKey(SigningKey&&) = default;

  // The four lines of the file's signature, as "minisign -S" writes them: the trusted
  // comment gives the time (now, or the one the file was first signed at) and names the file
  // as fileName; more fields, each after a tab, follow when given (an expiry, a rollout).
  std::string sign(const std::filesystem::path& file, const std::string& fileName, const std::string& moreFields = "",
                   std::optional<std::int64_t> signedAt = std::nullopt) const;
  // The public half, to check what was signed with this key before.
  signing::PublicKey publicKey() const;

 private:
  SigningKey() = default;
  signing::KeyId id_{};
  std::array<unsigned char, 64> secret_{};
};

// The key that --check is given: the base64 line itself, or a ".pub" file holding it.
signing::PublicKey readPublicKey(const std::string& keyOrFile);
