// Script requests to the script runner: the text "kind,value" on its POSIX message queue.
#pragma once

enum {
  SCRIPT_KIND_HOLD = 0,     // hold level reached while the switch is pressed
  SCRIPT_KIND_RELEASE = 1,  // hold level at release
  SCRIPT_KIND_CLOUD = 2,    // script number 0..9 requested by the cloud
};

// Prints the request and its message on standard output, then sends the message (without a
// terminating zero, priority 0) to the existing queue. 0 sent; -1 for a kind above 2, a
// cloud script number above 9, or a queue failure (reported with perror, the event is lost).
// Opens and closes the queue per message, so any thread may call it.
int execScriptRequest(int kind, int value);

// Turns the two console lines on or off (on by default); failures are reported either way.
void execScriptRequestSetConsole(bool on);
