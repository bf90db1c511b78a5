// Loading init.dat: deciphered, cut at NUL, converted from KOI8-R, or said missing.
#include "host/init_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/owners.h"
#include "cipher/init_cipher.h"
#include "log/log.h"
#include "tests/test_util.h"

namespace {

using qsn::testing::ReadFile;
using qsn::testing::WriteFile;

void WriteInitFile(const std::string& koi8) {
  std::vector<unsigned char> out(koi8.size() + 8);
  int n = 0;
  std::string error;
  ASSERT_TRUE(qsn::EncryptInitData(reinterpret_cast<const unsigned char*>(koi8.data()),
                                   koi8.size(), out.data(), &n, &error))
      << error;
  WriteFile("init.dat", std::string(out.begin(), out.begin() + n));
}

class LoadInitScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    interp_ = Tcl_CreateInterp();
    Tcl_Init(interp_);
    qsn::OpenLog();
  }
  void TearDown() override {
    qsn::CloseLog();
    Tcl_DeleteInterp(interp_);
  }
  // The script, or what failed as "error: ..." (an empty script is none).
  std::string Load() {
    qsn::DString out;
    std::string error;
    if (!qsn::LoadInitScript(interp_, "init", out.get(), &error))
      return "error: " + error;
    return std::string(out.value(), out.length());
  }

  qsn::testing::ScratchDir dir_;
  Tcl_Interp* interp_ = nullptr;
};

TEST_F(LoadInitScriptTest, ConvertsTheShippedVectorFromKoi8rToUtf8) {
  WriteFile("init.dat", ReadFile(qsn::testing::DataDir() + "/sample-init.dat"));
  EXPECT_EQ(Load(), ReadFile(qsn::testing::DataDir() + "/sample.tcl"));
}

TEST_F(LoadInitScriptTest, EverythingFromTheFirstNulIsIgnored) {
  WriteInitFile(std::string("mputs \xF0\xD2\xC9\xD7\xC5\xD4\0exit 5", 19));
  EXPECT_EQ(Load(), "mputs Привет");
}

TEST_F(LoadInitScriptTest, MissingFileSaysSoAndLogsNothingItself) {
  EXPECT_EQ(Load(), "error: Init file not found");
  // The caller logs it, with the other failures at start-up.
  EXPECT_EQ(ReadFile("qsnclient.log"), "");
}

TEST_F(LoadInitScriptTest, EmptyFileIsAnEmptyScriptWithoutComplaint) {
  WriteFile("init.dat", "");
  EXPECT_EQ(Load(), "");
  EXPECT_EQ(ReadFile("qsnclient.log"), "");
}

TEST_F(LoadInitScriptTest, DamagedLastBlockStillYieldsTheBlocksBeforeIt) {
  WriteInitFile("set x 12345678; set y 23");  // 24 bytes, 32 enciphered
  std::string dat = ReadFile("init.dat");
  dat[dat.size() - 1] ^= 1;
  WriteFile("init.dat", dat);
  EXPECT_EQ(Load(), "set x 12345678; set y 23");
  dat.resize(dat.size() - 11);  // cut inside the third block
  WriteFile("init.dat", dat);
  EXPECT_EQ(Load(), "set x 12345678; ");
}

}  // namespace
