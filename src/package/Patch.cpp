#include "package/Patch.h"

#include "base/OwnNames.h"
#include "package/DiskSpace.h"
#include "package/ExtractSteps.h"
#include "platform/Platform.h"
#include "version/VersionInfo.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer: decode straight into the mapped file
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr zip_uint64_t manifestLimit = 64u << 20;

struct DctxFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

}  // namespace

std::optional<PatchManifest> readPatchManifest(zip_t* archive) {
  const auto text = readSmallEntry(archive, patchManifestEntry, manifestLimit);
  return text ? parsePatchManifest(*text) : std::nullopt;
}

namespace {

std::string entryName(const PatchedFile& file) {
  return (file.delta ? patchDeltasFolder : patchFilesFolder) + file.path;
}

// The installed file is the base's when its size and hash are the manifest's.
bool isBaseFile(const std::string& path, const PatchedFile& file) {
  const auto mapped = platform::MappedFile::openForReading(path);
  if (!mapped || mapped->size() != *file.oldSize) return false;
  signing::FileHasher hasher;
  hasher.update(mapped->data(), mapped->size());
  return hasher.finish() == file.oldHash;
}

// The first file the patch replaces that is not what the base build installed.
std::optional<std::string> firstChangedBaseFile(const PatchManifest& manifest, const std::string& installDir) {
  for (const PatchedFile& file : manifest.files)
    if (file.oldSize && !isBaseFile(installDir + "/" + file.path, file)) return installDir + "/" + file.path;
  return std::nullopt;
}

// Whole files cost what they add; a delta's new copy stands beside the old file until
// it replaces it, so the largest one counts in full on top.
std::uint64_t bytesNeeded(const PatchManifest& manifest, const std::string& installDir) {
  std::uint64_t total = 0, largestCopy = 0;
  for (const PatchedFile& file : manifest.files) {
    const std::string target = installDir + "/" + file.path;
    total = addCapped(total, file.delta ? (file.newSize > *file.oldSize ? file.newSize - *file.oldSize : 0)
                                        : bytesAdded(target, file.newSize));
    if (file.delta) largestCopy = std::max(largestCopy, file.newSize);
  }
  return addCapped(total, largestCopy);
}

// Decodes the delta entry into the new file, whose size the manifest gives; the
// installed file is the window the delta refers back into. Nothing of either file is
// copied into the process: both are mapped, and the decoder writes into the mapping.
std::optional<std::string> decodeDelta(zip_t* archive, zip_uint64_t index, const platform::MappedFile& base,
                                       platform::MappedFile& result, char* buffer) {
  const std::unique_ptr<ZSTD_DCtx, DctxFree> context(ZSTD_createDCtx());
  ZipFilePtr delta(zip_fopen_index(archive, index, 0));
  if (!context || !delta) return "the delta cannot be read";
  // Without the stable output buffer the decoder would allocate a window as large as the
  // frame asks for: it must take it, or nothing is decoded.
  if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX)) ||
      ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1)) ||
      ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), base.data(), base.size())))
    return "zstd cannot decode into the mapped file";
  static char nothing;
  ZSTD_outBuffer out{result.data() ? static_cast<void*>(result.data()) : &nothing, result.size(), 0};
  std::size_t left = 1;  // what the decoder still expects of the frame; 0 once it is whole
  while (true) {
    const zip_int64_t r = zip_fread(delta.get(), buffer, readBufferSize);
    if (r < 0) return "the delta cannot be read";
    if (r == 0) break;
    ZSTD_inBuffer in{buffer, static_cast<std::size_t>(r), 0};
    while (in.pos < in.size) {
      if (left == 0) return "the delta goes on past its end";
      left = ZSTD_decompressStream(context.get(), &out, &in);
      if (ZSTD_isError(left)) return std::string("the delta does not decode (") + ZSTD_getErrorName(left) + ")";
      if (left != 0 && out.pos == out.size && in.pos < in.size) return "the delta yields more than the new size";
    }
  }
  if (left != 0 || out.pos != out.size) return "the delta yields another size than the manifest's";
  return std::nullopt;
}

