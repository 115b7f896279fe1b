#include "device/simulator.h"

int main(int argc, char** argv) { return quento::device::RunDevice(argc, argv); }
