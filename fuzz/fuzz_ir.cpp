// The IR handler in both directions: each input is a sequence of frames (length byte, then
// the frame), alternately offered as a cloud send and as a node report.
#include <vector>

#include "fuzz_env.h"
#include "hbn_ir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzenv::NoWait noWait;
  if (!fuzzenv::start()) return 0;
  size_t pos = 0;
  bool outgoing = true;
  while (pos < size) {
    size_t length = data[pos++];
    if (length > size - pos) length = size - pos;
    std::vector<uint8_t> frame(data + pos, data + pos + length);
    pos += length;
    const uint8_t* bytes = frame.empty() ? nullptr : frame.data();
    if (outgoing) {
      HBN_core_expandCmdSend(5, bytes, static_cast<int>(frame.size()), 0);
    } else {
      HBN_core_expandCmdRecv(5, static_cast<int>(frame.size()), bytes);
    }
    outgoing = !outgoing;
    fuzzenv::drain();
  }
  return 0;
}
