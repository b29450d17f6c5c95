#include "TidewellService.h"

int main(int argc, char** argv) { return tidewell::TidewellServiceMain::main(argc, argv); }
