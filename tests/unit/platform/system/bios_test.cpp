// The BIOS version as the product reads it: dmidecode's BIOS table through
// the shell, the version and the release date picked out of it.
#if DVR_SIM

#include <gtest/gtest.h>

#include <cstring>

#include "platform/system/system.h"
#include "support/board_edit.h"

namespace {

using testsupport::CaptureOut;
using testsupport::EditBoard;
using testsupport::TempBoard;

void set_bios(const TempBoard& b, const char* version, const char* date) {
  EditBoard(b, [&](nlohmann::json& j) {
    j["dmi"]["bios-vendor"] = "Hisilicon";
    j["dmi"]["bios-version"] = version;
    if (date) j["dmi"]["bios-release-date"] = date;
  });
}

TEST(BiosVersion, VersionAndReleaseDateComeFromTheBiosTable) {
  TempBoard b;
  set_bios(b, "V1.0.7", "03/18/2019");
  char bios[95];
  std::memset(bios, 'x', sizeof bios);
  std::string out = CaptureOut([&] { EXPECT_EQ(GetBiosVersion(bios), 0); });
  EXPECT_STREQ(bios, "V1.0.7") << out;
  EXPECT_STREQ(bios + 64, "03/18/2019") << out;
  // "BIOS Revision" and the vendor line are not taken for the version.
  EXPECT_EQ(out.find("Failed"), std::string::npos) << out;
}

TEST(BiosVersion, LongAnswersAreCutToTheirFields) {
  TempBoard b;
  std::string version(80, 'v'), date(40, 'd');
  set_bios(b, version.c_str(), date.c_str());
  char bios[95];
  CaptureOut([&] { EXPECT_EQ(GetBiosVersion(bios), 0); });
  EXPECT_EQ(std::string(bios), version.substr(0, 63));
  EXPECT_EQ(std::string(bios + 64), date.substr(0, 30));
}

TEST(BiosVersion, AMissingReleaseDateFailsButKeepsTheVersion) {
  TempBoard b;
  set_bios(b, "V2.1", nullptr);
  char bios[95];
  std::string out = CaptureOut([&] { EXPECT_EQ(GetBiosVersion(bios), -1); });
  EXPECT_STREQ(bios, "V2.1");
  EXPECT_EQ(bios[64], '\0');
  EXPECT_NE(out.find("get Bios Release Date Failed!"), std::string::npos) << out;
  EXPECT_EQ(out.find("get Bios Version Failed!"), std::string::npos) << out;
}

}  // namespace

#endif  // DVR_SIM
