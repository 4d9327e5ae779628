// The network configuration library: the per-interface configuration store
// under /mnt/mtd/Config, the eth0 settings backup in battery-backed memory,
// the kernel operations (addresses, MAC, MTU, routes, bonds, bridges, DNS,
// the switch's DHCP file) and the boot sequence behind `netinit`.
//
// Return convention of the library: 1 for success, 0 for failure, unless a
// function says otherwise.  Every failure is logged with "[Sysnet@3735] ".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kNetNameLen = 16;     // kernel interface name buffer
inline constexpr int kNetMaxIfaces = 32;   // interfaces, bond and bridge members
inline constexpr int kNetAddrLen = 16;     // dotted IPv4 text buffer
inline constexpr int kNetFileNameLen = 64; // configuration path buffer
typedef char NetName[kNetNameLen];
typedef char NetFileName[kNetFileNameLen];

#define NET_CONFIG_DIR "/mnt/mtd/Config"

// ------------------------------------------------------ configuration store

int GetConfigFilePath(const char* ifname, char* out, size_t size);
int FileLock(int lock, const char* path);
int GetValueByKey(const char* path, const char* key, char* out, int size);
int SetValueByKey(const char* path, const char* key, const char* value);

int GetIPByConfig(const char* ifname, char* ip, char* mask);  // 16-byte buffers
int SetIPByConfig(const char* ifname, const char* ip, const char* mask);
int GetGatewayByConfig(const char* ifname, char* gw);
int SetGatewayByConfig(const char* ifname, const char* gw);
int GetMtuByConfig(const char* ifname, int* mtu);
int SetMtuByConfig(const char* ifname, int mtu);
int GetBondModeByConfig(const char* ifname, int* mode);
int SetBondModeByConfig(const char* ifname, int mode);  // -1 writes an empty value
int GetLacpByConfig(const char* ifname, unsigned char* lacp);
int SetLacpByConfig(const char* ifname, unsigned char lacp);
int IsBondedByConfig(const char* ifname, int* bonded);  // 1 when the key was read
int SetBondedByConfig(const char* ifname, int bonded);
int IsBridgedByConfig(const char* ifname, int* bridged);
int SetBridgedByConfig(const char* ifname, int bridged);
int GetBondNameByConfig(const char* ifname, char* name, int size);
int SetBondNameByConfig(const char* ifname, const char* name);
int GetBridgeNameByConfig(const char* ifname, char* name, int size);
int SetBridgeNameByConfig(const char* ifname, const char* name);
int SetBondPrimaryByConfig(const char* ifname, const char* member);
int GetWorkModeByConfig(const char* ifname, int* mode);  // always succeeds
int SetWorkModeByConfig(const char* ifname, int mode);
// *count: in, the capacity of names; out, how many were filled.
int GetBondMemberByConfig(const char* bond, NetName* names, int* count);
int SetBondMemberByConfig(const char* bond, const NetName* names, int count);
int GetBridgeMemberByConfig(const char* br, NetName* names, int* count);
int SetBridgeMemberByConfig(const char* br, const NetName* names, int count);
int IsTrunkBondConfig(const char* bond);
int GetDefaultEthByConfig(char* out, int size);
int SetDefaultEthByConfig(const char* name);
int IsConfigFileExist(const char* ifname);
int CreateConfigFile(const char* ifname);
int DelConfigFile(const char* ifname);
int GetAllNetworkFile(NetFileName* names, int* count);
int checkIsRegFile(const char* path);

enum NetWorkMode { netModeMultiple = 0, netModeBond = 1, netModeSwitch = 2, netModeBridge = 3 };

// ------------------------------------------------------------- eth0 backup

