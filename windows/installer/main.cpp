#include "driver.h"

// The MinGW-w64 runtime passes the arguments as typed: no wildcard expansion.
extern "C" {
int _dowildcard = 0;
}

int main(int argc, char** argv)
{
    return RunProgram(argc, argv);
}
