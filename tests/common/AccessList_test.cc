#include "common/AccessList.h"

#include <gtest/gtest.h>

namespace harbix {
namespace {

uint32_t Ip(const char* lpText) {
  std::optional<AddressMask> entry = ParseAddressMask(std::string(lpText) + ":0.0.0.0");
  return entry ? entry->m_dwAddress : 0;
}

TEST(AccessListTest, AdmissionRule) {
  const AddressMask kClassC = {Ip("192.168.1.0"), Ip("255.255.255.0")};
  const AddressMask kHost = {Ip("10.0.0.5"), Ip("255.255.255.255")};
  const AddressMask kEverything = {Ip("1.2.3.4"), Ip("0.0.0.0")};
  struct Case {
    const char* lpWhy;
    bool bDeny;
    std::vector<AddressMask> vEntries;
    const char* lpPeer;
    bool bAdmitted;
  } cases[] = {
      {"deny list, inside the network", true, {kClassC}, "192.168.1.77", false},
      {"deny list, outside the network", true, {kClassC}, "192.168.2.1", true},
      {"allow list, inside the network", false, {kClassC}, "192.168.1.77", true},
      {"allow list, outside the network", false, {kClassC}, "192.168.2.1", false},
      {"empty deny list admits everybody", true, {}, "8.8.8.8", true},
      {"empty allow list admits nobody", false, {}, "127.0.0.1", false},
      {"one address", true, {kHost}, "10.0.0.5", false},
      {"one address, its neighbour", true, {kHost}, "10.0.0.6", true},
      {"mask 0.0.0.0 matches all", true, {kEverything}, "172.16.0.1", false},
      {"any entry may match", false, {kHost, kClassC}, "192.168.1.3", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpWhy);
    AccessList list(c.bDeny);
    for (const AddressMask& entry : c.vEntries) list.Add(entry);
    EXPECT_EQ(list.Admits(Ip(c.lpPeer)), c.bAdmitted);
  }
}

TEST(AccessListTest, SameAddressKeepsTheLaterMask) {
  AccessList list(true);
  list.Add({Ip("10.0.0.0"), Ip("255.255.255.255")});
  list.Add({Ip("10.0.0.0"), Ip("255.0.0.0")});
  ASSERT_EQ(list.Entries().size(), 1u);
  EXPECT_FALSE(list.Admits(Ip("10.9.9.9")));
}

TEST(AccessListTest, TextForm) {
  struct Case {
    const char* lpText;
    bool bValid;
    const char* lpFormatted;
  } cases[] = {
      {"192.168.1.0:255.255.255.0", true, "192.168.1.0:255.255.255.0"},
      {"10.0.0.1:255.255.255.255 trailing", true, "10.0.0.1:255.255.255.255"},
      {"256.1.1.1:255.255.255.255", true, "0.1.1.1:255.255.255.255"},
      {"10.0.0.1:255.255.255", false, ""},
      {"10.0.0.1", false, ""},
      {"", false, ""},
      {"a.b.c.d:1.2.3.4", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpText);
    std::optional<AddressMask> entry = ParseAddressMask(c.lpText);
    ASSERT_EQ(entry.has_value(), c.bValid);
    if (entry) {
      EXPECT_EQ(FormatAddressMask(*entry), c.lpFormatted);
    }
  }
  // The first dotted number is the lowest-addressed byte.
  EXPECT_EQ(Ip("1.2.3.4"), 0x04030201u);
}

}  // namespace
}  // namespace harbix