std::optional<std::string> decodeBeside(zip_t* archive, zip_uint64_t index, const std::string& target,
                                        const std::string& copy, const PatchedFile& file, char* buffer) {
  {
    const auto base = platform::MappedFile::openForReading(target);
    auto result = platform::MappedFile::createForWriting(copy, file.newSize);
    if (!base || !result) return "cannot map " + (base ? copy : target) + ": " + platform::lastErrorText();
    if (auto failure = decodeDelta(archive, index, *base, *result, buffer)) return failure;
    signing::FileHasher hasher;
    hasher.update(result->data(), result->size());
    if (hasher.finish() != file.newHash) return std::string("the decoded file is not the one the manifest names");
    if (!result->flush()) return "cannot flush " + copy + ": " + platform::lastErrorText();
  }
  platform::setFileMode(copy, permittedMode(file.mode, false));
  platform::allowOwnerWrite(target);
  if (!platform::renameReplacing(copy, target)) return "cannot rename " + copy + ": " + platform::lastErrorText();
  return std::nullopt;
}

// A new copy that was not renamed into place goes again: the package installed instead
// would leave it behind.
std::optional<std::string> applyDelta(zip_t* archive, zip_uint64_t index, const std::string& target,
                                      const PatchedFile& file, char* buffer) {
  const std::string copy = target + patchCopySuffix;
  auto failure = decodeBeside(archive, index, target, copy, file, buffer);
  if (failure) std::remove(copy.c_str());
  return failure;
}

class PatchRun {
 public:
  PatchRun(zip_t* archive, const PatchManifest& manifest, const std::string& installDir, const ExtractionHooks& hooks)
      : archive_(archive), manifest_(manifest), installDir_(installDir), hooks_(hooks) {}

  bool writeAll() {
    if (const std::string shortage = diskSpaceShortage(bytesNeeded(manifest_, installDir_), installDir_);
        !shortage.empty())
      return abortExtraction(hooks_, shortage);
    hooks_.report.addLine("    Extracting files");
    if (const auto failure = hooks_.beginWriting()) return abortExtraction(hooks_, *failure);
    platform::makeDirectory(installDir_ + "/");
    for (const PatchedFolder& folder : manifest_.folders)
      if (!makeFolder(folder)) return false;
    for (std::size_t i = 0; i < manifest_.files.size(); ++i)
      if (hooks_.report.stopRequested() || !writeFile(manifest_.files[i], static_cast<int>(i + 1))) return false;
    if (const auto failed = platform::flushToDisk(installDir_, written_))
      return abortExtraction(hooks_, "    Failed to write file " + *failed, platform::lastErrorText());
    return true;
  }

 private:
  bool makeFolder(const PatchedFolder& folder) {
    const std::string target = installDir_ + "/" + folder.path + "/";
    if (passesThroughSymlink(target, installDir_))
      return abortExtraction(hooks_, "    Unsafe path in package " + folder.path);
    if (const auto failure = makeRoomFor(target, installDir_))
      return abortExtraction(hooks_, "    Failed to remove " + pathOf(target), *failure);
    if (platform::makeDirectory(target) == platform::MakeDirResult::Failed)
      return abortExtraction(hooks_, "    Failed to create directory " + target, platform::lastErrorText());
    platform::setFileMode(target, permittedMode(folder.mode, true));
    return true;
  }

