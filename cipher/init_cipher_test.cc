// The init file's cipher against vectors openssl made, and its failures.
#include "cipher/init_cipher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<unsigned char> Encrypt(const std::vector<unsigned char>& plain) {
  std::vector<unsigned char> out(plain.size() + 8);
  int n = 0;
  std::string error;
  EXPECT_TRUE(qsn::EncryptInitData(plain.data(), plain.size(), out.data(), &n, &error))
      << error;
  out.resize(n);
  return out;
}

TEST(InitCipher, RoundTripsEveryLengthAroundTheBlockSize) {
  for (size_t length : {0, 1, 7, 8, 9, 16, 1000}) {
    std::vector<unsigned char> plain(length);
    for (size_t i = 0; i < length; ++i) plain[i] = static_cast<unsigned char>(i * 37 + 1);
    std::vector<unsigned char> cipher = Encrypt(plain);
    ASSERT_EQ(cipher.size(), (length / 8 + 1) * 8) << "PKCS#5 always pads";
    std::vector<unsigned char> back(cipher.size() + 8);
    int n = -1;
    bool clean = false;
    std::string error;
    ASSERT_TRUE(qsn::DecryptInitData(cipher.data(), cipher.size(), back.data(), &n,
                                     &clean, &error))
        << error;
    ASSERT_TRUE(clean);
    back.resize(n);
    EXPECT_EQ(back, plain) << "length " << length;
  }
}

TEST(InitCipher, AgreesWithTheVectorMadeByOpenSslEnc) {
  std::string koi8 = qsn::testing::ReadFile(qsn::testing::DataDir() + "/sample.koi8");
  std::string dat = qsn::testing::ReadFile(qsn::testing::DataDir() + "/sample-init.dat");
  ASSERT_FALSE(koi8.empty());
  EXPECT_EQ(Encrypt(Bytes(koi8)), Bytes(dat));
}

TEST(InitCipher, BadPaddingFailsButKeepsEveryBlockButTheLast) {
  std::string plain = "set a 1; set b 2; set c 3";  // 25 bytes: 4 blocks enciphered
  std::vector<unsigned char> cipher = Encrypt(Bytes(plain));
  ASSERT_EQ(cipher.size(), 32u);
  cipher.back() ^= 0x55;  // the last block now deciphers to garbage padding
  std::vector<unsigned char> out(cipher.size() + 8);
  int n = 0;
  bool clean = true;
  std::string error;
  ASSERT_TRUE(
      qsn::DecryptInitData(cipher.data(), cipher.size(), out.data(), &n, &clean, &error))
      << "a damaged input is no failure of the cipher: " << error;
  EXPECT_FALSE(clean);
  ASSERT_EQ(n, 24);
  EXPECT_EQ(std::string(out.begin(), out.begin() + n), plain.substr(0, 24));
}

TEST(InitCipher, LengthNotAMultipleOfEightFails) {
  std::vector<unsigned char> cipher = Encrypt(Bytes("puts hello world"));
  std::vector<unsigned char> out(cipher.size() + 8);
  int n = 0;
  bool clean = true;
  std::string error;
  ASSERT_TRUE(qsn::DecryptInitData(cipher.data(), cipher.size() - 3, out.data(), &n,
                                   &clean, &error));
  EXPECT_FALSE(clean);
  EXPECT_EQ(n % 8, 0);
}

}  // namespace
