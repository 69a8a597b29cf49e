#include "Delta.h"

#include "Refusal.h"
#include "platform/FilePtr.h"
#include "platform/Platform.h"

#define ZSTD_STATIC_LINKING_ONLY  // the window limits
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <vector>

namespace {

struct CctxFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

void require(std::size_t result, const char* what) {
  if (ZSTD_isError(result)) throw Refusal(std::string("zstd cannot ") + what + ": " + ZSTD_getErrorName(result));
}

platform::MappedFile mapped(const std::filesystem::path& file) {
  auto map = platform::MappedFile::openForReading(file.string());
  if (!map) throw Refusal("cannot read '" + file.string() + "': " + platform::lastErrorText());
  return std::move(*map);
}

}  // namespace

void writeDelta(const std::filesystem::path& oldFile, const std::filesystem::path& newFile,
                const std::filesystem::path& out, int level) {
  const platform::MappedFile base = mapped(oldFile), target = mapped(newFile);
  const std::unique_ptr<ZSTD_CCtx, CctxFree> context(ZSTD_createCCtx());
  if (!context) throw Refusal("zstd cannot start");
  const std::uint64_t span = std::max<std::uint64_t>({base.size(), target.size(), 1});
  const int windowLog = std::clamp(static_cast<int>(std::bit_width(span - 1)), ZSTD_WINDOWLOG_MIN, ZSTD_WINDOWLOG_MAX);
  require(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level), "take the level");
  require(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog), "take the window");
  require(ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1), "match over long distances");
  require(ZSTD_CCtx_setPledgedSrcSize(context.get(), target.size()), "take the size");
  require(ZSTD_CCtx_refPrefix(context.get(), base.data(), base.size()), "take the old file");

  const FilePtr file(std::fopen(out.c_str(), "wb"));
  if (!file) throw Refusal("cannot write '" + out.string() + "': " + platform::lastErrorText());
  std::vector<char> chunk(ZSTD_CStreamOutSize());
  ZSTD_inBuffer in{target.data(), static_cast<std::size_t>(target.size()), 0};
  for (std::size_t left = 1; left != 0;) {
    ZSTD_outBuffer output{chunk.data(), chunk.size(), 0};
    left = ZSTD_compressStream2(context.get(), &output, &in, ZSTD_e_end);
    require(left, "compress");
    if (std::fwrite(chunk.data(), 1, output.pos, file.get()) != output.pos)
      throw Refusal("cannot write '" + out.string() + "': " + platform::lastErrorText());
  }
  if (std::fflush(file.get()) != 0) throw Refusal("cannot write '" + out.string() + "': " + platform::lastErrorText());
}
