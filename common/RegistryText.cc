#include "common/RegistryText.h"

#include <array>
#include <chrono>
#include <mutex>
#include <random>

namespace harbix {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/-";
constexpr size_t kLettersPerByte = 5;

// Field widths of the seven stored permutation draws k0..k6 (k7 is always 0), high to low.
constexpr std::array<unsigned, 7> kDrawBits = {3, 3, 3, 3, 2, 2, 1};

int LetterValue(char cLetter) {
  if (cLetter >= 'A' && cLetter <= 'Z') return cLetter - 'A';
  if (cLetter >= 'a' && cLetter <= 'z') return cLetter - 'a' + 26;
  if (cLetter >= '0' && cLetter <= '9') return cLetter - '0' + 52;
  if (cLetter == '/') return 62;
  if (cLetter == '-') return 63;
  return -1;
}

// The 5-bit check over the 25 data bits: a shift-and-xor fold of its five 5-bit slices.
uint32_t Check(uint32_t v) {
  uint32_t t = v >> 20;
  t = (t << 1) ^ (v >> 15);
  t = (t << 1) ^ (v >> 10);
  t = (t << 1) ^ (v >> 5);
  t = (t << 1) ^ v;
  return t & 31;
}

uint32_t PackDraws(const std::array<uint32_t, 7>& draws) {
  uint32_t c = 0;
  for (size_t j = 0; j < draws.size(); ++j) c = (c << kDrawBits[j]) | draws[j];
  return c;
}

std::array<uint32_t, 7> UnpackDraws(uint32_t c) {
  std::array<uint32_t, 7> draws{};
  for (size_t j = draws.size(); j-- > 0;) {
    draws[j] = c & ((1u << kDrawBits[j]) - 1);
    c >>= kDrawBits[j];
  }
  return draws;
}

}  // namespace

uint32_t ProcessRandom() {
  static std::mutex lock;
  static std::minstd_rand generator(
      static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> guard(lock);
  return static_cast<uint32_t>(generator());
}

std::string EncodeRegistryText(std::string_view sBytes, const RandomSource& random) {
  std::string sText;
  sText.reserve(sBytes.size() * kLettersPerByte);
  for (unsigned char b : sBytes) {
    std::array<uint32_t, 8> positions = {0, 1, 2, 3, 4, 5, 6, 7};
    size_t nLeft = positions.size();
    std::array<uint32_t, 7> draws{};
    uint32_t m = 0;
    for (uint32_t j = 0; j < 8; ++j) {
      const uint32_t k = random() % (8 - j);
      const uint32_t p = positions[k];
      for (size_t i = k; i + 1 < nLeft; ++i) positions[i] = positions[i + 1];
      --nLeft;
      if (j < draws.size()) draws[j] = k;
      m |= ((b >> p) & 1u) << j;
    }
    const uint32_t c = PackDraws(draws);
    const uint32_t v = ((c >> 8) << 16) | (m << 8) | (c & 0xFF);
    const uint32_t w = (Check(v) << 25) | v;
    for (int nShift = 24; nShift >= 0; nShift -= 6) sText.push_back(kAlphabet[(w >> nShift) & 63]);
  }
  return sText;
}

std::optional<std::string> DecodeRegistryText(std::string_view sText) {
  std::string sBytes;
  const size_t nGroups = sText.size() / kLettersPerByte;
  sBytes.reserve(nGroups);
  for (size_t g = 0; g < nGroups; ++g) {
    uint32_t w = 0;
    for (size_t i = 0; i < kLettersPerByte; ++i) {
      const int nValue = LetterValue(sText[g * kLettersPerByte + i]);
      if (nValue < 0) return std::nullopt;
      w = (w << 6) | static_cast<uint32_t>(nValue);
    }
    const uint32_t v = w & 0x1FFFFFF;
    if ((w >> 25) != Check(v)) return std::nullopt;
    const uint32_t c = ((v >> 16) << 8) | (v & 0xFF);
    const uint32_t m = (v >> 8) & 0xFF;
    const std::array<uint32_t, 7> draws = UnpackDraws(c);
    // Draw j is taken modulo 8 - j; a larger stored value cannot come from the encoder.
    for (size_t j = 0; j < draws.size(); ++j) {
      if (draws[j] >= 8 - j) return std::nullopt;
    }
    std::array<uint32_t, 8> positions = {0, 1, 2, 3, 4, 5, 6, 7};
    size_t nLeft = positions.size();
    uint32_t b = 0;
    for (uint32_t j = 0; j < 8; ++j) {
      const uint32_t k = j < draws.size() ? draws[j] : 0;
      const uint32_t p = positions[k];
      for (size_t i = k; i + 1 < nLeft; ++i) positions[i] = positions[i + 1];
      --nLeft;
      b |= ((m >> j) & 1u) << p;
    }
    sBytes.push_back(static_cast<char>(b));
  }
  return sBytes;
}

}  // namespace harbix
