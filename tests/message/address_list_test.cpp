// The address-list reader: header values and the addresses they hold, in
// order and as written.
#include "message/address_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Addresses = std::vector<std::string>;

Addresses addresses_of(const std::string &value) {
  Addresses found;
  const char *failed =
      for_each_address(value.data(), value.size(), [&](const char *address, std::size_t length) noexcept {
        found.emplace_back(address, length);
        return true;
      });
  EXPECT_EQ(failed, nullptr);
  return found;
}

TEST(AddressList, HandsOutEachAddressAsWritten) {
  struct Case {
    const char *value;
    Addresses want;
  } cases[] = {
      // Display names and brackets.
      {"ann@example.org", {"ann@example.org"}},
      {"\"Ann Example\" <Ann@Example.org>", {"Ann@Example.org"}},
      {"Ann <ann@x>, \"Box, Bob\" <bob@y>", {"ann@x", "bob@y"}},
      {"Ann Example ann@x", {"ann@x"}},
      {"<<ann@x>>", {"ann@x"}},
      {"<ann@x> trailing words, b@y", {"ann@x", "b@y"}},
      // Comments, nested and with quoted pairs, anywhere.
      {"dave@other.test (Dave)", {"dave@other.test"}},
      {"(a, b) ann (c) @ (d) x (e (f, g) \\) h), b@y", {"ann@x", "b@y"}},
      {"<ann(in, brackets)@x>", {"ann@x"}},
      {"ann@x (unclosed, b@y", {"ann@x"}},
      // Groups.
      {"friends: a@x, b@y;, c@z", {"a@x", "b@y", "c@z"}},
      {"undisclosed-recipients:;", {}},
      {"friends:;, \"c y\"@example.org", {"\"c y\"@example.org"}},
      // Quoted local parts, with their quotes, quoted pairs and blanks.
      {"\"c y\"@example.org", {"\"c y\"@example.org"}},
      {"\"a,b\\\"c:\"@x, d@y", {"\"a,b\\\"c:\"@x", "d@y"}},
      {"\"open@x, b@y", {"\"open@x, b@y"}},  // an unclosed quote runs to the end
      // Source routes.
      {"<@relay.test:Eve@Example.org>", {"Eve@Example.org"}},
      {"<@a,@b:eve@x>, c@y", {"eve@x", "c@y"}},
      {"<a:b@x>", {"a:b@x"}},
      // Domain literals keep their colons.
      {"ann@[IPv6:2001:db8::1], b@y", {"ann@[IPv6:2001:db8::1]", "b@y"}},
      // Obsolete forms: blanks and comments around dots and "@".
      {"ann . box @ example . org", {"ann.box@example.org"}},
      // Folding.
      {"Ann\r\n <ann@x>,\r\n\tb@y", {"ann@x", "b@y"}},
      {"\"c\r\n y\"@x", {"\"c y\"@x"}},
      // Bare local parts, the null sender and nothing at all.
      {"postmaster", {"postmaster"}},
      {"<>", {""}},
      {"<@relay:>", {""}},
      {"", {}},
      {" , ;,, (only a comment)", {}},
      {"stray > and ] bytes", {"bytes"}},
  };
  for (const Case &c : cases) EXPECT_EQ(addresses_of(c.value), c.want) << c.value;
}

TEST(AddressList, StopsWhenTheCallbackSaysSo) {
  const std::string value = "a@x, b@y, c@z";
  Addresses found;
  EXPECT_EQ(for_each_address(value.data(), value.size(),
                             [&](const char *address, std::size_t length) noexcept {
                               found.emplace_back(address, length);
                               return found.size() < 2;
                             }),
            nullptr);
  EXPECT_EQ(found, (Addresses{"a@x", "b@y"}));
}

TEST(AddressList, ReadsOnlyTheGivenLength) {
  // Cut inside a comment, a quoted string and brackets: nothing past the cut.
  const char value[] = "a@x (c) \"q\" <b@y>";
  for (std::size_t cut = 0; cut <= std::strlen(value); ++cut) {
    const std::string copy(value, cut);  // its own allocation: ASan sees a read past it
    for (const std::string &address : addresses_of(copy)) EXPECT_LE(address.size(), cut) << cut;
  }
  EXPECT_EQ(addresses_of(std::string("a@x, b@y", 3)), (Addresses{"a@x"}));
  EXPECT_EQ(addresses_of(std::string("a\0b@x", 5)), (Addresses{"b@x"})) << "a NUL separates as a blank";
}

}  // namespace
