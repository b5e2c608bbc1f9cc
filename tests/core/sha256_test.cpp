// SHA-256 against the FIPS 180-4 example messages, including the ones whose padding spills into
// a second block.
#include <gtest/gtest.h>

#include <string>

#include "core/sha256.h"

namespace tervalo {
namespace {

std::string hashOf(const std::string& text) {
  return sha256Hex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits into the message's last block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 20));
    EXPECT_EQ(hashOf(c.message), c.digest);
  }
}

}  // namespace
}  // namespace tervalo
