// Command line and run control.
#pragma once

// The usage text, written to standard error when no argument is given.
extern const char* const Usage;

// Parses the arguments, runs the one file named and returns the exit status.
int SondrelMain(int argc, char** argv);
