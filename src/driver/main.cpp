#include "driver/run.h"

int main(int argc, char** argv) { return retune::driver::run(argc, argv); }
