// korvantyr-record's native recorder, as a function so that a multi-call executable can hold it
// beside the other native commands: argv[0] is not read. Returns the exit code.
#pragma once

int RecordMain(int argc, char** argv);
