#include "driver.h"

#include <cstdio>

int tuvo_main(int, char **) {
  std::fputs("tuvo: not built yet\n", stderr);
  return 1;
}
