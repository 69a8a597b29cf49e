// The Windows runs' stand-in program. Without an argument it stands in for the game's program and leaves started.txt
// in the folder it was started in; "hold PATH" holds PATH open without any sharing, as a virus scanner may, until it
// is ended (printing "held" once the file is open); "STATUS" ends with STATUS, "sleep" sleeps ten seconds first.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc == 1) return std::fopen("started.txt", "w") == nullptr;
  if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
    const HANDLE file = CreateFileA(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::puts("held");
    std::fflush(stdout);
    Sleep(INFINITE);
  }
  if (std::strcmp(argv[1], "sleep") == 0) Sleep(10000);
  return std::atoi(argv[1]);
}
