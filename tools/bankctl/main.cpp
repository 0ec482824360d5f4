#include "bankctl.h"

int main(int argc, char** argv) { return bankctl_main(argc, argv); }
