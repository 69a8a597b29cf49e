// Holds a file open without any sharing, as a virus scanner may, until it is ended:
//   quarvel-hold-file PATH   (prints "held" once the file is open)
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::puts("held");
  std::fflush(stdout);
  Sleep(INFINITE);
  CloseHandle(file);
  return 0;
}
