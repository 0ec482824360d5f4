// bankctl: shows and changes the boot setting record on the boot setting block device.
#pragma once

// The whole tool: reads the 32-byte record at the start of /dev/mtdblock3 (rooted), carries out
// the command of argv[1] and prints on standard output. The exit status (0, or 1 for a wrong
// command or a device that cannot be opened or read).
int bankctl_main(int argc, char** argv);
