// Software RAID through hdctl on a board with three 1 GiB SATA disks: the
// exact mdadm commands, state read back after a failure, member checks
// before any disk is wiped, and the superblocks the real mdadm reads.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/board.h"
#include "support/board_edit.h"

using testsupport::Bin;

using testsupport::TempBoard;

namespace {

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// hdctl's output without the log's colour codes.
std::string plain(const std::string& s) {
  std::string o;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\x1b') {
      std::size_t m = s.find('m', i);
      if (m != std::string::npos) {
        i = m;
        continue;
      }
    }
    o += s[i];
  }
  return o;
}

// Each text appears, after the one before it.
bool in_order(const std::string& out, std::initializer_list<const char*> texts) {
  std::size_t at = 0;
  for (const char* t : texts) {
    at = out.find(t, at);
    if (at == std::string::npos) {
      ADD_FAILURE() << "missing in order: " << t;
      return false;
    }
  }
  return true;
}

std::string head(const std::string& path, std::size_t n) {
  std::string buf(n, '\0');
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return {};
  buf.resize(fread(buf.data(), 1, n, f));
  fclose(f);
  return buf;
}

bool has_event(const TempBoard& b, const std::string& line) {
  for (auto& e : b.events())
    if (e == line) return true;
  return false;
}

int count_prefix(const TempBoard& b, const std::string& prefix) {
  int n = 0;
  for (auto& e : b.events()) n += e.starts_with(prefix);
  return n;
}

TEST(HdctlRaid, Level5IsCreatedWithTheExactCommandAndDegradesToState17) {
  TempBoard b("sata3");
  auto r = testsupport::Run({Bin("hdctl"), "Raid_MakeRaid", "/dev/md0", "5", "/dev/sdb", "/dev/sdc", "/dev/sdd", "--", "Raid_GetInfo",
                "/dev/md0", "--", "Raid_SetFaultyDisk", "/dev/md0", "/dev/sdc", "--", "Raid_GetInfo", "/dev/md0", "--",
                "Raid_GetUUid", "/dev/md0", "--", "ide_init", "--", "Hd_GetDevList"},
               &b);
  ASSERT_EQ(r.status, 0) << r.err;
  r.out = plain(r.out);
  EXPECT_TRUE(has_event(
      b, "sh mdadm -C --bitmap=internal --chunk=32 --metadata=1.0 /dev/md0 -l 5 -n 3 -R /dev/sdb /dev/sdc /dev/sdd   > /dev/null"));
  EXPECT_TRUE(has(r.out, "Raid_MakeRaid rc=0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "level=5\nraid_disks=3\nmembers=3\nin_sync=3\nactive=3\nfaulty=0\nspares=0\nstate=1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "in_sync=2\nactive=2\nfaulty=1\nspares=0\nstate=17\n")) << r.out;
  EXPECT_TRUE(has(r.out, "chunk=32\n"));
  EXPECT_TRUE(has_event(b, "sh mdadm --manage /dev/md0 --fail /dev/sdc > /dev/null"));
  // The inventory lists the array, its members as -3, and the UUID as identity.
  auto at = r.out.find("Raid_GetUUid rc=0\nuuid=");
  ASSERT_NE(at, std::string::npos);
  std::string uuid = r.out.substr(at + 23, 35);
  EXPECT_TRUE(has(r.out, "name=/dev/md0\ntype=RAID\nbus=RAID\nlogic=0\n")) << r.out;
  EXPECT_TRUE(has(r.out, "parent_raid=md0\n"));
  EXPECT_TRUE(has(r.out, "identity=" + uuid + "\n")) << uuid;
  // The member images carry superblocks the real mdadm accepts.
  auto e = testsupport::Run({"/usr/sbin/mdadm", "--examine", b.file("dev/sdb")});
  EXPECT_TRUE(has(e.out, "Array UUID : " + uuid)) << e.out << e.err;
  EXPECT_TRUE(has(e.out, "Checksum : ")) << e.out;
  EXPECT_TRUE(has(e.out, " - correct")) << e.out;
  EXPECT_TRUE(has(testsupport::ReadFile(b.file("proc/mdstat")), "md0 : active raid5 sdd[2] sdc[1](F) sdb[0]\n"));
}

