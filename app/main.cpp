// Entry point of the pellomar program.
#include <cstdio>

int main() {
  std::puts("Pellomar");
  return 0;
}
