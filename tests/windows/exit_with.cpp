// Ends with the status its argument names, or with "sleep" sleeps for ten seconds first.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "sleep") == 0) Sleep(10000);
  return argc > 1 ? std::atoi(argv[1]) : 0;
}
