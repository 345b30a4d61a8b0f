// Addresses as the pages show them and read them back.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

namespace harbix::manager {

inline constexpr int kMaxAddressText = 15;  // "255.255.255.255"
inline constexpr uint32_t kNoAddress = 0xFFFFFFFF;

// Exactly four decimal numbers below 256 separated by dots, nothing else; the all-ones address
// stands for "none" and so never reads back. The result is in network order.
std::optional<uint32_t> ParseAddressText(std::string_view sText);
std::optional<uint32_t> ParseAddressText(const QString& sText);
inline std::optional<uint32_t> ParseAddressText(const char* lpText) { return ParseAddressText(std::string_view(lpText)); }
QString AddressText(uint32_t dwAddress);

}  // namespace harbix::manager
