#include "host/Startup.h"

int main(int argc, char** argv) { return zk::RunService(argc, argv); }
