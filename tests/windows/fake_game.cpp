// Stands in for the game's program: it leaves started.txt in the folder it was started in.
#include <cstdio>

int main() { return std::fopen("started.txt", "w") == nullptr; }