  bool writeFile(const PatchedFile& file, int k) {
    const std::string name = entryName(file), target = installDir_ + "/" + file.path;
    hooks_.report.replaceLine(progressLine(k, static_cast<std::int64_t>(manifest_.files.size()), name.c_str()));
    hooks_.report.pause(entryPause);
    if (passesThroughSymlink(target, installDir_)) return abortExtraction(hooks_, "    Unsafe path in package " + name);
    const zip_int64_t index = zip_name_locate(archive_, name.c_str(), 0);
    zip_stat_t stat;
    if (index < 0 || zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &stat) != 0)
      return abortExtraction(hooks_, "    Failed to open file " + target);
    const auto at = static_cast<zip_uint64_t>(index);
    if (file.delta) {
      if (auto failure = applyDelta(archive_, at, target, file, buffer_.get()))
        return abortExtraction(hooks_, "    Failed to patch file " + target, *failure);
    } else {
      if (const auto failure = makeRoomFor(target, installDir_))
        return abortExtraction(hooks_, "    Failed to remove " + target, *failure);
      const CopyResult copied = stat.size == file.newSize ? copyEntry(archive_, at, stat, target, buffer_.get(), hooks_)
                                                          : CopyResult::ReadFailed;
      if (copied == CopyResult::Interrupted) return false;
      if (copied != CopyResult::Copied)
        return abortExtraction(hooks_, "    Failed to write file " + target, platform::lastErrorText());
      platform::setFileMode(target, permittedMode(file.mode, false));
    }
    written_.push_back(target);
    return true;
  }

  zip_t* archive_;
  const PatchManifest& manifest_;
  const std::string& installDir_;
  const ExtractionHooks& hooks_;
  std::unique_ptr<char[]> buffer_ = std::make_unique_for_overwrite<char[]>(readBufferSize);
  std::vector<std::string> written_;
};

}  // namespace

PatchOutcome applyPatch(FilePtr patch, const std::string& patchName, const PatchTarget& target,
                        const std::string& installDir, const ExtractionHooks& hooks) {
  zip_error_t error;
  zip_error_init(&error);
  const OpenedArchive archive = patch ? openArchive(patch, error) : OpenedArchive{};
  const std::string words = zip_error_code_zip(&error) != ZIP_ER_OK ? zip_error_strerror(&error) : "";
  zip_error_fini(&error);
  // A patch that cannot be used costs the player nothing but the package's download: no
  // start would ever get past it otherwise, since nothing was written.
  const std::string unusable = "    The patch cannot be used; getting the whole build instead.";
  if (!archive.zip) {
    hooks.report.addLine(unusable);
    hooks.report.detail("cannot open '" + patchName + "' as an archive: " + (words.empty() ? "the download left no whole file" : words));
    return PatchOutcome::UseFullPackage;
  }
  hooks.report.addLine("    Applying a patch to the installed build: only what changed was downloaded.");
  const auto manifest = readPatchManifest(archive.zip.get());
  if (!manifest || versionOfLine(manifest->fromLine) != target.fromVersion ||
      versionOfLine(manifest->toLine) != target.toVersion) {
    hooks.report.addLine(unusable);
    hooks.report.detail("'" + patchName + "' holds no manifest from " + target.fromVersion + " to " + target.toVersion);
    return PatchOutcome::UseFullPackage;
  }
  const std::uint64_t saved = manifest->packageSize > target.patchBytes ? manifest->packageSize - target.patchBytes : 0;
  hooks.report.detail("patch from " + target.fromVersion + " to " + target.toVersion + ": '" + patchName + "', " +
               std::to_string(target.patchBytes) + " bytes instead of the package's " +
               std::to_string(manifest->packageSize) + ", " + std::to_string(saved) + " bytes saved");
  if (const auto changed = firstChangedBaseFile(*manifest, installDir)) {
    hooks.report.addLine("    " + *changed + " is not the installed build's own; getting the whole build instead.");
    return PatchOutcome::UseFullPackage;
  }
  if (!PatchRun(archive.zip.get(), *manifest, installDir, hooks).writeAll()) return PatchOutcome::Failed;
  hooks.report.addLine("    Done.");
  return PatchOutcome::Applied;
}