int CheckDeviceType(void);
int ReadFromSram(unsigned char* buf, int offset, int len);  // 0, -1 args, -2 driver, -3 CRC
int ReadFromRTC(unsigned char* buf, int offset, int len);
int WriteToSram(const unsigned char* buf, int offset, int len);
int WriteToRTC(const unsigned char* buf, int offset, int len);
int ResetSram(void);
int ResetRTC(void);
int ReadFromCmos(unsigned char* record);  // 12-byte record
int WriteToCmos(unsigned char* record);
int BackupIP(const char* name, const char* ip);
int BackupMask(const char* name, const char* mask);
int BackupGateway(const char* name, const char* gw);
int RestoreIP(const char* name, char* out);
int RestoreMask(const char* name, char* out);
int RestoreGateway(const char* name, char* out);
int SetCmosResetMark(unsigned char value);
int setBeenResetFlag(void);
int CheckCrc(void);
int RestBackup(void);
int setCmosVerifyFlag(void);

// ------------------------------------------------------ network operations

int GetAllInterfaceInfo(NetName* names, int* count);
int CheckEthExist(const NetName* names, int n);
int IsSwitch(const char* name);
int GetSwitchInterface(char* out, int size);

int InterfaceUp(const char* name);
int InterfaceDown(const char* name);
int Net_SetIPbyName(const char* name, const char* ip, const char* mask);
int Net_GetIPbyName(const char* name, char* ip, char* mask);
int Net_SetMacbyName(const char* name, const char* mac);
int Net_GetMtubyName(const char* name, int* mtu);
int Net_SetMtubyName(const char* name, int mtu);

struct RouteItem {
  uint32_t dst;   // network order
  uint32_t mask;
  uint32_t gw;
  char dev[kNetNameLen];
};
int Route_AddIPv4Route(const char* dst, const char* gw, const char* mask, const char* dev);
int Route_DelIPv4Route(const char* dst, const char* gw, const char* mask, const char* dev);
int Route_GetIPv4Route(RouteItem* items, int* count);
int RouteAddIPv4(const char* dst, const char* gw, const char* mask, const char* dev);
int RouteDelDefIPv4(const char* dev);  // dev may be null: every default route
int RouteAddDefIPv4(const char* dev);

int Bond_GetBondMembers(const char* bond, NetName* names, int* count);
int Bond_SetBondMode(const char* bond, int mode);
int Bond_SetPrimary(const char* bond, const char* member);
int Bond_Bond(const char* bond, const NetName* members, int n);
int GetBondMode(const char* bond, int* mode);
int SetMtubyBondName(const char* bond, int mtu);
int Bond(const char* bond, const NetName* members, int n, int mode);

int Bridge_GetBridgeMembers(const char* br, NetName* names, int* count);
int Bridge_IsBridgeExist(const char* br);
int Bridge(const char* br, const NetName* members, int n);

int NetSetIPbyName(const char* name, const char* ip, const char* mask);
int NetSetGatewaybyName(const char* name, const char* gw);
int NetGetIPbyName(const char* name, char* ip, char* mask);
int NetGetGatewaybyName(const char* name, char* gw);
int NetGetHostIPEx(const char* name, char* ip, int ipLen, char* mask, int maskLen);  // 0 or -1
int NetGetGatewayEx(const char* name, char* gw, int gwLen);                          // 0 or -1
int NetSetDefEth(const char* name);
int NetCardRecover(const char* name);
int PciPhyToCard(void);  // not supported: -1

int Dns_GetDnsFileInfo(char* p4, char* s4, char* p6, char* s6, int len);
int Dns_GetDnsServerIPv4(char* p4, char* s4);
int Dns_GetDnsServerIPv6(char* p6, char* s6, int len);
int Dns_SetDnsAddress(const char* p4, const char* s4, const char* p6, const char* s6);
int Dns_SetDnsServerIPv4(const char* p4, const char* s4);
int Dns_SetDnsServerIPv6(const char* p6, const char* s6);

int Switch_UpDateDhcpConf(const char* iface, const char* start, const char* end, const char* subnet,
                          const char* router);
int UpdateSwitchDhcpConf(void);

int SysNetRunCmd(const char* command);

// ------------------------------------------------------------------ netinit

// The whole `netinit` command; returns 1 whatever happened.
int CommonMain(int argc, char** argv);