TEST(HdctlRaid, MembersAreAllCheckedBeforeAnyIsWipedAndNamesAreChecked) {
  TempBoard b("sata3");
  // A marker at the start of sdd shows whether it was wiped.
  {
    FILE* f = fopen(b.file("dev/sdd").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    fputs("MARKER", f);
    fclose(f);
  }
  auto r = testsupport::Run({Bin("hdctl"), "Raid_MakeRaid", "/dev/md0", "1", "/dev/sdb", "/dev/sdc", "--", "Raid_MakeRaid", "/dev/md1",
                "1", "/dev/sdd", "/dev/sdb", "--", "Raid_MakeRaid", "/dev/md2", "1", "/dev/sdd", "/dev/sdc", "name=a';reboot",
                "--", "Raid_MakeRaid", "/dev/md2", "10", "/dev/sdd", "/dev/sdc", "/dev/sdb", "/dev/sda", "/dev/sde", "--",
                "Raid_MakeRaid", "/dev/sdx", "1", "/dev/sdd", "/dev/sdc", "--", "Raid_MakeRaid", "/dev/md0", "1", "/dev/sdd",
                "/dev/sdc"},
               &b);
  ASSERT_EQ(r.status, 0) << r.err;
  r.out = plain(r.out);
  EXPECT_TRUE(has(r.out, "Raid_MakeRaid rc=0\n"));
  EXPECT_TRUE(has(r.out, "/dev/sdb is in raid already!\n")) << r.out;
  EXPECT_TRUE(has(r.out, "bad alias name a';reboot")) << r.out;
  EXPECT_TRUE(has(r.out, "5 out of limit 4 -- 64\n") || has(r.out, "Raid 10 must be even disks\n")) << r.out;
  EXPECT_TRUE(has(r.out, "Raid name not 'md*'\n")) << r.out;
  EXPECT_TRUE(has(r.out, "/dev/md0 exists\n")) << r.out;
  EXPECT_EQ(head(b.file("dev/sdd"), 6), "MARKER") << "sdd was wiped before sdb was refused";
  EXPECT_EQ(count_prefix(b, "sh mdadm -C"), 1);
  for (auto& e : b.events()) EXPECT_FALSE(has(e, "reboot")) << e;
}

TEST(HdctlRaid, AddRemoveSparesAndQueries) {
  TempBoard b("sata3");
  auto r = testsupport::Run({Bin("hdctl"), "Raid_MakeRaid", "/dev/md0", "1", "/dev/sdb", "/dev/sdc", "name=cam1", "--",
                "Raid_SetHotspareDisk", "/dev/sdd", "--", "Raid_IsHotspareDisk", "/dev/sdd", "--", "Raid_AddDisk",
                "/dev/md0", "/dev/sdd", "--", "Raid_RemoveHotspareDisk", "/dev/sdd", "--", "Raid_AddDisk", "/dev/md0",
                "/dev/sdd", "--", "Raid_GetSpareDisks", "/dev/md0", "--", "Raid_AddDisk", "/dev/md0", "/dev/sdb", "--",
                "Raid_AddDisk", "/dev/md0", "/dev/sdz", "--", "Raid_RemoveDisk", "/dev/md0", "/dev/sdb", "--",
                "Raid_RemoveRaidDisk", "/dev/md0", "/dev/sdb", "--", "Raid_GetInfo", "/dev/md0", "--", "Raid_AllocRaidName",
                "--", "Raid_SetRmw_level", "/dev/md0", "0", "--", "Raid_SetDiskWantRepl", "/dev/md0", "/dev/sdc", "--",
                "Raid_SetDiskWantRepl", "/dev/md0", "/dev/sdb", "--", "Raid_StopRaid", "/dev/md0", "--",
                "Raid_GetSuperblockUUid", "/dev/sdc", "--", "Raid_GetRaidList"},
               &b);
  ASSERT_EQ(r.status, 0) << r.err;
  r.out = plain(r.out);
  EXPECT_TRUE(in_order(r.out, {"Raid_IsHotspareDisk rc=1\n", "/dev/sdd had set hotspare!\n", "Raid_AddDisk rc=-7\n",
                               "Raid_RemoveHotspareDisk rc=0\n", "Raid_AddDisk rc=0\n",
                               "Raid_GetSpareDisks rc=1\nspare=/dev/sdd\n", "Raid disk /dev/sdb exist!\n",
                               "Raid_AddDisk rc=-6\n", "Hard disk /dev/sdz not exist!\n", "Raid_AddDisk rc=-5\n",
                               "Raid_RemoveDisk rc=-1\n", "Raid_RemoveRaidDisk rc=0\n"}))
      << r.out;
  // The idle spare took the failed member's place and is being rebuilt.
  EXPECT_TRUE(has(r.out, "level=1\nraid_disks=2\nmembers=2\nin_sync=1\nactive=2\nfaulty=0\nspares=0\nstate=49\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "alias=cam1\n")) << r.out;
  EXPECT_TRUE(has(r.out, "alloc a raid name: /dev/md1\n"));
  EXPECT_TRUE(has(r.out, "echo 0 > /sys/block/md0/md/rmw_level\nRaid_SetRmw_level rc=0\n")) << r.out;
  EXPECT_TRUE(has_event(b, "sh echo want_replacement > /sys/block/md0/md/dev-sdc/state"));
  EXPECT_TRUE(has(r.out, "Disk /dev/sdb not a raid /dev/md0 subdisk!\n")) << r.out;
  EXPECT_TRUE(has_event(b, "sh mdadm --stop /dev/md0 > /dev/null"));
  EXPECT_TRUE(has_event(b, "sh mdadm --zero-superblock /dev/sdc"));
  EXPECT_TRUE(has(r.out, "Raid_GetSuperblockUUid rc=-1\n")) << "wiped by the stop";
  EXPECT_TRUE(has(r.out, "Raid_GetRaidList rc=0\n"));
  EXPECT_TRUE(has_event(b, "sh /usr/local/bin/hotspare -a /dev/sdd"));
}

}  // namespace

namespace {

TEST(HdctlRaid, RepairCommandsCharacterForCharacter) {
  TempBoard b("sata3");
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["stand_ins"]["xor_tool"] = {{{"match", "-D/dev/md0"}, {"exit", 0}, {"stdout", "Wrong parity at 64\n"}}};
  });
  auto r = testsupport::Run({Bin("hdctl"), "Raid_MakeRaid", "/dev/md0", "5", "/dev/sdb", "/dev/sdc", "/dev/sdd", "--",
                             "Raid_SetSyncSpeedMin", "/dev/md0", "1000", "--", "Raid_SetMaxSyncSpeed", "/dev/md0", "50000",
                             "--", "Raid_SetMirrorZone", "/dev/md0", "100", "200"},
                            &b);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(testsupport::ReadFile(b.file("sys/block/md0/md/sync_speed_min")), "1000");
  EXPECT_EQ(testsupport::ReadFile(b.file("sys/block/md0/md/sync_speed_max")), "50000");
  EXPECT_EQ(testsupport::ReadFile(b.file("sys/block/md0/md/mirror_area")), "100 200");
  r = testsupport::Run(
      {Bin("hdctl"), "Raid_RestoreCorruptedDataArea", "/dev/md0", "100", "10", "0", "--", "Raid_RestoreCorruptedDataArea",
       "/dev/md0", "100", "10", "1", "--", "Raid_RestoreCorruptedDataArea", "/dev/md0", "100", "10", "2", "--",
       "Raid_SetFaultyDisk", "/dev/md0", "/dev/sdd", "--", "Raid_RemoveDisk", "/dev/md0", "/dev/sdd", "--", "Raid_ReAddDisk",
       "/dev/md0", "/dev/sdd", "--", "Raid_GetInfo", "/dev/md0", "--", "Raid_GrowRaid", "/dev/md0", "4", "--", "Raid_GetInfo",
       "/dev/md0", "--", "Raid_SetRaidState", "/dev/md0", "--", "Raid_StopRaidNoClr", "/dev/md0", "--",
       "Raid_GetSuperblockUUid", "/dev/sdb", "--", "Raid_RebuildRaid", "1"},
      &b);
  ASSERT_EQ(r.status, 0) << r.err;
  r.out = plain(r.out);
  for (const char* e :
       {"sh echo 64 64 > /sys/block/md0/md/clear_stripecache;xor_tool -l 5 -p 1 -a 64s -s 64s -c 64s -x /dev/sdb /dev/sdc /dev/sdd  > /dev/null",
        "sh echo 64 64 > /sys/block/md0/md/clear_stripecache;xor_tool -l 5 -p 1 -a 64s -s 64s -c 64s -t recovery -x /dev/sdb /dev/sdc /dev/sdd  /dev/md0 > /dev/null",
        "sh xor_tool -l 5 -p 1 -a 64s -s 64s -c 64s -D/dev/md0 -t recovery /dev/sdb /dev/sdc /dev/sdd   | grep Wrong",
        "sh /usr/local/bin/hotspare -b /dev/sdd > /dev/null", "sh mdadm /dev/md0 --re-add /dev/sdd > /dev/null",
        "sh mdadm --grow /dev/md0 -n 4 > /dev/null", "sh echo clean > /sys/block/md0/md/array_state",
        "sh mdadm --stop /dev/md0 > /dev/null", "sh /etc/init.d/raid stop"})
    EXPECT_TRUE(has_event(b, e)) << e;
  EXPECT_EQ(count_prefix(b, "sh mdadm --zero-superblock"), 0) << "stopped without wiping";
  EXPECT_TRUE(in_order(r.out, {"Restore address 100, len 10(64, 64), 64.\n", "Raid_RestoreCorruptedDataArea rc=0\n",
                               "Raid_RestoreCorruptedDataArea rc=0\n", "Raid_RestoreCorruptedDataArea rc=1\n",
                               "Raid_ReAddDisk rc=0\n", "in_sync=3\n", "state=1\n", "Raid_GrowRaid rc=0\n",
                               "raid_disks=4\n", "state=17\n", "Raid_GetSuperblockUUid rc=0\n",
                               "Raid_RebuildRaid system boot need( "}))
      << r.out;
}

TEST(HdctlRaid, NestedArrays) {
  TempBoard b("sata3");
  testsupport::EditBoard(b, [](nlohmann::json& d) {
    d["disks"].push_back({{"name", "sde"}, {"bus", "sata"}, {"scsi", "3:0:0:0"}, {"size", "1G"}, {"serial", "S4"}});
  });
  ASSERT_EQ(testsupport::Run({Bin("dvrsim"), "plug", b.dir(), "sde"}).status, 0);
  auto r = testsupport::Run({Bin("hdctl"), "Raid_MakeRaid", "/dev/md1", "1", "/dev/sdb", "/dev/sdc", "--", "Raid_MakeRaid",
                             "/dev/md2", "1", "/dev/sdd", "/dev/sde", "--", "Raid_MakeMulRaid", "/dev/md3", "0", "/dev/md1",
                             "/dev/md2", "name=top", "--", "Raid_GetMulInfo", "/dev/md3", "--", "Raid_GetSubDisks", "/dev/md3",
                             "--", "Raid_SetMinSyncSpeed", "/dev/md3", "10", "--", "Raid_SetMulMinSyncSpeed", "/dev/md3", "10",
                             "--", "ide_init", "--", "Raid_BreakMulRaid", "/dev/md3"},
                            &b);
  ASSERT_EQ(r.status, 0) << r.err;
  r.out = plain(r.out);
  EXPECT_TRUE(has_event(b, "sh mdadm -C --chunk=4 --metadata=1.0 /dev/md3 -l 0 -n 2 -R /dev/md1 /dev/md2  --name 'top' > /dev/null"));
  EXPECT_TRUE(in_order(r.out, {"Raid_GetMulInfo rc=0\n", "level=0\nraid_disks=2\nmembers=2\nin_sync=2\n", "state=1\n",
                               "Raid_GetSubDisks rc=4\ndisk=/dev/sdb\n", "/dev/md3 is not the normal raid\n",
                               "Raid_SetMinSyncSpeed rc=-1\n", "Raid_SetMulMinSyncSpeed rc=0\n"}))
      << r.out;
  // Only the top array is listed; the nested ones stay out of the inventory.
  EXPECT_TRUE(has(r.out, "name /dev/md3, layer=1")) << r.out;
  EXPECT_FALSE(has(r.out, "name /dev/md1, layer=1")) << r.out;
  EXPECT_TRUE(has_event(b, "sh mdadm --stop /dev/md3 > /dev/null"));
}

}  // namespace
