// The supported modules, searched in order; the last row is the fallback
// for a modem that matches no other row.
#include "cellular/cellular.h"

namespace cellular {

// vendor, product, manufacturer, product, type, mask, AT port, PPP port, prefix, name
const ModuleRow kModuleTable[kModuleRows] = {
    {0x12d1, 0x1506, "HUAWEI", "HUAWEI Mobile", 12, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E303C"},  // 0
    {0x12d1, 0x1506, "Huawei Technologies", "HUAWEI Mobile", 1, 0x90, 1, 0, "/dev/ttyUSB", "HUAWEI_EVDO_EC306"},  // 1
    {0x12d1, 0x140b, "HUAWEI TECHNOLOGIES", "HUAWEI Mobile", 0, 0x90, 2, 0, "/dev/ttyUSB", "HUAWEI_EVDO_EC152"},  // 2
    {0x12d1, 0x1c1e, "HUAWEI", "HUAWEI Mobile", 52, 0xa0, 1, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E355s"},  // 3
    {0x1c9e, 0x6003, "Micromax Informatics Ltd.", "USB Modem", 53, 0xa0, 1, 0, "/dev/ttyUSB", "LONGCHEER_WCDMA_MMX210G"},  // 4
    {0x19d2, 0x0017, "ZTE,Incorporated", "ZTE WCDMA Technologies MSM", 54, 0xa0, 1, 2, "/dev/ttyUSB", "ZTE_WCDMA_K4201"},  // 5
    {0x2001, 0x7d01, "D-Link,Inc  ", "D-Link DWM-156", 28, 0xa0, 1, 0, "/dev/ttyUSB", "DLINK_WCDMA_DMW156"},  // 6
    {0x19d2, 0xfff1, "ZTE, Incorporated", "ZTE CDMA Tech", 55, 0x90, 1, 0, "/dev/ttyUSB", "ZTE_EVDO_AC2792"},  // 7
    {0x19d2, 0x0117, "ZTE,Incorporated", "ZTE WCDMA Technologies MSM", 26, 0xa0, 1, 2, "/dev/ttyUSB", "ZTE_WCDMA_MF190"},  // 8
    {0x12d1, 0x1436, "HUAWEI Technology", "HUAWEI Mobile", 56, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E1731"},  // 9
    {0x2020, 0x4010, "Micromax Informatics Ltd.", "Modems", 33, 0xa0, 1, 0, "/dev/ttyUSB", "AIRTEL_WCDMA_MMX377G"},  // 10
    {0x19d2, 0xffe9, "ZTE, Incorporated", "ZTE CDMA Tech", 57, 0x90, 0, 0, "/dev/ttyUSB", "ZTE_CDMA_AC2738"},  // 11
    {0x22f4, 0x0021, "Qualcomm, Incorporated", "Qualcomm CDMA Technologies MSM", 8, 0x90, 3, 0, "/dev/ttyUSB", "QUALCOMM_EVDO_Q100"},  // 12
    {0x1c9e, 0x9803, "USB Modem", "USB Modem", 58, 0xa0, 2, 1, "/dev/ttyUSB", "MICROMAX_WCDMA_MMX353W"},  // 13
    {0x1c9e, 0x9605, "USB Modem", "USB Modem", 59, 0xa0, 1, 3, "/dev/ttyUSB", "MICROMAX_WCDMA_MMX353W"},  // 14
    {0x12d1, 0x140c, "HUAWEI", "HUAWEI Mobile", 15, 0xa0, 3, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E1550"},  // 15
    {0x05c6, 0x6000, "Qualcomm, Incorporated", "Qualcomm CDMA Technologies MSM", 70, 0xa0, 1, 0, "/dev/ttyUSB", "QUALCOMM_WCDMA_D14SW"},  // 16
    {0x2001, 0x7d0e, "D-Link,Inc  ", "D-Link DWM-157", 71, 0xa0, 1, 0, "/dev/ttyUSB", "DLINK_WCDMA_DWM157"},  // 17
    {0x2001, 0x7e3d, "Mobile Connect", "Mobile Connect", 74, 0xa0, 1, 2, "/dev/ttyUSB", "DLINK_WCDMA_DWM222"},  // 18
    {0x19d2, 0xffed, "ZTE, Incorporated", "ZTE CDMA Tech", 5, 0x90, 1, 0, "/dev/ttyUSB", "ZTE_EVDO_MC2716"},  // 19
    {0x19d2, 0xfffe, "ZTE, Incorporated", "ZTE CDMA Tech", 6, 0x90, 1, 0, "/dev/ttyUSB", "ZTE_EVDO_MC8630"},  // 20
    {0x12d1, 0x1404, "HUAWEI TECHNOLOGIES", "HUAWEI Mobile", 3, 0x90, 2, 0, "/dev/ttyUSB", "HUAWEI_EVDO_MC509"},  // 21
    {0x05c6, 0x00a0, "Qualcomm, Incorporated", "ATEL CDMA Technologies MSM", 9, 0x90, 2, 0, "/dev/ttyUSB", "QUALCOMM_EVDO_EP89"},  // 22
    {0x1c9e, 0x9e00, "USB Modem", "USB Modem", 10, 0x90, 3, 0, "/dev/ttyUSB", "LONGUNG_EVDO_C5300"},  // 23
    {0x19d2, 0xffeb, "Qualcomm, Incorporated", "ZTEMT Technologies ", 24, 0xa0, 0, 3, "/dev/ttyUSB", "ZTE_WCDMA_AD3812_V2"},  // 24
    {0x19d2, 0xffeb, "ZTEWelink, Incorporated", "ZTEWelink Technologies", 24, 0xa0, 0, 3, "/dev/ttyUSB", "ZTE_WCDMA_AD3812_V2"},  // 25
    {0x12d1, 0x1506, "HUAWEI", "HUAWEI MOBILE", 13, 0xa0, 1, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_MU739"},  // 26
    {0x19d2, 0x2003, "ZTE,Incorporated", "ZTE WCDMA Technologies MSM", 25, 0xa0, 1, 3, "/dev/ttyUSB", "ZTE_WCDMA_MF210"},  // 27
    {0x12d1, 0x14ac, "HUAWEI Technology", "HUAWEI Mobile", 15, 0xa0, 3, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E1550"},  // 28
    {0x12d1, 0x14ac, "Huawei Technologies", "HUAWEI Mobile", 17, 0xa0, 3, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E1820"},  // 29
    {0x12d1, 0x1c05, "HUAWEI", "HUAWEI Mobile", 18, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E173"},  // 30
    {0x12d1, 0x1c08, "HUAWEI", "HUAWEI Mobile", 18, 0xa0, 1, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E173"},  // 31
    {0x12d1, 0x1c07, "HUAWEI", "HUAWEI Mobile", 18, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E173"},  // 32
    {0x12d1, 0x1c23, "HUAWEI", "HUAWEI Mobile", 18, 0xa0, 0, 2, "/dev/ttyUSB", "HUAWEI_WCDMA_E173"},  // 33
    {0x12d1, 0x1c10, "HUAWEI", "HUAWEI Mobile", 18, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E173"},  // 34
    {0x12d1, 0x1c0b, "HUAWEI", "HUAWEI Mobile", 18, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E173"},  // 35
    {0x12d1, 0x1404, "Huawei Technologies", "HUAWEI Mobile", 19, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_EM820W"},  // 36
    {0x12d1, 0x1404, "HUAWEI Technology", "HUAWEI MOBILE WCDMA EM770W", 21, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_EM770W_MI"},  // 37
    {0x2001, 0x7d00, "D-Link,Inc", "D-Link DWM-156", 29, 0xa0, 1, 0, "/dev/ttyUSB", "DLINK_WCDMA_DMW156_NEW"},  // 38
    {0x19d2, 0x1177, "Vodafone", "K3770-Z", 30, 0xa0, 1, 0, "/dev/ttyUSB", "VODAFONE_WCDMA_K37770"},  // 39
    {0x1c9e, 0x9605, "USB Modem", "Modem Configuration", 31, 0xa0, 1, 3, "/dev/ttyUSB", "BSNL_WCDMA_MMX310G"},  // 40
    {0x19d2, 0xffeb, "ZTEMT, Incorporated", "ZTEMT Technologies", 27, 0xa0, 0, 3, "/dev/ttyUSB", "ZTE_WCDMA_MG3732"},  // 41
    {0x12d1, 0x1573, "Huawei Technologies", "HUAWEI Mobile", 23, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_MU609"},  // 42
    {0x1c9e, 0x9603, "USB Modem", "USB Modem", 32, 0xa0, 1, 2, "/dev/ttyUSB", "LONGSHANG_WCDMA_U7500"},  // 43
    {0x12d1, 0x1c25, "HUAWEI", "HUAWEI Mobile", 22, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_MU709"},  // 44
    {0x12d1, 0x1c25, "Huawei Technologies Co., Ltd.", "HUAWEI Mobile", 22, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_MU709"},  // 45
    {0x12d1, 0x1c25, "HUAWEI Mobile ", "MU709", 22, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_MU709"},  // 46
    {0x05c6, 0x9003, "Quectel, Incorporated", "UMTS/HSPA Module", 34, 0xa0, 2, 3, "/dev/ttyUSB", "QUECTEL_UC20"},  // 47
    {0x05c6, 0x9215, "Quectel", "Quectel LTE Module", 35, 0x680, 3, 2, "/dev/ttyUSB", "QUECTEL_LTE_EC20"},  // 48
    {0x1c9e, 0x9605, "Android", "Android", 36, 0x280, 3, 1, "/dev/ttyUSB", "Nationz_TDD_LTE"},  // 49
    {0x1c9e, 0x9b05, "USB Modem", "", 37, 0x280, 2, 1, "/dev/ttyUSB", "TDD_LTE_U8300"},  // 50
    {0x1c9e, 0x9b05, "USB Modem", "USB Modem", 37, 0x280, 2, 1, "/dev/ttyUSB", "TDD_LTE_U8300"},  // 51
    {0x258d, 0x1101, "SEQUANS Communications", "SQN3110", 38, 0x280, 0, 0, "/dev/ttyACM", "SEQUANS_TDLTE_SQN3110"},  // 52
    {0x12d1, 0x151b, "Huawei Technologies", "HUAWEI Mobile", 43, 0x680, 0, 0, "/dev/ttyUSB", "HUAWEI_LTE_E392"},  // 53
    {0x19d2, 0x0199, "ZTE", "ZTE-Modem", 39, 0x280, 0, 1, "/dev/ttyUSB", "ZTE_LTE_ME3760"},  // 54
    {0x12d1, 0x1506, "HUAWEI Technology", "HUAWEI Mobile", 41, 0x280, 2, 0, "/dev/ttyUSB", "HUAWEI_LTE_EM350"},  // 55
    {0x12d1, 0x15c3, "DAG", "KOM1", 75, 0x280, 2, 0, "/dev/ttyUSB", "HUAWEI_LTE_EM350_D35"},  // 56
    {0x216f, 0x0041, "Altair", "Altair USB Product", 40, 0x280, 0, 0, "/dev/ttyUSB", "ALTAIR_LTE_ALT3100"},  // 57
    {0x12d1, 0x1573, "HUAWEI Technology", "HUAWEI Mobile", 42, 0x480, 2, 0, "/dev/ttyUSB", "HUAWEI_FDLTE_ME909U"},  // 58
    {0x12d1, 0x15c1, "HUAWEI Mobile", "HUAWEI Mobile", 42, 0x680, 2, 0, "/dev/ttyUSB", "HUAWEI_LTE_ME909S"},  // 59
    {0x12d1, 0x15c1, "Huawei Technologies Co., Ltd", "HUAWEI Mobile V7R11", 42, 0x680, 2, 0, "/dev/ttyUSB", "HUAWEI_LTE_ME909S"},  // 60
    {0x12d1, 0x15c1, "Huawei Technologies Co., Ltd.", "HUAWEI Mobile V7R11", 42, 0x680, 2, 0, "/dev/ttyUSB", "HUAWEI_LTE_ME909S"},  // 61
    {0x12d1, 0x15c3, "HUAWEI_MOBILE", "HUAWEI_MOBILE", 76, 0x2680, 1, 0, "/dev/ttyUSB", "HUAWEI_NR_MH5000_31"},  // 62
    {0x1199, 0x68c0, "Sierra Wireless, Incorporated", "MC7354", 44, 0x480, 2, 0, "/dev/ttyUSB", "SIERRA_FDLTE_MC7354"},  // 63
    {0x1199, 0x68a2, "Sierra Wireless, Incorporated", "MC7700", 45, 0x480, 2, 0, "/dev/ttyUSB", "SIERRA_FDLTE_MC7700"},  // 64
    {0x1199, 0x68a2, "Sierra Wireless, Incorporated", "MC7710", 46, 0x480, 2, 0, "/dev/ttyUSB", "SIERRA_FDLTE_MC7710"},  // 65
    {0x1199, 0x68a2, "Sierra Wireless, Incorporated", "MC7750", 47, 0x480, 2, 0, "/dev/ttyUSB", "SIERRA_FDLTE_MC7750"},  // 66
    {0x1ab7, 0x5730, "LeaDcore\t Technology", "Leadcore  HSDPA", 48, 0x180, 1, 0, "/dev/ttyUSB", "DATANG_TD_5730"},  // 67
    {0x19d2, 0xffd6, "", "", 49, 0x180, 0, 1, "/dev/ttyUSB", "ZTE_TD_MT3732"},  // 68
    {0x1e0e, 0x9001, "SimTech, Incorporated", "SimTech, Incorporated", 50, 0x680, 2, 3, "/dev/ttyUSB", "SIMCOM_LTE_SIM7100C"},  // 69
    {0x0000, 0x0000, "SIMCOM_Ltd", "SIM800", 51, 0x40, 1, 0, "/dev/mux", "SIMCOM_SIM800"},  // 70
    {0x12d1, 0x140c, "HUAWEI Technology", "HUAWEI Mobile", 15, 0xa0, 3, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E1550"},  // 71
    {0x12d1, 0x140c, "", "HUAWEI Mobile", 4, 0x90, 3, 0, "/dev/ttyUSB", "HUAWEI_EVDO_EC122"},  // 72
    {0x12d1, 0x1001, "Huawei Technologies", "HUAWEI Mobile", 2, 0x90, 2, 0, "/dev/ttyUSB", "HUAWEI_EVDO_EM660"},  // 73
    {0x2c7c, 0x0125, "Android", "Android", 65, 0x1690, 2, 1, "/dev/ttyUSB", "QUECTEL_EC20"},  // 74
    {0x12d1, 0x1001, "HUAWEI TECHNOLOGIES", "HUAWEI Mobile", 2, 0x90, 2, 0, "/dev/ttyUSB", "HUAWEI_EVDO_EM660"},  // 75
    {0x12d1, 0x1001, "Huawei Technologies", "HUAWEI Mobile", 2, 0x90, 2, 0, "/dev/ttyUSB", "HUAWEI_EVDO_EM660"},  // 76
    {0x12d1, 0x1001, "HUAWEI Technology", "HUAWEI Mobile", 20, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_EM770W"},  // 77
    {0x12d1, 0x1001, "", "HUAWEI Mobile", 16, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_E169"},  // 78
    {0x05c6, 0x6001, "USB Modem", "USB Modem", 60, 0xe80, 2, 1, "/dev/ttyUSB", "WOOWELLSTRONG_LTE"},  // 79
    {0x1508, 0x1001, "Nodecom NL650 Modem", "Nodecom NL650-753E Modem", 37, 0x690, 2, 1, "/dev/ttyUSB", "NODECOM_LTE_NL6500"},  // 80
    {0x19d2, 0x1589, "ZTE,Incorporated", "ZTE Mobile Broadband Station", 61, 0xa0, 1, 0, "/dev/ttyUSB", "ZTE_WCDMA_MU667S"},  // 81
    {0x12d1, 0x1001, "USBModem", "HSPA Data Card", 62, 0xa0, 2, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_COMMON"},  // 82
    {0x1c9e, 0x6004, "Manufacturer", "USB Modem ", 63, 0xa0, 1, 0, "/dev/ttyUSB", "IBALL_WCDMA_MP_58"},  // 83
    {0x12d1, 0x1001, "Qualcomm, Incorporated", "Qualcomm CDMA Technologies MSM", 2, 0x90, 2, 0, "/dev/ttyUSB", "HUAWEI_EVDO_EM660"},  // 84
    {0x2077, 0xa002, "", "Netgear Aircard 3G USB Modem", 62, 0xa0, 1, 2, "/dev/ttyUSB", "HUAWEI_WCDMA_COMMON"},  // 85
    {0x1c9e, 0x9ba1, "USB Modem", "USB Modem", 62, 0x480, 1, 2, "/dev/ttyUSB", "WOOWELLSTRONG_LTE"},  // 86
    {0x1c9e, 0x3004, "Manufacturer", "USB Modem ", 62, 0xa0, 1, 0, "/dev/ttyUSB", "HUAWEI_WCDMA_COMMON"},  // 87
    {0x05c6, 0x9091, "Shanghai Yuge", "YUGA Incorporated", 64, 0x480, 0, 1, "/dev/ttyUSB", "LTE_YUGA8909"},  // 88
    {0x1508, 0x1001, "Nodecom NL660 Modem", "Nodecom NL660-752E Modem", 66, 0x480, 2, 1, "/dev/ttyUSB", "LTE_NL660"},  // 89
    {0x1508, 0x1001, "Nodecom NL660 Modem", "Nodecom NL660-753E Modem", 66, 0x480, 2, 1, "/dev/ttyUSB", "LTE_NL660"},  // 90
    {0x12d1, 0x1001, "HUAWEI_MOBILE", "HUAWEI_MOBILE", 67, 0x680, 2, 0, "/dev/ttyUSB", "HUAWEI_LTE_E3372"},  // 91
    {0x1c9e, 0x9b3c, "LONGSUNG", "USB Modem", 68, 0x480, 2, 1, "/dev/ttyUSB", "LTE_U9300C"},  // 92
    {0x1199, 0x9071, "Sierra Wireless, Incorporated", "Sierra Wireless MC7455 Qualcom", 69, 0x480, 2, 2, "/dev/ttyUSB", "LTE_MC7430"},  // 93
    {0x1199, 0x9071, "Sierra Wireless, Incorporated", "Sierra Wireless MC7430 Qualcom", 69, 0x480, 2, 2, "/dev/ttyUSB", "LTE_MC7430"},  // 94
    {0x2c7c, 0x0125, "andorid", "andorid", 72, 0x480, 2, 3, "/dev/ttyUSB", "QUECTEL_LTE_EC25-V"},  // 95
    {0x2c7c, 0x0125, "Android", "Android", 72, 0x480, 2, 3, "/dev/ttyUSB", "QUECTEL_LTE_EC25-V"},  // 96
    {0x2c7c, 0x0125, "Quectel, Incorporated", "Android", 72, 0x480, 2, 3, "/dev/ttyUSB", "QUECTEL_LTE_EC25-J"},  // 97
    {0x2c7c, 0x0125, "Android", "Android", 72, 0x480, 2, 3, "/dev/ttyUSB", "QUECTEL_LTE_EC25-J"},  // 98
    {0x2c7c, 0x0125, "Android", "Android", 72, 0x480, 2, 3, "/dev/ttyUSB", "QUECTEL_LTE_EC25-A"},  // 99
    {0x2949, 0x8243, "Android", "Android", 73, 0x6b0, 2, 0, "/dev/ttyUSB", "NEOWAY_LTE_N720"},  // 100
    {0x0000, 0x0000, "", "", 77, 0xa0, 0, 0, "/dev/ttyUSB", "UNKNOWN_DEVICE"},  // 101
};

}  // namespace cellular
