// brenix-mount: attaches volumes of Brenix virtual disks under drive letters.
#include "brenixMount.h"

int main(int argc, char **argv) { return BrenixMain(argc, argv); }
