#include "cli/tervaloctl.h"

int main(int argc, char** argv) { return tervalo::cli::runTervaloctl(argc, argv); }
