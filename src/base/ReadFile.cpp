#include "base/ReadFile.h"

#include <fstream>

std::string readFileUpTo(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  std::string text;
  char chunk[4096];
  while (text.size() < limit && in.read(chunk, static_cast<std::streamsize>(std::min(sizeof chunk, limit - text.size()))).gcount() > 0)
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
  return text;
}
