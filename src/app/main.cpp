#include "app/app_main.h"

int main(int argc, char** argv) { return tervalo::app::runTervalo(argc, argv); }
