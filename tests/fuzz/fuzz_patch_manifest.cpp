// Arbitrary bytes as a patch's manifest and as the lines after a version file's first: neither reader may
// accept a path that leaves the install folder or a file name with a folder in it, and what the manifest reader
// accepts is written back and read the same again.
#include "base/Check.h"
#include "package/PatchManifest.h"

#include <cstdint>
#include <string>

namespace {

bool sameFile(const PatchedFile& a, const PatchedFile& b) {
  return a.path == b.path && a.delta == b.delta && a.mode == b.mode && a.oldSize == b.oldSize &&
         (!a.oldSize || a.oldHash == b.oldHash) && a.newSize == b.newSize && a.newHash == b.newHash;
}

bool sameManifest(const PatchManifest& a, const PatchManifest& b) {
  if (a.fromLine != b.fromLine || a.toLine != b.toLine || a.packageSize != b.packageSize ||
      a.folders.size() != b.folders.size() || a.files.size() != b.files.size())
    return false;
  for (std::size_t i = 0; i < a.folders.size(); ++i)
    if (a.folders[i].path != b.folders[i].path || a.folders[i].mode != b.folders[i].mode) return false;
  for (std::size_t i = 0; i < a.files.size(); ++i)
    if (!sameFile(a.files[i], b.files[i])) return false;
  return true;
}

bool staysInside(const std::string& path) {
  return !path.empty() && path.front() != '/' && path.find('\\') == std::string::npos &&
         ("/" + path + "/").find("/../") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto manifest = parsePatchManifest(text)) {
    for (const PatchedFolder& folder : manifest->folders) QUARVEL_CHECK(staysInside(folder.path));
    for (const PatchedFile& file : manifest->files) QUARVEL_CHECK(staysInside(file.path) && (file.oldSize || !file.delta));
    const auto again = parsePatchManifest(formatPatchManifest(*manifest));
    QUARVEL_CHECK(again && sameManifest(*again, *manifest));
  }
  for (const PatchAnnouncement& patch : parsePatchAnnouncements(text)) {
    QUARVEL_CHECK(patch.baseLine.size() == 12 && !patch.file.empty());
    QUARVEL_CHECK(patch.file.find_first_of("/\\\n") == std::string::npos);
  }
  return 0;
}
