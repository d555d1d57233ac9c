// The native commands, each the main of one name of the multi-call executable (native_main.cpp):
// they take the whole command line, argv[0] included, and return the exit status.
#pragma once

int ScanMain(int argc, char** argv);
int RelayMain(int argc, char** argv);
int RecordMain(int argc, char** argv);
