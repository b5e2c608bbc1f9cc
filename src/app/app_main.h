#pragma once
// The program entry of tervalo: the command line, the single-instance lock, the host and the
// main window.
namespace tervalo::app {

// tervalo [--simulate[=FILE]] [--log-dir DIR]. Returns the exit code: 0 also when another
// instance holds the lock (nothing is shown then), 2 for a bad command line or scenario.
int runTervalo(int argc, char** argv);

}  // namespace tervalo::app
