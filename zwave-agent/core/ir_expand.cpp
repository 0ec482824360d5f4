// IR accessory commands: placeholder bodies until the handler lands.
#include "hbn_ir.h"

int HBN_core_expandCmdInit() { return 1; }
void HBN_core_expandCmdFinish() {}
int HBN_core_expandCmdSend(int, const uint8_t*, int, int) { return 0; }
int HBN_core_expandCmdRecv(int, int, const uint8_t*) { return 0; }