namespace netcfg {

// ---- pure helpers, shared by the library, its tests and fuzz targets ----

// A name the kernel accepts as an interface name (1 to 15 bytes, not "."
// or "..", no "/", ":" or blanks) and that is safe inside a shell command
// (letters, digits, ".", "_", "-").  `alias` also allows one ":" suffix of
// the same characters, as in "eth0:poe".
bool ValidIfName(std::string_view name, bool alias = false);

// Strict dotted IPv4 (inet_aton's forms are not accepted), network order.
bool ParseIPv4(std::string_view text, uint32_t* addr);
std::string FormatIPv4(uint32_t addr);

// The configuration file reader: the text is taken as the store reads it,
// at most 32 lines.
struct ConfigLine {
  std::string text;  // with its newline, if it had one
};
std::vector<ConfigLine> SplitConfigLines(std::string_view file);
// The first line containing `key`, as GetValueByKey finds it.
enum class ValueStatus { Found, Missing, NoEquals, Empty };
ValueStatus FindConfigValue(std::string_view file, std::string_view key, std::string* value,
                            std::string* line = nullptr);
// The lines a rewrite keeps: those containing a known key, at most 16.
std::vector<std::string> KeptConfigLines(std::string_view file);
bool IsKnownKeyLine(std::string_view line);
// Splits a member list at commas, skipping empty items; names that are not
// valid interface names are reported in *bad and left out.
std::vector<std::string> SplitMembers(std::string_view list, size_t max, std::vector<std::string>* bad = nullptr);

// One parsed "/proc/net/route" table; bad lines are counted, not fatal.
struct RouteTable {
  std::vector<RouteItem> items;
  int bad_lines = 0;
};
RouteTable ParseRouteTable(std::string_view text, size_t max);

// The accepted interface names of a "/proc/net/dev" text, in file order;
// names that are too long or unsafe go to *rejected.
std::vector<std::string> ParseNetDev(std::string_view text, size_t max, std::vector<std::string>* rejected = nullptr);

// The switch's DHCP pool: the other half of the /24 around addr.
void SwitchDhcpPool(uint32_t addr, uint32_t* start, uint32_t* end);

// Dallas/Maxim CRC-8 (reflected 0x8C, init 0).
uint8_t Crc8Maxim(const uint8_t* data, size_t len);
// Prefix length of a mask (its one bits) and back.
int MaskToPrefix(uint32_t mask_net);
uint32_t PrefixToMask(int prefix);

// The interface list netinit works on.
struct IfList {
  std::vector<std::string> names;  // in /proc/net/dev order, "eth0:poe" after eth0 if it is the switch
  std::string sw;                  // the switch interface, empty when none
  bool has(std::string_view n) const;
};
// Builds it from the kernel (GetAllInterfaceInfo, GetSwitchInterface).
bool LoadIfList(IfList* l);

// The checks of the boot sequence, one per step, on a given interface list.
void InitMacSetting(const IfList& l);
void CheckTrunkBondConfig(const IfList& l);
void CheckBondConfig(const IfList& l);
void CheckBridgeConfig(const IfList& l);
bool CheckWorkmodeConfig(const IfList& l);  // true on a conflict
void CheckBackup();
bool CheckNetCardConfig(const char* name);
void CheckEth0Config(const IfList& l);
void CheckEthCardConfig(const IfList& l);
void CheckBondCardConfig(const IfList& l);
void CheckWlanCardConfig(const IfList& l);
void CheckSwitchConfig(const IfList& l);
void DoBondStuff(const IfList& l);
void DoBridgeStuff();
void RecoverOtherEth(const IfList& l);
void CheckDefaultEthConfig(const IfList& l);
void CheckDnsServer();
void FlushRoutes();
void addDefRoute(const IfList& l);

// The boot environment's value for a MAC variable ("ethaddr", "eth1addr").
bool BootMac(const char* var, char* out, int size);

// Forgets the backup store's board kind and descriptors (a new board).
void BackupForget();

}  // namespace netcfg
