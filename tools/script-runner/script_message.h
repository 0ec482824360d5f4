// Script requests as the script runner reads them: the text "kind,number" and the script it
// selects. Kept apart from the daemon so that the parsing can be driven on its own.
#pragma once
#include <cstddef>
#include <string>

namespace scriptrunner {

// "kind,number" with both parts strict decimal ints (optional sign, digits, nothing else, no
// overflow). False for anything else.
bool parseRequest(const char* text, int* kind, int* number);
// A printable, bounded copy (at most 64 characters) of a request for the log.
std::string printable(const char* text);
// Script name (into `name` of `nameSize` bytes) and full path (rooted) for a request; false
// for a kind other than 0, 1 or 2.
bool scriptFor(int kind, int number, char* name, size_t nameSize, std::string* path);

}  // namespace scriptrunner
