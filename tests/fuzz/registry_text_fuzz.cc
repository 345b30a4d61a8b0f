// The text encoding of the store and the control channel: any text decodes or is refused
// without harm, and any bytes come back from their encoding unchanged.
#include <cstdlib>

#include "common/RegistryText.h"
#include "tests/fuzz/FuzzInput.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  const std::string_view sText(reinterpret_cast<const char*>(lpData), cbData);
  if (const std::optional<std::string> sDecoded = DecodeRegistryText(sText)) {
    if (sDecoded->size() != cbData / 5) std::abort();
  }
  // The input as bytes to encode, with permutations drawn from the input too.
  fuzz::FuzzInput input(lpData, cbData);
  const std::string sBytes(input.Piece(1024));
  const RandomSource random = [&input] { return input.U32(); };
  const std::string sEncoded = EncodeRegistryText(sBytes, random);
  if (sEncoded.size() != 5 * sBytes.size() || DecodeRegistryText(sEncoded) != sBytes) std::abort();
  return 0;
}
