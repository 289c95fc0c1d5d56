// Entry point of the pellomar program.
#ifdef PELLOMAR_HAVE_APP_SHELL
#include "app/TambrelApp.h"

int main(int argc, char** argv) {
  CTambrelApp app;
  return AfxWinMain(argc, argv);
}
#else
#include <cstdio>

int main() {
  std::puts("Pellomar");
  return 0;
}
#endif
