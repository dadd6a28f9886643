#include "driver.h"

int main(int argc, char **argv) { return tuvo_main(argc, argv); }
