#include "device/simulator.h"
#include "platform/program.h"

int main(int argc, char** argv) {
  quento::platform::Arguments arguments(argc, argv);
  return quento::device::RunDevice(arguments.argc(), arguments.argv());
}
