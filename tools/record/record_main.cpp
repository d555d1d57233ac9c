#include "record.h"

int main(int argc, char** argv) { return RecordMain(argc, argv); }
