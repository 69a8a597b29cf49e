// Stands in for the game's program: it records the folder it was started in.
#include <cstdio>
#include <filesystem>

int main() {
  std::FILE* out = std::fopen("started.txt", "w");
  if (out == nullptr) return 1;
  std::fputs(std::filesystem::current_path().string().c_str(), out);
  return std::fclose(out) == 0 ? 0 : 1;
}
