// Arbitrary bytes as the lines after a version file's first: the signature reader must hold for any input.
#include "base/Check.h"
#include "package/Signature.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

// The key whose id the seed corpus's signatures carry, so that their blocks reach the verification.
const std::vector<signing::PublicKey> keys = signing::parsePublicKeys("RWQSebqrryIV4vIldJI1Umk8w6AJFVL/vUOuvbNvq/Jvfp229qrqSFNq");

bool sameSignature(const signing::Signature& a, const signing::Signature& b) {
  return a.keyId == b.keyId && a.signature == b.signature && a.trustedComment == b.trustedComment &&
         a.globalSignature == b.globalSignature;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto signatures = signing::parseSignatures(text);
  QUARVEL_CHECK(signatures.size() * 4 <= static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  // What was read is written back the way minisign writes it and reads the same again.
  for (const signing::Signature& signature : signatures) {
    const auto again = signing::parseSignatures(signing::formatSignature(signature, "again"));
    QUARVEL_CHECK(again.size() == 1 && sameSignature(again[0], signature));
  }
  // A signature is only trusted for the file its trusted comment names.
  const std::string name = "quarvel 1.0 20261205.zip";
  for (const auto& trusted : signing::findPublisherSignatures(text, name, keys))
    QUARVEL_CHECK(std::ranges::any_of(signatures, [&](const signing::Signature& s) {
      return s.signature == trusted.signature && signing::namesFile(s, name);
    }));
  return 0;
}
