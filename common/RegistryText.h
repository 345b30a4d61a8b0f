// The reversible text encoding that the configuration store uses for secrets and that the
// control channel uses for every datagram: five letters of a 64-letter alphabet per byte,
// carrying the byte under a random bit permutation plus a 5-bit check.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace harbix {

// A source of pseudo-random numbers; only their residues modulo 2..8 are used.
using RandomSource = std::function<uint32_t()>;

// The process's generator, seeded once from the clock on first use; safe from any thread.
uint32_t ProcessRandom();

// Five letters per input byte. Never fails for in-memory input.
std::string EncodeRegistryText(std::string_view sBytes, const RandomSource& random = ProcessRandom);

// The bytes of length / 5 whole groups (a shorter tail is ignored); nullopt when any group has a
// letter outside the alphabet, a wrong check or an impossible permutation.
std::optional<std::string> DecodeRegistryText(std::string_view sText);

}  // namespace harbix
