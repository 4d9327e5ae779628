// The dmidecode stand-in.
//
//   "dmi": {"system-serial-number": "...", "bios-vendor": "...",
//           "bios-version": "...", "bios-release-date": "MM/DD/YYYY"}

#include "sim/models/dmi.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace sim {

namespace {

std::string keyword(const nlohmann::json& dmi, const char* key) {
  auto it = dmi.find(key);
  return it != dmi.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A board without BIOS keywords has no BIOS table, as a machine whose
// firmware gives none.
int bios_table(const nlohmann::json& dmi) {
  std::string version = keyword(dmi, "bios-version");
  printf("# dmidecode 3.4\nGetting SMBIOS data from sysfs.\nSMBIOS 2.8 present.\n");
  if (version.empty()) return 0;
  printf("\nHandle 0x0000, DMI type 0, 24 bytes\nBIOS Information\n");
  printf("\tVendor: %s\n\tVersion: %s\n", keyword(dmi, "bios-vendor").c_str(), version.c_str());
  std::string date = keyword(dmi, "bios-release-date");
  if (!date.empty()) printf("\tRelease Date: %s\n", date.c_str());
  printf("\tROM Size: 8 MB\n\tCharacteristics:\n\t\tPCI is supported\n\t\tBIOS is upgradeable\n"
         "\tBIOS Revision: 4.6\n\n");
  return 0;
}

}  // namespace

int DmidecodeStandIn(const Board& b, int argc, char** argv) {
  auto dmi = b.desc().value("dmi", nlohmann::json::object());
  if (argc == 3 && (std::strcmp(argv[1], "--string") == 0 || std::strcmp(argv[1], "-s") == 0)) {
    std::string v = keyword(dmi, argv[2]);
    if (v.empty()) return 1;
    printf("%s\n", v.c_str());
    return 0;
  }
  if (argc == 3 && (std::strcmp(argv[1], "--type") == 0 || std::strcmp(argv[1], "-t") == 0) &&
      (std::strcmp(argv[2], "bios") == 0 || std::strcmp(argv[2], "0") == 0))
    return bios_table(dmi);
  fprintf(stderr, "dmidecode: this board answers -s KEYWORD and -t bios only\n");
  return 2;
}

}  // namespace sim
